#include "corvane_omp/capture.h"

#include <array>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "corvane_omp/delta.h"

namespace vantle::corvane {
namespace {

// What a reader thread hands back when it is joined.
struct ReaderResult {
  std::optional<SysResult<void>> outcome;  // empty when the thread ended abnormally
  std::string kept;
  bool overflowed = false;
};

// Reads a pipe to its end, keeping the first `limit` bytes and draining the rest so that the agent
// never blocks on a full pipe. The pipe is closed when the reader ends.
void read_pipe(process::ReadPipe pipe, std::size_t limit, std::shared_ptr<SignalChannel> channel,
               std::shared_ptr<ReaderResult> result) {
  try {
    BoundedCapture capture(limit);
    std::array<char, PIPE_READ_CHUNK> chunk;
    SysResult<void> outcome;
    while (true) {
      auto n = pipe.read(chunk.data(), chunk.size());
      if (!n) {
        if (n.error().kind == ErrorKind::kInterrupted) continue;
        outcome = n.err();
        break;
      }
      if (*n == 0) break;
      if (capture.add(std::string_view(chunk.data(), *n))) channel->send();
    }
    pipe.close();
    result->overflowed = capture.overflowed();
    result->kept = capture.take();
    result->outcome = std::move(outcome);
  } catch (...) {
    // Only allocation can throw here; the join reports it.
    result->outcome.reset();
  }
}

// One reader thread. Its state is shared with the thread, so a reader that is not waited for (the
// run failed already) is detached safely: it ends when its pipe does.
class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (thread_.joinable()) thread_.detach();
  }

  SysResult<void> start(process::ReadPipe pipe, std::size_t limit, std::shared_ptr<SignalChannel> channel) {
    try {
      thread_ = std::thread(read_pipe, std::move(pipe), limit, std::move(channel), result_);
    } catch (const std::system_error& e) {
      return Err(custom_error(ErrorKind::kOther, std::string("cannot start a reader thread: ") + e.what()));
    }
    return {};
  }
  // Waits for the thread, then gives its error, if any.
  SysResult<void> finish(std::string_view name) {
    if (thread_.joinable()) thread_.join();
    if (!result_->outcome) return Err(custom_error(ErrorKind::kOther, std::string(name) + " reader thread panicked"));
    return *result_->outcome;
  }
  ReaderResult& result() { return *result_; }

 private:
  std::thread thread_;
  std::shared_ptr<ReaderResult> result_ = std::make_shared<ReaderResult>();
};

// Ends a run that cannot go on: kill and wait, both outcomes ignored.
void abandon(process::Child& child) {
  (void)child.kill();
  (void)child.wait();
}

}  // namespace

bool BoundedCapture::add(std::string_view piece) {
  const std::size_t room = limit_ - kept_.size();
  if (piece.size() <= room) {
    kept_.append(piece);
    return false;
  }
  kept_.append(piece.substr(0, room));
  if (overflowed_) return false;
  overflowed_ = true;
  return true;
}

bool SignalChannel::try_receive() {
  std::uint64_t pending = pending_.load(std::memory_order_acquire);
  while (pending > 0) {
    if (pending_.compare_exchange_weak(pending, pending - 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}

SysResult<AgentCapture> run_agent_captured(process::Command command) {
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kPipe;
  auto started = process::spawn(command);
  if (!started) return started.err();
  process::Child child = std::move(*started);

  auto out_pipe = child.take_stdout();
  if (!out_pipe) {
    abandon(child);
    return Err(custom_error(ErrorKind::kOther, "omp stdout was not piped"));
  }
  auto err_pipe = child.take_stderr();
  if (!err_pipe) {
    abandon(child);
    return Err(custom_error(ErrorKind::kOther, "omp stderr was not piped"));
  }

  auto channel = std::make_shared<SignalChannel>();
  Reader out_reader;
  Reader err_reader;
  if (auto begun = out_reader.start(std::move(*out_pipe), DELTA_BYTE_LIMIT, channel); !begun) {
    abandon(child);
    return begun.err();
  }
  if (auto begun = err_reader.start(std::move(*err_pipe), STDERR_BYTE_LIMIT, channel); !begun) {
    abandon(child);
    return begun.err();
  }

  SysResult<ExitStatus> outcome = ExitStatus{};
  while (true) {
    if (channel->try_receive()) {
      (void)child.kill();
      outcome = child.wait();
      break;
    }
    auto exited = child.try_wait();
    if (!exited) {
      abandon(child);
      outcome = exited.err();
      break;
    }
    if (*exited) {
      outcome = **exited;
      break;
    }
    std::this_thread::sleep_for(AGENT_POLL_INTERVAL);
  }

  if (auto read = out_reader.finish("stdout"); !read) return read.err();
  if (auto read = err_reader.finish("stderr"); !read) return read.err();
  if (!outcome) return outcome.err();
  return AgentCapture{std::move(out_reader.result().kept), out_reader.result().overflowed,
                      std::move(err_reader.result().kept), err_reader.result().overflowed, std::move(*outcome)};
}

}  // namespace vantle::corvane
