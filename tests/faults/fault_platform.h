// What the fault tiers ask of the system they run on: the errors its seam fails calls with, and
// whether a process still runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  // A shortage that stays once met (a full disk, a full table of descriptors, memory, processes),
  // run a second time with the fault persisting. A failing disk or a denied permission fails some
  // files, never every read or every open of the system.
  bool persists = false;
  // A shortage of memory, which the tool may report as its out-of-memory line.
  bool memory = false;
  // The error of the call that ends a run cut short at a limit (the kill of the agent's tree): the
  // one error a slow scenario, one that waits out a time limit, is run with.
  bool at_a_limit = false;
};
std::span<const CallError> call_errors();

// The system-call points of a scenario past which only every `call_stride`-th is run, so that the
// tier stays within its share of the test time (every point is run where this is unbounded).
extern const std::size_t CALL_EVERY_UP_TO;
extern const std::size_t CALL_STRIDE;
// The same for the allocation points.
extern const std::size_t ALLOC_EVERY_UP_TO;
extern const std::size_t ALLOC_STRIDE;

// A state a daemon may start the tool in, as a row of the start-state tier: what a starter does to
// itself before it starts the tool, and what a run started that way may end as.
struct StartState {
  std::string name;
  // The starter's steps, "what:value" each, separated by commas (fault_platform_*.cpp reads them).
  std::string steps;
  // The error a failed run names, as the tool words it; empty when the run must give the unfaulted
  // result.
  std::string error;
  // The call that fails in this state, for the lines only that call may end a run with.
  std::string call;
  // A standard stream whose bytes never reach the test.
  bool out_lost = false;
  bool err_lost = false;
  // A request to end sent while the agent runs is one the tool was started ignoring.
  bool end_ignored = false;
  // The state is one the tool records in a snapshot it writes, which then differs from the
  // unfaulted run's.
  bool recorded = false;
  // The agent inherits a limit that stops it writing what it reports.
  bool limits_agent = false;
};
// This system's rows. `cuts` are file sizes that cut a file the scenario writes.
std::vector<StartState> start_states(const std::vector<std::uint64_t>& cuts);
// The row that leaves the tool at most `descriptors` open files.
StartState descriptor_limit(std::uint64_t descriptors);
// The child mode of the fault test programs that starts a program in a state: its arguments are
// the state's steps, the program and the program's arguments.
inline constexpr std::string_view STARTER_MODE = "start";
// Asks the tool, whose starter wrote its pid to `pid_file`, to end as a daemon would, and the signal
// it then ends by: SIGTERM on POSIX; 0 on Windows, where the request is a console event that the
// tier does not send.
void request_end(const std::filesystem::path& pid_file);
extern const int END_REQUEST_SIGNAL;
// What the stand-in agent reports of the signals it started with, as far as they are the tool's to
// give, and that report when it got every default: all unblocked, none ignored ("" where the
// system cannot tell).
std::string agent_signals(const std::string& reported);
extern const std::string_view AGENT_DEFAULT_SIGNALS;

// Whether the process `pid` still runs, a second after the run that started it ended at the latest.
bool process_alive(std::uint32_t pid);
// Ends the process `pid`, if it still runs.
void end_process(std::uint32_t pid);

}  // namespace vantle::testing
