// Windows half of dir.h: FindFirstFileExW/FindNextFileW. Entries that are reparse points (links,
// junctions) are opened to learn what they lead to.
#include <windows.h>

#include <memory>

#include "platform/dir.h"
#include "platform/handle_windows.h"
#include "platform/long_path.h"

namespace vantle::fs {
namespace {

// The error codes that mean "nothing is there" for a directory path: file not found, path not
// found, invalid drive, bad network path, bad network name.
bool is_absent(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_DRIVE ||
         code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME;
}

EntryType follow(const std::filesystem::path& path) {
  // No access rights are needed to read attributes; backup semantics lets directories open.
  const OwnedHandle h = win::own(::CreateFileW(api_path(path).c_str(), 0,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return EntryType::kOther;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h.get(), &info)) {
    return EntryType::kOther;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::kDirectory : EntryType::kFile;
}

EntryType type_of(const WIN32_FIND_DATAW& data, const std::filesystem::path& path) {
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return follow(path);
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::kDirectory : EntryType::kFile;
}

SysError listing_error(DWORD code) {
  SysError error = os_error(static_cast<int>(code));
  if (is_absent(code)) error.kind = ErrorKind::kNotFound;
  return error;
}

}  // namespace

SysResult<std::vector<DirEntry>> list_entries(const std::filesystem::path& dir) {
  const std::filesystem::path pattern = dir / L"*";
  WIN32_FIND_DATAW data;
  const std::wstring pattern_text = api_path(pattern);
  const win::OwnedFind handle(::FindFirstFileExW(pattern_text.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                                 nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!handle) return Err(listing_error(::GetLastError()));
  std::vector<DirEntry> entries;
  while (true) {
    const std::wstring_view name(data.cFileName);
    if (name != L"." && name != L"..") {
      DirEntry out;
      out.name = NativeString(name);
      out.type = type_of(data, dir / out.name);
      entries.push_back(std::move(out));
    }
    if (!::FindNextFileW(handle.get(), &data)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_NO_MORE_FILES) break;
      return Err(os_error(static_cast<int>(code)));
    }
  }
  return entries;
}

}  // namespace vantle::fs
