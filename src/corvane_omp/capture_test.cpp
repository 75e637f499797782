#include "corvane_omp/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::corvane {
namespace {

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

TEST(SignalChannel, DeliversEverySignalOnceWithoutBlocking) {
  SignalChannel channel;
  EXPECT_FALSE(channel.try_receive());
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i)
    senders.emplace_back([&] {
      for (int j = 0; j < 1000; ++j) channel.send();
    });
  for (auto& t : senders) t.join();
  int received = 0;
  while (channel.try_receive()) ++received;
  EXPECT_EQ(received, 4000);
}

class AgentCaptureTest : public ::testing::Test {
 protected:
  // Runs the stand-in agent with the given scenario.
  SysResult<AgentCapture> run(const std::string& scenario) {
    process::Command command;
    command.program = vantle::testing::install_fake_agent(tmp_.path(), scenario);
    command.args = {"-p", "@prompt"};
    return run_agent_captured(std::move(command));
  }
  vantle::testing::ScopedTempDir tmp_;
};

TEST_F(AgentCaptureTest, CapturesBothStreamsAndTheExitCode) {
  auto capture = run("stdout out\\nput\nstderr err\nexit 3\necho_stdin 1\n");
  ASSERT_TRUE(capture.ok()) << capture.error().message;
  // Standard input is the null device: the echo ends at once with nothing.
  EXPECT_EQ(capture->out, "out\nput");
  EXPECT_EQ(capture->err, "err");
  EXPECT_FALSE(capture->out_overflowed);
  EXPECT_FALSE(capture->err_overflowed);
  EXPECT_EQ(exit_status_text(capture->status), "exit code: 3");
}

TEST_F(AgentCaptureTest, ExactlyTheLimitIsNoOverflowOneMoreIs) {
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
    auto capture = run(c.scenario);
    ASSERT_TRUE(capture.ok()) << capture.error().message;
    EXPECT_EQ(capture->out, std::string(c.out, 'x'));
    EXPECT_EQ(capture->err.size(), c.err);
    EXPECT_EQ(capture->out_overflowed, c.out_over);
    EXPECT_EQ(capture->err_overflowed, c.err_over);
  }
}

TEST_F(AgentCaptureTest, EndlessOutputKillsTheAgent) {
  const auto start = std::chrono::steady_clock::now();
  // Without the kill this agent would write for seconds and then sleep for ten minutes.
  auto capture = run("flood_stdout 1000000000\nlinger_ms 600000\n");
  ASSERT_TRUE(capture.ok()) << capture.error().message;
  EXPECT_TRUE(capture->out_overflowed);
  EXPECT_EQ(capture->out.size(), 49152u);
  EXPECT_FALSE(capture->status.success());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(AgentCaptureTest, StartFailureIsAnError) {
  process::Command command;
  command.program = tmp_ / "no-such-agent";
  auto capture = run_agent_captured(std::move(command));
  ASSERT_FALSE(capture.ok());
  EXPECT_EQ(capture.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace vantle::corvane
