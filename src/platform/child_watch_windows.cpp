// Windows half of child_watch.h: the output pipes are opened for overlapped reads (process_windows
// makes them so), each pipe keeps one read pending with an event of its own, and one
// WaitForMultipleObjects takes the termination event, the parent, the process and both read events.
#include <windows.h>

#include <algorithm>
#include <array>

#include "platform/child_watch.h"
#include "platform/handle_windows.h"
#include "platform/termination.h"
#include "platform/termination_windows.h"

namespace vantle::process {

namespace {

using Clock = std::chrono::steady_clock;

// Only where a deferral lives without its event, which the system refused to make: nothing else
// could wake the wait for a request.
constexpr auto WITHOUT_REQUEST_EVENT = std::chrono::milliseconds(100);
constexpr DWORD READ_SIZE = 65536;

// One pipe with at most one overlapped read in flight.
struct PendingPipe {
  OwnedHandle pipe;
  OwnedHandle event;  // manual-reset, set when the read completes
  OVERLAPPED overlapped{};
  bool pending = false;
  std::array<char, READ_SIZE> buffer;

  // Cancels a read in flight and waits until the system no longer writes into the buffer.
  void close() {
    if (pending) {
      DWORD ignored = 0;
      ::CancelIoEx(pipe.get(), &overlapped);
      ::GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
      pending = false;
    }
    pipe.reset();
  }
};

}  // namespace

struct ChildWatch::State {
  State(const OwnedHandle& process, std::optional<Parent> parent) : process(process), parent(parent) {}
  const OwnedHandle& process;    // the child's process, which the child owns
  std::optional<Parent> parent;  // reset once its end is reported
  bool ended = false;            // the child's end reported, and no longer watched
  bool watch_request = true;
  std::array<PendingPipe, 2> pipes;
  std::size_t first = 0;
};

ChildWatch::ChildWatch(Child& child, std::optional<Parent> parent)
    : state_(std::make_unique<State>(child.handles_.process, parent)) {
  if (state_->parent && (state_->parent->handle == nullptr || !*state_->parent->handle)) state_->parent.reset();
  std::optional<ReadPipe>* ends[2] = {&child.stdout_, &child.stderr_};
  for (std::size_t i = 0; i < 2; ++i) {
    if (!*ends[i]) continue;
    state_->pipes[i].pipe = std::move((*ends[i])->handle_);
    ends[i]->reset();
  }
}

ChildWatch::~ChildWatch() {
  for (auto& p : state_->pipes) p.close();
}

void ChildWatch::close(std::size_t stream) { state_->pipes[stream].close(); }

bool ChildWatch::is_open(std::size_t stream) const { return static_cast<bool>(state_->pipes[stream].pipe); }

SysResult<ChildWatch::Event> ChildWatch::next(Deadline deadline) {
  State& s = *state_;
  const auto read_failed = [&s](std::size_t i, DWORD code) {
    s.pipes[i].close();
    return Event::failed(i, os_error(static_cast<int>(code)));
  };
  while (true) {
    // Every open pipe gets a read in flight; one that ends or fails at once is reported at once.
    for (std::size_t i = 0; i < 2; ++i) {
      PendingPipe& p = s.pipes[i];
      if (!p.pipe || p.pending) continue;
      if (!p.event) {
        p.event = win::own(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!p.event) return Err(last_os_error());
      }
      p.overlapped = OVERLAPPED{};
      p.overlapped.hEvent = p.event.get();
      if (!::ReadFile(p.pipe.get(), p.buffer.data(), READ_SIZE, nullptr, &p.overlapped)) {
        const DWORD code = ::GetLastError();
        if (win::is_input_end(code)) {
          p.close();
          return Event::output(i, {});
        }
        if (code != ERROR_IO_PENDING) return read_failed(i, code);
      }
      p.pending = true;  // even a read done at once is collected through its event
    }
    if (s.watch_request && termination::requested()) {
      s.watch_request = false;
      return Event::of(Event::Kind::kTerminationRequested);
    }
    // The request first, then the parent and the process, then the pipes in turn: a pipe that never
    // stops filling hides neither the request nor an end from the wait, which takes the first.
    std::array<HANDLE, 5> handles{};
    std::array<int, 5> meaning{};  // -3 request, -2 parent, -1 process, 0 and 1 the pipes
    DWORD count = 0;
    const HANDLE request = s.watch_request ? static_cast<HANDLE>(termination::request_event()) : nullptr;
    if (request != nullptr) handles[count] = request, meaning[count++] = -3;
    if (s.parent) handles[count] = s.parent->handle->get(), meaning[count++] = -2;
    if (!s.ended) handles[count] = s.process.get(), meaning[count++] = -1;
    for (std::size_t k = 0; k < 2; ++k) {
      const std::size_t i = (s.first + k) % 2;
      if (s.pipes[i].pending) handles[count] = s.pipes[i].event.get(), meaning[count++] = static_cast<int>(i);
    }
    if (count == 0 || (count == 1 && meaning[0] == -3)) {
      return Err(custom_error(ErrorKind::kOther, "nothing left to wait for"));
    }
    auto wait = std::chrono::milliseconds::max();
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) return Event::of(Event::Kind::kDeadline);
      wait = std::chrono::ceil<std::chrono::milliseconds>(left);
    }
    if (s.watch_request && termination::request_unsignalled()) wait = std::min<std::chrono::milliseconds>(wait, WITHOUT_REQUEST_EVENT);
    const DWORD timeout = wait == std::chrono::milliseconds::max()
                              ? INFINITE
                              : static_cast<DWORD>(std::min<std::int64_t>(wait.count(), INFINITE - 1));
    const DWORD r = ::WaitForMultipleObjects(count, handles.data(), FALSE, timeout);
    if (r == WAIT_TIMEOUT) continue;  // the deadline is judged at the top, by the clock
    if (r >= WAIT_OBJECT_0 + count) return Err(last_os_error());
    const int what = meaning[r - WAIT_OBJECT_0];
    if (what == -3) continue;  // reported at the top
    if (what == -2) {
      s.parent.reset();
      return Event::of(Event::Kind::kParentEnded);
    }
    if (what == -1) {
      s.ended = true;
      return Event::of(Event::Kind::kEnded);
    }
    const auto i = static_cast<std::size_t>(what);
    PendingPipe& p = s.pipes[i];
    s.first = 1 - i;
    p.pending = false;
    DWORD got = 0;
    if (!::GetOverlappedResult(p.pipe.get(), &p.overlapped, &got, FALSE)) {
      const DWORD code = ::GetLastError();
      if (win::is_input_end(code)) {
        p.close();
        return Event::output(i, {});
      }
      return read_failed(i, code);
    }
    if (got == 0) continue;  // a writer's empty write: the next round reads again
    return Event::output(i, std::string_view(p.buffer.data(), got));
  }
}

}  // namespace vantle::process
