// The parts of error.h that are the same on every system.
#include <string>

#include "platform/error_kinds.h"

namespace vantle {

SysError custom_error(ErrorKind kind, std::string message) { return {kind, 0, std::move(message)}; }

std::string failed_call(std::string_view call) {
  const int code = last_os_error().code;  // before anything else can touch it
  return with_os_code(std::string(call) + " failed", code);
}

std::string with_os_code(std::string_view text, int code) {
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

ErrorKind kind_of(int code, std::span<const OsCodeKind> kinds) {
  for (const OsCodeKind& known : kinds) {
    if (known.code == code) return known.kind;
  }
  return ErrorKind::kOther;
}

}  // namespace vantle
