#include "json/writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>

#include "text/find.h"

namespace vantle::json {
namespace {

// For each byte: 0 when it is copied as is, else the letter after the backslash ('u' for \u00xx).
constexpr std::array<char, 256> ESCAPES = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

template <class Int>
void append_decimal(std::string& out, Int n) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
  out.append(buf, end);
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  out.push_back('"');
  append_escaped(out, s);
  out.push_back('"');
}

void append_escaped(std::string& out, std::string_view s) {
  static constexpr char HEX[] = "0123456789abcdef";
  const char* p = s.data();
  const char* const end = p + s.size();
  // The bytes to escape are exactly those a JSON string cannot hold as they stand.
  while (const char* const at = text::find_string_special(p, end)) {
    out.append(p, at);
    const auto byte = static_cast<unsigned char>(*at);
    if (const char escape = ESCAPES[byte]; escape == 'u') {
      const char seq[] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
      out.append(seq, sizeof seq);
    } else {
      const char seq[] = {'\\', escape};
      out.append(seq, sizeof seq);
    }
    p = at + 1;
  }
  out.append(p, end);
}

void append_integer(std::string& out, std::int64_t n) { append_decimal(out, n); }
void append_integer(std::string& out, std::uint64_t n) { append_decimal(out, n); }

void append_number(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  // Scientific form gives the shortest round-trip digits and their decimal exponent:
  // [-]d[.ddd]e(+|-)dd[d]. The layout is then ours.
  char buf[32];
  const char* const end =
      std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[20];
  std::size_t count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;

  if (exponent >= 0 && exponent < 16) {
    const auto whole = static_cast<std::size_t>(exponent) + 1;  // digits before the point
    if (count <= whole) {
      out.append(digits, count);
      out.append(whole - count, '0');
      out += ".0";
    } else {
      out.append(digits, whole);
      out.push_back('.');
      out.append(digits + whole, count - whole);
    }
  } else if (exponent < 0 && exponent >= -5) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, count);
  } else {
    out.push_back(digits[0]);
    if (count > 1) {
      out.push_back('.');
      out.append(digits + 1, count - 1);
    }
    out.push_back('e');
    append_decimal(out, exponent);
  }
}

std::string number_text(double x) {
  std::string out;
  append_number(out, x);
  return out;
}

void append_compact(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      out += "null";
      return;
    case Value::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Value::value_t::number_integer:
      append_integer(out, value.get<Value::number_integer_t>());
      return;
    case Value::value_t::number_unsigned:
      append_integer(out, value.get<Value::number_unsigned_t>());
      return;
    case Value::value_t::number_float:
      append_number(out, value.get<Value::number_float_t>());
      return;
    case Value::value_t::string:
      append_string(out, value.get_ref<const Value::string_t&>());
      return;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        append_compact(out, element);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      // The tree's std::map already iterates in ascending byte order of the keys.
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Value::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_string(out, key);
        out.push_back(':');
        append_compact(out, member);
      }
      out.push_back('}');
      return;
    }
    case Value::value_t::binary:
    case Value::value_t::discarded:
      out += "null";
      return;
  }
}

std::string to_compact(const Value& value) {
  std::string out;
  append_compact(out, value);
  return out;
}

}  // namespace vantle::json
