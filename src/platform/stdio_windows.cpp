// Windows half of stdio.h: raw WriteFile/ReadFile on the standard handles, so no CRT buffering or
// newline translation stands between the program and its streams.
#include <windows.h>

#include "platform/handle_windows.h"
#include "platform/stdio.h"

namespace vantle::stdio {
namespace {

// A process started without a stream (detached, or handed a NULL handle) has no handle for it. Its
// use fails, as a closed descriptor's does on POSIX: output that went nowhere must never be
// reported as written.
SysResult<HANDLE> standard_handle(DWORD which) {
  const HANDLE h = ::GetStdHandle(which);
  if (h == INVALID_HANDLE_VALUE) return Err(last_os_error());
  if (h == nullptr) return Err(os_error(ERROR_INVALID_HANDLE));
  return h;
}

SysResult<void> write_handle(DWORD which, std::string_view text) {
  const auto h = standard_handle(which);
  if (!h) return h.err();
  return win::write_all_handle(*h, text);
}

}  // namespace

SysResult<void> write_out(std::string_view text) { return write_handle(STD_OUTPUT_HANDLE, text); }
SysResult<void> write_err(std::string_view text) { return write_handle(STD_ERROR_HANDLE, text); }
SysResult<void> write_out_large(std::string_view bytes) { return write_out(bytes); }

SysResult<std::size_t> read_in(char* buffer, std::size_t size) {
  const auto h = standard_handle(STD_INPUT_HANDLE);
  if (!h) return h.err();
  return win::read_handle(*h, buffer, size);
}

bool is_terminal(int stream) {
  const DWORD which = stream == 0 ? STD_INPUT_HANDLE : stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace vantle::stdio
