// Windows half of platform/system_handles.h.
#include <windows.h>

#include "platform/system_handles.h"

namespace vantle {

void KernelHandleTraits::close(void* handle) noexcept { (void)::CloseHandle(handle); }

}  // namespace vantle
