// How the tool's own report lines are kept one line: the daemon acts on the prefix of the one line
// it reads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantle::text {

// `value` with each control character (U+0000-U+001F, U+007F) written visibly: `\n`, `\r`, `\t`,
// else `\x` and two lower-case hex digits (`\x1b`, `\x7f`). Everything else, backslashes included,
// is kept byte for byte, so a value without control characters comes back unchanged; a backslash
// in the value therefore reads like the start of an escape, and the form cannot be undone.
std::string visible(std::string_view value);

// A piece of a report line: the tool's own words and the values in them, or text relayed from the
// agent that a rule of its own has made one line already (the stream excerpts).
struct ReportPiece {
  std::string text;
  bool relayed = false;
};
using ReportLine = std::vector<ReportPiece>;

// The bytes of a report line, its line feed included, nothing for no pieces: its own pieces written
// visibly, and of a relayed piece only the line breaks (CR, LF), so that nothing in it can end the
// line or start another while the rest of it keeps its rule.
std::string report_text(const ReportLine& line);

}  // namespace vantle::text
