// POSIX half of child_watch.h: one poll over the guardian's report pipe, the two output pipes and
// the termination self-pipe. The report pipe needs no pidfd: its one writer is the guardian, which
// writes the agent's status once the tree is gone and then exits, or hangs it up by dying.
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/child_watch.h"
#include "platform/fd_posix.h"
#include "platform/termination.h"

namespace vantle::process {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait sleeps without a termination descriptor to wake it (only where the system
// refused to make one).
constexpr auto WITHOUT_REQUEST_SIGNAL = std::chrono::milliseconds(100);
// One read: a whole Linux pipe.
constexpr std::size_t READ_SIZE = 65536;

}  // namespace

struct ChildWatch::State {
  explicit State(const OwnedHandle& report) : report(report) {}
  const OwnedHandle& report;  // the child's report pipe, which the child owns
  bool ended = false;          // its end reported, and no longer watched
  bool watch_request = true;
  std::array<OwnedHandle, 2> pipes;
  std::size_t first = 0;  // the pipe looked at first, alternated so that neither starves the other
  std::array<char, READ_SIZE> buffer;
};

ChildWatch::ChildWatch(Child& child) : state_(std::make_unique<State>(child.handles_.guardian_report)) {
  if (child.stdout_) state_->pipes[0] = std::move(child.stdout_->handle_);
  if (child.stderr_) state_->pipes[1] = std::move(child.stderr_->handle_);
  child.stdout_.reset();
  child.stderr_.reset();
}

ChildWatch::~ChildWatch() = default;

void ChildWatch::close(std::size_t stream) { state_->pipes[stream].reset(); }

bool ChildWatch::is_open(std::size_t stream) const { return static_cast<bool>(state_->pipes[stream]); }

SysResult<ChildWatch::Event> ChildWatch::next(Deadline deadline) {
  State& s = *state_;
  const int request = s.watch_request ? termination::request_signal() : -1;
  while (true) {
    if (s.watch_request && termination::requested()) {
      s.watch_request = false;
      return Event::of(Event::Kind::kTerminationRequested);
    }
    // poll ignores negative descriptors: what is not watched stays in its slot as -1.
    std::array<pollfd, 4> fds{{{request, POLLIN, 0},
                               {s.ended ? -1 : s.report.get(), POLLIN, 0},
                               {s.pipes[0] ? s.pipes[0].get() : -1, POLLIN, 0},
                               {s.pipes[1] ? s.pipes[1].get() : -1, POLLIN, 0}}};
    auto wait = std::chrono::milliseconds::max();
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) return Event::of(Event::Kind::kDeadline);
      wait = std::chrono::ceil<std::chrono::milliseconds>(left);
    }
    if (s.watch_request && request < 0) wait = std::min<std::chrono::milliseconds>(wait, WITHOUT_REQUEST_SIGNAL);
    const int timeout = wait == std::chrono::milliseconds::max()
                            ? -1
                            : static_cast<int>(std::min<std::int64_t>(wait.count(), INT_MAX));
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    if (n == 0) continue;  // the deadline is judged at the top, by the clock
    if (fds[0].revents != 0) continue;  // the request: reported at the top
    if (fds[1].revents != 0) {
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
