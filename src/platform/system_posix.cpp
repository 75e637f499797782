// POSIX half of system.h.
#include <errno.h>
#include <fcntl.h>
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

namespace {

// A standard descriptor the daemon left closed would be the number the tool's next open, pipe or
// socket gets: a turn would read its own pipe as its input, a reply be written into it. Each is
// taken by /dev/null opened the other way round (input write-only, outputs read-only), so that the
// tool's own use of the stream still fails as on a closed one (EBADF) and never turns into success.
// Without /dev/null (a bare chroot), the wrong end of a pipe does the same.
void hold_closed_standard_descriptors() {
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_NOCTTY);
    if (held == -1) {
      int ends[2];
      if (::pipe(ends) != 0) continue;
      held = ends[fd == 0 ? 1 : 0];
      ::close(ends[fd == 0 ? 0 : 1]);
    }
    // The lower standard descriptors are open, so `held` is `fd` unless the pipe took two numbers.
    if (held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace

void init_process() {
  hold_closed_standard_descriptors();
  // A closed reader and a write past the file-size limit are errors the tool reports and cleans up
  // after, not deaths. Children get every default back (process_posix.cpp).
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // A daemon that ignores SIGCHLD to be rid of zombies hands that on: the kernel would reap the
  // tool's children itself, and every wait for the agent would fail.
  ::signal(SIGCHLD, SIG_DFL);
  // A threaded daemon blocks the signals it takes with sigwait in every thread, and children inherit
  // the mask: the signals that end the tool, and SIGCHLD, which its guardian waits for, must arrive.
  // A signal the daemon ignores stays ignored (termination_posix.cpp).
  sigset_t handled;
  sigemptyset(&handled);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&handled, sig);
  ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

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
