// How a child process ended, and the text that messages show for it.
#pragma once

#include <cstdint>
#include <string>

namespace vantle {

struct ExitStatus {
  enum class Kind { kExited, kSignaled };
  Kind kind = Kind::kExited;
  // The exit code (on Windows the full 32-bit value) when kind is kExited.
  std::uint32_t code = 0;
  // The signal number and its name (such as "SIGKILL") when kind is kSignaled.
  int signal = 0;
  std::string signal_name;

  bool success() const { return kind == Kind::kExited && code == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
  static ExitStatus exited(std::uint32_t code) { return {Kind::kExited, code, 0, {}}; }
  static ExitStatus signaled(int signal, std::string name) { return {Kind::kSignaled, 0, signal, std::move(name)}; }
};

// "exit code: 3", "exit code: 0xc0000005" when bit 31 is set, or "signal: 9 (SIGKILL)".
std::string exit_status_text(const ExitStatus& status);

}  // namespace vantle
