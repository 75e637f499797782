// Strict parsing of one JSON document into a tree.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "base/result.h"

namespace vantle::json {

// The tree: objects are std::maps ordered by key bytes, and numbers stay signed integers,
// unsigned integers or doubles as they were written.
using Value = nlohmann::json;

// The deepest nesting of arrays and objects a document may have.
inline constexpr std::size_t MAX_DEPTH = 127;

// Empties `value` from its leaves up without allocating: nlohmann's destructor moves a container's
// members into a vector of its own first, and an allocation that fails in a destructor ends the
// process. Recursive, so only for trees no deeper than MAX_DEPTH, as every tree here is.
void dismantle(Value& value) noexcept;

// A tree that goes without allocating (see dismantle): what the tool builds or parses is held in
// one. Not assignable, since nlohmann's assignment destroys the old value as a plain tree. Read it
// as a `const Value&`; never copy or move it into a Value, which nlohmann takes for a foreign type.
class Tree : public Value {
 public:
  Tree() = default;
  explicit Tree(Value&& value) noexcept : Value(std::move(value)) {}
  Tree(Tree&& other) noexcept = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  Tree& operator=(Tree&&) = delete;
  ~Tree() { dismantle(*this); }
};

// Parses exactly one JSON value; only space, tab, line feed and carriage return may surround it.
// Refuses invalid UTF-8, unpaired surrogate escapes, a byte-order mark, nesting deeper than
// MAX_DEPTH and numbers beyond the range of a double. The last of duplicate keys wins.
// A failure is a one-line message; only running out of memory throws (std::bad_alloc).
Result<Tree> parse(std::string_view text);

// What parse() says of `text`, without building the tree: its memory is the longest token's.
Result<void> check(std::string_view text);

}  // namespace vantle::json
