// The mapping of one session-log line to digest records: one small compact-JSON object per user
// text, agent text and agent tool call.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"

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

 protected:
  ~RecordSink() = default;
};

// The "tool" member of a tool record.
struct DigestTool {
  std::string arg;
  std::string name;
};

// The text of a scalar: a string as is, "true"/"false", an integer's digits, a double's shortest
// round-trip text. Null, arrays and objects have none.
std::optional<std::string> scalar_text(const json::Value& value);

// The "arg" of a tool record: the first non-empty scalar text among SUMMARY_KEYS, else among all
// members in key order, else the compact JSON of the whole object. Empty when `arguments` is null
// (missing) or not an object.
std::string summarize_tool_arguments(const json::Value* arguments);

// One record as compact JSON, without the line feed: "role", then "text" when given, then "tool"
// when given, then "ts" when `timestamp` is a non-empty text.
std::string make_digest_record(std::string_view role, std::optional<std::string_view> text,
                               const std::optional<DigestTool>& tool, std::optional<std::string_view> timestamp);

// Writes the records of one trimmed log line to `sink`, each followed by a line feed. A line that
// is not JSON, or JSON of another shape, writes nothing.
void map_line(std::string_view line, RecordSink& sink);

}  // namespace vantle::digest
