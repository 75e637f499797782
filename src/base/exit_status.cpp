#include "base/exit_status.h"

#include <cstdio>

namespace vantle {

std::string exit_status_text(const ExitStatus& status) {
  if (status.kind == ExitStatus::Kind::kSignaled) {
    return "signal: " + std::to_string(status.signal) + " (" + status.signal_name + ")";
  }
  if (status.code & 0x80000000u) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(status.code));
    return std::string("exit code: 0x") + hex;
  }
  return "exit code: " + std::to_string(status.code);
}

}  // namespace vantle
