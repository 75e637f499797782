// Windows half of fs.h.
#include <windows.h>

#include <optional>

#include "platform/fs.h"
#include "platform/handle_windows.h"
#include "platform/long_path.h"

namespace vantle::fs {
namespace {


// Opens with no access rights, which follows links and succeeds for directories too
// (FILE_FLAG_BACKUP_SEMANTICS) and for files others hold open.
OwnedHandle open_for_query(const std::filesystem::path& path) {
  return win::own(::CreateFileW(api_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The attributes of what the path names after following links, or nothing when it cannot be reached.
std::optional<DWORD> target_attributes(const std::filesystem::path& path) {
  const OwnedHandle h = open_for_query(path);
  if (!h) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  // Devices such as NUL open but have no file information.
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h.get(), &info)) return std::nullopt;
  return info.dwFileAttributes;
}

}  // namespace

bool is_regular_file(const std::filesystem::path& path) {
  const auto attributes = target_attributes(path);
  return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool exists(const std::filesystem::path& path) { return static_cast<bool>(open_for_query(path)); }

bool is_directory(const std::filesystem::path& path) {
  const auto attributes = target_attributes(path);
  return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

SysResult<std::filesystem::path> current_dir() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n == 0) return Err(last_os_error());
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(std::move(buffer));
    }
    buffer.resize(n);  // n counts the terminating NUL when the buffer was too small
  }
}

SysResult<std::filesystem::path> make_absolute(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  // A \\?\ path is taken literally by the system; normalising it could change what it names.
  if (text.starts_with(L"\\\\?\\")) return path;
  if (text.empty()) return current_dir();
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = ::GetFullPathNameW(text.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return Err(last_os_error());
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(std::move(buffer));
    }
    buffer.resize(n);
  }
}

std::wstring api_path(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  if (!wants_full_path(text)) return text;
  auto full = make_absolute(path);
  if (!full) return text;  // the call itself then reports what is wrong with the path
  std::wstring verbatim = long_form(full->native());
  // A short relative path goes as it is: the system resolves it the same way.
  return verbatim == full->native() ? text : verbatim;
}

SysResult<std::string> read_to_string(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  const HANDLE raw = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return Err(last_os_error());
  const OwnedHandle h(raw);
  std::string data;
  LARGE_INTEGER size;
  if (::GetFileSizeEx(h.get(), &size) && size.QuadPart > 0) data.reserve(static_cast<std::size_t>(size.QuadPart));
  char chunk[65536];
  while (true) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), chunk, sizeof chunk, &n, nullptr)) return Err(last_os_error());
    if (n == 0) break;
    data.append(chunk, n);
  }
  return data;
}

}  // namespace vantle::fs
