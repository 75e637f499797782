// Windows half of error.h: GetLastError codes and FormatMessageW text.
#include <windows.h>

#include <memory>

#include "platform/error_kinds.h"
#include "text/utf8.h"

namespace vantle {
namespace {

// The kinds the program tells apart; every other code is kOther.
constexpr OsCodeKind KINDS[] = {
    {ERROR_FILE_NOT_FOUND, ErrorKind::kNotFound},        {ERROR_PATH_NOT_FOUND, ErrorKind::kNotFound},
    {ERROR_FILE_EXISTS, ErrorKind::kAlreadyExists},      {ERROR_ALREADY_EXISTS, ErrorKind::kAlreadyExists},
    {ERROR_ACCESS_DENIED, ErrorKind::kPermissionDenied}, {ERROR_INVALID_PARAMETER, ErrorKind::kInvalidInput}};

std::string system_text(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD n =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return "Unknown error";
  // Freed however this returns, running out of memory for the text included.
  const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(buffer, &::LocalFree);
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n')) --n;
  // Some system texts hold line breaks of their own, which the writer of report lines escapes.
  return text::utf16_to_utf8_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n));
}

}  // namespace

SysError os_error(int code) {
  const DWORD unsigned_code = static_cast<DWORD>(code);
  return {kind_of(code, KINDS), code, with_os_code(system_text(unsigned_code), code)};
}

SysError last_os_error() { return os_error(static_cast<int>(::GetLastError())); }

}  // namespace vantle
