// Reading a few members of a JSON document in place, without building its tree. The digest keeps
// a handful of short members of each message line and passes its texts on unchanged; a tree would
// copy every string of the line, and a huge text would sit in memory twice beside the line.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantle::json {

class Containers;

// The end of the value that starts at `p` in a valid document ending at `end`.
const char* skip_value(const char* p, const char* end);
// Past the closing quote of the string whose contents start at `contents`, in a valid document.
const char* string_end(const char* contents, const char* end);
// The first byte from `p` on that is not JSON white space (space, tab, line feed, carriage return).
const char* skip_space(const char* p, const char* end);

// Whether `text` is exactly one JSON value that parse() accepts: the same UTF-8 rule, grammar,
// white space, escapes, surrogate pairs, nesting limit and number range. Given `containers`, it
// notes there where the long containers of a valid `text` end.
bool is_valid(std::string_view text, Containers* containers = nullptr);

// Where the long arrays and objects of a checked document end, so that reading members in place
// steps over one at once: a message's long texts lie in containers within containers, and each
// level would otherwise scan them again. Short containers are scanned, and so are those past one
// per NOTED_SPAN bytes of the document (only deep nesting of long containers has more), which
// keeps what is noted within a sixteenth of the document's size.
class Containers {
 public:
  static constexpr std::ptrdiff_t NOTED_SPAN = 256;
  // Past the closing bracket of the container opened at `open`, or null when it was not noted.
  const char* end_of(const char* open) const;

 private:
  friend bool is_valid(std::string_view text, Containers* containers);
  std::vector<std::pair<const char*, const char*>> spans_;  // opening bracket, past the closing one
};

// The end of the value at `p`: at once for a container that `containers` noted.
inline const char* skip_value(const char* p, const char* end, const Containers* containers) {
  if (containers != nullptr && (*p == '{' || *p == '[')) {
    if (const char* const after = containers->end_of(p)) return after;
  }
  return skip_value(p, end);
}

// The raw text of one value of a valid document, as it stands: a string with its quotes.
// Everything below reads only documents that is_valid() accepted.
class RawValue {
 public:
  RawValue() = default;
  // `containers`, when given, must come from the is_valid() check of the document holding `raw`.
  explicit RawValue(std::string_view raw, const Containers* containers = nullptr)
      : raw_(raw), containers_(containers) {}

  bool is_object() const { return !raw_.empty() && raw_.front() == '{'; }
  bool is_array() const { return !raw_.empty() && raw_.front() == '['; }
  bool is_string() const { return !raw_.empty() && raw_.front() == '"'; }
  std::string_view raw() const { return raw_; }
  const Containers* containers() const { return containers_; }

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
  const char* skip(const char* p, const char* end) const { return skip_value(p, end, containers_); }

  std::string_view raw_;
  const Containers* containers_ = nullptr;
};

// Whether the raw contents of a JSON string (between its quotes) decode to `want`, which is ASCII
// without backslashes. Safe on any bytes: a malformed escape is a mismatch.
bool decodes_to(std::string_view raw, std::string_view want);

template <class F>
void RawValue::for_each_element(F f) const {
  const char* const end = raw_.data() + raw_.size();
  const char* p = skip_space(raw_.data() + 1, end);
  if (*p == ']') return;
  while (true) {
    const char* const after = skip(p, end);
    f(RawValue(std::string_view(p, static_cast<std::size_t>(after - p)), containers_));
    p = skip_space(after, end);
    if (*p == ']') return;
    p = skip_space(p + 1, end);  // past the comma
  }
}

}  // namespace vantle::json
