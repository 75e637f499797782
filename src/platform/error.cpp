// The parts of error.h that are the same on every system.
#include <string>

#include "platform/error.h"

namespace vantle {

SysError custom_error(ErrorKind kind, std::string message) { return {kind, 0, std::move(message)}; }

std::string failed_call(std::string_view call) {
  const int code = last_os_error().code;  // before anything else can touch it
  return with_os_code(std::string(call) + " failed", code);
}

std::string with_os_code(std::string_view text, int code) {
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vantle
