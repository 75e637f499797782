// POSIX half of error.h: errno values and strerror text.
#include <cerrno>
#include <cstring>

#include "platform/error_kinds.h"

namespace vantle {
namespace {

// The kinds the program tells apart; every other code is kOther.
constexpr OsCodeKind KINDS[] = {{ENOENT, ErrorKind::kNotFound},         {EEXIST, ErrorKind::kAlreadyExists},
                                {EACCES, ErrorKind::kPermissionDenied}, {EPERM, ErrorKind::kPermissionDenied},
                                {EINTR, ErrorKind::kInterrupted},       {EINVAL, ErrorKind::kInvalidInput}};

}  // namespace

SysError os_error(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return {kind_of(code, KINDS), code, with_os_code(text, code)};
}

SysError last_os_error() { return os_error(errno); }

}  // namespace vantle
