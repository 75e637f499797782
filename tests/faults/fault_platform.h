// What the fault tiers ask of the system they run on: the errors its seam fails calls with, and
// whether a process still runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantle::testing {

// One error the system-call seam fails calls with, by the name its VANTLE_FAULT_CALL_ERROR takes.
struct CallError {
  const char* name;
  int code;
  // A call failing with it is made again, so that its run gives the unfaulted result.
  bool recovers = false;
  // Every scenario meets a call that can see it (each opens and reads): a tier that fails none
  // ran a tool without the seam.
  bool always_met = false;
};
std::span<const CallError> call_errors();

// The system-call points of a scenario past which only every `call_stride`-th is run, so that the
// tier stays within its share of the test time (every point is run where this is unbounded).
extern const std::size_t CALL_EVERY_UP_TO;
extern const std::size_t CALL_STRIDE;

// Whether the process `pid` still runs, a second after the run that started it ended at the latest.
bool process_alive(std::uint32_t pid);

}  // namespace vantle::testing
