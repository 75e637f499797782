// Which lines of a session log yield digest records, written once: the pre-scan asks it of raw
// bytes to skip lines unparsed, and the mapping asks it of a checked line before it writes records.
#pragma once

#include <optional>
#include <string_view>

namespace vantle::digest::record_rule {

// A line yields records only when it is a JSON object whose TYPE_KEY member is the string
// MESSAGE_TYPE and whose MESSAGE_KEY member is an object with a ROLE_KEY member that names a role
// (role_label). Where a key is given twice, the last one counts; keys and strings compare after
// their escapes are decoded.
inline constexpr std::string_view TYPE_KEY = "type";
inline constexpr std::string_view MESSAGE_TYPE = "message";
inline constexpr std::string_view MESSAGE_KEY = "message";
inline constexpr std::string_view ROLE_KEY = "role";

// Whether a "type" string makes a message line; `is(word)` tells whether the string decodes to word.
template <class Is>
bool is_message(Is is) {
  return is(MESSAGE_TYPE);
}

// The label a role's texts get ("agent" for the assistant, "input" for the user), or nothing for a
// role that yields no records; `is(word)` tells whether the role decodes to word.
template <class Is>
std::optional<std::string_view> role_label(Is is) {
  if (is("assistant")) return "agent";
  if (is("user")) return "input";
  return std::nullopt;
}

}  // namespace vantle::digest::record_rule
