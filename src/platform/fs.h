// File-system services the logic needs, with OS errors as values.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

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

}  // namespace vantle::fs
