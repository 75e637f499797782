// Waiting for children on POSIX: one decoding of wait statuses, and waits that retry after a
// signal interrupts them. Included only by *_posix.cpp files.
#pragma once

#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/process.h"

namespace vantle::posix {

inline ExitStatus exit_status_of(int raw) {
  if (WIFSIGNALED(raw)) {
    const int sig = WTERMSIG(raw);
    const char* abbrev = ::sigabbrev_np(sig);
    return ExitStatus::signaled(sig, abbrev ? std::string("SIG") + abbrev : "unknown signal");
  }
  return ExitStatus::exited(static_cast<std::uint32_t>(WEXITSTATUS(raw)));
}

// Whether the child has ended, leaving it unreaped so that its pid (and process group) cannot be
// reused yet; `block` waits for the end.
inline SysResult<bool> has_ended(pid_t pid, bool block) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG)) != 0) {
    if (errno != EINTR) return Err(last_os_error());
  }
  return info.si_pid != 0;
}

// Waits for the child to end and reaps it.
inline SysResult<ExitStatus> reap(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return Err(last_os_error());
  }
  return exit_status_of(raw);
}

}  // namespace vantle::posix
