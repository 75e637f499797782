// File-system services the logic needs, with OS errors as values.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/big_buffer.h"
#include "platform/error.h"

namespace vantle::fs {

// True for an existing regular file, following links; a directory or a dangling link is not one.
bool is_regular_file(const std::filesystem::path& path);
// True when a metadata query that follows links succeeds (something exists there).
bool exists(const std::filesystem::path& path);
// True for an existing directory, following links.
bool is_directory(const std::filesystem::path& path);

SysResult<std::filesystem::path> current_dir();
// Makes a path absolute against the current directory without touching the file system:
// GetFullPathNameW on Windows (a \\?\ path is returned unchanged); on POSIX "." and ".."
// components are normalised lexically.
SysResult<std::filesystem::path> make_absolute(const std::filesystem::path& path);

// Reads a whole file into a string: for the small files the tool reads (snapshots, mind files).
SysResult<std::string> read_to_string(const std::filesystem::path& path);

// A whole file's bytes in a buffer of their own, for files that may be very large.
struct FileBytes {
  BigBuffer buffer;
  std::size_t size = 0;
  std::string_view view() const { return {buffer.data(), size}; }
};
// What the program does with the bytes of a whole file: reads them itself, or only hands them to
// the system (writes them out unread). Bytes that are only handed on may be the file's own cached
// pages, mapped rather than copied (File::map_whole), which saves the copy and the clearing of fresh
// memory that make up most of the cost of reading a large file.
enum class WholeFileUse { kRead, kPassOn };
// Reads a whole file into a BigBuffer sized by the file's length; a file that grows while it is
// read is read to the end it has then.
SysResult<FileBytes> read_into_big_buffer(const std::filesystem::path& path, WholeFileUse use = WholeFileUse::kRead);

}  // namespace vantle::fs
