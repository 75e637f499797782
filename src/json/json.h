// Strict parsing of one JSON document into a tree.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>

#include "base/result.h"

namespace vantle::json {

// The tree: objects are std::maps ordered by key bytes, and numbers stay signed integers,
// unsigned integers or doubles as they were written.
using Value = nlohmann::json;

// The deepest nesting of arrays and objects a document may have.
inline constexpr std::size_t MAX_DEPTH = 127;

// Parses exactly one JSON value; only space, tab, line feed and carriage return may surround it.
// Refuses invalid UTF-8, unpaired surrogate escapes, a byte-order mark, nesting deeper than
// MAX_DEPTH and numbers beyond the range of a double. The last of duplicate keys wins.
// Never throws; a failure is a one-line message.
Result<Value> parse(std::string_view text);

}  // namespace vantle::json
