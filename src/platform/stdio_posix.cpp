// POSIX half of stdio.h.
#include <unistd.h>

#include <cerrno>

#include "platform/stdio.h"

namespace vantle::stdio {
namespace {

SysResult<void> write_fd(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

SysResult<void> write_out(std::string_view text) { return write_fd(STDOUT_FILENO, text); }
SysResult<void> write_err(std::string_view text) { return write_fd(STDERR_FILENO, text); }

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Err(last_os_error());
  }
}

bool is_terminal(int stream) { return ::isatty(stream) == 1; }

}  // namespace vantle::stdio
