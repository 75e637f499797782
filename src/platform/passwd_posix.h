// Reading the passwd format ("name:password:uid:gid:gecos:dir:shell"), from /etc/passwd or from
// getent. Included only by *_posix.cpp files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantle::posix {

// The directory of account `uid` in passwd lines, from the first line that names it; nothing when
// none does or its directory is empty.
inline std::optional<std::filesystem::path> home_in_passwd(std::string_view lines, uid_t uid) {
  const std::string wanted = std::to_string(uid);
  while (!lines.empty()) {
    const std::size_t feed = lines.find('\n');
    std::string_view line = lines.substr(0, feed);
    lines.remove_prefix(feed == std::string_view::npos ? lines.size() : feed + 1);
    std::string_view fields[7];
    int count = 0;
    for (; count < 7; ++count) {
      const std::size_t colon = line.find(':');
      fields[count] = line.substr(0, colon);
      if (colon == std::string_view::npos) break;
      line.remove_prefix(colon + 1);
    }
    if (count < 6 || fields[2] != wanted) continue;
    if (fields[5].empty()) return std::nullopt;
    return std::filesystem::path(std::string(fields[5]));
  }
  return std::nullopt;
}

}  // namespace vantle::posix
