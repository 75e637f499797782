// The mapping of one session-log line to digest records: one small compact-JSON object per user
// text, agent text and agent tool call.
#pragma once

#include <array>
#include <string_view>

namespace vantle::digest {

// The argument keys that name what a tool call is about, tried in this order before any other.
inline constexpr std::array<std::string_view, 9> SUMMARY_KEYS = {"path",   "command",   "pattern", "query",      "url",
                                                                 "prompt", "file_path", "i",       "description"};

// Where records go. Records can carry texts of any length, so a sink receives them in pieces and
// may pass them on before a record is complete.
class RecordSink {
 public:
  // Raw bytes of the record's structure.
  virtual void write(std::string_view bytes) = 0;
  // One string value, quoted and escaped as the compact writer does.
  virtual void write_string(std::string_view text) = 0;
  // A piece of a string value, escaped the same way, without quotes: a value written as it is made.
  virtual void write_escaped(std::string_view text) = 0;

 protected:
  ~RecordSink() = default;
};

// Writes the records of one trimmed log line to `sink`, each followed by a line feed. A line that
// is not JSON, or JSON of another shape, writes nothing. A record is "role", then "text", or "tool"
// with the call's "arg" and "name", then "ts" when the line has a non-empty timestamp text.
void map_line(std::string_view line, RecordSink& sink);

}  // namespace vantle::digest
