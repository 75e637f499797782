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
    Injection injection = alloc_injection();
    injection.every_up_to = ALLOC_EVERY_UP_TO;
    injection.stride = ALLOC_STRIDE;
    injection.label = name + " allocation";
    std::size_t points = 0;
    every_point(s, injection, scratch.path(), points);
    EXPECT_GT(points, 0u) << "no allocation failed: is the tool linked with the seam?";
    std::cout << "[ points   ] " << name << ": " << points << " allocation points" << std::endl;
  }
};

VANTLE_FAULT_SCENARIO_TESTS(AllocFaults)

}  // namespace
}  // namespace vantle::testing
