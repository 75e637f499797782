// POSIX half of stdio.h.
#include <unistd.h>

#include "platform/fd_posix.h"
#include "platform/stdio.h"

namespace vantle::stdio {

SysResult<void> write_out(std::string_view text) { return posix::write_all_fd(STDOUT_FILENO, text); }
SysResult<void> write_err(std::string_view text) { return posix::write_all_fd(STDERR_FILENO, text); }

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  return posix::read_fd(STDIN_FILENO, buffer, size);
}

bool is_terminal(int stream) { return ::isatty(stream) == 1; }

}  // namespace vantle::stdio
