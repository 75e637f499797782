// Files and directories that the program creates, writes, renames and removes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/error.h"

namespace vantle::fs {

// Whether new objects get the platform's defaults or are made private to the user
// (0700 directories and 0600 files on POSIX; Windows keeps the inherited defaults).
enum class Access { kDefault, kPrivate };

// An open file. Move-only; closes on destruction.
class File {
 public:
  File() = default;
  File(File&& other) noexcept : raw_(std::exchange(other.raw_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  // Creates a new file for reading and writing, failing (kAlreadyExists) if anything exists at
  // the path. On Windows other openers may read, write and delete it while it is open.
  static SysResult<File> create_new(const std::filesystem::path& path, Access access = Access::kDefault);
  static SysResult<File> open_read(const std::filesystem::path& path);
  // Opens a file for writing, creating it or emptying the one that is there.
  static SysResult<File> create_truncate(const std::filesystem::path& path);

  SysResult<void> write_all(std::string_view bytes);
  // Reads up to `size` bytes; 0 at end of file.
  SysResult<std::size_t> read(char* buffer, std::size_t size);
  // Moves to an absolute offset, or to the end (returning the file's length).
  SysResult<void> seek(std::uint64_t offset);
  SysResult<std::uint64_t> seek_end();
  // Flushes the file's data to stable storage (fsync, FlushFileBuffers).
  SysResult<void> sync();
  void close();
  bool is_open() const { return raw_ != -1; }

 private:
  explicit File(std::intptr_t raw) : raw_(raw) {}
  std::intptr_t raw_ = -1;
};

// Creates a directory and every missing parent; an existing directory is not an error.
SysResult<void> create_dir_all(const std::filesystem::path& path);
// Creates one directory, failing (kAlreadyExists) if anything exists at the path.
SysResult<void> create_dir(const std::filesystem::path& path, Access access = Access::kDefault);
// Renames `from` onto `to`, replacing an existing file there.
SysResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to);
SysResult<void> remove_file(const std::filesystem::path& path);
// Removes a directory with everything in it.
SysResult<void> remove_tree(const std::filesystem::path& path);
// Makes the entries of a directory (a rename into it) durable. A no-op where the platform's
// rename is durable by itself.
SysResult<void> sync_dir(const std::filesystem::path& path);

}  // namespace vantle::fs
