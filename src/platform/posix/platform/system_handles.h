// The handles this system's objects hold: POSIX file descriptors. The build chooses this header
// (or its Windows twin) for every file that includes platform/system_handles.h.
#pragma once

#include "platform/owned.h"

namespace vantle {

struct DescriptorTraits {
  using Native = int;
  static constexpr int NONE = -1;
  static void close(int fd) noexcept;
};

// An open file descriptor: a file, a pipe end, a pidfd.
using OwnedHandle = Owned<DescriptorTraits>;

namespace process {

// What a started child holds besides its pid, which is all a POSIX child is waited on and killed by.
struct ChildHandles {
  // A child that owns its tree: the report pipe of the guardian that stands for it (the pid is
  // then the guardian's); empty otherwise.
  OwnedHandle guardian_report;
};

}  // namespace process
}  // namespace vantle
