// Allocation failure at every point: each scenario runs once unfaulted, then with its 1st, 2nd,
// 3rd ... allocation failing (tests/faults/alloc_seam.cpp), until a run completes before its
// failure is reached. A failed run ends with the subcommand's one out-of-memory line and its exit
// code (fault_loop.h has the other promises checked after each run). On Linux every point is run
// (the scenario with the most, a Thymel turn, has about 700); under Wine, where a run costs more,
// the later ones at a stride (fault_platform.h).
#include <iostream>

#include "fault_loop.h"
#include "fault_platform.h"

namespace vantle::testing {
namespace {

class AllocFaults : public FaultScenarios {
 protected:
  void run_every_point(const std::string& name, const Scenario& s) override {
    Injection injection;
    injection.point_variable = "VANTLE_FAULT_ALLOC";
    injection.mark_variable = "VANTLE_FAULT_ALLOC_MARK";
    injection.is_failure = [](const Scenario& scenario, const CliResult& r, const std::string&) {
      return r.status.code == scenario.failure_code && std::regex_match(r.err, scenario.failure);
    };
    // Allocations that fail before a subcommand starts are reported by the entry point.
    injection.entry_point_line = "vantle: out of memory\n";
    injection.every_up_to = ALLOC_EVERY_UP_TO;
    injection.stride = ALLOC_STRIDE;
    injection.label = name + " allocation";
    std::size_t points = 0;
    every_point(s, injection, scratch.path(), points);
    EXPECT_GT(points, 0u) << "no allocation failed: is the tool linked with the seam?";
    std::cout << "[ points   ] " << name << ": " << points << " allocation points\n";
  }
};

TEST_F(AllocFaults, DigestOfEveryKindOfLine) { digest_of_every_kind_of_line(); }
TEST_F(AllocFaults, LookupsAcrossSnapshotsPlacesAndArchives) { lookups_across_snapshots_places_and_archives(); }
TEST_F(AllocFaults, Launch) { launch(); }
TEST_F(AllocFaults, ThymelTurnWithASnapshotRebuilt) { thymel_turn_with_a_snapshot_rebuilt(); }
TEST_F(AllocFaults, CorvaneTurn) { corvane_turn(); }

}  // namespace
}  // namespace vantle::testing
