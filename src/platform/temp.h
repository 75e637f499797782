// The user's temporary directory, as the platform reports it.
#pragma once

#include <filesystem>

#include "platform/error.h"

namespace vantle::fs {

// The platform's temporary directory, unchecked: it may not exist, and it is empty or relative
// when the environment says so. POSIX: TMPDIR when set (even to the empty text), else /tmp.
// Windows: GetTempPath2W when the system has it, else GetTempPathW (both end in a backslash).
SysResult<std::filesystem::path> temp_directory();

}  // namespace vantle::fs
