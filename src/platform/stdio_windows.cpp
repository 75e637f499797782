// Windows half of stdio.h: raw WriteFile/ReadFile on the standard handles, so no CRT buffering or
// newline translation stands between the program and its streams.
#include <windows.h>

#include "platform/handle_windows.h"
#include "platform/stdio.h"

namespace vantle::stdio {
namespace {

SysResult<void> write_handle(DWORD which, std::string_view text) {
  const HANDLE h = ::GetStdHandle(which);
  if (h == INVALID_HANDLE_VALUE) return Err(last_os_error());
  // A process started without this stream (a detached GUI parent) has nothing to write to.
  if (h == nullptr) return {};
  return win::write_all_handle(h, text);
}

}  // namespace

SysResult<void> write_out(std::string_view text) { return write_handle(STD_OUTPUT_HANDLE, text); }
SysResult<void> write_err(std::string_view text) { return write_handle(STD_ERROR_HANDLE, text); }
SysResult<void> write_out_large(std::string_view bytes) { return write_out(bytes); }

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  const HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
  if (h == INVALID_HANDLE_VALUE) return Err(last_os_error());
  if (h == nullptr) return std::size_t{0};
  return win::read_handle(h, buffer, size);
}

bool is_terminal(int stream) {
  const DWORD which = stream == 0 ? STD_INPUT_HANDLE : stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace vantle::stdio
