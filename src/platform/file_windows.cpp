// Windows half of file.h, with the wide APIs.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "platform/file.h"
#include "platform/handle_windows.h"
#include "platform/long_path.h"

namespace vantle::fs {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Virus scanners, indexers and backup agents open files for a moment without sharing delete; a
// rename or deletion that meets such a handle fails with one of these until it is closed.
bool held_by_another(DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION; }

// Tries `call` (a BOOL-returning rename or deletion) again, after short sleeps, while it fails
// only because someone holds the file, for about a second; any other failure is reported at once.
template <class Call>
SysResult<void> retry_while_held(Call call) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  DWORD pause_ms = 1;
  while (!call()) {
    const DWORD code = ::GetLastError();
    if (!held_by_another(code) || std::chrono::steady_clock::now() >= deadline) {
      return Err(os_error(static_cast<int>(code)));
    }
    // Nothing signals that another process closed its handle: the only way to know is to try again.
    ::Sleep(pause_ms);
    pause_ms = std::min<DWORD>(pause_ms * 2, 32);
  }
  return {};
}

SysResult<void> delete_file(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  return retry_while_held([&] { return ::DeleteFileW(name.c_str()); });
}

SysResult<void> remove_dir(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  return retry_while_held([&] { return ::RemoveDirectoryW(name.c_str()); });
}

}  // namespace

SysResult<File> File::create_new(const std::filesystem::path& path, Access) {
  // Other openers may read, write and delete while the handle is held (the agent reads prompt
  // files that the turn keeps open).
  // The name outlives the call, so that freeing it cannot touch the error the call left.
  const std::wstring name = api_path(path);
  auto h = win::own(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return Err(last_os_error());
  return File(std::move(h));
}

SysResult<File> File::open_read(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  auto h = win::own(::CreateFileW(name.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return Err(last_os_error());
  return File(std::move(h));
}

SysResult<File> File::create_truncate(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  auto h = win::own(::CreateFileW(name.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return Err(last_os_error());
  return File(std::move(h));
}

SysResult<void> File::write_all(std::string_view bytes) { return win::write_all_handle(handle_.get(), bytes); }

SysResult<std::size_t> File::read(char* buffer, std::size_t size) { return win::read_handle(handle_.get(), buffer, size); }

std::optional<std::uint64_t> File::regular_size() const {
  HANDLE h = handle_.get();
  LARGE_INTEGER size;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

SysResult<void> File::seek(std::uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(handle_.get(), distance, nullptr, FILE_BEGIN)) return Err(last_os_error());
  return {};
}

SysResult<std::uint64_t> File::seek_end() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER end;
  if (!::SetFilePointerEx(handle_.get(), zero, &end, FILE_END)) return Err(last_os_error());
  return static_cast<std::uint64_t>(end.QuadPart);
}

SysResult<void> File::sync() {
  if (!::FlushFileBuffers(handle_.get())) return Err(last_os_error());
  return {};
}

SysResult<void> create_dir_all(const std::filesystem::path& path) {
  const std::wstring name = api_path(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {};
    return Err(os_error(ERROR_ALREADY_EXISTS));
  }
  const auto parent = path.parent_path();
  if (!parent.empty() && parent != path && parent.has_relative_path()) {
    if (auto made = create_dir_all(parent); !made) return made;
  }
  if (!::CreateDirectoryW(name.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return Err(last_os_error());
  }
  return {};
}

SysResult<void> create_dir(const std::filesystem::path& path, Access) {
  const std::wstring name = api_path(path);
  if (!::CreateDirectoryW(name.c_str(), nullptr)) return Err(last_os_error());
  return {};
}

SysResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::wstring source = api_path(from);
  const std::wstring target = api_path(to);
  // Write-through: the rename is on disk when the call returns.
  return retry_while_held(
      [&] { return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH); });
}

SysResult<void> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::wstring source = api_path(from);
  const std::wstring target = api_path(to);
  return retry_while_held([&] { return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH); });
}

SysResult<void> remove_file(const std::filesystem::path& path) { return delete_file(path); }

SysResult<void> remove_tree(const std::filesystem::path& path) {
  WIN32_FIND_DATAW entry;
  const std::wstring pattern = api_path(path / L"*");
  const win::OwnedFind find(::FindFirstFileW(pattern.c_str(), &entry));
  if (!find) {
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) return Err(last_os_error());
  } else {
    SysResult<void> outcome;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const auto child = path / name;
      const bool is_dir = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      // A junction or directory link is removed itself, never followed.
      const bool is_link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        ::SetFileAttributesW(api_path(child).c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
      }
      if (is_dir && !is_link) {
        outcome = remove_tree(child);
      } else if (is_dir) {
        outcome = remove_dir(child);
      } else {
        outcome = delete_file(child);
      }
    } while (outcome.ok() && ::FindNextFileW(find.get(), &entry));
    if (!outcome) return outcome;
    // A listing that failed part way is not the end of the directory: removing it would fail
    // with a borrowed error (not empty, or held), after the retries for a held file.
    if (::GetLastError() != ERROR_NO_MORE_FILES) return Err(last_os_error());
  }
  return remove_dir(path);
}

// A rename on Windows is durable once MoveFileExW (with write-through) returns.
SysResult<void> sync_dir(const std::filesystem::path&) { return {}; }

}  // namespace vantle::fs
