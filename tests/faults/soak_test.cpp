// The soak (bench/soak, before a release; skipped unless VANTLE_SOAK_SECONDS is set): each scenario
// for that many seconds under faults drawn at random from every loop (an allocation or a system
// call failing at a random point, a signal or a kill at a random call, a start state), each run
// checked by its loop's own check. VANTLE_SOAK_SEED repeats a run; the seed is printed.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>

#include "fault_loop.h"

namespace vantle::testing {
namespace {

class Soak : public FaultScenarios {
 protected:
  void SetUp() override {
    if (std::getenv("VANTLE_SOAK_SECONDS") == nullptr) GTEST_SKIP() << "VANTLE_SOAK_SECONDS is not set";
  }

  void run_every_point(const std::string& name, const Scenario& s) override {
    const char* seed_text = std::getenv("VANTLE_SOAK_SEED");
    const auto seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : std::random_device()();
    std::mt19937_64 rng(seed);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(std::atol(std::getenv("VANTLE_SOAK_SECONDS")));
    const Baseline baseline(s, scratch.path());
    const auto errors = call_errors();
    const auto states = start_states({0, 1});
    // The points a loop may reach, narrowed to the first one a run did not reach.
    std::size_t alloc_bound = 4000, pause_bound = 500;
    std::vector<std::size_t> call_bound(errors.size(), 1000);
    const auto draw = [&](std::size_t bound) { return 1 + rng() % bound; };
    std::size_t runs[4] = {};
    PauseTally tally;
    while (std::chrono::steady_clock::now() < deadline && !HasFailure()) {
      bool started = false;
      switch (rng() % 4) {
        case 0:
          if (const std::size_t n = draw(alloc_bound); !fault_point(s, alloc_injection(), baseline, scratch.path(), n, started)) alloc_bound = n;
          ++runs[0];
          break;
        case 1: {
          const std::size_t e = rng() % errors.size();
          const std::size_t n = draw(call_bound[e]);
          if (!fault_point(s, call_injection(errors[e]), baseline, scratch.path(), n, started)) call_bound[e] = n;
          ++runs[1];
          break;
        }
        case 2:
          if (const std::size_t n = draw(pause_bound);
              !pause_point(s, baseline, scratch.path(), n, ACTIONS[rng() % std::size(ACTIONS)], tally)) {
            pause_bound = n;
          }
          ++runs[2];
          break;
        default:
          start_state_run(s, baseline, scratch.path(), states[rng() % states.size()]);
          ++runs[3];
      }
    }
    std::cout << "[ soak     ] " << name << ", seed " << seed << ": " << runs[0] << " allocation faults, " << runs[1]
              << " call faults, " << runs[2] << " signals and kills, " << runs[3] << " start states" << std::endl;
  }
};

VANTLE_FAULT_SCENARIO_TESTS(Soak)

}  // namespace
}  // namespace vantle::testing
