// POSIX half of system.h.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/passwd_posix.h"
#include "platform/process.h"
#include "platform/system.h"

namespace vantle::sys {

void init_process() { ::signal(SIGPIPE, SIG_IGN); }

std::vector<OsString> command_line(int argc, char** argv) {
  std::vector<OsString> out;
  for (int i = 0; i < argc; ++i) out.emplace_back(NativeString(argv[i]));
  return out;
}

bool is_windows() { return false; }

namespace {

// getent runs every source of accounts the system is configured with.
std::optional<std::string> getent_passwd(uid_t uid) {
  process::Command command;
  command.program = "/usr/bin/getent";
  command.args = {"passwd", std::to_string(uid)};
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kNull;
  auto child = process::spawn(command);
  if (!child) return std::nullopt;
  auto out = child->take_stdout();
  auto entry = out ? out->read_to_end() : SysResult<std::string>(std::string());
  auto status = child->wait();
  if (!entry || !status || !status->success()) return std::nullopt;
  return std::move(*entry);
}

}  // namespace

// Not getpwuid_r: the release binary is linked statically, and a static C library loads the
// account sources beyond the files (systemd, sss, ldap) as modules built for the shared one, which
// crash the process that loads them. So the tool reads the passwd file itself, and asks getent,
// in a process of its own, only for an account the file does not hold.
std::optional<std::filesystem::path> account_home() {
  const uid_t uid = ::getuid();
  if (const auto local = fs::read_to_string("/etc/passwd")) {
    if (auto home = posix::home_in_passwd(*local, uid)) return home;
  }
  const auto entry = getent_passwd(uid);
  return entry ? posix::home_in_passwd(*entry, uid) : std::nullopt;
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
