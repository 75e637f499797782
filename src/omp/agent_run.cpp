#include "omp/agent_run.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "platform/child_watch.h"
#include "platform/termination.h"

namespace vantle::omp {
namespace {

using Clock = std::chrono::steady_clock;
using Event = process::ChildWatch::Event;

// Ends a run that cannot go on: the whole tree is killed and the agent waited for, both outcomes
// ignored.
void abandon(process::Child& child) {
  (void)child.kill();
  (void)child.wait();
}

// The two outputs as the run keeps them, and the first failure reading each.
class Outputs {
 public:
  explicit Outputs(const RunLimits& limits)
      : captures_{BoundedCapture(limits.stdout_bytes), BoundedCapture(limits.stderr_bytes)} {}

  // Keeps what an event brought. True when it ends the run: a failed read, or (with
  // `limits_end_run`) the first byte past a limit.
  bool take(const Event& event, bool limits_end_run, process::ChildWatch& watch) {
    const std::size_t i = event.stream;
    if (event.kind == Event::Kind::kReadFailed) {
      failures_[i] = event.error;
      return true;
    }
    try {
      if (captures_[i].add(event.bytes) && limits_end_run) {
        limit_ = i == 0 ? RunEnd::kStdoutLimit : RunEnd::kStderrLimit;
        return true;
      }
      return false;
    } catch (const std::bad_alloc&) {
      captures_[i] = BoundedCapture(std::nullopt);  // give the memory back first
      failures_[i] = custom_error(ErrorKind::kOther, std::string(i == 0 ? "stdout" : "stderr") + " reader ran out of memory");
      watch.close(i);
      return true;
    }
  }
  // A failed wait fails whatever was still being read.
  void fail_open(const SysError& error, process::ChildWatch& watch) {
    for (std::size_t i = 0; i < 2; ++i) {
      if (!watch.is_open(i)) continue;
      if (!failures_[i]) failures_[i] = error;
      watch.close(i);
    }
  }
  std::optional<RunEnd> limit() const { return limit_; }

  Result<AgentRun, RunError> finish(ExitStatus status, RunEnd end) {
    if (failures_[0]) return Err(RunError{RunError::Step::kReadStdout, std::move(*failures_[0])});
    if (failures_[1]) return Err(RunError{RunError::Step::kReadStderr, std::move(*failures_[1])});
    return AgentRun{captures_[0].take(), captures_[0].overflowed(), captures_[1].take(), captures_[1].overflowed(),
                    std::move(status), end};
  }

 private:
  std::array<BoundedCapture, 2> captures_;
  std::array<std::optional<SysError>, 2> failures_;
  std::optional<RunEnd> limit_;
};

}  // namespace

bool BoundedCapture::add(std::string_view piece) {
  const std::size_t room = limit_ ? *limit_ - kept_.size() : piece.size();
  if (piece.size() <= room) {
    kept_.append(piece);
    return false;
  }
  kept_.append(piece.substr(0, room));
  if (overflowed_) return false;
  overflowed_ = true;
  return true;
}

Result<AgentRun, RunError> run_agent(process::Command command, const RunLimits& limits) {
  const auto interrupted = [] {
    return Err(RunError{RunError::Step::kInterrupted, custom_error(ErrorKind::kOther, "the tool was asked to end")});
  };
  // Declared first, so that the tool ends only once everything below is gone.
  termination::Deferral deferral;
  if (termination::requested()) return interrupted();
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kPipe;
  command.own_tree = true;
  auto started = process::spawn(command);
  if (!started) return Err(RunError{RunError::Step::kStart, std::move(started).error()});
  process::Child child = std::move(*started);
  process::ChildWatch watch(child);
  Outputs outputs(limits);
  const auto wait_failed = [&child](SysError error) {
    abandon(child);
    return Err(RunError{RunError::Step::kWait, std::move(error)});
  };

  // Until the agent ends, or a limit, a failed read or a request to end the tool ends the run.
  const auto began = Clock::now();
  const process::ChildWatch::Deadline deadline =
      limits.time ? process::ChildWatch::Deadline(began + *limits.time) : std::nullopt;
  RunEnd end = RunEnd::kExited;
  bool tree_ended = false;
  bool ending = false;
  while (true) {
    auto event = watch.next(deadline);
    if (!event) return wait_failed(std::move(event).error());
    if (event->kind == Event::Kind::kEnded) {
      tree_ended = true;
      break;
    }
    if (event->kind == Event::Kind::kTerminationRequested) {
      ending = true;
      break;
    }
    if (event->kind == Event::Kind::kDeadline) {
      end = RunEnd::kTimeLimit;
      break;
    }
    if (outputs.take(*event, !limits.drain_past_limits, watch)) {
      end = outputs.limit().value_or(RunEnd::kExited);
      break;
    }
  }
  // The tree is killed and its end awaited, still reading: what it writes meanwhile is kept
  // within the limits.
  if (!tree_ended) {
    // A tree that cannot be told to end is not waited for, which could be for ever: the run fails,
    // and the tree ends with this process.
    if (auto killed = child.kill(); !killed) return Err(RunError{RunError::Step::kWait, std::move(killed).error()});
    while (!tree_ended) {
      auto event = watch.next(std::nullopt);
      if (!event) return wait_failed(std::move(event).error());
      if (event->kind == Event::Kind::kEnded) tree_ended = true;
      if (event->kind == Event::Kind::kTerminationRequested) ending = true;
      if (event->kind == Event::Kind::kOutput || event->kind == Event::Kind::kReadFailed) {
        (void)outputs.take(*event, false, watch);
      }
    }
  }
  auto status = child.wait();
  if (!status) return Err(RunError{RunError::Step::kWait, std::move(status).error()});

  // The tree is gone now. What the agent wrote is in the pipes; a pipe is read to its end, or
  // until it has stayed empty for the grace period (a process that escaped the tree holds it).
  // One that escaped and keeps writing is cut off at the limit, and all reading at the longest
  // grace.
  const auto tree_gone = Clock::now();
  std::array<Clock::time_point, 2> last_read{tree_gone, tree_gone};
  while (watch.is_open(0) || watch.is_open(1)) {
    Clock::time_point until = tree_gone + READ_GRACE_MAX;
    for (std::size_t i = 0; i < 2; ++i) {
      if (watch.is_open(i)) until = std::min(until, last_read[i] + READ_GRACE);
    }
    auto event = watch.next(until);
    if (!event) {
      outputs.fail_open(event.error(), watch);
      break;
    }
    const auto now = Clock::now();
    if (event->kind == Event::Kind::kDeadline) {
      for (std::size_t i = 0; i < 2; ++i) {
        if (now >= last_read[i] + READ_GRACE || now >= tree_gone + READ_GRACE_MAX) watch.close(i);
      }
    } else if (event->kind == Event::Kind::kOutput || event->kind == Event::Kind::kReadFailed) {
      last_read[event->stream] = now;
      (void)outputs.take(*event, false, watch);
    }
  }
  if (ending) return interrupted();
  return outputs.finish(std::move(*status), end);
}

}  // namespace vantle::omp
