// See guardian_posix.h.
#include "platform/guardian_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/exit_status.h"
#include "platform/fd_posix.h"
#include "platform/wait_posix.h"

namespace vantle::posix {
namespace {

// The parent of `pid` from /proc/<pid>/stat, or -1.
pid_t parent_of(const char* pid_text) {
  char path[300];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid_text);
  const OwnedHandle fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  char buffer[512];
  const ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
  if (n <= 0) return -1;
  buffer[n] = '\0';
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so parse after the last ')'.
  const char* close = std::strrchr(buffer, ')');
  if (close == nullptr) return -1;
  char state = 0;
  int ppid = -1;
  if (std::sscanf(close + 1, " %c %d", &state, &ppid) != 2) return -1;
  return ppid;
}

// Kills the calling process's children and reaps them, round after round, until it has none;
// the agent's status is kept when it is among those reaped. Between rounds it blocks until a child
// it killed has ended: a killed child's orphans have come back to it by then, for the next round.
void end_tree(pid_t agent, int& agent_raw) {
  const pid_t self = ::getpid();
  int options = WNOHANG;
  while (true) {
    int raw;
    pid_t reaped;
    while ((reaped = ::waitpid(-1, &raw, options)) > 0 || (reaped < 0 && errno == EINTR)) {
      if (reaped == agent) agent_raw = raw;
      options = WNOHANG;
    }
    if (reaped < 0 && errno == ECHILD) return;
    if (const OwnedDir proc(::opendir("/proc")); proc) {
      while (const dirent* entry = ::readdir(proc.get())) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        if (parent_of(entry->d_name) == self) ::kill(static_cast<pid_t>(std::atol(entry->d_name)), SIGKILL);
      }
    }
    options = 0;
  }
}

// Plain writes: a failure has no one to be told to (the tool may have closed its end).
void report(int fd, int value) {
  const char* p = reinterpret_cast<const char*>(&value);
  std::size_t left = sizeof value;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

[[noreturn]] void guardian_main(const std::function<int(pid_t&)>& start, int report_fd, pid_t tool,
                                bool own_group) {
  if (own_group) ::setpgid(0, 0);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
  // Terminal interrupts are the agent's to handle; the tool's own handlers mean nothing here.
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGQUIT, &action, nullptr);
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGCHLD);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGHUP);
  ::sigprocmask(SIG_SETMASK, &waited, nullptr);
  // The tool may have died before the death signal was armed.
  if (::getppid() != tool) ::_exit(1);
  pid_t agent = -1;
  // A start that runs out of memory is a failed start.
  int failed = ENOMEM;
  try {
    failed = start(agent);
  } catch (...) {
  }
  report(report_fd, failed);
  if (failed != 0) ::_exit(127);
  // Nothing of the tool's is ours to hold: a pipe kept open here would keep its reader waiting.
  if (report_fd > 0) ::close_range(0, static_cast<unsigned>(report_fd) - 1, 0);
  ::close_range(static_cast<unsigned>(report_fd) + 1, ~0U, 0);
  int agent_raw = 0;
  bool agent_done = false;
  while (!agent_done) {
    siginfo_t info;
    const int sig = ::sigwaitinfo(&waited, &info);
    if (sig == SIGTERM || sig == SIGHUP) break;  // the tool is gone, or wants the tree ended
    if (sig != SIGCHLD) continue;
    int raw;
    pid_t reaped;
    while ((reaped = ::waitpid(-1, &raw, WNOHANG)) > 0) {
      if (reaped == agent) {
        agent_done = true;
        agent_raw = raw;
      }
    }
  }
  end_tree(agent, agent_raw);
  report(report_fd, agent_raw);
  ::_exit(WIFEXITED(agent_raw) ? WEXITSTATUS(agent_raw) : 1);
}

}  // namespace

SysResult<Guardian> start_guardian(const std::function<int(pid_t&)>& start, bool own_group) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Err(last_os_error());
  OwnedHandle ours(fds[0]);
  OwnedHandle theirs(fds[1]);
  // No signal reaches the guardian before it has set up its own dispositions.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t tool = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ours.reset();
    // Nothing may unwind from here into the tool's own code, which would go on in this copy of it.
    try {
      guardian_main(start, theirs.get(), tool, own_group);
    } catch (...) {
      ::_exit(127);
    }
  }
  const int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  theirs.reset();
  if (pid < 0) return Err(os_error(fork_errno));
  const auto report = guardian_report(ours.get());
  if (!report) {
    // Whether the agent started is unknown: the guardian is told to end what it may have started.
    ::kill(pid, SIGTERM);
    ours.reset();
    (void)reap(pid);
    end_orphaned_tree(pid);
    return report.err();
  }
  const std::optional<int> code = *report;
  if (code == 0) return Guardian{pid, std::move(ours)};
  ours.reset();
  if (code) {
    (void)reap(pid);
    return Err(os_error(*code));
  }
  // Killed between starting the agent and saying so: the agent may run.
  auto ended = reap(pid);
  end_orphaned_tree(pid);
  return Err(custom_error(ErrorKind::kOther, "the agent's guardian died" +
                                                 (ended ? " (" + exit_status_text(*ended) + ")" : std::string()) +
                                                 " before it reported the agent's start"));
}

SysResult<std::optional<int>> guardian_report(int report_fd) {
  int raw = 0;
  std::size_t got = 0;
  while (got < sizeof raw) {
    auto n = read_fd(report_fd, reinterpret_cast<char*>(&raw) + got, sizeof raw - got);
    if (!n) return Err(SysError{n.error().kind, n.error().code, "cannot read the report of the agent's guardian: " + n.error().message});
    if (*n == 0) return std::optional<int>();
    got += *n;
  }
  return std::optional<int>(raw);
}

void kill_all_descendants() {
  int ignored = 0;
  end_tree(-1, ignored);
}

void end_orphaned_tree(pid_t guardian) {
  ::kill(-guardian, SIGKILL);  // fails harmlessly when the guardian led no group
  kill_all_descendants();
}

}  // namespace vantle::posix
