// A fresh directory per test, removed when the test passes and kept (its path printed) when it fails.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace vantle::testing {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // `path() / relative`, from UTF-8 text.
  std::filesystem::path operator/(std::string_view relative) const;

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, creating its parent directories.
void write_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_file(const std::filesystem::path& path);
// A file's bytes as the tool reads a log (fs::LiveFile), to its end or its error.
SysResult<std::string> read_live(const std::filesystem::path& path);

}  // namespace vantle::testing
