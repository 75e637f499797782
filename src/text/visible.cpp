#include "text/visible.h"

#include <algorithm>

namespace vantle::text {
namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }

}  // namespace

std::string visible(std::string_view value) {
  if (std::none_of(value.begin(), value.end(), is_control)) return std::string(value);
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size() + 8);
  for (const char c : value) {
    if (!is_control(c)) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace vantle::text
