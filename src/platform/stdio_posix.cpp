// POSIX half of stdio.h.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fd_posix.h"
#include "platform/stdio.h"

namespace vantle::stdio {
namespace {

// The most an unprivileged process may grow a pipe to by default (/proc/sys/fs/pipe-max-size).
constexpr int GROWN_PIPE_BYTES = 1 << 20;

// Grows the pipe `fd` towards GROWN_PIPE_BYTES when `wanted` bytes would not fit it. Whether that
// is settled for good: `fd` is no pipe, is large enough already, or was asked to grow (a refusal,
// the user's pipe memory used up, would come again).
bool grow_pipe(int fd, std::size_t wanted) {
  const int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size <= 0 || size >= GROWN_PIPE_BYTES) return true;
  if (wanted <= static_cast<std::size_t>(size)) return false;
  (void)::fcntl(fd, F_SETPIPE_SZ, GROWN_PIPE_BYTES);
  return true;
}

}  // namespace

SysResult<void> write_out(std::string_view text) { return posix::write_all_fd(STDOUT_FILENO, text); }
SysResult<void> write_err(std::string_view text) { return posix::write_all_fd(STDERR_FILENO, text); }

SysResult<void> write_out_large(std::string_view bytes) {
  // Fewer, larger turns between writer and reader; the bytes are still copied into the pipe as
  // they are now, so what the reader gets cannot change after the write. Standard output stays the
  // same file while the tool runs, so once settled the pipe is not asked again: a call per piece
  // cost history a system call per 256 KiB.
  static bool settled = false;
  if (!settled) settled = grow_pipe(STDOUT_FILENO, bytes.size());
  return posix::write_all_fd(STDOUT_FILENO, bytes);
}

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  return posix::read_fd(STDIN_FILENO, buffer, size);
}

bool is_terminal(int stream) { return ::isatty(stream) == 1; }

}  // namespace vantle::stdio
