// POSIX half of file.h.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/fd_posix.h"
#include "platform/file.h"

namespace vantle::fs {

SysResult<File> File::create_new(const std::filesystem::path& path, Access access) {
  const mode_t mode = access == Access::kPrivate ? 0600 : 0666;
  OwnedHandle fd = posix::open_fd(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (!fd) return Err(last_os_error());
  return File(std::move(fd));
}

SysResult<File> File::open_read(const std::filesystem::path& path) {
  OwnedHandle fd = posix::open_fd(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd) return Err(last_os_error());
  return File(std::move(fd));
}

SysResult<File> File::create_truncate(const std::filesystem::path& path) {
  OwnedHandle fd = posix::open_fd(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (!fd) return Err(last_os_error());
  return File(std::move(fd));
}

SysResult<void> File::write_all(std::string_view bytes) {
  return posix::write_all_fd(handle_.get(), bytes);
}

SysResult<std::size_t> File::read(char* buffer, std::size_t size) {
  return posix::read_fd(handle_.get(), buffer, size);
}

std::optional<std::uint64_t> File::regular_size() const {
  struct stat st;
  if (::fstat(handle_.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

SysResult<void> File::seek(std::uint64_t offset) {
  if (::lseek(handle_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return Err(last_os_error());
  return {};
}

SysResult<std::uint64_t> File::seek_end() {
  const off_t end = ::lseek(handle_.get(), 0, SEEK_END);
  if (end < 0) return Err(last_os_error());
  return static_cast<std::uint64_t>(end);
}

SysResult<void> File::sync() {
  if (::fsync(handle_.get()) != 0) return Err(last_os_error());
  return {};
}

SysResult<void> create_dir_all(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return Err(os_error(EEXIST));
  }
  if (path.has_relative_path() && path.has_parent_path() && path.parent_path() != path) {
    if (auto parent = create_dir_all(path.parent_path()); !parent) return parent;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return Err(last_os_error());
  return {};
}

SysResult<void> create_dir(const std::filesystem::path& path, Access access) {
  if (::mkdir(path.c_str(), access == Access::kPrivate ? 0700 : 0777) != 0) return Err(last_os_error());
  return {};
}

SysResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return Err(last_os_error());
  return {};
}

SysResult<void> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return Err(last_os_error());
  // A file system without RENAME_NOREPLACE: a hard link is made only where no name is.
  if (::link(from.c_str(), to.c_str()) != 0) return Err(last_os_error());
  (void)::unlink(from.c_str());
  return {};
}

SysResult<void> remove_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) return Err(last_os_error());
  return {};
}

SysResult<void> remove_tree(const std::filesystem::path& path) {
  // remove_all counts a missing path as removed; a tree that is already gone is reported, as the
  // Windows half does, since whoever removed it was not supposed to.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Err(last_os_error());
  std::error_code ec;
  // Interrupted by a signal, the removal is begun again where it stopped.
  do {
    std::filesystem::remove_all(path, ec);
  } while (ec.value() == EINTR);
  if (ec) return Err(os_error(ec.value()));
  return {};
}

SysResult<void> sync_dir(const std::filesystem::path& path) {
  const OwnedHandle fd = posix::open_fd(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!fd) return Err(last_os_error());
  if (::fsync(fd.get()) != 0) return Err(last_os_error());
  return {};
}

}  // namespace vantle::fs
