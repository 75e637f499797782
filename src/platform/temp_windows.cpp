// Windows half of temp.h. GetTempPath2W (Windows 11, later backported) gives SYSTEM processes a
// private directory; it is looked up at run time because older systems and Wine lack it.
#include <windows.h>

#include <string>

#include "platform/temp.h"

namespace vantle::fs {
namespace {

using GetTempPathFn = DWORD(WINAPI*)(DWORD length, LPWSTR buffer);

GetTempPathFn find_get_temp_path() {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 != nullptr) {
    // Casting through void(*)() tells GCC the function type change is deliberate.
    auto found =
        reinterpret_cast<GetTempPathFn>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "GetTempPath2W")));
    if (found != nullptr) return found;
  }
  return &::GetTempPathW;
}

}  // namespace

SysResult<std::filesystem::path> temp_directory() {
  static const GetTempPathFn get_temp_path = find_get_temp_path();
  std::wstring buffer(MAX_PATH + 1, L'\0');
  while (true) {
    const DWORD n = get_temp_path(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) return Err(last_os_error());
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(std::move(buffer));
    }
    buffer.resize(n + 1);  // n is the length needed, without the terminating NUL
  }
}

}  // namespace vantle::fs
