// The table each half of os_error (error.h) maps its system's codes to kinds with.
#pragma once

#include <span>

#include "platform/error.h"

namespace vantle {

// One OS code the program tells apart, for the halves of os_error.
struct OsCodeKind {
  int code;
  ErrorKind kind;
};
// The kind `code` has in `kinds`; kOther when it is not there.
ErrorKind kind_of(int code, std::span<const OsCodeKind> kinds);

}  // namespace vantle
