// Reads and writes on POSIX file descriptors that retry after a signal interrupts them and wait
// for a descriptor that was handed over non-blocking (EAGAIN) instead of failing; shared by files,
// pipes and the standard streams. Included only by *_posix.cpp files.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "platform/error.h"
#include "platform/system_handles.h"

namespace vantle::posix {

// Waits until `fd` is ready for `events` (or reports an error or hang-up, which the next call
// then sees). Async-signal-safe. False when poll itself fails.
inline bool wait_ready(int fd, short events) {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// open(2), made again when a signal interrupts it (a FIFO, a file system that waits): the signal
// has been handled, and the open is still wanted. Empty on failure, errno telling why.
inline OwnedHandle open_fd(const char* path, int flags, mode_t mode = 0) {
  int fd;
  while ((fd = ::open(path, flags, mode)) < 0 && errno == EINTR) {
  }
  return OwnedHandle(fd);
}

// An open directory stream, closed by its owner.
struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using OwnedDir = std::unique_ptr<DIR, DirCloser>;

inline bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// One read of at most `size` bytes; 0 means end of input.
inline SysResult<std::size_t> read_fd(int fd, char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (would_block(errno) && wait_ready(fd, POLLIN)) continue;
    return Err(last_os_error());
  }
}

// Writes every byte, however many calls it takes.
inline SysResult<void> write_all_fd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (would_block(errno) && wait_ready(fd, POLLOUT)) continue;
      return Err(last_os_error());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace vantle::posix
