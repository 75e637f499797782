// Reading a few members of a JSON document in place, without building its tree. The digest keeps
// a handful of short members of each message line and passes its texts on unchanged; a tree would
// copy every string of the line, and a huge text would sit in memory twice beside the line.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vantle::json {

// Whether `text` is exactly one JSON value that parse() accepts: the same UTF-8 rule, grammar,
// white space, escapes, surrogate pairs, nesting limit and number range.
bool is_valid(std::string_view text);

// The raw text of one value of a valid document, as it stands: a string with its quotes.
// Everything below reads only documents that is_valid() accepted.
class RawValue {
 public:
  RawValue() = default;
  explicit RawValue(std::string_view raw) : raw_(raw) {}

  bool is_object() const { return !raw_.empty() && raw_.front() == '{'; }
  bool is_array() const { return !raw_.empty() && raw_.front() == '['; }
  bool is_string() const { return !raw_.empty() && raw_.front() == '"'; }
  std::string_view raw() const { return raw_; }

  // The string's text with its escapes decoded: a view into the document when it has none,
  // else into `storage`, reserved once from the raw length.
  std::string_view text(std::string& storage) const;
  // Whether the string's decoded text is `want`.
  bool text_is(std::string_view want) const;

  // Sets each pair's value to the last member of this object named by its key (the last of
  // duplicate keys wins), or to no value when there is none; one pass for all the keys.
  void members(std::initializer_list<std::pair<std::string_view, RawValue*>> wanted) const;
  // Calls `f` with each element of this array, in order.
  template <class F>
  void for_each_element(F f) const;

 private:
  std::string_view raw_;
};

// Whether the raw contents of a JSON string (between its quotes) decode to `want`, which is ASCII
// without backslashes. Safe on any bytes: a malformed escape is a mismatch.
bool decodes_to(std::string_view raw, std::string_view want);

// The end of the value that starts at `p` in a valid document ending at `end`.
const char* skip_value(const char* p, const char* end);
// The first byte from `p` on that is not JSON white space (space, tab, line feed, carriage return).
const char* skip_space(const char* p, const char* end);

template <class F>
void RawValue::for_each_element(F f) const {
  const char* const end = raw_.data() + raw_.size();
  const char* p = skip_space(raw_.data() + 1, end);
  if (*p == ']') return;
  while (true) {
    const char* const after = skip_value(p, end);
    f(RawValue(std::string_view(p, static_cast<std::size_t>(after - p))));
    p = skip_space(after, end);
    if (*p == ']') return;
    p = skip_space(p + 1, end);  // past the comma
  }
}

}  // namespace vantle::json
