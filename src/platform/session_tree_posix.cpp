// POSIX (Linux) half of session_tree.h.
//
// Coupling. A kill-on-close job has no POSIX equivalent: the agent runs under the guardian of
// guardian_posix.h, the one every run of the agent uses too, left in the terminal's foreground
// group. A PID namespace would also contain the tree, but it changes the agent's view of the system.
//
// The tool is a child subreaper too: if the guardian alone is killed, the agent comes back to the
// tool, which then reaps the tree the same way and reports the guardian's death.
//
// Parent watch. The parent's pidfd is opened first thing (identify_parent) and becomes readable
// when the parent ends; the wait for the agent includes it (platform/child_watch.h).
#include "platform/session_tree.h"

#include <poll.h>
#include <signal.h>
// This C library's header declares its calls without C linkage.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

namespace vantle::session_tree {
namespace {

bool g_coupled = false;

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
  parent.handle.reset(::pidfd_open(static_cast<pid_t>(parent.pid), 0));
  if (!parent.handle && errno != ENOSYS) {
    parent.unavailable =
        failed_call("pidfd_open(" + std::to_string(parent.pid) + ")") + " \xE2\x80\x94 parent may already be gone";
  }
  return parent;
}

bool has_ended(const Parent& parent) {
  if (!parent.handle) return ::getppid() != static_cast<pid_t>(parent.pid);
  pollfd p{parent.handle.get(), POLLIN, 0};
  while (::poll(&p, 1, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return (p.revents & POLLIN) != 0;
}

Result<void> couple_session_tree() {
  // Orphans of a guardian that was killed come back to the tool.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return Err(failed_call("prctl(PR_SET_CHILD_SUBREAPER)"));
  g_coupled = true;
  return {};
}

Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command) {
  IgnoreInterrupts ignore;
  process::Command foreground = command;
  foreground.own_tree = g_coupled;
  foreground.keep_group = true;
  auto child = process::spawn(foreground);
  if (!child) return Err(ForegroundError{ForegroundError::Kind::kStart, std::move(child).error()});
  auto status = wait_foreground(*child);
  if (status) return *status;
  SysError error = std::move(status).error();
  // A guardian that died before its report is the one failure the system gave no code for
  // (process.h); the tree is ended then too.
  if (!g_coupled || error.code != 0) return Err(ForegroundError{ForegroundError::Kind::kStart, std::move(error)});
  error.message += "; reaped the OMP session tree";
  return Err(ForegroundError{ForegroundError::Kind::kGuardianDied, std::move(error)});
}

}  // namespace vantle::session_tree
