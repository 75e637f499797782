#include "sessions/path_order.h"

#include <cstddef>
#include <string_view>

namespace vantle::sessions {
namespace {

// The next code point of UTF-16 text; an unpaired surrogate stands for itself.
template <class C>
char32_t next_code_point(std::basic_string_view<C> s, std::size_t& i) {
  const char32_t unit = static_cast<char32_t>(s[i++]) & 0xFFFF;
  if (unit >= 0xD800 && unit <= 0xDBFF && i < s.size()) {
    const char32_t low = static_cast<char32_t>(s[i]) & 0xFFFF;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++i;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return unit;
}

template <class S>
int compare_native(const S& a, const S& b) {
  if constexpr (sizeof(typename S::value_type) == 1) {
    // char_traits<char> compares as unsigned bytes, like memcmp.
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  } else {
    using View = std::basic_string_view<typename S::value_type>;
    const View va(a), vb(b);
    std::size_t i = 0, j = 0;
    while (i < va.size() && j < vb.size()) {
      const char32_t ca = next_code_point(va, i);
      const char32_t cb = next_code_point(vb, j);
      if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (i < va.size()) return 1;
    if (j < vb.size()) return -1;
    return 0;
  }
}

// The components that take part in the order: std::filesystem yields an empty name after a
// trailing separator and keeps "." components, neither of which makes a path different.
std::vector<NativeString> components(const std::filesystem::path& p) {
  std::vector<NativeString> out;
  for (const auto& part : p) {
    const NativeString& text = part.native();
    if (text.empty()) continue;
    if (!out.empty() && text.size() == 1 && text[0] == '.') continue;
    out.push_back(text);
  }
  return out;
}

}  // namespace

int compare_component(const NativeString& a, const NativeString& b) { return compare_native(a, b); }

int compare_paths(const std::filesystem::path& a, const std::filesystem::path& b) {
  const auto ca = components(a);
  const auto cb = components(b);
  const std::size_t n = std::min(ca.size(), cb.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (const int c = compare_component(ca[i], cb[i]); c != 0) return c;
  }
  if (ca.size() == cb.size()) return 0;
  return ca.size() < cb.size() ? -1 : 1;
}

}  // namespace vantle::sessions
