// POSIX (Linux) half of session_tree.h.
//
// Coupling. A kill-on-close job has no POSIX equivalent: the agent runs under the guardian of
// guardian_posix.h, the one every run of the agent uses too. A PID namespace would also contain the
// tree, but it changes the agent's view of the system.
//
// The tool is a child subreaper too: if the guardian alone is killed, the agent comes back to the
// tool, which then reaps the tree the same way and reports the guardian's death.
//
// Parent watch. The parent's pidfd is opened first thing (identify_parent) and becomes readable
// when the parent ends. No thread watches it: the main thread, waiting for the agent, polls the
// parent's and the child's pidfds together, so no thread of ours runs while the tool forks the
// guardian. (The one exception: a version probe's reader that a descendant of the probe still holds
// up is left blocked in read(), holding no lock; glibc's fork leaves malloc usable in the child.)
// Where pidfd_open is missing, the wait checks getppid() and the child every 50 ms instead.
#include "platform/session_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/fd_posix.h"
#include "platform/guardian_posix.h"
#include "platform/spawn_posix.h"
#include "platform/stdio.h"
#include "platform/system.h"
#include "platform/wait_posix.h"

namespace vantle::session_tree {
namespace {

bool g_coupled = false;
// The guardian of the launched agent while it runs, for the daemon's death to check on.
pid_t g_guardian = 0;

// The armed watch: the parent's pidfd (or none, to compare getppid() with its pid), and what to do.
struct Watch {
  bool armed = false;
  OwnedHandle pidfd;
  pid_t pid = 0;
  std::string line;
  int exit_code = 0;
} g_watch;

constexpr auto FALLBACK_POLL = std::chrono::milliseconds(50);

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool parent_gone() {
  if (!g_watch.pidfd) return ::getppid() != g_watch.pid;
  pollfd p{g_watch.pidfd.get(), POLLIN, 0};
  while (::poll(&p, 1, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return (p.revents & POLLIN) != 0;
}

[[noreturn]] void report_parent_death() {
  (void)stdio::write_err(g_watch.line);
  // The guardian ends the tree, told to or when this process ends; one that was killed, even a
  // moment ago, left the agent's tree to this process, which would pass it on to init. So the
  // guardian is told and awaited, and whatever it left is ended here.
  if (g_guardian != 0) {
    ::kill(g_guardian, SIGTERM);
    (void)posix::reap(g_guardian);
    posix::end_orphaned_tree(g_guardian);
  }
  sys::exit_process(g_watch.exit_code);
}

// Blocks until `child` has ended (it is left for the caller to reap), ending this process the
// moment the watched parent does.
void wait_watching(pid_t child) {
  const OwnedHandle child_fd(pidfd_open(child));
  const bool polled = child_fd && (!g_watch.armed || g_watch.pidfd);
  while (true) {
    if (polled) {
      pollfd fds[2] = {{child_fd.get(), POLLIN, 0}, {g_watch.pidfd.get(), POLLIN, 0}};
      const nfds_t n = g_watch.armed ? 2 : 1;
      if (::poll(fds, n, -1) < 0) {
        if (errno == EINTR) continue;
        break;  // let the caller's blocking wait take over
      }
      // The child's end first: a guardian that died has a tree to end, which its caller does.
      if (fds[0].revents != 0) break;
      if (n == 2 && (fds[1].revents & POLLIN)) report_parent_death();
    } else {
      const auto ended = posix::has_ended(child, false);
      if (!ended || *ended) break;
      if (g_watch.armed && parent_gone()) report_parent_death();
      std::this_thread::sleep_for(FALLBACK_POLL);
    }
  }
}

// Ignores the terminal's interrupt and quit signals for as long as it lives.
class IgnoreInterrupts {
 public:
  IgnoreInterrupts() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &old_int_);
    ::sigaction(SIGQUIT, &ignore, &old_quit_);
  }
  ~IgnoreInterrupts() {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGQUIT, &old_quit_, nullptr);
  }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_quit_ {};
};

}  // namespace

Parent identify_parent() {
  Parent parent;
  parent.pid = static_cast<std::uint32_t>(::getppid());
  parent.handle.reset(pidfd_open(static_cast<pid_t>(parent.pid)));
  if (!parent.handle && errno != ENOSYS) {
    parent.unavailable =
        failed_call("pidfd_open(" + std::to_string(parent.pid) + ")") + " \xE2\x80\x94 parent may already be gone";
  }
  return parent;
}

Result<void> couple_session_tree() {
  // Orphans of a guardian that was killed come back to the tool.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return Err(failed_call("prctl(PR_SET_CHILD_SUBREAPER)"));
  g_coupled = true;
  return {};
}

Result<void> watch_parent_death(Parent parent, std::string line, int exit_code) {
  if (!parent.unavailable.empty()) return Err(parent.unavailable);
  g_watch.armed = true;
  g_watch.pidfd = std::move(parent.handle);  // watched until this process ends
  g_watch.pid = static_cast<pid_t>(parent.pid);
  g_watch.line = std::move(line);
  g_watch.exit_code = exit_code;
  // A daemon that has already gone takes the launch with it, as if it had died a moment later.
  if (parent_gone()) report_parent_death();
  return {};
}

Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command) {
  const auto failed = [](SysError error) { return Err(ForegroundError{ForegroundError::Kind::kStart, std::move(error)}); };
  IgnoreInterrupts ignore;
  if (!g_coupled) {
    auto child = process::spawn(command);
    if (!child) return failed(std::move(child).error());
    wait_watching(static_cast<pid_t>(child->id()));
    auto status = child->wait();
    if (!status) return failed(std::move(status).error());
    return *status;
  }
  // Prepared here: the guardian, a forked child of this process, may not allocate.
  auto prepared = posix::prepare_spawn(command);
  if (!prepared) return failed(std::move(prepared).error());
  auto guardian = posix::start_guardian([&prepared](pid_t& agent) { return (*prepared)->start(agent); }, false);
  if (!guardian) return failed(std::move(guardian).error());
  guardian->report.reset();  // the launch goes by the guardian's exit code
  g_guardian = guardian->pid;
  wait_watching(guardian->pid);
  auto status = posix::reap(guardian->pid);
  if (!status) return failed(std::move(status).error());
  if (status->kind == ExitStatus::Kind::kSignaled) {
    // The guardian only ever exits; killed, it left the agent's tree to us.
    posix::end_orphaned_tree(guardian->pid);
    return Err(ForegroundError{ForegroundError::Kind::kGuardianDied,
                               custom_error(ErrorKind::kOther, "the agent's guardian died (" + exit_status_text(*status) +
                                                                   "); reaped the OMP session tree")});
  }
  return *status;
}

}  // namespace vantle::session_tree
