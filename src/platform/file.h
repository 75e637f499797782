// Files and directories that the program creates, writes, renames and removes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/big_buffer.h"
#include "platform/error.h"

namespace vantle::fs {

// Whether new objects get the platform's defaults or are made private to the user
// (0700 directories and 0600 files on POSIX; Windows keeps the inherited defaults).
enum class Access { kDefault, kPrivate };

class FileView;

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
  // The whole file at its present length, mapped read-only: the system's own cached pages instead
  // of a copy, every one brought in before this returns so that a failed read shows here. Empty
  // where that cannot be done (not a regular file, an empty one, a file system without mappings,
  // a failed read, Windows): the caller reads instead, which also words any error properly. The
  // program must leave the mapped bytes to system calls: should another process cut the file
  // short, touching a page past its new end kills the program, where a system call only fails.
  std::optional<BigBuffer> map_whole() const;
  // The whole file at its present length, mapped read-only with no page brought in yet: see
  // FileView. Empty where that cannot be done (not a regular file, an empty one, a kernel that
  // cannot bring pages in on request, Windows): the caller reads instead.
  std::optional<FileView> view() const;
  // Moves to an absolute offset, or to the end (returning the file's length).
  SysResult<void> seek(std::uint64_t offset);
  SysResult<std::uint64_t> seek_end();
  // Flushes the file's data to stable storage (fsync, FlushFileBuffers).
  SysResult<void> sync();
  void close();
  bool is_open() const { return raw_ != -1; }

 private:
  explicit File(std::intptr_t raw) : raw_(raw) {}
  std::optional<BigBuffer> map() const;  // POSIX only
  std::intptr_t raw_ = -1;
};

// A file mapped read-only whose pages are brought in as the reader asks, a stretch at a time, and
// let go behind it: a file of any size is read in place, holding no more memory than the
// stretches in use. Touching a page that was not brought in, or one of a file that another process
// has cut short since, is a bus error (see sys::exit_on_bus_error). Move-only.
class FileView {
 public:
  const char* data() const { return map_.data(); }
  std::size_t size() const { return map_.capacity(); }
  // Brings in the pages that hold [from, to). A failed read shows here as an error, and a file cut
  // short as one of kind kSourceGone.
  SysResult<void> load(std::size_t from, std::size_t to) const;
  // Lets go of the pages from the one that holds `from` up to the one that holds `to` (not that
  // one): the caller is done with every byte before `to`. The system keeps them cached.
  void release(std::size_t from, std::size_t to) const;

 private:
  friend class File;
  explicit FileView(BigBuffer map) : map_(std::move(map)) {}
  BigBuffer map_;
};

// Creates a directory and every missing parent; an existing directory is not an error.
SysResult<void> create_dir_all(const std::filesystem::path& path);
// Creates one directory, failing (kAlreadyExists) if anything exists at the path.
SysResult<void> create_dir(const std::filesystem::path& path, Access access = Access::kDefault);
// Renames `from` onto `to`, replacing an existing file there.
SysResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to);
// Renames `from` onto `to` only when nothing is at `to`, in one step (kAlreadyExists otherwise):
// renameat2 with RENAME_NOREPLACE, or link and unlink where the file system lacks it (Linux);
// MoveFileExW without replace (Windows).
SysResult<void> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);
SysResult<void> remove_file(const std::filesystem::path& path);
// Removes a directory with everything in it; nothing at the path is an error (kNotFound).
SysResult<void> remove_tree(const std::filesystem::path& path);
// Makes the entries of a directory (a rename into it) durable. A no-op where the platform's
// rename is durable by itself.
SysResult<void> sync_dir(const std::filesystem::path& path);

// Whether a file written whole replaces whatever is at its name, or is installed only where
// nothing is (a write that only fills a gap).
enum class Install { kReplace, kKeepExisting };

// Whether a file written whole is on stable storage, its directory entry included, before it is
// reported written, or only visible to other processes.
enum class Durability { kVisible, kDurable };

// Names a whole-file write tries for its temporary file, counting the first.
inline constexpr int WHOLE_FILE_NAME_ATTEMPTS = 128;

// Why a whole-file write failed: its temporary file could not be created or written (kTemporary,
// `temp` names it), the rename onto the target failed (kInstall), or the file at the target, which
// the rename could not replace, could not be deleted (kReplace, after `rename_error`), or a file
// written to fill a gap found one there (kExists; nothing was changed).
struct WholeFileFailure {
  enum class Step { kTemporary, kInstall, kReplace, kExists };
  Step step = Step::kTemporary;
  std::filesystem::path temp;
  SysError error;
  SysError rename_error;
};

// Writes `bytes` as the file `target`, so that a reader sees the old file or the new one, never
// part of one: into a new file `.<stem>.<pid>-<n>.tmp` beside the target, created exclusively
// (a name that is taken is passed over for the next n, up to WHOLE_FILE_NAME_ATTEMPTS names; n
// counts up from zero per process), then renamed over the target, which replaces a file or a
// link there and never writes through a link. Where that rename fails and a regular file is at the
// target, the file is deleted and the rename tried once more. With Install::kKeepExisting the
// file is installed only where nothing is at the target, and never replaces anything. A failed
// write leaves no temporary file behind.
Result<void, WholeFileFailure> write_file_whole(const std::filesystem::path& target, std::string_view stem,
                                                std::string_view bytes, Durability durability,
                                                Install install = Install::kReplace);

}  // namespace vantle::fs
