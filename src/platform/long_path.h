// The long form of Windows paths. Plain text functions, so that every system tests them; only the
// Windows halves of the platform layer use them, at the call into the system.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vantle::fs {

// Paths shorter than this reach the wide APIs as they are. It is MAX_PATH less the 12 characters
// CreateDirectoryW keeps for an 8.3 name, the tightest limit among the calls made.
inline constexpr std::size_t LEGACY_PATH_LIMIT = 248;

// Whether `path` must be made full (GetFullPathNameW) before a wide API gets it: a relative path,
// whose full form may pass the limit, and an absolute one at or past it. Verbatim (\\?\, \??\) and
// device (\\.\) paths, and the empty path, are taken as they are.
bool wants_full_path(std::wstring_view path);

// The verbatim form of a full path at or past the limit: \\?\C:\... for a drive path and
// \\?\UNC\server\share\... for a share. Anything else comes back unchanged: a shorter path, a
// verbatim or device path, and text that is not a full path, relative or holding "/", "." or ".."
// (a verbatim path is not normalised, so those would name something else).
std::wstring long_form(std::wstring_view full);

// The text a wide API gets for `path`: its long form when it needs one, else the path as it is.
// Messages and child arguments keep the path as built. Defined by the Windows halves only.
std::wstring api_path(const std::filesystem::path& path);

}  // namespace vantle::fs
