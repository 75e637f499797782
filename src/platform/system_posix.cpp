// POSIX half of system.h.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd_posix.h"
#include "platform/system.h"

namespace vantle::sys {

void init_process() { ::signal(SIGPIPE, SIG_IGN); }

std::vector<OsString> command_line(int argc, char** argv) {
  std::vector<OsString> out;
  for (int i = 0; i < argc; ++i) out.emplace_back(NativeString(argv[i]));
  return out;
}

bool is_windows() { return false; }

SysResult<std::filesystem::path> current_exe() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return Err(os_error(ec.value()));
  return path;
}

std::uint32_t current_pid() { return static_cast<std::uint32_t>(::getpid()); }

namespace {

const std::string* bus_error_owed = nullptr;
const std::string* bus_error_message = nullptr;

// Only async-signal-safe calls: write, poll and _exit. The owed bytes are read as they stand; a copy into
// them that the fault cut short has not counted its bytes yet.
void write_raw(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && posix::would_block(errno) && posix::wait_ready(fd, POLLOUT)) continue;
    if (n <= 0) return;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

void on_bus_error(int) {
  write_raw(STDOUT_FILENO, bus_error_owed->data(), bus_error_owed->size());
  write_raw(STDERR_FILENO, bus_error_message->data(), bus_error_message->size());
  ::_exit(1);
}

}  // namespace

void exit_on_bus_error(const std::string& owed, std::string message) {
  static std::string kept;
  kept = std::move(message);
  bus_error_owed = &owed;
  bus_error_message = &kept;
  struct sigaction action {};
  action.sa_handler = on_bus_error;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGBUS, &action, nullptr);
}

void exit_process(int code) { ::_exit(code); }

}  // namespace vantle::sys
