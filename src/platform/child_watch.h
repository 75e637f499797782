// One blocking wait over a running child: its end, its output pipes, the end of the process that
// started this one (when asked), a request to end the tool (platform/termination.h) and a deadline.
// No thread is started and nothing is polled on a timer, save the parent's end on a Linux kernel
// without pidfd_open. POSIX sleeps in one ppoll over the guardian's report pipe (readable once the
// guardian reports, hung up if it dies), the parent's pidfd and the two pipes, with the signals
// that wake it (the child's SIGCHLD where it has no guardian, the termination signals) let through
// only there; Windows waits for the process, the parent, the termination event and the events of
// overlapped reads on the two pipes in one WaitForMultipleObjects.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/error.h"
#include "platform/process.h"

namespace vantle::process {

class ChildWatch {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;

  // What woke the wait. The child's end, the parent's and the request are each reported once; a pipe's end
  // (empty bytes) and a failed read close that pipe.
  struct Event {
    enum class Kind { kOutput, kReadFailed, kEnded, kParentEnded, kTerminationRequested, kDeadline };
    Kind kind = Kind::kDeadline;
    std::size_t stream = 0;  // kOutput, kReadFailed: 0 standard output, 1 standard error
    std::string_view bytes;  // kOutput: what was read, valid until the next call; empty at the end
    SysError error;          // kReadFailed

    static Event of(Kind kind) {
      Event e;
      e.kind = kind;
      return e;
    }
    static Event output(std::size_t stream, std::string_view bytes) {
      Event e = of(Kind::kOutput);
      e.stream = stream;
      e.bytes = bytes;
      return e;
    }
    static Event failed(std::size_t stream, SysError error) {
      Event e = of(Kind::kReadFailed);
      e.stream = stream;
      e.error = std::move(error);
      return e;
    }
  };

  // The process that started this one, watched for its end: its pid, and a handle that signals the
  // end (a pidfd, a SYNCHRONIZE process handle). Without a handle, POSIX sees the end when this
  // process's parent pid changes.
  struct Parent {
    std::uint32_t pid = 0;
    const OwnedHandle* handle = nullptr;
  };

  // Takes the child's piped outputs, if any. The child must outlive the watch and stay where it is;
  // once its end is reported, the watch no longer looks at it, so it may be waited for.
  explicit ChildWatch(Child& child, std::optional<Parent> parent = std::nullopt);
  ~ChildWatch();
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // Blocks until something happens, or until `deadline` (none: no deadline). An error when nothing
  // is left to wait for.
  SysResult<Event> next(Deadline deadline);
  // Stops reading a pipe and closes it.
  void close(std::size_t stream);
  bool is_open(std::size_t stream) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vantle::process
