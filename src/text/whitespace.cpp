#include "text/whitespace.h"

#include <cstddef>
#include <cstdint>

namespace vantle::text {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

namespace {

inline bool ascii_space(std::uint8_t b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

// Length of the white-space character encoded at the start of `s`, or 0.
std::size_t space_len_at(std::string_view s) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t c = b(0);
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  if (c == 0xC2 && s.size() >= 2) return (b(1) == 0x85 || b(1) == 0xA0) ? 2 : 0;
  if (s.size() < 3) return 0;
  const char32_t cp = (static_cast<char32_t>(c & 0x0F) << 12) | (static_cast<char32_t>(b(1) & 0x3F) << 6) |
                      (b(2) & 0x3F);
  if ((c == 0xE1 || c == 0xE2 || c == 0xE3) && (b(1) & 0xC0) == 0x80 && (b(2) & 0xC0) == 0x80) {
    return is_white_space(cp) ? 3 : 0;
  }
  return 0;
}

}  // namespace

std::string_view trim_start(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = space_len_at(s);
    if (n == 0) break;
    s.remove_prefix(n);
  }
  return s;
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty()) {
    const auto last = static_cast<std::uint8_t>(s.back());
    if (last < 0x80) {
      if (!ascii_space(last)) break;
      s.remove_suffix(1);
      continue;
    }
    // Step back to the lead byte of the last character (at most 3 continuation bytes).
    std::size_t start = s.size() - 1;
    while (start > 0 && s.size() - start < 4 && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    const std::string_view tail = s.substr(start);
    const std::size_t n = space_len_at(tail);
    if (n == 0 || n != tail.size()) break;
    s.remove_suffix(n);
  }
  return s;
}

std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

}  // namespace vantle::text
