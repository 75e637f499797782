#include "platform/os_string.h"

#include "text/utf8.h"

namespace vantle {
namespace {

// std::filesystem's native character decides the encoding: one byte on POSIX, UTF-16 on Windows.
// These are templates so that the branch for the other platform is never compiled.
template <class S>
constexpr bool WIDE = sizeof(typename S::value_type) == 2;

template <class S>
std::u16string_view as_utf16(const S& s) {
  return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}

template <class S>
S native_from_utf8(std::string_view utf8) {
  if constexpr (WIDE<S>) {
    const std::u16string wide = text::utf8_to_utf16(utf8);
    return S(wide.begin(), wide.end());
  } else {
    return S(utf8);
  }
}

template <class S>
std::optional<std::string> checked_utf8(const S& s) {
  if constexpr (WIDE<S>) {
    return text::utf16_to_utf8(as_utf16(s));
  } else {
    if (!text::is_utf8(s)) return std::nullopt;
    return std::string(s);
  }
}

template <class S>
std::string lossy_utf8(const S& s) {
  if constexpr (WIDE<S>) {
    return text::utf16_to_utf8_lossy(as_utf16(s));
  } else {
    return text::utf8_lossy(s);
  }
}

}  // namespace

OsString OsString::from_utf8(std::string_view utf8) { return OsString(native_from_utf8<NativeString>(utf8)); }

bool OsString::contains_nul() const { return native_.find(NativeString::value_type{0}) != NativeString::npos; }

std::optional<std::string> OsString::to_utf8() const { return checked_utf8(native_); }

std::string OsString::to_utf8_lossy() const { return lossy_utf8(native_); }

std::filesystem::path path_from_utf8(std::string_view utf8) { return OsString::from_utf8(utf8).to_path(); }

std::string display(const std::filesystem::path& path) { return path_to_utf8_lossy(path); }

std::string path_to_utf8_lossy(const std::filesystem::path& path) { return OsString::from_path(path).to_utf8_lossy(); }

std::optional<std::string> path_to_utf8(const std::filesystem::path& path) {
  return OsString::from_path(path).to_utf8();
}

}  // namespace vantle
