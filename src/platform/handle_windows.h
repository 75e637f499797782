// Owned kernel handles and whole reads and writes on them, shared by files, pipes and the
// standard streams: the Windows counterpart of fd_posix.h. Included only by *_windows.cpp files.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string_view>

#include "platform/error.h"
#include "platform/system_handles.h"

namespace vantle::win {

// APIs report "no handle" as nullptr or INVALID_HANDLE_VALUE depending on the call; `own` takes
// either, so an owned handle (platform/system_handles.h) is empty exactly when there is none.
inline OwnedHandle own(HANDLE h) { return OwnedHandle(h == INVALID_HANDLE_VALUE ? nullptr : h); }

// Whether a failed read's code means the end of the input: every writer of a pipe gone, or the end
// of a file.
inline bool is_input_end(DWORD code) { return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF; }

// A directory search, which FindClose ends (not CloseHandle); empty when the search could not start.
struct FindTraits {
  using Native = HANDLE;
  static inline const HANDLE NONE = INVALID_HANDLE_VALUE;
  static void close(HANDLE find) noexcept { ::FindClose(find); }
};
using OwnedFind = Owned<FindTraits>;

// The largest single transfer: the APIs count bytes in 32 bits.
inline constexpr std::size_t MAX_TRANSFER = std::size_t{1} << 30;

// One read of at most `size` bytes; 0 means end of input, which a pipe reports as a broken pipe
// (every writer gone) and a file as end of file.
inline SysResult<std::size_t> read_handle(HANDLE h, char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!::ReadFile(h, buffer, static_cast<DWORD>(std::min(size, MAX_TRANSFER)), &got, nullptr)) {
    const DWORD code = ::GetLastError();
    if (is_input_end(code)) return std::size_t{0};
    return Err(os_error(static_cast<int>(code)));
  }
  return std::size_t{got};
}

// Writes every byte, however many calls it takes.
inline SysResult<void> write_all_handle(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(std::min(bytes.size(), MAX_TRANSFER)), &written, nullptr)) {
      return Err(last_os_error());
    }
    bytes.remove_prefix(written);
  }
  return {};
}

}  // namespace vantle::win
