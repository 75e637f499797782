// Operating-system errors as values. The message is the system's own text followed by
// " (os error N)"; nothing else in the program formats OS errors.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace vantle {

// kSourceGone: a file being read was cut short by another process.
enum class ErrorKind { kOther, kNotFound, kAlreadyExists, kPermissionDenied, kInterrupted, kInvalidInput, kSourceGone };

struct SysError {
  ErrorKind kind = ErrorKind::kOther;
  int code = 0;         // the OS code (errno or GetLastError); 0 for errors the program makes
  std::string message;  // "Permission denied (os error 13)", or the program's own text
};

template <class T>
using SysResult = Result<T, SysError>;

// The error the last failed system call left behind (errno on POSIX, GetLastError on Windows).
SysError last_os_error();
SysError os_error(int code);
// An error the program makes itself, with its own text and no OS code.
SysError custom_error(ErrorKind kind, std::string message);
// "<call> failed (os error N)" with the code of the last failed system call, for a failure that
// the call's name tells better than the system's text.
std::string failed_call(std::string_view call);
// `text` followed by " (os error N)": the one place that suffix is written.
std::string with_os_code(std::string_view text, int code);

// How a failed allocation (std::bad_alloc) is reported, in the same words on every system.
inline constexpr std::string_view OUT_OF_MEMORY = "out of memory";
// How a file that another process cut short while it was read is reported (kind kSourceGone).
inline constexpr std::string_view FILE_CUT_SHORT = "the file was cut short while it was read";

}  // namespace vantle
