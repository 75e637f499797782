// The one harness of the fault tiers: a scenario (a run of the tool, its fixture and what it may
// change), the unfaulted run it is checked against, and the promise check every loop applies after
// each faulted run: the unfaulted result byte for byte, or the failure line of the step the failed
// call belongs to and its exit code, never a signal the tool was not sent; nothing temporary left;
// no process of the agent's tree alive; no file half-written. The loops (allocation, system call,
// pause, start state) and the soak run every scenario of FaultScenarios through it.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fault_platform.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::testing {

struct Scenario {
  // Puts back what a run may change; called before every run.
  std::function<void()> reset = [] {};
  // The run, its temporary directory pointed at `temp`.
  std::function<Cli(const std::filesystem::path& temp)> cli;
  // The one line a run that ran out of memory ends with, and the exit code of a failed run.
  std::regex failure;
  std::uint32_t failure_code = 1;
  // The lines a run may end with when a step failed with a system call's error, each with its exit
  // code and the calls of that step: `%` stands for the error as the tool names it, "No space left
  // on device \(os error 28\)". An empty line means nothing on standard error. A line is accepted
  // only when one of its calls failed, as the seam marked it ("guardian" for a killed guardian); a
  // start state that knows no call takes any line.
  struct CallFailure {
    CallFailure(std::string line, std::uint32_t code = 1, std::vector<std::string> calls = {})
        : line(std::move(line)), code(code), calls(std::move(calls)) {}
    std::string line;
    std::uint32_t code;
    std::vector<std::string> calls;
  };
  std::vector<CallFailure> call_failures;
  // What a failed run may have written first of the unfaulted output: nothing, whole lines (the
  // digest's records), or any bytes (history's copy).
  enum class Partial { kNothing, kLines, kBytes } partial = Partial::kNothing;
  // Searched after every run for temporary objects (names ending in .tmp).
  std::filesystem::path root;
  // Files a run writes whole or not at all: after any run each is absent or as the unfaulted run left it.
  std::vector<std::filesystem::path> whole_files;
  // Where the stand-in agent's tree writes its pids.
  std::optional<std::filesystem::path> pids;
  // Where the stand-in agent writes the signals it started with blocked and ignored.
  std::optional<std::filesystem::path> signals;
  // The file the stand-in agent waits for before it answers; made before every run unless the run
  // is to catch the agent at work.
  std::optional<std::filesystem::path> go;
  // The stand-in daemon that starts the tool (the run's program, then), and where it writes the
  // tool's pid.
  std::optional<std::filesystem::path> daemon;
  std::optional<std::filesystem::path> tool_pid;
  // SIGINT while the agent runs is the agent's (the launch), not the tool's.
  bool agent_owns_interrupt = false;
  // A slow run (one that waits out a time limit): the loops run every `stride`-th point of it.
  std::size_t stride = 1;
};

// How a loop faults the n-th point of a run.
struct Injection {
  // The variables that name the point and the file the tool marks when it meets it.
  std::string point_variable;
  std::string mark_variable;
  // Set in every faulted run besides them.
  std::vector<std::pair<std::string, std::string>> env;
  // Whether `r` is a documented failure of `s` when the call the tool marked, `call`, failed.
  std::function<bool(const Scenario& s, const CliResult& r, const std::string& call)> is_failure;
  // A failure met before the subcommand starts may end with this line instead (exit code 1).
  std::optional<std::string> entry_point_line;
  // Every faulted run must give the unfaulted result: the fault is one the tool gets past.
  bool recovers = false;
  // Every point up to `every_up_to` is run, then every `stride`-th, from a phase drawn from the
  // run's seed (fault_seed) and `label`, which names the scenario and the fault.
  std::string label;
  std::size_t every_up_to = std::numeric_limits<std::size_t>::max();
  std::size_t stride = 1;
};
// The allocation loop's injection, and the system-call loop's for one of the seam's errors.
Injection alloc_injection();
Injection call_injection(const CallError& e, bool persist = false);

// The seed of a run's choices: VANTLE_FAULT_SEED when set, else drawn and printed, so that a run
// can be repeated.
std::uint64_t fault_seed();
// A number below `bound` drawn from the seed for `what`.
std::size_t drawn(std::size_t bound, const std::string& what);

// The unfaulted run of a scenario, and the checks of another run against it.
struct Baseline {
  Baseline(const Scenario& s, const std::filesystem::path& scratch);
  // A run of `s`, its state reset and its temporary directory `scratch / "temp"` made anew (with
  // `reset`); `fault` changes the run before it starts.
  static CliResult run(const Scenario& s, const std::filesystem::path& scratch,
                       const std::function<void(Cli&)>& fault, bool reset = true);
  // A failed run wrote nothing, or the start of the unfaulted output the scenario allows: whole
  // lines but for a failed write of the output, or any bytes.
  ::testing::AssertionResult failed_output(const Scenario& s, const CliResult& r, const std::string& failed_call) const;
  // Whatever befell the run: nothing temporary left (but what a failed removal leaves, which the
  // run reports), no file half-written, no process of the agent's tree (nor of `more_pids`) alive
  // but after a launch that warned it could not couple the tree to itself.
  // With `other_files`, a whole file may hold what another run would write, whole.
  ::testing::AssertionResult left_no_trace(const Scenario& s, const std::filesystem::path& scratch, const CliResult& r,
                                           const std::string& failed_call, bool other_files = false,
                                           const std::vector<std::uint32_t>& more_pids = {}) const;

  CliResult clean;
  std::vector<std::optional<std::string>> whole;  // each of the scenario's whole files
};

// An error message as a regular expression that matches it alone.
std::string error_pattern(const std::string& message);
// Whether the tool's exit code is not seen: its daemon had gone first (exit 0), as it does once the
// agent runs.
bool code_unseen(const Scenario& s, const CliResult& r);
// Whether `r` ended with one of the scenario's call-failure lines, its `%` standing for `error` (a
// pattern), when the call named `call` failed.
bool is_call_failure(const Scenario& s, const CliResult& r, const std::string& error, const std::string& call);
// The temporary objects below the scenario's root and in the run's temporary directory.
std::vector<std::string> temporaries(const Scenario& s, const std::filesystem::path& scratch);
std::string describe(const CliResult& r);

// One faulted run at point `n` and its check; whether the run reached the point. Once a run has
// failed with the subcommand's line, `subcommand_started` is set: the entry point's line is only
// for failures before it starts.
bool fault_point(const Scenario& s, const Injection& injection, const Baseline& baseline,
                 const std::filesystem::path& scratch, std::size_t n, bool& subcommand_started);
// Runs the scenario unfaulted, then faulted at every point until a run completes before its point,
// counting in `points` the faulted points run.
void every_point(const Scenario& s, const Injection& injection, const std::filesystem::path& scratch,
                 std::size_t& points);

// The pause loop's actions at a held call (POSIX: pause_fault_test.cpp), and one run of it with
// its check; whether the point was reached.
enum class Action { kTerm, kInt, kHup, kKillTool, kKillGuardian };
inline constexpr Action ACTIONS[] = {Action::kTerm, Action::kInt, Action::kHup, Action::kKillTool,
                                     Action::kKillGuardian};
struct PauseTally {
  std::size_t points = 0;
  std::size_t acted[std::size(ACTIONS)] = {};
  // What tools killed outright left, by name with its unique parts starred.
  std::set<std::string> left_by_kill;
};
bool pause_point(const Scenario& s, const Baseline& baseline, const std::filesystem::path& scratch, std::size_t n,
                 Action action, PauseTally& tally);

// Starts the tool through the test program's starter mode, in `state` and with `extra_steps`.
std::function<void(Cli&)> started_in(const StartState& state, std::string extra_steps = "");
// One run of the start-state loop in `state` (start_state_test.cpp) and its check.
CliResult start_state_run(const Scenario& s, const Baseline& baseline, const std::filesystem::path& scratch,
                     const StartState& state);

// The scenarios every loop runs, each handed to run_every_point under its name.
class FaultScenarios : public ::testing::Test {
 protected:
  virtual void run_every_point(const std::string& name, const Scenario& s) = 0;

  void digest_of_every_kind_of_line();
  void lookups_across_snapshots_places_and_archives();
  void launch();
  void launch_resuming_on_a_node();
  void launch_outliving_its_daemon();
  void thymel_turn_with_a_snapshot_rebuilt();
  void thymel_turn_continuing_a_session();
  void corvane_turn();
  void corvane_turn_from_a_session_log();
  void turns_ending_on_a_limit();

  ScopedTempDir tmp;
  ScopedTempDir scratch;

 private:
  void write_places();
  Scenario common() const;
  // The stand-in's lines that make it report its signals and wait for the scenario's `go`.
  std::string observed_agent(Scenario& s) const;
  void launch_with(const std::vector<std::string>& extra, const std::string& name, bool daemon_dies = false);
  void corvane_with(const std::vector<std::string>& extra, const std::string& input, const std::string& agent_lines,
                    const std::string& name, std::size_t stride = 1);
};

// Every scenario as a test of `Loop`, a FaultScenarios.
#define VANTLE_FAULT_SCENARIO_TESTS(Loop)                                                        \
  TEST_F(Loop, DigestOfEveryKindOfLine) { digest_of_every_kind_of_line(); }                      \
  TEST_F(Loop, LookupsAcrossSnapshotsPlacesAndArchives) { lookups_across_snapshots_places_and_archives(); } \
  TEST_F(Loop, Launch) { launch(); }                                                             \
  TEST_F(Loop, LaunchResumingOnANode) { launch_resuming_on_a_node(); }                           \
  TEST_F(Loop, LaunchOutlivingItsDaemon) { launch_outliving_its_daemon(); }                      \
  TEST_F(Loop, ThymelTurnWithASnapshotRebuilt) { thymel_turn_with_a_snapshot_rebuilt(); }       \
  TEST_F(Loop, ThymelTurnContinuingASession) { thymel_turn_continuing_a_session(); }             \
  TEST_F(Loop, CorvaneTurn) { corvane_turn(); }                                                  \
  TEST_F(Loop, CorvaneTurnFromASessionLog) { corvane_turn_from_a_session_log(); }                \
  TEST_F(Loop, TurnsEndingOnALimit) { turns_ending_on_a_limit(); }

}  // namespace vantle::testing
