// POSIX half of error.h: errno values and strerror text.
#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace vantle {
namespace {

ErrorKind kind_of(int code) {
  switch (code) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EEXIST:
      return ErrorKind::kAlreadyExists;
    case EACCES:
    case EPERM:
      return ErrorKind::kPermissionDenied;
    case EINTR:
      return ErrorKind::kInterrupted;
    case EINVAL:
      return ErrorKind::kInvalidInput;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

SysError os_error(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return {kind_of(code), code, with_os_code(text, code)};
}

SysError last_os_error() { return os_error(errno); }

}  // namespace vantle
