// POSIX half of platform/system_handles.h.
#include <unistd.h>

#include "platform/system_handles.h"

namespace vantle {

// A close that fails (even with EINTR, after which Linux has closed the descriptor) leaves
// nothing to retry.
void DescriptorTraits::close(int fd) noexcept { (void)::close(fd); }

}  // namespace vantle
