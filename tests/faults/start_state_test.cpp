// The state the tool starts in, as a daemon hands it over: every scenario run in each row of this
// system's start states (fault_platform_*.cpp: standard streams closed or odd, signals ignored or
// blocked, limits, umask, TMPDIR, HOME and the working directory), then, where the scenario runs
// the agent, asked to end (SIGTERM) while the agent works. After each run: the unfaulted result
// (a stream the test cannot see read as empty, and never a success whose output was lost), or the
// subcommand's failure line naming the state's error and a non-zero exit code; the agent started
// with every signal at its default and none blocked; and fault_loop.h's promises. The limit on
// open files is raised from 3 until the run succeeds: every lower one must fail with its line.
#include <chrono>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

#include "fault_loop.h"
#include "fault_platform.h"
#include "platform/system.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> lines_of(const stdfs::path& file) {
  std::vector<std::string> lines;
  std::istringstream in(stdfs::exists(file) ? read_file(file) : "");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void check_in_state(const Scenario& s, const Baseline& b, const stdfs::path& scratch, const StartState& state,
                    const CliResult& r) {
  SCOPED_TRACE(describe(r));
  EXPECT_TRUE(r.harness_error.empty());
  EXPECT_EQ(r.status.kind, ExitStatus::Kind::kExited);
  CliResult as_seen = b.clean;
  if (state.out_lost) as_seen.out.clear();
  if (state.err_lost) as_seen.err.clear();
  // Output the daemon never got is no success.
  const bool output_lost = state.out_lost && !b.clean.out.empty();
  if (state.error.empty() || (r == as_seen && !output_lost)) {
    EXPECT_EQ(r, as_seen);
    EXPECT_FALSE(output_lost);
  } else {
    EXPECT_NE(r.status.code, 0u);
    if (state.err_lost) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(is_call_failure(s, r, error_pattern(state.error), state.call));
    }
    EXPECT_TRUE(b.failed_output(s, r, state.call));
  }
  EXPECT_TRUE(b.left_no_trace(s, scratch, r, state.call, state.recorded));
  if (s.signals && !state.limits_agent) {
    for (const std::string& line : lines_of(*s.signals)) EXPECT_EQ(agent_signals(line), AGENT_DEFAULT_SIGNALS);
  }
}

}  // namespace

CliResult start_state_run(const Scenario& s, const Baseline& b, const stdfs::path& scratch, const StartState& state) {
  const CliResult r = Baseline::run(s, scratch, started_in(state));
  check_in_state(s, b, scratch, state, r);
  return r;
}

namespace {

class StartStates : public FaultScenarios {
 protected:
  void run_every_point(const std::string& name, const Scenario& s) override {
    const Baseline baseline(s, scratch.path());
    // Limits that cut each file the scenario writes whole, and the Corvane prompt files.
    std::vector<std::uint64_t> cuts = {0, 1};
    for (const auto& whole : baseline.whole) {
      if (whole && whole->size() > 2) cuts.push_back(whole->size() / 2);
    }
    std::size_t runs = 0;
    const auto states = start_states(cuts);
    for (std::size_t i = 0; i < states.size(); i += s.stride) {
      const StartState& state = states[i];
      SCOPED_TRACE(state.name);
      start_state_run(s, baseline, scratch.path(), state);
      ++runs;
      if (s.go && END_REQUEST_SIGNAL != 0) {
        SCOPED_TRACE("asked to end while the agent works");
        check_asked_to_end(s, baseline, state);
        ++runs;
      }
    }
    std::cout << "[ states   ] " << name << ": " << runs << " runs";
    // A limit on open files binds the stand-in daemon before the tool.
    if (s.stride > 1 || s.daemon) return void(std::cout << std::endl);
    for (std::uint64_t descriptors = 3; !descriptor_limit(descriptors).steps.empty(); ++descriptors) {
      const StartState state = descriptor_limit(descriptors);
      SCOPED_TRACE(state.name);
      const CliResult r = start_state_run(s, baseline, scratch.path(), state);
      if (r == baseline.clean) {
        std::cout << ", then " << descriptors - 2 << " under a limit on open files, the last succeeding";
        break;
      }
      ASSERT_FALSE(HasFatalFailure());
      ASSERT_LT(descriptors, 64u) << "no limit on open files lets the run succeed";
    }
    std::cout << std::endl;
  }

 private:
  // SIGTERM once the agent of the turn (the probe and the run itself) has started and waits: the
  // tool ends by it, its agent's tree and temporaries gone, unless the state has it ignored.
  void check_asked_to_end(const Scenario& s, const Baseline& b, const StartState& state) {
    const stdfs::path pid_file = scratch / "tool.pid";
    // Not the last run's, read before this run has begun.
    stdfs::remove(pid_file);
    stdfs::remove(*s.signals);
    auto running = std::async(std::launch::async, [&] {
      return Baseline::run(s, scratch.path(), [&](Cli& cli) {
        stdfs::remove(*s.go);
        started_in(state, "pidfile:" + display(pid_file))(cli);
      });
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool agent_waits = false;
    while (!(agent_waits = lines_of(*s.signals).size() >= 2) && std::chrono::steady_clock::now() < deadline &&
           running.wait_for(5ms) != std::future_status::ready) {
    }
    if (agent_waits) {
      request_end(pid_file);
      // Let an agent that the request did not end go on, once the tool has had time to act.
      running.wait_for(2s);
    }
    write_file(*s.go, "");
    const CliResult r = running.get();
    if (!agent_waits || state.end_ignored) return check_in_state(s, b, scratch.path(), state, r);
    SCOPED_TRACE(describe(r));
    ASSERT_EQ(r.status.kind, ExitStatus::Kind::kSignaled);
    ASSERT_EQ(r.status.signal, END_REQUEST_SIGNAL);
    ASSERT_TRUE(b.left_no_trace(s, scratch.path(), r, "", state.recorded));
  }
};

VANTLE_FAULT_SCENARIO_TESTS(StartStates)

}  // namespace
}  // namespace vantle::testing
