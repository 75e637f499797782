// Running the summarizer agent with both outputs captured under a byte limit: two reader threads
// keep the first bytes of each stream and drain the rest, and the first overflow ends the agent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/process.h"
#include "text/exit_status.h"

namespace vantle::corvane {

// Bytes of agent standard error kept; more is an overflow. Standard output has DELTA_BYTE_LIMIT.
inline constexpr std::size_t STDERR_BYTE_LIMIT = 49152;
// The size of each read from an agent pipe.
inline constexpr std::size_t PIPE_READ_CHUNK = 8192;
// How often the main thread checks for an overflow and for the agent's exit.
inline constexpr std::chrono::milliseconds AGENT_POLL_INTERVAL{2};

// What a completed agent run leaves: the first bytes of each output, whether each overflowed, and
// how the agent ended.
struct AgentCapture {
  std::string out;
  bool out_overflowed = false;
  std::string err;
  bool err_overflowed = false;
  ExitStatus status;
};

// The first `limit` bytes of a stream, and whether the stream went past them.
class BoundedCapture {
 public:
  explicit BoundedCapture(std::size_t limit) : limit_(limit) {}
  // Keeps what still fits of `piece`. True only for the first piece that did not fit entirely,
  // which is when the overflow has to be signalled.
  bool add(std::string_view piece);
  const std::string& kept() const { return kept_; }
  std::string take() { return std::move(kept_); }
  bool overflowed() const { return overflowed_; }

 private:
  std::size_t limit_;
  std::string kept_;
  bool overflowed_ = false;
};

// An unbounded channel of bare signals from the readers to the main thread. Sending never blocks
// and nothing is locked.
class SignalChannel {
 public:
  void send() { pending_.fetch_add(1, std::memory_order_release); }
  // Takes one signal if there is one, without blocking.
  bool try_receive();

 private:
  std::atomic<std::uint64_t> pending_{0};
};

// Starts `command` with standard input from the null device and both outputs piped, captures the
// outputs until the agent exits or one of them overflows (the agent is then killed), and waits for
// it. There is no time limit. Starting, waiting, a missing pipe and a failed reader are errors.
SysResult<AgentCapture> run_agent_captured(process::Command command);

}  // namespace vantle::corvane
