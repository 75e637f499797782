// POSIX half of system.h.
#include <signal.h>
#include <unistd.h>

#include "platform/system.h"

namespace vantle::sys {

void init_process() { ::signal(SIGPIPE, SIG_IGN); }

std::vector<OsString> command_line(int argc, char** argv) {
  std::vector<OsString> out;
  for (int i = 0; i < argc; ++i) out.emplace_back(NativeString(argv[i]));
  return out;
}

bool is_windows() { return false; }

SysResult<std::filesystem::path> current_exe() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return Err(os_error(ec.value()));
  return path;
}

std::uint32_t current_pid() { return static_cast<std::uint32_t>(::getpid()); }

void exit_process(int code) { ::_exit(code); }

}  // namespace vantle::sys
