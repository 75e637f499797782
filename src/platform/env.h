// The process environment, read and changed as OS strings.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/os_string.h"

namespace vantle::env {

// Unset gives nothing; set but empty gives an empty OsString.
std::optional<OsString> get(std::string_view name);
// Whether a value from `get` is set and not empty: where an empty variable counts as unset.
inline bool is_set(const std::optional<OsString>& value) { return value && !value->empty(); }
// Fails (kInvalidInput) for a value the environment cannot hold, such as one with a NUL.
SysResult<void> set(std::string_view name, const OsString& value);
SysResult<void> remove(std::string_view name);
// Every variable of the process, in the order the system lists them.
std::vector<std::pair<OsString, OsString>> all();

// Splits a PATH value by the platform's rules: ';' with double-quoted stretches on Windows,
// ':' without any quote rule on POSIX. Empty entries are kept (they name the current directory).
std::vector<std::filesystem::path> split_paths(const OsString& value);

// Whether variable names compare without regard to case (Windows).
bool names_ignore_case();

}  // namespace vantle::env
