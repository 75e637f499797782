// The escapes of JSON strings, for the readers that decode them in place.
#pragma once

#include <array>
#include <string_view>

namespace vantle::json::escapes {

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the four hex digits at `p`, or -1.
inline int hex4(const char* p) {
  int unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_digit(p[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// For each letter after a backslash, the character the one-letter escape stands for; 0 for the
// letters that make no such escape. A table, since a search of the letters calls memchr, which
// cost a twentieth of a message line's reading.
inline constexpr std::array<char, 256> UNESCAPED = [] {
  std::array<char, 256> table{};
  constexpr std::string_view letters = "\"\\/bfnrt";
  constexpr std::string_view chars = "\"\\/\b\f\n\r\t";
  for (std::size_t i = 0; i < letters.size(); ++i) table[static_cast<unsigned char>(letters[i])] = chars[i];
  return table;
}();

inline char unescaped(char letter) { return UNESCAPED[static_cast<unsigned char>(letter)]; }

// The code point of the \u escape at `p` (its backslash) in a valid string, a surrogate pair read
// whole, and the length of the text it took.
inline char32_t code_point_at(const char* p, std::size_t& length) {
  auto unit = static_cast<char32_t>(hex4(p + 2));
  length = 6;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(hex4(p + 8)) - 0xDC00);
    length = 12;
  }
  return unit;
}

}  // namespace vantle::json::escapes
