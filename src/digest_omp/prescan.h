// A structural pre-scan that lets the digest skip most session-log lines without parsing them.
// Logs are dominated by lines that yield no record (tool results carrying whole files, model
// changes, custom events); building a tree for each costs far more than reading the bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace vantle::digest {

// False when `line` certainly yields no digest record; true when it may. A line can yield a record
// only if it is a JSON object whose last top-level "type" is the string "message" and whose last
// top-level "message" is an object with a last "role" of "user" or "assistant", keys and values
// compared after unescaping. Answers exactly for valid JSON; for invalid JSON either answer is
// safe, since the strict parse skips such a line anyway. Never recurses, so any nesting depth is
// safe; nesting beyond json::MAX_DEPTH is rejected at once. `line` is expected trimmed.
bool may_yield_record(std::string_view line);

// What the digest needs to know of a trimmed line before it parses it: whether it is UTF-8, and,
// when it is, whether it may yield a record (may_yield_record). One walk answers both where the
// string scan checks UTF-8 as it goes (AVX2); elsewhere the line is checked apart.
struct LineCheck {
  bool utf8;
  bool may_yield;
};
LineCheck check_line(std::string_view line);

// The next line of a log not yet split into lines, from its first byte at `start` to at most
// `end`, walked once when it is a plain JSON object: where its line feed is, where its trimmed
// text ends, and check_line of that text. Empty when the line is of another form (not starting
// with '{', followed by anything but ASCII blanks, raw line feeds or faults too close to tell apart
// from the next line's), when its line feed is not well before `end`, or without AVX2: the caller
// then finds the line feed itself and calls check_line. It walks on the fastest path; given a
// path, on that one (only the AVX2 and AVX-512 paths walk).
struct WalkedLine {
  std::size_t length;   // up to the line feed
  std::size_t trimmed;  // up to and with the closing brace
  LineCheck check;
};
std::optional<WalkedLine> walk_line(const char* start, const char* end);

// The ways of skipping string contents: from quote to quote (text::find_byte), or 64 bytes a step with
// SSE2, AVX2 or AVX-512 (F and BW). may_yield_record takes the last of prescan_paths(); all give
// the same answers.
enum class PrescanPath { kPortable, kSse2, kAvx2, kAvx512 };
// The paths this processor can run, portable first and fastest last. A path it cannot run is
// replaced by one it can.
std::vector<PrescanPath> prescan_paths();
bool may_yield_record(std::string_view line, PrescanPath path);
LineCheck check_line(std::string_view line, PrescanPath path);
std::optional<WalkedLine> walk_line(const char* start, const char* end, PrescanPath path);

}  // namespace vantle::digest
