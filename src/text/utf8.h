// UTF-8 checks with the standard decoder descriptions, lossy decoding, and UTF-16 conversion.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantle::text {

// Where a byte string stops being UTF-8. `error_len` is the length of the invalid sequence at
// `valid_up_to`, or empty when the input ends inside a sequence that could still be completed.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::size_t> error_len;
};

// The message of the read error for a stream that is not UTF-8, the same wherever one is read.
inline constexpr std::string_view NOT_UTF8 = "stream did not contain valid UTF-8";

std::optional<Utf8Error> check_utf8(std::string_view bytes);
// Whether `bytes` are UTF-8: no overlong forms, surrogates, code points past U+10FFFF or cut-off
// sequences. Fast enough for every byte of a session log: 32 bytes a step where the processor has AVX2.
bool is_utf8(std::string_view bytes);
// The same answer without processor-specific code: the fallback, tested beside the fast path.
bool is_utf8_portable(std::string_view bytes);

// "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from index I".
std::string describe(const Utf8Error& error);

// Decodes with every maximal invalid subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

void append_utf8(std::string& out, char32_t code_point);

// Decodes the code point that starts at `pos` of valid UTF-8 and moves `pos` past it.
char32_t next_code_point(std::string_view valid, std::size_t& pos);

// Number of Unicode scalar values in valid UTF-8.
std::size_t count_code_points(std::string_view valid);

// UTF-16 (any 16-bit unit type) to UTF-8. The checked form refuses unpaired surrogates;
// the lossy form replaces each by U+FFFD.
std::optional<std::string> utf16_to_utf8(std::u16string_view units);
std::string utf16_to_utf8_lossy(std::u16string_view units);
// Valid UTF-8 to UTF-16; invalid input is decoded lossily first.
std::u16string utf8_to_utf16(std::string_view utf8);

}  // namespace vantle::text
