// POSIX half of random.h.
#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace vantle::sys {

SysResult<void> random_bytes(std::span<unsigned char> out) {
  while (!out.empty()) {
    const ssize_t n = ::getrandom(out.data(), out.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    out = out.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace vantle::sys
