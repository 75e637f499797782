#include "json/reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "json/escapes.h"
#include "json/json.h"
#include "text/find.h"
#include "text/utf8.h"

namespace vantle::json {
namespace {

using escapes::hex4;
using escapes::unescaped;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Past the closing quote of the string whose contents start at `p`, or null when the string is
// not valid: a raw control character, an unknown escape, a bad \u escape or an unpaired surrogate.
const char* valid_string_end(const char* p, const char* end) {
  while (true) {
    p = text::find_string_special(p, end);
    if (p == nullptr) return nullptr;
    if (*p == '"') return p + 1;
    if (*p != '\\') return nullptr;  // a control character
    if (end - p < 2) return nullptr;
    const char letter = p[1];
    if (letter != 'u') {
      if (unescaped(letter) == 0) return nullptr;
      p += 2;
      continue;
    }
    if (end - p < 6) return nullptr;
    const int unit = hex4(p + 2);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return nullptr;
    p += 6;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return nullptr;
      const int low = hex4(p + 2);
      if (low < 0xDC00 || low > 0xDFFF) return nullptr;
      p += 6;
    }
  }
}

// Past the number at `p`, or null when it is not a JSON number or beyond the range of a double
// (which only a number with an exponent or hundreds of digits can be).
const char* valid_number_end(const char* p, const char* end) {
  const char* const start = p;
  if (p < end && *p == '-') ++p;
  if (p == end) return nullptr;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    while (p < end && is_digit(*p)) ++p;
  } else {
    return nullptr;
  }
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) ++p;
  }
  bool exponent = false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    exponent = true;
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) ++p;
  }
  if (exponent || p - start > 300) {
    const std::string token(start, p);
    if (!std::isfinite(std::strtod(token.c_str(), nullptr))) return nullptr;
  }
  return p;
}

const char* literal_end(const char* p, const char* end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size() || std::string_view(p, word.size()) != word) return nullptr;
  return p + word.size();
}

void append_decoded(std::string& out, std::string_view contents) {
  std::size_t i = 0;
  while (i < contents.size()) {
    const char* const found = text::find_byte(contents.data() + i, contents.data() + contents.size(), '\\');
    if (found == nullptr) {
      out.append(contents.substr(i));
      return;
    }
    const auto slash = static_cast<std::size_t>(found - contents.data());
    out.append(contents.substr(i, slash - i));
    const char letter = contents[slash + 1];
    if (letter != 'u') {
      out.push_back(unescaped(letter));
      i = slash + 2;
      continue;
    }
    std::size_t length = 0;
    text::append_utf8(out, escapes::code_point_at(found, length));
    i = slash + length;
  }
}

std::string_view contents_of(std::string_view raw_string) { return raw_string.substr(1, raw_string.size() - 2); }

}  // namespace

bool is_valid(std::string_view text, Containers* containers) {
  if (containers != nullptr) containers->spans_.clear();
  if (!text::is_utf8(text)) return false;
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* open[MAX_DEPTH];  // the opening bracket of each container around p
  std::size_t depth = 0;
  // Closes one container at `p`, its closing bracket, and notes it if it is long.
  const auto close = [&] {
    const char* const opened = open[--depth];
    ++p;
    if (containers != nullptr && p - opened >= Containers::NOTED_SPAN &&
        containers->spans_.size() < text.size() / Containers::NOTED_SPAN + 16) {
      containers->spans_.emplace_back(opened, p);
    }
  };
  enum class Expect { kValue, kKey, kAfterValue } expect = Expect::kValue;
  p = skip_space(p, end);
  while (true) {
    switch (expect) {
      case Expect::kValue:
        if (p == end) return false;
        switch (*p) {
          case '{':
          case '[':
            if (depth == MAX_DEPTH) return false;
            open[depth++] = p;
            p = skip_space(p + 1, end);
            if (p < end && *p == (*open[depth - 1] == '{' ? '}' : ']')) {
              close();
              expect = Expect::kAfterValue;
            } else {
              expect = *open[depth - 1] == '{' ? Expect::kKey : Expect::kValue;
            }
            continue;
          case '"':
            p = valid_string_end(p + 1, end);
            break;
          case 't':
            p = literal_end(p, end, "true");
            break;
          case 'f':
            p = literal_end(p, end, "false");
            break;
          case 'n':
            p = literal_end(p, end, "null");
            break;
          default:
            p = valid_number_end(p, end);
            break;
        }
        if (p == nullptr) return false;
        expect = Expect::kAfterValue;
        continue;
      case Expect::kKey:
        if (p == end || *p != '"') return false;
        p = valid_string_end(p + 1, end);
        if (p == nullptr) return false;
        p = skip_space(p, end);
        if (p == end || *p != ':') return false;
        p = skip_space(p + 1, end);
        expect = Expect::kValue;
        continue;
      case Expect::kAfterValue:
        p = skip_space(p, end);
        if (depth == 0) {
          if (p != end) return false;
          if (containers != nullptr) std::sort(containers->spans_.begin(), containers->spans_.end());
          return true;
        }
        if (p == end) return false;
        if (*p == ',') {
          p = skip_space(p + 1, end);
          expect = *open[depth - 1] == '{' ? Expect::kKey : Expect::kValue;
        } else if (*p == (*open[depth - 1] == '{' ? '}' : ']')) {
          close();
        } else {
          return false;
        }
        continue;
    }
  }
}

const char* string_end(const char* contents, const char* end) {
  const char* p = contents;
  while (true) {
    const char* const quote = text::find_byte(p, end, '"');
    const char* run = quote;
    while (run > contents && run[-1] == '\\') --run;
    if (((quote - run) & 1) == 0) return quote + 1;
    p = quote + 1;
  }
}

const char* Containers::end_of(const char* open) const {
  const auto at = std::lower_bound(spans_.begin(), spans_.end(), open,
                                   [](const auto& span, const char* p) { return span.first < p; });
  return at != spans_.end() && at->first == open ? at->second : nullptr;
}

const char* skip_space(const char* p, const char* end) {
  while (p < end && is_space(*p)) ++p;
  return p;
}

const char* skip_value(const char* p, const char* end) {
  if (*p == '"') return string_end(p + 1, end);
  if (*p != '{' && *p != '[') {
    while (p < end && *p != ',' && *p != ']' && *p != '}' && !is_space(*p)) ++p;
    return p;
  }
  std::size_t depth = 0;
  while (true) {
    const char c = *p;
    if (c == '"') {
      p = string_end(p + 1, end);
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return p + 1;
    }
    ++p;
  }
}

std::string_view RawValue::text(std::string& storage) const {
  const std::string_view contents = contents_of(raw_);
  const char* const slash = text::find_byte(contents.data(), contents.data() + contents.size(), '\\');
  if (slash == nullptr) return contents;
  // The bytes before the first escape are copied as they are, not searched again.
  const auto plain = static_cast<std::size_t>(slash - contents.data());
  storage.clear();
  storage.reserve(contents.size());
  storage.append(contents.substr(0, plain));
  append_decoded(storage, contents.substr(plain));
  return storage;
}

bool RawValue::text_is(std::string_view want) const { return decodes_to(contents_of(raw_), want); }

bool decodes_to(std::string_view raw, std::string_view want) {
  if (raw.size() <= want.size()) return raw == want;
  // An escape never decodes to more bytes than it takes, and an ASCII character takes at most six
  // (\u00XX), which bounds the work on huge strings.
  if (raw.size() > 6 * want.size()) return false;
  std::size_t i = 0;
  std::size_t k = 0;
  while (i < raw.size()) {
    if (k == want.size()) return false;
    char decoded = raw[i];
    if (decoded != '\\') {
      ++i;
    } else {
      if (i + 1 >= raw.size()) return false;
      const char letter = raw[i + 1];
      if (const char plain = unescaped(letter); plain != 0) {
        decoded = plain;
      } else if (letter == 'u') {
        const int unit = raw.size() - i < 6 ? -1 : hex4(raw.data() + i + 2);
        // Anything beyond ASCII, surrogates included, cannot match an ASCII target.
        if (unit < 0 || unit >= 0x80) return false;
        decoded = static_cast<char>(unit);
        i += 4;
      } else {
        return false;
      }
      i += 2;
    }
    if (decoded != want[k]) return false;
    ++k;
  }
  return k == want.size();
}

void RawValue::members(std::initializer_list<std::pair<std::string_view, RawValue*>> wanted) const {
  for (const auto& [key, value] : wanted) *value = RawValue();
  const char* const end = raw_.data() + raw_.size();
  const char* p = skip_space(raw_.data() + 1, end);
  if (*p == '}') return;
  while (true) {
    const char* const key_end = string_end(p + 1, end);
    const RawValue name(std::string_view(p, static_cast<std::size_t>(key_end - p)));
    p = skip_space(skip_space(key_end, end) + 1, end);  // past the colon
    const char* const value_end = skip(p, end);
    for (const auto& [key, value] : wanted) {
      if (name.text_is(key)) *value = RawValue(std::string_view(p, static_cast<std::size_t>(value_end - p)), containers_);
    }
    p = skip_space(value_end, end);
    if (*p == '}') return;
    p = skip_space(p + 1, end);  // past the comma
  }
}

}  // namespace vantle::json
