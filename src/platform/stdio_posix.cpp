// POSIX half of stdio.h.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/fd_posix.h"
#include "platform/stdio.h"

namespace vantle::stdio {
namespace {

// The most an unprivileged process may grow a pipe to by default (/proc/sys/fs/pipe-max-size).
constexpr int kPipeSize = 1 << 20;

// The capacity of the pipe `fd` after growing it towards kPipeSize for `wanted` bytes; 0 when `fd`
// is no pipe. A pipe is never shrunk, and a refused growth (the user's pipe memory is used up)
// leaves it as it was.
std::size_t grow_pipe(int fd, std::size_t wanted) {
  const int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size <= 0) return 0;
  if (size >= kPipeSize || wanted <= static_cast<std::size_t>(size)) return static_cast<std::size_t>(size);
  const int grown = ::fcntl(fd, F_SETPIPE_SZ, kPipeSize);
  return static_cast<std::size_t>(grown > 0 ? grown : size);
}

}  // namespace

SysResult<void> write_out(std::string_view text) { return posix::write_all_fd(STDOUT_FILENO, text); }
SysResult<void> write_err(std::string_view text) { return posix::write_all_fd(STDERR_FILENO, text); }

SysResult<void> write_out_lasting(std::string_view bytes) {
  const std::size_t pipe = grow_pipe(STDOUT_FILENO, bytes.size());
  // A pipe's worth at a time: the pages are then referenced by the pipe, not copied.
  while (pipe > 0 && !bytes.empty()) {
    iovec piece{const_cast<char*>(bytes.data()), std::min(bytes.size(), pipe)};
    const ssize_t n = ::vmsplice(STDOUT_FILENO, &piece, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    // Whatever stops it (a closed reader, a non-blocking pipe, a sandbox that forbids the call),
    // plain writes carry on from here and report the error if it is one.
    if (n <= 0) break;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return posix::write_all_fd(STDOUT_FILENO, bytes);
}

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  return posix::read_fd(STDIN_FILENO, buffer, size);
}

bool is_terminal(int stream) { return ::isatty(stream) == 1; }

}  // namespace vantle::stdio
