#include "omp/agent_run.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/termination.h"

namespace vantle::omp {
namespace {

using Clock = std::chrono::steady_clock;

// How a reader ended, when it did not simply reach the end of its pipe.
enum class Fault { kNone, kReadError, kOutOfMemory, kPanicked };

struct Stream {
  explicit Stream(std::optional<std::size_t> limit) : capture(limit) {}
  BoundedCapture capture;
  bool done = false;
  Fault fault = Fault::kNone;
  SysError error;
};

// What the run and its two readers share. A reader the run stops waiting for keeps it alive and
// drops whatever it reads afterwards.
struct Shared {
  explicit Shared(const RunLimits& limits) : streams{Stream(limits.stdout_bytes), Stream(limits.stderr_bytes)} {}
  std::mutex mutex;
  std::condition_variable changed;  // a reader ended or a stream went past its limit
  std::array<Stream, 2> streams;    // standard output, standard error
  bool overflow = false;
  bool tree_ended = false;  // the agent's tree is dead: whoever still holds a pipe escaped it
  bool abandoned = false;
};

void read_stream(process::ReadPipe pipe, std::shared_ptr<Shared> shared, std::size_t index) {
  Stream& stream = shared->streams[index];
  Fault fault = Fault::kNone;
  SysError error;
  try {
    std::array<char, PIPE_READ_CHUNK> chunk;
    while (true) {
      bool tree_ended = false;
      {
        std::lock_guard lock(shared->mutex);
        if (shared->abandoned) break;
        tree_ended = shared->tree_ended;
      }
      // The reader, not the run, judges its pipe idle: only it knows that everything it has read
      // is recorded, and the wait ends the moment a byte arrives, however loaded the machine is.
      auto readable = pipe.wait_readable(READ_GRACE);
      if (!readable) {
        fault = Fault::kReadError;
        error = std::move(readable).error();
        break;
      }
      if (!*readable) {
        if (tree_ended) break;  // empty, and held open only by a process that escaped the tree
        continue;
      }
      auto n = pipe.read(chunk.data(), chunk.size());
      std::lock_guard lock(shared->mutex);
      if (!n) {
        if (n.error().kind == ErrorKind::kInterrupted) continue;
        fault = Fault::kReadError;
        error = std::move(n).error();
        break;
      }
      if (*n == 0 || shared->abandoned) break;
      if (stream.capture.add(std::string_view(chunk.data(), *n))) {
        shared->overflow = true;
        shared->changed.notify_all();
      }
    }
  } catch (const std::bad_alloc&) {
    fault = Fault::kOutOfMemory;
  } catch (...) {
    fault = Fault::kPanicked;
  }
  pipe.close();
  std::lock_guard lock(shared->mutex);
  if (shared->abandoned) return;  // the run has taken what it needed
  if (fault == Fault::kOutOfMemory) stream.capture = BoundedCapture(std::nullopt);  // give the memory back first
  stream.fault = fault;
  stream.error = std::move(error);
  stream.done = true;
  shared->changed.notify_all();
}

// The two reader threads. Those still running when the run returns are detached: each ends when
// its pipe does.
class Readers {
 public:
  explicit Readers(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Readers(const Readers&) = delete;
  Readers& operator=(const Readers&) = delete;
  ~Readers() {
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.detach();
    }
  }

  SysResult<void> start(process::Child& child) {
    std::optional<process::ReadPipe> pipes[2] = {child.take_stdout(), child.take_stderr()};
    for (std::size_t i = 0; i < 2; ++i) {
      try {
        threads_[i] = std::thread(read_stream, std::move(*pipes[i]), shared_, i);
      } catch (const std::system_error& e) {
        return Err(custom_error(ErrorKind::kOther, std::string("cannot start a reader thread: ") + e.what()));
      }
    }
    return {};
  }
  // Joins the readers that have ended; call with the shared state's lock released.
  void join_finished(const std::array<bool, 2>& done) {
    for (std::size_t i = 0; i < 2; ++i) {
      if (done[i] && threads_[i].joinable()) threads_[i].join();
    }
  }

 private:
  std::shared_ptr<Shared> shared_;
  std::array<std::thread, 2> threads_;
};

bool failed(const Stream& stream) { return stream.done && stream.fault != Fault::kNone; }

RunError read_failure(std::size_t index, const Stream& stream) {
  const std::string name = index == 0 ? "stdout" : "stderr";
  const auto step = index == 0 ? RunError::Step::kReadStdout : RunError::Step::kReadStderr;
  switch (stream.fault) {
    case Fault::kReadError:
      return {step, stream.error};
    case Fault::kOutOfMemory:
      return {step, custom_error(ErrorKind::kOther, name + " reader ran out of memory")};
    default:
      return {step, custom_error(ErrorKind::kOther, name + " reader thread panicked")};
  }
}

// Ends a run that cannot go on: the whole tree is killed and the agent waited for, both outcomes
// ignored.
void abandon(process::Child& child) {
  (void)child.kill();
  (void)child.wait();
}

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

  auto shared = std::make_shared<Shared>(limits);
  Readers readers(shared);
  if (!limits.read_after_exit) {
    if (auto begun = readers.start(child); !begun) {
      abandon(child);
      return Err(RunError{RunError::Step::kStart, begun.error()});
    }
  }

  // Until the agent ends or a limit or a failed reader ends the run.
  const auto began = Clock::now();
  RunEnd end = RunEnd::kExited;
  std::optional<ExitStatus> status;
  bool reader_failed = false;
  bool ending = false;
  {
    std::unique_lock lock(shared->mutex);
    while (true) {
      if (termination::requested()) {
        ending = true;
        break;
      }
      if (shared->overflow) {
        end = shared->streams[0].capture.overflowed() ? RunEnd::kStdoutLimit : RunEnd::kStderrLimit;
        break;
      }
      if (failed(shared->streams[0]) || failed(shared->streams[1])) {
        reader_failed = true;
        break;
      }
      lock.unlock();
      auto exited = child.try_wait();
      if (!exited) {
        abandon(child);
        return Err(RunError{RunError::Step::kWait, std::move(exited).error()});
      }
      if (*exited) {
        status = **exited;
        break;
      }
      if (limits.time && Clock::now() - began >= *limits.time) {
        end = RunEnd::kTimeLimit;
        break;
      }
      lock.lock();
      shared->changed.wait_for(lock, limits.poll_interval);
    }
  }
  if (!status) {
    (void)child.kill();
    auto waited = child.wait();
    if (!waited && !reader_failed) return Err(RunError{RunError::Step::kWait, std::move(waited).error()});
    if (waited) status = *waited;
  }
  // The tree is gone now. What the agent wrote is in the pipes; a reader ends at its pipe's end,
  // or once its pipe has stayed empty for the grace period (a process that escaped the tree holds
  // it). One that escaped and keeps writing is cut off at the limit.
  {
    std::lock_guard lock(shared->mutex);
    shared->tree_ended = true;
  }
  if (limits.read_after_exit) {
    if (auto begun = readers.start(child); !begun) return Err(RunError{RunError::Step::kStart, begun.error()});
  }
  std::array<bool, 2> done{};
  Result<AgentRun, RunError> result = Err(RunError{RunError::Step::kWait, SysError{}});
  {
    std::unique_lock lock(shared->mutex);
    const auto ended = Clock::now();
    while (!(shared->streams[0].done && shared->streams[1].done)) {
      if (Clock::now() - ended >= READ_GRACE_MAX) break;
      shared->changed.wait_for(lock, limits.poll_interval);
    }
    // From here on the readers leave the streams alone.
    shared->abandoned = true;
    done = {shared->streams[0].done, shared->streams[1].done};
    Stream& out = shared->streams[0];
    Stream& err = shared->streams[1];
    if (failed(out)) {
      result = Err(read_failure(0, out));
    } else if (failed(err)) {
      result = Err(read_failure(1, err));
    } else {
      result = AgentRun{out.capture.take(), out.capture.overflowed(), err.capture.take(), err.capture.overflowed(),
                        std::move(*status), end};
    }
  }
  readers.join_finished(done);
  if (ending) return interrupted();
  return result;
}

}  // namespace vantle::omp
