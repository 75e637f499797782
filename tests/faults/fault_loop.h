// The machinery the fault tiers share: a scenario (a run of the tool and what it may change), the
// way a tier faults the n-th point of a run, and the loop that runs every point and checks the
// tool's promises after each run: the unfaulted result byte for byte, or the subcommand's failure
// line and exit code, never a signal; nothing temporary left; no process of the agent's tree
// alive; no file half-written.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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
  // code: `%` stands for the error as the tool names it, "No space left on device \(os error 28\)".
  // An empty line means nothing on standard error. With `only_call`, the line is accepted only
  // when that call failed.
  struct CallFailure {
    CallFailure(std::string line, std::uint32_t code = 1, std::string only_call = "")
        : line(std::move(line)), code(code), only_call(std::move(only_call)) {}
    std::string line;
    std::uint32_t code;
    std::string only_call;
  };
  std::vector<CallFailure> call_failures;
  // A failed run may have written whole lines of the unfaulted output first (digest, history).
  bool partial_output = false;
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
};

// How a tier faults the n-th point of a run.
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

// The seed of a run's choices: VANTLE_FAULT_SEED when set, else drawn and printed, so that a run
// can be repeated.
std::uint64_t fault_seed();
// A number below `bound` drawn from the seed for `what`.
std::size_t drawn(std::size_t bound, const std::string& what);

// The unfaulted run of a scenario, and the checks of another run against it.
struct Baseline {
  Baseline(const Scenario& s, const std::filesystem::path& scratch);
  // A run of `s`, its state reset and its temporary directory `scratch / "temp"` made anew; `fault`
  // changes the run before it starts.
  static CliResult run(const Scenario& s, const std::filesystem::path& scratch,
                       const std::function<void(Cli&)>& fault);
  // A failed run wrote nothing, or (digest, history) whole lines of the unfaulted output, the last
  // cut only by a failed write of the output.
  ::testing::AssertionResult failed_output(const Scenario& s, const CliResult& r, const std::string& failed_call) const;
  // Whatever befell the run: nothing temporary left (but what a failed removal leaves, which the
  // run reports), no file half-written, no process of the agent's tree alive.
  // With `other_files`, a whole file may hold what another run would write, whole.
  ::testing::AssertionResult left_no_trace(const Scenario& s, const std::filesystem::path& scratch, const CliResult& r,
                                           const std::string& failed_call, bool other_files = false) const;

  CliResult clean;
  std::vector<std::optional<std::string>> whole;  // each of the scenario's whole files
};

// An error message as a regular expression that matches it alone.
std::string error_pattern(const std::string& message);
// Whether `r` ended with one of the scenario's call-failure lines, its `%` standing for `error` (a
// pattern), when the call named `call` failed.
bool is_call_failure(const Scenario& s, const CliResult& r, const std::string& error, const std::string& call);

// Runs the scenario unfaulted, then faulted at every point until a run completes before its point,
// counting in `points` the faulted points run.
void every_point(const Scenario& s, const Injection& injection, const std::filesystem::path& scratch,
                 std::size_t& points);

// The scenarios both tiers run, each handed to run_every_point under its name.
class FaultScenarios : public ::testing::Test {
 protected:
  virtual void run_every_point(const std::string& name, const Scenario& s) = 0;

  void digest_of_every_kind_of_line();
  void lookups_across_snapshots_places_and_archives();
  void launch();
  void thymel_turn_with_a_snapshot_rebuilt();
  void corvane_turn();

  ScopedTempDir tmp;
  ScopedTempDir scratch;

 private:
  void write_places();
  Scenario common() const;
  // The stand-in's lines that make it report its signals and wait for the scenario's `go`.
  std::string observed_agent(Scenario& s) const;
};

}  // namespace vantle::testing
