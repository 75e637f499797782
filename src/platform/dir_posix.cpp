// POSIX half of dir.h: opendir/readdir, with the entry's type from d_type where the file system
// gives it and from a stat that follows links otherwise.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/dir.h"
#include "platform/fd_posix.h"

namespace vantle::fs {
namespace {

EntryType type_of(DIR* dir, const dirent* entry) {
  switch (entry->d_type) {
    case DT_REG:
      return EntryType::kFile;
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_LNK:
    case DT_UNKNOWN:
      break;
    default:
      return EntryType::kOther;
  }
  struct stat st;
  if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) != 0) return EntryType::kOther;
  if (S_ISREG(st.st_mode)) return EntryType::kFile;
  if (S_ISDIR(st.st_mode)) return EntryType::kDirectory;
  return EntryType::kOther;
}

// opendir fails with ENOTDIR both for a file at `dir` and for a file above it. Only the second
// leaves nothing at the path, which Windows reports as "path not found"; the path itself, asked
// for without trailing slashes (which would ask for a directory again), tells them apart.
bool nothing_at(const std::filesystem::path& dir) {
  std::string text = dir.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  struct stat st;
  return ::stat(text.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

SysResult<std::vector<DirEntry>> list_entries(const std::filesystem::path& dir) {
  const posix::OwnedDir handle(::opendir(dir.c_str()));
  if (!handle) {
    SysError error = last_os_error();
    if (error.code == ENOTDIR && nothing_at(dir)) error.kind = ErrorKind::kNotFound;
    return Err(std::move(error));
  }
  std::vector<DirEntry> entries;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) return Err(last_os_error());
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    DirEntry out;
    out.name = name;
    out.type = type_of(handle.get(), entry);
    entries.push_back(std::move(out));
  }
  return entries;
}

}  // namespace vantle::fs
