// How a value the tool puts into a report line of its own is written, so that the line stays one
// line: the daemon acts on the prefix of the one line it reads.
#pragma once

#include <string>
#include <string_view>

namespace vantle::text {

// `value` with each control character (U+0000-U+001F, U+007F) written visibly: `\n`, `\r`, `\t`,
// else `\x` and two lower-case hex digits (`\x1b`, `\x7f`). Everything else, backslashes included,
// is kept byte for byte, so a value without control characters comes back unchanged; a backslash
// in the value therefore reads like the start of an escape, and the form cannot be undone.
std::string visible(std::string_view value);

}  // namespace vantle::text
