// The handles this system's objects hold: Windows kernel HANDLEs, kept as void* so that this
// header stays free of windows.h. The build chooses this header (or its POSIX twin) for every file
// that includes platform/system_handles.h.
#pragma once

#include "platform/owned.h"

namespace vantle {

struct KernelHandleTraits {
  using Native = void*;
  static constexpr void* NONE = nullptr;
  static void close(void* handle) noexcept;
};

// An open kernel handle: a file, a pipe end, a process, a job. APIs that report "no handle" as
// INVALID_HANDLE_VALUE go through win::own (handle_windows.h), so that empty means none.
using OwnedHandle = Owned<KernelHandleTraits>;

namespace process {

// What a started child holds besides its pid.
struct ChildHandles {
  OwnedHandle process;  // waited on, and killed through when there is no job
  OwnedHandle job;      // the kill-on-close job of a child that owns its tree; empty otherwise
};

}  // namespace process
}  // namespace vantle
