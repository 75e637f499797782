// Allocation failure at every point: each scenario runs once unfaulted, then with its 1st, 2nd,
// 3rd ... allocation failing (tests/faults/alloc_seam.cpp), until a run completes before its
// failure is reached. A failed run ends with the subcommand's one out-of-memory line and its exit
// code (fault_loop.h has the other promises checked after each run). Every point is run: the
// scenario with the most, a Thymel turn, has about 700.
#include <iostream>

#include "fault_loop.h"

namespace vantle::testing {
namespace {

class AllocFaults : public FaultScenarios {
 protected:
  void run_every_point(const std::string& name, const Scenario& s) override {
    std::size_t points = 0;
    every_point(s, alloc_injection(), scratch.path(), points);
    EXPECT_GT(points, 0u) << "no allocation failed: is the tool linked with the seam?";
    std::cout << "[ points   ] " << name << ": " << points << " allocation points" << std::endl;
  }
};

VANTLE_FAULT_SCENARIO_TESTS(AllocFaults)

}  // namespace
}  // namespace vantle::testing
