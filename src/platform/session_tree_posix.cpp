// POSIX (Linux) half of session_tree.h.
//
// Coupling. A kill-on-close job has no POSIX equivalent, and a process group or session does not
// hold: the agent's tools may start their own, and a SIGKILLed tool runs no clean-up. So the tool
// forks a small guardian that (1) is a child subreaper, so every orphan of the agent's tree is
// re-parented to it instead of to init, whatever process group or session it moved to, and
// (2) has PR_SET_PDEATHSIG pointed at SIGTERM, which the kernel sends when the tool dies for any
// reason, kill -9 included. The guardian starts the agent and waits; when the agent exits, or the
// tool dies, it kills every process below it, round after round (each killed process's orphans
// come back to it as children), until it has no child left, then exits with the agent's code.
// A PID namespace would also contain the tree, but it changes the agent's view of the system.
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
#include "platform/stdio.h"
#include "platform/system.h"
#include "platform/wait_posix.h"

namespace vantle::session_tree {
namespace {

bool g_coupled = false;

// The armed watch: the parent's pidfd (or -1 to compare getppid() with its pid), and what to do.
struct Watch {
  bool armed = false;
  int pidfd = -1;
  pid_t pid = 0;
  std::string line;
  int exit_code = 0;
} g_watch;

constexpr auto FALLBACK_POLL = std::chrono::milliseconds(50);

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool parent_gone() {
  if (g_watch.pidfd < 0) return ::getppid() != g_watch.pid;
  pollfd p{g_watch.pidfd, POLLIN, 0};
  while (::poll(&p, 1, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return (p.revents & POLLIN) != 0;
}

[[noreturn]] void report_parent_death() {
  (void)stdio::write_err(g_watch.line);
  sys::exit_process(g_watch.exit_code);
}

// Blocks until `child` has ended (it is left for the caller to reap), ending this process the
// moment the watched parent does.
void wait_watching(pid_t child) {
  const int child_fd = pidfd_open(child);
  const bool polled = child_fd >= 0 && (!g_watch.armed || g_watch.pidfd >= 0);
  while (true) {
    if (polled) {
      pollfd fds[2] = {{child_fd, POLLIN, 0}, {g_watch.pidfd, POLLIN, 0}};
      const nfds_t n = g_watch.armed ? 2 : 1;
      if (::poll(fds, n, -1) < 0) {
        if (errno == EINTR) continue;
        break;  // let the caller's blocking wait take over
      }
      if (n == 2 && (fds[1].revents & POLLIN)) report_parent_death();
      if (fds[0].revents != 0) break;
    } else {
      const auto ended = posix::has_ended(child, false);
      if (!ended || *ended) break;
      if (g_watch.armed && parent_gone()) report_parent_death();
      std::this_thread::sleep_for(FALLBACK_POLL);
    }
  }
  if (child_fd >= 0) ::close(child_fd);
}

std::string os_failure(const char* call) { return std::string(call) + " failed (os error " + std::to_string(errno) + ")"; }

// The parent of `pid` from /proc/<pid>/stat, or -1.
pid_t parent_of(const char* pid_text) {
  char path[300];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid_text);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
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

// Kills every descendant of the calling process, which must be a child subreaper, and reaps them.
void kill_all_descendants() {
  const pid_t self = ::getpid();
  while (true) {
    if (DIR* proc = ::opendir("/proc")) {
      while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        if (parent_of(entry->d_name) == self) ::kill(static_cast<pid_t>(std::atol(entry->d_name)), SIGKILL);
      }
      ::closedir(proc);
    }
    int status;
    pid_t reaped;
    while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0) {
    }
    if (reaped < 0 && errno == ECHILD) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

[[noreturn]] void guardian_main(const process::Command& command, int report_fd, pid_t tool) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGCHLD);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &waited, nullptr);
  // The tool may have died before the death signal was armed.
  if (::getppid() != tool) {
    ::_exit(1);
  }
  auto agent = process::spawn(command);
  if (!agent) {
    const int code = agent.error().code != 0 ? agent.error().code : EINVAL;
    (void)!::write(report_fd, &code, sizeof code);
    ::_exit(127);
  }
  ::close(report_fd);
  const pid_t agent_pid = static_cast<pid_t>(agent->id());
  int exit_code = 1;
  while (true) {
    siginfo_t info;
    const int sig = ::sigwaitinfo(&waited, &info);
    if (sig == SIGTERM || sig == SIGHUP) break;  // the tool is gone (or we are told to stop)
    if (sig != SIGCHLD) continue;
    bool agent_done = false;
    int raw;
    pid_t reaped;
    while ((reaped = ::waitpid(-1, &raw, WNOHANG)) > 0) {
      if (reaped == agent_pid) {
        agent_done = true;
        exit_code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1;
      }
    }
    if (agent_done) break;
  }
  kill_all_descendants();
  ::_exit(exit_code);
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
  const int fd = pidfd_open(static_cast<pid_t>(parent.pid));
  if (fd >= 0) {
    parent.handle = fd;
  } else if (errno != ENOSYS) {
    parent.unavailable = "pidfd_open(" + std::to_string(parent.pid) + ") failed (os error " + std::to_string(errno) +
                         ") \xE2\x80\x94 parent may already be gone";
  }
  return parent;
}

Result<void> couple_session_tree() {
  // Orphans of a guardian that was killed come back to the tool.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return Err(os_failure("prctl(PR_SET_CHILD_SUBREAPER)"));
  g_coupled = true;
  return {};
}

Result<void> watch_parent_death(Parent parent, std::string line, int exit_code) {
  if (!parent.unavailable.empty()) return Err(parent.unavailable);
  g_watch.armed = true;
  g_watch.pidfd = static_cast<int>(parent.handle);
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
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return failed(last_os_error());
  const pid_t tool = ::getpid();
  const pid_t guardian = ::fork();
  if (guardian < 0) {
    SysError error = last_os_error();
    ::close(report[0]);
    ::close(report[1]);
    return failed(std::move(error));
  }
  if (guardian == 0) {
    ::close(report[0]);
    guardian_main(command, report[1], tool);
  }
  ::close(report[1]);
  // The guardian reports a failed start with the error code, or closes the pipe once the agent runs.
  int spawn_error = 0;
  const auto got = posix::read_fd(report[0], reinterpret_cast<char*>(&spawn_error), sizeof spawn_error);
  ::close(report[0]);
  wait_watching(guardian);
  auto status = posix::reap(guardian);
  if (got && *got == sizeof spawn_error) return failed(os_error(spawn_error));
  if (!status) return failed(std::move(status).error());
  if (status->kind == ExitStatus::Kind::kSignaled) {
    // The guardian only ever exits; killed, it left the agent's tree to us.
    kill_all_descendants();
    return Err(ForegroundError{ForegroundError::Kind::kGuardianDied,
                               custom_error(ErrorKind::kOther, "the agent's guardian died (" + exit_status_text(*status) +
                                                                   "); reaped the OMP session tree")});
  }
  return *status;
}

}  // namespace vantle::session_tree
