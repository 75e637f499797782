#include "json/raw_compact.h"

#include <algorithm>
#include <cstdlib>

#include "json/escapes.h"
#include "json/writer.h"
#include "text/find.h"

namespace vantle::json {
namespace {

bool is_number_byte(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// The UTF-8 bytes of `c` into `out`; their count.
int encode_utf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// The bytes of a valid string's decoded text, one at a time, from its raw contents.
class DecodedBytes {
 public:
  explicit DecodedBytes(const char* contents) : p_(contents) {}

  // The next byte, or -1 past the end.
  int next() {
    if (at_ < held_) return static_cast<unsigned char>(bytes_[at_++]);
    const char c = *p_;
    if (c == '"') return -1;
    if (c != '\\') {
      ++p_;
      return static_cast<unsigned char>(c);
    }
    if (p_[1] != 'u') {
      const char plain = escapes::unescaped(p_[1]);
      p_ += 2;
      return static_cast<unsigned char>(plain);
    }
    std::size_t length = 0;
    held_ = encode_utf8(escapes::code_point_at(p_, length), bytes_);
    p_ += length;
    at_ = 1;
    return static_cast<unsigned char>(bytes_[0]);
  }

 private:
  const char* p_;
  char bytes_[4];
  int held_ = 0;
  int at_ = 0;
};

// How the decoded texts of two valid keys (their raw contents) compare as byte strings, as the
// tree's std::map orders them.
int compare_keys(const char* a, const char* b) {
  // Most keys hold no escapes: their raw bytes are their text.
  while (*a == *b && *a != '"' && *a != '\\') ++a, ++b;
  if (*a == '"' && *b == '"') return 0;
  DecodedBytes x(a);
  DecodedBytes y(b);
  while (true) {
    const int m = x.next();
    const int n = y.next();
    if (m != n) return m < n ? -1 : 1;
    if (m < 0) return 0;
  }
}

}  // namespace

void append_number_text(std::string& out, std::string_view raw, std::string& scratch) {
  const bool negative = raw.front() == '-';
  const std::string_view digits = raw.substr(negative ? 1 : 0);
  if (digits.find_first_of(".eE") == std::string_view::npos) {
    // The tree holds an integer when it fits: up to the magnitude of INT64_MIN below zero, of
    // UINT64_MAX above. Digits of equal length compare as their numbers do.
    const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
    if (digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit)) {
      out.append(digits == "0" ? digits : raw);
      return;
    }
  }
  // The parser reads every other number with strtod, as here.
  scratch.assign(raw);
  append_number(out, std::strtod(scratch.c_str(), nullptr));
}

MemberOrder::MemberOrder(const RawValue& value)
    : base_(value.raw().data()), end_(value.raw().data() + value.raw().size()), containers_(value.containers()) {
  // Every member has one colon outside strings, and a number is a run of number bytes there.
  std::size_t members = 0;
  std::size_t longest = 0;
  std::size_t run = 0;
  for (const char* p = base_; p < end_;) {
    const char c = *p;
    if (c == '"') {
      p = string_end(p + 1, end_);
      run = 0;
      continue;
    }
    members += c == ':';
    run = is_number_byte(c) ? run + 1 : 0;
    longest = std::max(longest, run);
    ++p;
  }
  if (value.raw().size() <= UINT32_MAX) {
    keys_.emplace<std::vector<std::uint32_t>>().reserve(members);
  } else {
    keys_.emplace<std::vector<std::uint64_t>>().reserve(members);
  }
  scratch_.reserve(longest + 1);
}

std::size_t MemberOrder::size() const {
  return std::visit([](const auto& keys) { return keys.size(); }, keys_);
}

const char* MemberOrder::key_at(std::size_t i) const {
  return std::visit([this, i](const auto& keys) { return base_ + keys[i]; }, keys_);
}

bool MemberOrder::overridden(std::size_t i, std::size_t last) const {
  return i + 1 < last && compare_keys(key_at(i) + 1, key_at(i + 1) + 1) == 0;
}

void MemberOrder::truncate(std::size_t size) {
  std::visit([size](auto& keys) { keys.resize(size); }, keys_);
}

const char* MemberOrder::collect(const char* object) {
  return std::visit(
      [this, object](auto& keys) {
        using Offset = typename std::decay_t<decltype(keys)>::value_type;
        const std::size_t first = keys.size();
        const char* p = skip_space(object + 1, end_);
        if (*p != '}') {
          while (true) {
            keys.push_back(static_cast<Offset>(p - base_));
            p = skip_space(string_end(p + 1, end_), end_);  // at the colon
            p = skip_space(skip_value(skip_space(p + 1, end_), end_, containers_), end_);
            if (*p == '}') break;
            p = skip_space(p + 1, end_);  // past the comma
          }
        }
        // Equal keys stay in document order, so the last of a run is the one the tree keeps.
        const auto before = [this](Offset a, Offset b) {
          const int order = compare_keys(base_ + a + 1, base_ + b + 1);
          return order != 0 ? order < 0 : a < b;
        };
        const auto begin = keys.begin() + static_cast<std::ptrdiff_t>(first);
        if (!std::is_sorted(begin, keys.end(), before)) std::sort(begin, keys.end(), before);
        return p + 1;
      },
      keys_);
}

CompactWriter::CompactWriter(const RawValue& value) : start_(value.raw().data()), order_(value) {
  // An escape or a number's text is added whole past the piece's end.
  out_.reserve(PIECE + 32);
}

void CompactWriter::write(const std::function<void(std::string_view)>& emit) {
  emit_ = &emit;
  value(start_);
  flush();
  emit_ = nullptr;
}

void CompactWriter::flush() {
  if (out_.empty()) return;
  (*emit_)(out_);
  out_.clear();
}

void CompactWriter::put(std::string_view bytes) {
  if (bytes.size() > PIECE - out_.size()) {
    flush();
    if (bytes.size() >= PIECE) {
      (*emit_)(bytes);
      return;
    }
  }
  out_.append(bytes);
}

const char* CompactWriter::value(const char* p) {
  const char* const end = order_.end();
  switch (*p) {
    case '{':
      return object(p);
    case '[':
      put("[");
      p = skip_space(p + 1, end);
      if (*p != ']') {
        while (true) {
          p = skip_space(value(p), end);
          if (*p == ']') break;
          put(",");
          p = skip_space(p + 1, end);
        }
      }
      put("]");
      return p + 1;
    case '"':
      return string(p);
    case 't':
      put("true");
      return p + 4;
    case 'f':
      put("false");
      return p + 5;
    case 'n':
      put("null");
      return p + 4;
    default:
      return number(p);
  }
}

const char* CompactWriter::object(const char* p) {
  put("{");
  bool first = true;
  const char* const after = order_.for_each(p, [&](std::string_view key, const char* member) {
    if (!first) put(",");
    first = false;
    string(key.data());
    put(":");
    value(member);
    return true;
  });
  put("}");
  return after;
}

// A string in the writer's escapes: "\/" and "\u" escapes of characters that need none become
// the characters, other "\u" escapes of control characters become the short form where there is
// one, and hex digits are lower case.
const char* CompactWriter::string(const char* p) {
  const char* const end = order_.end();
  put("\"");
  ++p;
  while (true) {
    // A valid string holds no raw control character: the first special byte ends it or escapes.
    const char* const special = text::find_string_special(p, end);
    put(std::string_view(p, static_cast<std::size_t>(special - p)));
    if (*special == '"') {
      put("\"");
      return special + 1;
    }
    const char letter = special[1];
    if (letter != 'u') {
      put(letter == '/' ? std::string_view("/") : std::string_view(special, 2));
      p = special + 2;
      continue;
    }
    std::size_t length = 0;
    const char32_t code_point = escapes::code_point_at(special, length);
    p = special + length;
    room(6);
    if (code_point < 0x80) {
      const char c = static_cast<char>(code_point);
      append_escaped(out_, std::string_view(&c, 1));
    } else {
      char bytes[4];
      out_.append(bytes, static_cast<std::size_t>(encode_utf8(code_point, bytes)));
    }
  }
}

const char* CompactWriter::number(const char* p) {
  const char* const end = order_.end();
  const char* after = p;
  while (after < end && is_number_byte(*after)) ++after;
  // Whatever its length, a number's text is an integer of at most 20 digits and a sign, or a
  // double's shortest text.
  room(32);
  append_number_text(out_, std::string_view(p, static_cast<std::size_t>(after - p)), order_.number_scratch());
  return after;
}

}  // namespace vantle::json
