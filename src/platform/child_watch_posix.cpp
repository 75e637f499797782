// POSIX half of child_watch.h: one ppoll over the guardian's report pipe, the parent's pidfd and
// the two output pipes. The report pipe needs no pidfd: its one writer is the guardian, which writes
// the agent's status once the tree is gone and then exits, or hangs it up by dying. A child without
// a guardian is seen to end by its SIGCHLD, which the watch blocks for its life and lets through
// only while it sleeps, so that no end falls between a look and the sleep.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>

#include "platform/child_watch.h"
#include "platform/fd_posix.h"
#include "platform/termination.h"
#include "platform/termination_posix.h"

namespace vantle::process {

namespace {

using Clock = std::chrono::steady_clock;

// A kernel without pidfd_open (before Linux 5.3) gives no descriptor for the parent: its end shows
// only in getppid(), looked at this often.
constexpr auto PARENT_WITHOUT_PIDFD = std::chrono::milliseconds(50);
// One read: a whole Linux pipe.
constexpr std::size_t READ_SIZE = 65536;

void on_child_signal(int) {}

// Whether `pid`, a child of ours, has ended; it is left for its waiter to reap.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) return true;  // nothing left to wait for: the end is the caller's to see
  }
  return info.si_pid != 0;
}

}  // namespace

struct ChildWatch::State {
  State(const OwnedHandle& report, pid_t pid, std::optional<Parent> parent)
      : report(report), pid(pid), parent(parent) {}
  const OwnedHandle& report;  // the child's report pipe, which the child owns; empty without a guardian
  pid_t pid;
  std::optional<Parent> parent;  // reset once its end is reported
  bool ended = false;            // the child's end reported, and no longer watched
  bool watch_request = true;
  std::array<OwnedHandle, 2> pipes;
  std::size_t first = 0;  // the pipe looked at first, alternated so that neither starves the other
  // Without a guardian: SIGCHLD's disposition and whether it was blocked before the watch.
  struct sigaction old_action {};
  bool was_blocked = false;
  std::array<char, READ_SIZE> buffer;
};

ChildWatch::ChildWatch(Child& child, std::optional<Parent> parent)
    : state_(std::make_unique<State>(child.handles_.guardian_report, static_cast<pid_t>(child.pid_), parent)) {
  if (child.stdout_) state_->pipes[0] = std::move(child.stdout_->handle_);
  if (child.stderr_) state_->pipes[1] = std::move(child.stderr_->handle_);
  child.stdout_.reset();
  child.stderr_.reset();
  if (state_->parent && state_->parent->handle && !*state_->parent->handle) state_->parent->handle = nullptr;
  if (state_->report) return;
  // The default disposition discards SIGCHLD, which then interrupts nothing.
  struct sigaction action {};
  action.sa_handler = on_child_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  ::sigaction(SIGCHLD, &action, &state_->old_action);
  sigset_t child_signal;
  sigset_t before;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  ::pthread_sigmask(SIG_BLOCK, &child_signal, &before);
  state_->was_blocked = sigismember(&before, SIGCHLD) == 1;
}

ChildWatch::~ChildWatch() {
  if (state_->report) return;
  // The disposition first: a SIGCHLD still pending is then discarded, not handled.
  ::sigaction(SIGCHLD, &state_->old_action, nullptr);
  if (state_->was_blocked) return;
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  ::pthread_sigmask(SIG_UNBLOCK, &child_signal, nullptr);
}

void ChildWatch::close(std::size_t stream) { state_->pipes[stream].reset(); }

bool ChildWatch::is_open(std::size_t stream) const { return static_cast<bool>(state_->pipes[stream]); }

SysResult<ChildWatch::Event> ChildWatch::next(Deadline deadline) {
  State& s = *state_;
  while (true) {
    if (s.watch_request && termination::requested()) {
      s.watch_request = false;
      return Event::of(Event::Kind::kTerminationRequested);
    }
    if (!s.ended && !s.report && has_ended(s.pid)) {
      s.ended = true;
      return Event::of(Event::Kind::kEnded);
    }
    const bool parent_by_pid = s.parent && s.parent->handle == nullptr;
    if (parent_by_pid && ::getppid() != static_cast<pid_t>(s.parent->pid)) {
      s.parent.reset();
      return Event::of(Event::Kind::kParentEnded);
    }
    // ppoll ignores negative descriptors: what is not watched stays in its slot as -1.
    std::array<pollfd, 4> fds{{{s.ended || !s.report ? -1 : s.report.get(), POLLIN, 0},
                               {s.parent && s.parent->handle ? s.parent->handle->get() : -1, POLLIN, 0},
                               {s.pipes[0] ? s.pipes[0].get() : -1, POLLIN, 0},
                               {s.pipes[1] ? s.pipes[1].get() : -1, POLLIN, 0}}};
    const bool by_signal = !s.ended && !s.report;
    if (!by_signal && !parent_by_pid && std::all_of(fds.begin(), fds.end(), [](const pollfd& p) { return p.fd < 0; })) {
      return Err(custom_error(ErrorKind::kOther, "nothing left to wait for"));
    }
    std::optional<Clock::duration> wait;
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) return Event::of(Event::Kind::kDeadline);
      wait = left;
    }
    if (parent_by_pid) wait = std::min<Clock::duration>(wait.value_or(PARENT_WITHOUT_PIDFD), PARENT_WITHOUT_PIDFD);
    timespec timeout{};
    if (wait) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    if (by_signal) sigdelset(&mask, SIGCHLD);
    if (s.watch_request) termination::let_requests_through(mask);
    const int n = ::ppoll(fds.data(), fds.size(), wait ? &timeout : nullptr, &mask);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal let through: what it means is looked at above
      return Err(last_os_error());
    }
    if (n == 0) continue;  // the deadline is judged at the top, by the clock
    if (fds[1].revents != 0) {
      s.parent.reset();
      return Event::of(Event::Kind::kParentEnded);
    }
    if (fds[0].revents != 0) {
      s.ended = true;
      return Event::of(Event::Kind::kEnded);
    }
    for (std::size_t k = 0; k < 2; ++k) {
      const std::size_t i = (s.first + k) % 2;
      if (fds[2 + i].revents == 0) continue;
      s.first = 1 - i;
      auto got = posix::read_fd(s.pipes[i].get(), s.buffer.data(), s.buffer.size());
      if (!got) {
        s.pipes[i].reset();
        return Event::failed(i, std::move(got).error());
      }
      if (*got == 0) s.pipes[i].reset();
      return Event::output(i, std::string_view(s.buffer.data(), *got));
    }
  }
}

}  // namespace vantle::process
