#include "text/visible.h"

#include <algorithm>

namespace vantle::text {
namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }

// Appends `c` written visibly.
void append_visible(std::string& out, char c) {
  static constexpr char HEX[] = "0123456789abcdef";
  if (c == '\n') {
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

}  // namespace

std::string visible(std::string_view value) {
  if (std::none_of(value.begin(), value.end(), is_control)) return std::string(value);
  std::string out;
  out.reserve(value.size() + 8);
  for (const char c : value) {
    if (is_control(c)) {
      append_visible(out, c);
    } else {
      out += c;
    }
  }
  return out;
}

std::string report_text(const ReportLine& line) {
  if (line.empty()) return {};
  std::string out;
  for (const ReportPiece& piece : line) {
    for (const char c : piece.text) {
      if (piece.relayed ? c == '\n' || c == '\r' : is_control(c)) {
        append_visible(out, c);
      } else {
        out += c;
      }
    }
  }
  out += '\n';
  return out;
}

}  // namespace vantle::text
