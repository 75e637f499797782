// Files and directories that the program creates, writes, renames and removes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/big_buffer.h"
#include "platform/error.h"
#include "platform/system_handles.h"

namespace vantle::fs {

// Whether new objects get the platform's defaults or are made private to the user
// (0700 directories and 0600 files on POSIX; Windows keeps the inherited defaults).
enum class Access { kDefault, kPrivate };

// An open file. Move-only; closes on destruction.
class File {
 public:
  File() = default;
  File(File&& other) noexcept = default;
  File& operator=(File&& other) noexcept = default;

  // Creates a new file for reading and writing, failing (kAlreadyExists) if anything exists at
  // the path. On Windows other openers may read, write and delete it while it is open.
  static SysResult<File> create_new(const std::filesystem::path& path, Access access = Access::kDefault);
  static SysResult<File> open_read(const std::filesystem::path& path);
  // Opens a file for writing, creating it or emptying the one that is there.
  static SysResult<File> create_truncate(const std::filesystem::path& path);

  SysResult<void> write_all(std::string_view bytes);
  // Reads up to `size` bytes; 0 at end of file.
  SysResult<std::size_t> read(char* buffer, std::size_t size);
  // The length of a regular file now; nothing for a pipe, a device or a file whose length cannot
  // be asked.
  std::optional<std::uint64_t> regular_size() const;
  // Moves to an absolute offset, or to the end (returning the file's length).
  SysResult<void> seek(std::uint64_t offset);
  SysResult<std::uint64_t> seek_end();
  // Flushes the file's data to stable storage (fsync, FlushFileBuffers).
  SysResult<void> sync();
  void close() { handle_.reset(); }
  bool is_open() const { return static_cast<bool>(handle_); }

 private:
  explicit File(OwnedHandle handle) : handle_(std::move(handle)) {}
  OwnedHandle handle_;
};

// A pull source of bytes: fills `buffer` with up to `size` bytes; 0 means end of input. A log file
// (LiveFile), a pipe or a decompressed archive, as the readers of a log take them.
using ByteSource = std::function<SysResult<std::size_t>(char* buffer, std::size_t size)>;

// A log that another process may still be writing, read from its start to its end. It may grow
// meanwhile, and the reads go on to the end it has then. A regular file seen to have shrunk (at its
// end, shorter than when it was opened or than the bytes read from it) fails that last read with
// kind kSourceGone instead of ending: its last bytes read may be a line that was being cut away,
// and bytes read after a cut may come from wherever the writer went on.
class LiveFile {
 public:
  explicit LiveFile(File file);

  // Reads up to `size` bytes; 0 at the end of a log that did not shrink.
  SysResult<std::size_t> read(char* buffer, std::size_t size);

 private:
  File file_;
  std::optional<std::uint64_t> opened_size_;
  std::uint64_t read_ = 0;
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
// write leaves no temporary file behind, nor does a signal that ends the tool meanwhile: it acts
// once the write has ended (see termination.h).
Result<void, WholeFileFailure> write_file_whole(const std::filesystem::path& target, std::string_view stem,
                                                std::string_view bytes, Durability durability,
                                                Install install = Install::kReplace);

}  // namespace vantle::fs
