// Windows half of fault_platform.h.
#include <windows.h>

#include "fault_platform.h"
#include "platform/error.h"
#include "platform/os_string.h"
#include "platform/process.h"
#include "support/child_modes.h"

namespace vantle::testing {

std::span<const CallError> call_errors() {
  static constexpr CallError ERRORS[] = {{"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED, false, true},
                                         {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
                                         {"ERROR_DISK_FULL", ERROR_DISK_FULL, false, false, true},
                                         {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY, false, false, true, true},
                                         {"ERROR_NO_SYSTEM_RESOURCES", ERROR_NO_SYSTEM_RESOURCES, false, false, true},
                                         {"ERROR_IO_DEVICE", ERROR_IO_DEVICE}};
  return ERRORS;
}

// A run under Wine costs about 90 ms, the digests meet a hundred and fifty writes of their output
// for each error a write can see, and every scenario hundreds of allocations: every point up to
// the 12th, then every 12th (calls) or 16th (allocations) from a phase the run's seed draws, keeps
// each tier within a few minutes, and the points skipped differ from run to run. A soak runs them
// all (VANTLE_FAULT_EVERY_POINT=1).
const std::size_t CALL_EVERY_UP_TO = 12;
const std::size_t CALL_STRIDE = 12;
const std::size_t ALLOC_EVERY_UP_TO = 12;
const std::size_t ALLOC_STRIDE = 16;

// The tool's tree ends when its kill-on-close job is closed, a moment after the tool itself: the
// wait is on the process, so it ends as soon as the process does.
bool process_alive(std::uint32_t pid) {
  const HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return false;
  const bool running = ::WaitForSingleObject(h, 1000) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return running;
}

void end_process(std::uint32_t pid) {
  const HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (h == nullptr) return;
  ::TerminateProcess(h, 1);
  ::CloseHandle(h);
}

// A process started detached, or with a NULL handle for a stream, has no handle for it; Wine hands
// an invalid handle on as NULL too. A run that then writes or reads that stream must fail.
std::vector<StartState> start_states(const std::vector<std::uint64_t>&) {
  const std::string invalid = os_error(ERROR_INVALID_HANDLE).message;
  return {
      {"no stdin handle", "null:0", invalid, "read"},
      {"no stdout handle", "null:1", invalid, "write", true},
      {"no stderr handle", "null:2", invalid, "write", false, true},
      {"no standard handles", "null:0,null:1,null:2", invalid, "", true, true},
  };
}

// Windows has no limit on open handles to set.
StartState descriptor_limit(std::uint64_t) { return {}; }

const int END_REQUEST_SIGNAL = 0;
void request_end(const std::filesystem::path&) {}

// Windows programs have no signal dispositions to inherit. (Under Wine the stand-in can read the
// status of the Unix process that hosts it, which says nothing of what the tool handed over.)
const std::string_view AGENT_DEFAULT_SIGNALS = "";
std::string agent_signals(const std::string&) { return ""; }

namespace {

// The starter: takes away the standard handles its steps name, starts the program with what is
// left (a missing one reaches it as NULL), and exits with its exit code.
int start_in_state(const std::vector<std::string>& args) {
  if (args.size() < 2) return 125;
  constexpr DWORD WHICH[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (std::size_t at = 0; at < args[0].size();) {
    const std::size_t end = std::min(args[0].find(',', at), args[0].size());
    const std::string step = args[0].substr(at, end - at);
    if (step.starts_with("null:")) ::SetStdHandle(WHICH[std::stoi(step.substr(5)) % 3], nullptr);
    at = end + 1;
  }
  process::Command command;
  command.program = path_from_utf8(args[1]);
  command.args.assign(args.begin() + 2, args.end());
  command.remove_env("VANTLE_TEST_CHILD");
  auto child = process::spawn(command);
  if (!child) return 126;
  const auto status = child->wait();
  return status ? static_cast<int>(status->code) : 126;
}

const bool STARTER_ADDED = add_child_mode(STARTER_MODE, start_in_state);

}  // namespace

}  // namespace vantle::testing
