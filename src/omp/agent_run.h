// Running the agent once: the one way every caller (the version probe, the Thymel turn, the
// Corvane turn) starts it and reads it. The run owns the agent's whole process tree (under a
// guardian of its own on POSIX, in a kill-on-close job on Windows) and ends it when the run ends,
// for whatever reason; descendants that keep the agent's pipes open never keep the caller waiting.
// The run sleeps in one wait (platform/child_watch.h) for the agent's end, its outputs, the time
// limit and a request to end the tool.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/exit_status.h"
#include "base/result.h"
#include "platform/error.h"
#include "platform/process.h"

namespace vantle::omp {

// Once the agent has ended and its tree has been killed, how long a pipe may stay empty before
// the run gives up on it (a descendant that escaped the tree still holds it, writing nothing),
// and how long the reading may take at most (one that escaped keeps writing).
inline constexpr std::chrono::milliseconds READ_GRACE{100};
inline constexpr std::chrono::milliseconds READ_GRACE_MAX{2000};

struct RunLimits {
  // Bytes of each output kept; the first byte past a limit ends the run. None: keep everything.
  std::optional<std::size_t> stdout_bytes;
  std::optional<std::size_t> stderr_bytes;
  // The run ends when the agent has not exited by then.
  std::optional<std::chrono::milliseconds> time;
  // Past a byte limit the run goes on: the rest of that output is read and dropped, so that the
  // agent never blocks on a full pipe, and only its exit or the time limit ends the run.
  bool drain_past_limits = false;
};

// What ended a run: the agent's own exit, or a limit (the agent and its tree were then killed).
enum class RunEnd { kExited, kStdoutLimit, kStderrLimit, kTimeLimit };

// What a run leaves: the kept bytes of each output, whether each went past its limit, how the
// agent ended and what ended the run.
struct AgentRun {
  std::string out;
  bool out_overflowed = false;
  std::string err;
  bool err_overflowed = false;
  ExitStatus status;
  RunEnd end = RunEnd::kExited;
};

// Where a run failed.
struct RunError {
  // kInterrupted: the tool was asked to end (see platform/termination.h); the tree is gone.
  enum class Step { kStart, kWait, kReadStdout, kReadStderr, kInterrupted };
  Step step;
  SysError error;
};

// Starts `command` with standard input on the null device and both outputs piped, and reads both
// until the agent has exited or a limit ends the run; no process of the agent's tree is left when
// it returns. Running out of memory while reading is a read error, not an exception. A request to
// end the tool that arrives meanwhile ends the run (and its tree) first; the tool then ends when
// the caller's outermost termination::Deferral goes, or as the run returns when there is none.
Result<AgentRun, RunError> run_agent(process::Command command, const RunLimits& limits);

// The first `limit` bytes of a stream, and whether the stream went past them.
class BoundedCapture {
 public:
  explicit BoundedCapture(std::optional<std::size_t> limit) : limit_(limit) {}
  // Keeps what still fits of `piece`. True only for the first piece that did not fit entirely,
  // which is when the overflow has to be signalled.
  bool add(std::string_view piece);
  const std::string& kept() const { return kept_; }
  std::string take() { return std::move(kept_); }
  bool overflowed() const { return overflowed_; }

 private:
  std::optional<std::size_t> limit_;
  std::string kept_;
  bool overflowed_ = false;
};

}  // namespace vantle::omp
