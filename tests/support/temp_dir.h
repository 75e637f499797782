// A fresh directory per test, removed when the test passes and kept (its path printed) when it fails.
#pragma once

#include <filesystem>
#include <set>
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

// Every entry below `dir`, directories included, as generic paths relative to it; none when `dir`
// is missing.
std::set<std::string> entries_below(const std::filesystem::path& dir);
// Checks that a run, however it ended, left only whole files where the tool writes for good: below
// the state directory `state` nothing but the snapshot of the endpoint `id`, which parses, and in
// the Thymel sessions directory `sessions` nothing but the prompt file, holding `prompt`.
void expect_only_whole_files(const std::filesystem::path& state, std::string_view id,
                             const std::filesystem::path& sessions, std::string_view prompt);

}  // namespace vantle::testing
