// OsString: a native string of the operating system (bytes on POSIX, UTF-16 on Windows), for
// environment values and names that need not be valid Unicode.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantle {

using NativeString = std::filesystem::path::string_type;

class OsString {
 public:
  OsString() = default;
  explicit OsString(NativeString native) : native_(std::move(native)) {}
  static OsString from_utf8(std::string_view utf8);
  static OsString from_path(const std::filesystem::path& path) { return OsString(path.native()); }

  const NativeString& native() const { return native_; }
  bool empty() const { return native_.empty(); }
  bool contains_nul() const;
  // Checked conversion: empty when the value is not valid Unicode (invalid UTF-8 on POSIX,
  // unpaired surrogates on Windows).
  std::optional<std::string> to_utf8() const;
  // Lossy conversion: invalid sequences become U+FFFD.
  std::string to_utf8_lossy() const;
  std::filesystem::path to_path() const { return std::filesystem::path(native_); }

  friend bool operator==(const OsString&, const OsString&) = default;

 private:
  NativeString native_;
};

// Paths are built from UTF-8 text with this, never from a narrow string (which Windows would
// read in the ANSI code page).
std::filesystem::path path_from_utf8(std::string_view utf8);
// A path as shown in messages: its text with invalid sequences replaced. The writer of report lines
// (stdio::write_report) keeps a control character in it from breaking the line.
std::string display(const std::filesystem::path& path);
// A path's text with invalid sequences replaced, control characters kept: for what is passed on
// (an agent's argument, its environment), never for a message.
std::string path_to_utf8_lossy(const std::filesystem::path& path);
// A path's text, or empty when it is not valid Unicode.
std::optional<std::string> path_to_utf8(const std::filesystem::path& path);

}  // namespace vantle
