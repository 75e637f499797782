// System-call failure at every point: each scenario runs once unfaulted, then, for each error the
// seam knows (call_seam_posix.cpp, call_seam_windows.cpp), with the 1st, 2nd, 3rd ...
// call that can see that error failing with it, until a run completes before its failure is
// reached. A failed run ends with the subcommand's failure line naming the failed step and the
// error, as "(os error N)", and its exit code; an interrupted call (EINTR) is made again, so that
// its run gives the unfaulted result. A shortage that stays (a full disk, a full table of
// descriptors) is run again persisting: the failed call's kind fails from then on, clean-up
// included. fault_loop.h has the other promises checked after each run.
#include <iostream>

#include "fault_loop.h"
#include "fault_platform.h"
#include "platform/error.h"

namespace vantle::testing {
namespace {

class CallFaults : public FaultScenarios {
 protected:
  void run_every_point(const std::string& name, const Scenario& s) override {
    std::cout << "[ points   ] " << name << ":";
    for (const CallError& e : call_errors()) {
      for (const bool persist : {false, true}) {
        if (persist && !e.persists) continue;
        const std::string label = std::string(e.name) + (persist ? " persisting" : "");
        SCOPED_TRACE(label);
        Injection injection;
        injection.point_variable = "VANTLE_FAULT_CALL";
        injection.mark_variable = "VANTLE_FAULT_CALL_MARK";
        injection.env = {{"VANTLE_FAULT_CALL_ERROR", e.name}, {"VANTLE_FAULT_CALL_PERSIST", persist ? "1" : "0"}};
        const std::string error = error_pattern(os_error(e.code).message);
        injection.is_failure = [error, &e](const Scenario& scenario, const CliResult& r, const std::string& call) {
          return is_call_failure(scenario, r, error, call) ||
                 (e.memory && r.status.code == scenario.failure_code && std::regex_match(r.err, scenario.failure));
        };
        injection.recovers = e.recovers;
        injection.every_up_to = CALL_EVERY_UP_TO;
        injection.stride = CALL_STRIDE;
        injection.label = name + " " + label;
        std::size_t points = 0;
        every_point(s, injection, scratch.path(), points);
        std::cout << " " << label << " " << points;
        if (e.always_met && !persist) {
          EXPECT_GT(points, 0u) << "no call failed: is the tool linked with the seam's wraps?";
        }
      }
    }
    std::cout << " call points" << std::endl;
  }
};

TEST_F(CallFaults, DigestOfEveryKindOfLine) { digest_of_every_kind_of_line(); }
TEST_F(CallFaults, LookupsAcrossSnapshotsPlacesAndArchives) { lookups_across_snapshots_places_and_archives(); }
TEST_F(CallFaults, Launch) { launch(); }
TEST_F(CallFaults, ThymelTurnWithASnapshotRebuilt) { thymel_turn_with_a_snapshot_rebuilt(); }
TEST_F(CallFaults, CorvaneTurn) { corvane_turn(); }

}  // namespace
}  // namespace vantle::testing
