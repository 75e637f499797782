#include "platform/os_string.h"

#include <type_traits>

#include "text/utf8.h"

namespace vantle {
namespace {

// std::filesystem's native character decides the encoding: one byte on POSIX, UTF-16 on Windows.
constexpr bool kWideNative = sizeof(NativeString::value_type) == 2;

std::u16string_view as_utf16(const NativeString& s) {
  if constexpr (kWideNative) {
    return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
  } else {
    return {};
  }
}

}  // namespace

OsString OsString::from_utf8(std::string_view utf8) {
  if constexpr (kWideNative) {
    const std::u16string wide = text::utf8_to_utf16(utf8);
    return OsString(NativeString(wide.begin(), wide.end()));
  } else {
    return OsString(NativeString(utf8));
  }
}

bool OsString::contains_nul() const { return native_.find(NativeString::value_type{0}) != NativeString::npos; }

std::optional<std::string> OsString::to_utf8() const {
  if constexpr (kWideNative) {
    return text::utf16_to_utf8(as_utf16(native_));
  } else {
    if (!text::is_utf8(native_)) return std::nullopt;
    return std::string(native_);
  }
}

std::string OsString::to_utf8_lossy() const {
  if constexpr (kWideNative) {
    return text::utf16_to_utf8_lossy(as_utf16(native_));
  } else {
    return text::utf8_lossy(native_);
  }
}

std::filesystem::path path_from_utf8(std::string_view utf8) { return OsString::from_utf8(utf8).to_path(); }

std::string display(const std::filesystem::path& path) { return OsString::from_path(path).to_utf8_lossy(); }

std::optional<std::string> path_to_utf8(const std::filesystem::path& path) {
  return OsString::from_path(path).to_utf8();
}

}  // namespace vantle
