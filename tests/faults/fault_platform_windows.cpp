// Windows half of fault_platform.h.
#include <windows.h>

#include "fault_platform.h"

namespace vantle::testing {

std::span<const CallError> call_errors() {
  static constexpr CallError ERRORS[] = {{"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED, false, true},
                                         {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
                                         {"ERROR_DISK_FULL", ERROR_DISK_FULL},
                                         {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
                                         {"ERROR_NO_SYSTEM_RESOURCES", ERROR_NO_SYSTEM_RESOURCES},
                                         {"ERROR_IO_DEVICE", ERROR_IO_DEVICE}};
  return ERRORS;
}

// A run under Wine costs about 90 ms, and the digests meet a hundred and fifty writes of their
// output for each error a write can see: every point up to the 24th, then every 4th, keeps the
// tier near a minute and a half.
const std::size_t CALL_EVERY_UP_TO = 24;
const std::size_t CALL_STRIDE = 4;

// The tool's tree ends when its kill-on-close job is closed, a moment after the tool itself: the
// wait is on the process, so it ends as soon as the process does.
bool process_alive(std::uint32_t pid) {
  const HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return false;
  const bool running = ::WaitForSingleObject(h, 1000) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return running;
}

}  // namespace vantle::testing
