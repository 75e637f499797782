#include "omp/agent_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/system.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::omp {
namespace {

using namespace std::chrono_literals;

TEST(BoundedCapture, KeepsTheFirstBytesAndSignalsOnce) {
  struct Case {
    std::vector<std::size_t> pieces;
    std::size_t kept;
    std::vector<bool> signals;
  };
  const std::vector<Case> cases = {
      {{}, 0, {}},
      {{4, 6}, 10, {false, false}},
      {{10}, 10, {false}},
      {{4, 7}, 10, {false, true}},
      {{11}, 10, {true}},
      {{10, 1}, 10, {false, true}},
      {{10, 0, 1}, 10, {false, false, true}},
      {{4, 7, 3, 100}, 10, {false, true, false, false}},
  };
  for (const auto& c : cases) {
    BoundedCapture capture(10);
    std::string all;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      std::string piece;
      for (std::size_t j = 0; j < c.pieces[i]; ++j) piece += static_cast<char>('a' + (all.size() + j) % 26);
      all += piece;
      EXPECT_EQ(capture.add(piece), c.signals[i]) << "piece " << i;
    }
    EXPECT_EQ(capture.kept(), all.substr(0, c.kept));
    EXPECT_EQ(capture.overflowed(), all.size() > 10);
  }
}

class AgentRunTest : public ::testing::Test {
 protected:
  // Runs the stand-in agent with the given scenario.
  Result<AgentRun, RunError> run(const std::string& scenario, const RunLimits& limits = {}) {
    process::Command command;
    command.program = vantle::testing::install_fake_agent(tmp_.path(), scenario);
    command.args = {"-p", "@prompt"};
    return run_agent(std::move(command), limits);
  }
  static RunLimits bounded(std::size_t out, std::size_t err) {
    RunLimits limits;
    limits.stdout_bytes = out;
    limits.stderr_bytes = err;
    return limits;
  }
  vantle::testing::ScopedTempDir tmp_;
};

TEST_F(AgentRunTest, CapturesBothStreamsAndTheExitCode) {
  auto r = run("stdout out\\nput\nstderr err\nexit 3\necho_stdin 1\n");
  ASSERT_TRUE(r.ok()) << r.error().error.message;
  // Standard input is the null device: the echo ends at once with nothing.
  EXPECT_EQ(r->out, "out\nput");
  EXPECT_EQ(r->err, "err");
  EXPECT_FALSE(r->out_overflowed);
  EXPECT_FALSE(r->err_overflowed);
  EXPECT_EQ(r->end, RunEnd::kExited);
  EXPECT_EQ(exit_status_text(r->status), "exit code: 3");
}

TEST_F(AgentRunTest, ExactlyTheLimitIsNoOverflowOneMoreIs) {
  struct Case {
    std::string scenario;
    std::size_t out, err;
    bool out_over, err_over;
  };
  const std::vector<Case> cases = {
      {"flood_stdout 49152\n", 49152, 0, false, false},
      {"flood_stdout 49153\n", 49152, 0, true, false},
      {"flood_stderr 49152\nexit 1\n", 0, 49152, false, false},
      {"flood_stderr 60000\nexit 1\n", 0, 49152, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    auto r = run(c.scenario, bounded(49152, 49152));
    ASSERT_TRUE(r.ok()) << r.error().error.message;
    EXPECT_EQ(r->out, std::string(c.out, 'x'));
    EXPECT_EQ(r->err.size(), c.err);
    EXPECT_EQ(r->out_overflowed, c.out_over);
    EXPECT_EQ(r->err_overflowed, c.err_over);
  }
}

TEST_F(AgentRunTest, EndlessOutputEndsTheRunAtItsLimit) {
  // Without the kill this agent would write for seconds and then sleep for ten minutes.
  auto r = run("flood_stdout 1000000000\nlinger_ms 600000\n", bounded(49152, 49152));
  ASSERT_TRUE(r.ok()) << r.error().error.message;
  EXPECT_EQ(r->end, RunEnd::kStdoutLimit);
  EXPECT_TRUE(r->out_overflowed);
  EXPECT_EQ(r->out.size(), 49152u);
  EXPECT_FALSE(r->status.success());
}

TEST_F(AgentRunTest, TheTimeLimitKillsAnAgentThatDoesNotExit) {
  RunLimits limits;
  limits.time = 300ms;
  auto r = run("sleep_ms 600000\n", limits);
  ASSERT_TRUE(r.ok()) << r.error().error.message;
  EXPECT_EQ(r->end, RunEnd::kTimeLimit);
  EXPECT_FALSE(r->status.success());
}

TEST_F(AgentRunTest, StartFailureIsAnError) {
  process::Command command;
  command.program = tmp_ / (sys::is_windows() ? "no-such-agent.exe" : "no-such-agent");
  auto r = run_agent(std::move(command), {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().step, RunError::Step::kStart);
  EXPECT_EQ(r.error().error.kind, ErrorKind::kNotFound);
}

// A descendant that keeps the agent's pipes open neither holds the run up nor outlives it: the
// run returns what the agent wrote, and the descendant's heartbeat has stopped.
// One that escaped into a session of its own is out of a process group's reach, but not of the
// guardian's (POSIX) nor of a job's (Windows).
TEST_F(AgentRunTest, DescendantsHoldingThePipesNeitherDelayTheRunNorOutliveIt) {
  struct Case {
    std::string kind;
    RunLimits limits;
    int linger_ms;  // the bounded `yes` surely overflows while the agent still runs
    RunEnd end;
  };
  const std::vector<Case> cases = {
      {"hold", {}, 0, RunEnd::kExited},
      {"yes", {}, 0, RunEnd::kExited},
      {"yes", bounded(49152, 49152), 1000, RunEnd::kStdoutLimit},
      {"escape", {}, 0, RunEnd::kExited},
  };
  std::vector<std::filesystem::path> heartbeats;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.kind);
    heartbeats.push_back(tmp_ / ("heartbeat-" + std::to_string(i)));
    const auto start = std::chrono::steady_clock::now();
    auto r = run("descendant " + c.kind + "|" + vantle::testing::scenario_path(heartbeats.back()) +
                     "\nstdout answer\nlinger_ms " + std::to_string(c.linger_ms) + "\n",
                 c.limits);
    // The descendants live for 3 s or more: a run that waited for them takes at least that long.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    ASSERT_TRUE(r.ok()) << r.error().error.message;
    EXPECT_EQ(r->end, c.end);
    if (c.end == RunEnd::kExited) {
      EXPECT_TRUE(r->status.success());
      EXPECT_NE(r->out.find("answer"), std::string::npos);
    }
    if (c.kind == "hold" || c.kind == "escape") {
      EXPECT_EQ(r->out, "answer");
    }
  }
  EXPECT_EQ(vantle::testing::still_beating(heartbeats), std::vector<std::string>{});
}

}  // namespace
}  // namespace vantle::omp
