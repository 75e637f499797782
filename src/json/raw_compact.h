// The compact JSON of a value read in place from a checked document: the bytes the tree writer
// gives for the value's parse, without the tree. A tree costs ten to twenty times its text (a node
// per value, a map entry per member); this costs four bytes a member of the objects open at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/reader.h"

namespace vantle::json {

// Appends the text the tree writer gives the valid JSON number `raw`: an integer that fits a
// signed or unsigned 64-bit integer as its digits ("-0" as 0), any other number read as a double
// and laid out by append_number. `scratch` holds the copy that strtod reads; with room for `raw`
// already, nothing is allocated.
void append_number_text(std::string& out, std::string_view raw, std::string& scratch);

// The members of the objects within one value of a checked document, in ascending byte order of
// their decoded keys and the last of duplicate keys only: the members a parsed tree holds, in its
// order. An object's member list lives while it is walked, so objects may be walked within a walk.
class MemberOrder {
 public:
  // Takes room at once for the members of all objects within `value` and for its longest number,
  // so that walking never allocates: running out of memory happens here or not at all.
  explicit MemberOrder(const RawValue& value);

  // Calls `f(key, value)` with the raw key (its quotes included) and the start of the value of
  // each member of the object at `object`, in order, while `f` returns true. Returns past the
  // object's closing brace.
  template <class F>
  const char* for_each(const char* object, F f);

  // The value starting at `p`, whole.
  RawValue value_at(const char* p) const {
    return RawValue(std::string_view(p, static_cast<std::size_t>(skip_value(p, end_, containers_) - p)),
                    containers_);
  }
  const char* end() const { return end_; }
  // Room for the text of any number within the value.
  std::string& number_scratch() { return scratch_; }

 private:
  // The members of the object at `object`, pushed in document order and sorted; returns past
  // its closing brace.
  const char* collect(const char* object);
  std::size_t size() const;
  const char* key_at(std::size_t i) const;
  // Whether the member at `i` is passed over for a later one of the same key.
  bool overridden(std::size_t i, std::size_t last) const;
  void truncate(std::size_t size);

  const char* base_;
  const char* end_;
  const Containers* containers_;
  // Offsets of the keys from base_: four bytes each unless the value is 4 GiB or longer.
  std::variant<std::vector<std::uint32_t>, std::vector<std::uint64_t>> keys_;
  std::string scratch_;
};

// Writes one value of a checked document as compact JSON, made as it is written.
class CompactWriter {
 public:
  // The most bytes it holds before passing them on.
  static constexpr std::size_t PIECE = 8192;

  // Takes all the memory writing `value` needs, so that write() never allocates.
  explicit CompactWriter(const RawValue& value);

  // Passes the compact JSON of the value to `emit`, in order, in pieces.
  void write(const std::function<void(std::string_view)>& emit);
  // The order of the members of the value's objects (the same room the writing uses).
  MemberOrder& members() { return order_; }
  const char* start() const { return start_; }

 private:
  const char* value(const char* p);
  const char* object(const char* p);
  const char* string(const char* p);
  const char* number(const char* p);
  void put(std::string_view bytes);
  void room(std::size_t n) {
    if (out_.size() + n > PIECE) flush();
  }
  void flush();

  const char* start_;
  MemberOrder order_;
  std::string out_;
  const std::function<void(std::string_view)>* emit_ = nullptr;
};

template <class F>
const char* MemberOrder::for_each(const char* object, F f) {
  const std::size_t first = size();
  const char* const after = collect(object);
  const std::size_t last = size();
  for (std::size_t i = first; i < last; ++i) {
    if (overridden(i, last)) continue;
    const char* const key = key_at(i);
    const char* const key_end = string_end(key + 1, end_);
    const char* const colon = skip_space(key_end, end_);
    if (!f(std::string_view(key, static_cast<std::size_t>(key_end - key)), skip_space(colon + 1, end_))) break;
  }
  truncate(first);
  return after;
}

}  // namespace vantle::json
