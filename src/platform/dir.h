// Listing the entries of one directory, with what each entry is once links are followed.
#pragma once

#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "platform/os_string.h"

namespace vantle::fs {

// What an entry names after following links. A dangling or looping link, a device, a pipe or a
// socket is kOther.
enum class EntryType { kFile, kDirectory, kOther };

// No full path is kept: a listing of a folder of a million sessions holds its names only (a path
// would cost a string for each of its components too).
struct DirEntry {
  NativeString name;  // the name exactly as the system gave it
  EntryType type = EntryType::kOther;
};

// The entries of `dir` without "." and "..", in the order the system returns them. A directory
// that is not there fails with kNotFound (on Windows also a missing drive, network path or share;
// on every system a path below a file), so that callers can tell absence from a listing that
// failed. A file at `dir` itself is another kind of failure on POSIX and under Wine (Windows may
// call it "path not found" too).
SysResult<std::vector<DirEntry>> list_entries(const std::filesystem::path& dir);

}  // namespace vantle::fs
