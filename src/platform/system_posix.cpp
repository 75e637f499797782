// POSIX half of system.h.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/system.h"

namespace vantle::sys {

void init_process() { ::signal(SIGPIPE, SIG_IGN); }

std::vector<OsString> command_line(int argc, char** argv) {
  std::vector<OsString> out;
  for (int i = 0; i < argc; ++i) out.emplace_back(NativeString(argv[i]));
  return out;
}

bool is_windows() { return false; }

std::optional<std::filesystem::path> account_home() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  while (true) {
    const int code = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (code != ERANGE || buffer.size() >= (1u << 20)) break;
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') return std::nullopt;
  return std::filesystem::path(found->pw_dir);
}

SysResult<std::filesystem::path> current_exe() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return Err(os_error(ec.value()));
  return path;
}

std::uint32_t current_pid() { return static_cast<std::uint32_t>(::getpid()); }

void exit_process(int code) { ::_exit(code); }

}  // namespace vantle::sys
