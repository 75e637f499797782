// POSIX half of fault_platform.h.
#include <signal.h>

#include <cerrno>
#include <limits>

#include "fault_platform.h"

namespace vantle::testing {

std::span<const CallError> call_errors() {
  static constexpr CallError ERRORS[] = {{"EIO", EIO},         {"ENOSPC", ENOSPC},
                                         {"EACCES", EACCES},   {"EMFILE", EMFILE},
                                         {"EINTR", EINTR, true, true}, {"EAGAIN", EAGAIN},
                                         {"EPERM", EPERM}};
  return ERRORS;
}

const std::size_t CALL_EVERY_UP_TO = std::numeric_limits<std::size_t>::max();
const std::size_t CALL_STRIDE = 1;

// The tool reaps its agent's tree before it exits: a pid of it that is not gone now never will be.
bool process_alive(std::uint32_t pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

}  // namespace vantle::testing
