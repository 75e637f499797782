// Black-box runs of the built binary: an exact argument list, environment, working directory and
// standard input go in; the bytes of stdout and stderr and the exit status come out.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/exit_status.h"
#include "platform/os_string.h"

namespace vantle::testing {

// What one run produced. Compared whole with EXPECT_EQ against `exited(...)`, so that a failure
// shows all three streams of both sides.
struct CliResult {
  std::string out;
  std::string err;
  ExitStatus status;
  // Set when the harness itself failed (the program could not start, a pipe failed, the run timed
  // out); such a result never equals an expected one.
  std::string harness_error;

  friend bool operator==(const CliResult& a, const CliResult& b);
};

// The expected result of a run that exits with `code` after writing exactly these bytes.
CliResult exited(std::uint32_t code, std::string out, std::string err);

// gtest's printer: exit status, then each stream escaped line by line, so that a stray blank,
// carriage return or missing line feed is visible.
void PrintTo(const CliResult& result, std::ostream* os);

// The environment variables the tool reads. A run removes them from the child's environment
// unless the test sets, removes or keeps them itself, so that the tester's own settings never
// leak into a result.
std::span<const std::string_view> tool_variables();

// The built vantle binary, as an absolute native path (Z:\... under Wine).
std::filesystem::path vantle_binary();

// Built with AddressSanitizer, the tool reserves far more address space than any limit allows.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif
#else
inline constexpr bool SANITIZED = false;
#endif

// One run of a program, vantle by default. Build it up, then call run(), as in
// `Cli({"digest-omp", "--session", "abc"}).env("HOME", home).cwd(dir).run()`.
class Cli {
 public:
  explicit Cli(std::vector<std::string> args = {}) : args_(std::move(args)) {}

  // Appends one argument, byte for byte (on Windows it is quoted for the child's runtime).
  Cli& arg(std::string value);
  // Sets a variable in the child's environment.
  Cli& env(std::string name, std::string_view utf8_value);
  Cli& env(std::string name, OsString value);
  // Removes a variable from the child's environment.
  Cli& unset(std::string name);
  // Lets the child see the test's own value of one of the tool's variables.
  Cli& inherit(std::string name);
  Cli& cwd(std::filesystem::path dir);
  // The bytes the child reads on standard input; its input ends after them (empty by default).
  Cli& input(std::string bytes);
  // How long the run may take before the child is killed and the run fails (60 s by default).
  Cli& timeout(std::chrono::milliseconds limit);
  // Runs another program than vantle, such as a stand-in that starts the tool.
  Cli& program(std::filesystem::path path);
  // Starts the program through `starter` as `starter starter_args... <program> args...`: a shell
  // that sets a limit, or a starter that hands the program a state of its own.
  Cli& through(std::filesystem::path starter, std::vector<std::string> starter_args);
  // Runs the program through /bin/sh under an address-space limit of `kib` KiB (POSIX only).
  Cli& memory_limit(std::size_t kib);
  // Calls `action` once the first bytes of standard output have arrived, reading no more until it
  // returns: the program, writing more than a pipe holds, is then still at work.
  Cli& once_output_begins(std::function<void()> action);

  const std::vector<std::string>& args() const { return args_; }

  // Starts the program with three pipes, feeds its input and drains both outputs on their own
  // threads (so large output never stalls it), and waits for it. A harness failure is reported
  // to gtest as a test failure and recorded in the result.
  CliResult run() const;

 private:
  std::vector<std::string> args_;
  std::vector<std::pair<std::string, std::optional<OsString>>> env_;
  std::vector<std::string> inherited_;
  std::optional<std::filesystem::path> cwd_;
  std::string input_;
  std::chrono::milliseconds timeout_{60000};
  std::optional<std::filesystem::path> program_;
  std::optional<std::filesystem::path> starter_;
  std::vector<std::string> starter_args_;
  std::function<void()> once_output_begins_;
};

// A list of strings as the null-terminated array of C strings that execve and posix_spawn take
// (argv, envp), valid while the object lives.
class CStrings {
 public:
  explicit CStrings(std::vector<std::string> strings) : storage_(std::move(strings)) {
    for (auto& s : storage_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  CStrings(const CStrings&) = delete;
  CStrings& operator=(const CStrings&) = delete;
  char** get() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

// The arguments as a shell would show them, for SCOPED_TRACE.
std::string describe_args(const std::vector<std::string>& args);

// A control character as a name or value may hold it, and as a report line must show it.
struct ControlCharacter {
  std::string raw;
  std::string shown;
};
// LF, CR, CR LF, TAB, ESC and DEL, spelled out here rather than taken from the program.
const std::vector<ControlCharacter>& control_characters();

}  // namespace vantle::testing
