// A UTF-8 validity check fast enough to run over every byte of a session log. Every line must be
// checked, skipped or not, and a log is mostly long strings, so this check costs as much as all the
// rest of the digest's work unless it runs many bytes per cycle.
#pragma once

#include <string_view>

namespace vantle::digest {

// Whether `bytes` are valid UTF-8: no overlong forms, surrogates, code points past U+10FFFF or
// cut-off sequences. Uses 32-byte vector steps where the processor has AVX2.
bool is_valid_utf8(std::string_view bytes);

// The same answer one character at a time; the fallback, and the reference in tests.
bool is_valid_utf8_scalar(std::string_view bytes);

}  // namespace vantle::digest
