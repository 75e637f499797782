// Trimming by the Unicode White_Space property (25 code points; U+FEFF is not among them).
#pragma once

#include <string_view>

namespace vantle::text {

bool is_white_space(char32_t code_point);

// These take UTF-8; bytes that do not start a white-space character end the trim.
std::string_view trim(std::string_view s);
std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);
inline bool is_blank(std::string_view s) { return trim_start(s).empty(); }

}  // namespace vantle::text
