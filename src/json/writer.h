// The compact JSON writer shared by the snapshot file and the digest: no blanks, object keys in
// ascending byte order, one fixed escape table, and one fixed layout for numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.h"

namespace vantle::json {

// Appends `value` as compact JSON. A double that JSON cannot express (infinite or NaN) and the
// non-JSON kinds of the tree (binary, discarded) are written as null. Recurses once per nesting
// level; parsed trees nest at most MAX_DEPTH deep.
void append_compact(std::string& out, const Value& value);
std::string to_compact(const Value& value);

// Appends `s` in double quotes. Only the quotation mark, the backslash and U+0000..U+001F are
// escaped (\b \t \n \f \r, else \u00xx in lower case); every other byte, invalid UTF-8 included,
// is copied unchanged.
void append_string(std::string& out, std::string_view s);
// Appends `s` escaped as append_string does, without the quotes: a piece of a longer string.
void append_escaped(std::string& out, std::string_view s);

void append_integer(std::string& out, std::int64_t n);
void append_integer(std::string& out, std::uint64_t n);

// Appends the shortest text that reads back as `x`: plain decimal with at least one digit after
// the point when 1e-5 <= |x| < 1e16 (2.0, 0.00001), otherwise exponent form without "+" or
// leading zeros (1e16, 1.5e-7). Negative zero is -0.0. Infinite or NaN `x` appends null.
void append_number(std::string& out, double x);
std::string number_text(double x);

}  // namespace vantle::json
