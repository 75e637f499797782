// The AVX2 UTF-8 check, 32 bytes a step, for the code that checks text while it scans it for
// something else. Only for x86-64 builds with GCC or Clang; callers must make sure the processor
// has AVX2 before they call any of it.
#pragma once

#include <cstdint>
#include <immintrin.h>

namespace vantle::text::avx2 {

#define VANTLE_AVX2 __attribute__((target("avx2")))

// The lookup method of Keiser and Lemire ("Validating UTF-8 in less than one instruction per
// byte", 2021): three table lookups on the high and low nibbles of each byte and of the byte
// before it flag every invalid two-byte pattern; the continuation bytes a three- or four-byte
// lead requires are checked separately. Each table entry is a set of these error bits.
inline constexpr std::uint8_t TOO_SHORT = 1 << 0;       // a lead or ASCII where a continuation must be
inline constexpr std::uint8_t TOO_LONG = 1 << 1;        // ASCII followed by a continuation
inline constexpr std::uint8_t OVERLONG_3 = 1 << 2;      // E0 80..9F
inline constexpr std::uint8_t TOO_LARGE = 1 << 3;       // F4 90..BF, F5..FF
inline constexpr std::uint8_t SURROGATE = 1 << 4;       // ED A0..BF
inline constexpr std::uint8_t OVERLONG_2 = 1 << 5;      // C0, C1
inline constexpr std::uint8_t TOO_LARGE_1000 = 1 << 6;  // F5..FF 80..8F
inline constexpr std::uint8_t OVERLONG_4 = 1 << 6;      // F0 80..8F
inline constexpr std::uint8_t TWO_CONTS = 1 << 7;       // a continuation after a continuation
inline constexpr std::uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

// clang-format off
// Indexed by the high nibble of the first byte of a pair.
alignas(16) inline constexpr std::uint8_t BYTE_1_HIGH[16] = {
    TOO_LONG,  TOO_LONG,  TOO_LONG,  TOO_LONG,  TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
    TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS, TOO_SHORT | OVERLONG_2, TOO_SHORT,
    TOO_SHORT | OVERLONG_3 | SURROGATE, TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4};

// Indexed by the low nibble of the first byte of a pair.
alignas(16) inline constexpr std::uint8_t BYTE_1_LOW[16] = {
    CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4,
    CARRY | OVERLONG_2,
    CARRY,
    CARRY,
    CARRY | TOO_LARGE,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000 | SURROGATE,
    CARRY | TOO_LARGE | TOO_LARGE_1000,
    CARRY | TOO_LARGE | TOO_LARGE_1000};

// Indexed by the high nibble of the second byte of a pair.
alignas(16) inline constexpr std::uint8_t BYTE_2_HIGH[16] = {
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT};
// clang-format on

struct Tables {
  __m256i byte_1_high;
  __m256i byte_1_low;
  __m256i byte_2_high;
};

VANTLE_AVX2 inline __m256i broadcast16(const std::uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

VANTLE_AVX2 inline __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The error bits of one 32-byte block, given the block before it.
VANTLE_AVX2 inline __m256i block_errors(__m256i input, __m256i previous, const Tables& t) {
  // The bytes 1, 2 and 3 places before each byte, reaching into the previous block.
  const __m256i shifted = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(input, shifted, 15);
  const __m256i prev2 = _mm256_alignr_epi8(input, shifted, 14);
  const __m256i prev3 = _mm256_alignr_epi8(input, shifted, 13);

  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(t.byte_1_high, high_nibbles(prev1)),
                       _mm256_shuffle_epi8(t.byte_1_low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(t.byte_2_high, high_nibbles(input)));
  // Only E0..FF two places back, or F0..FF three places back, end up with the top bit set.
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  // A required continuation shows as TWO_CONTS in `special`; the XOR clears it exactly there, and
  // flags required continuations that are missing and continuations that nothing required.
  return _mm256_xor_si256(must_continue, special);
}

// Non-zero where a block's last bytes start a sequence that the next block must finish.
VANTLE_AVX2 inline __m256i unfinished(__m256i input) {
  const __m256i max = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                       -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                                       static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(input, max);
}

struct State {
  __m256i previous;  // the block before
  __m256i pending;   // non-zero when the block before ended inside a sequence
  __m256i error;     // non-zero once anything was wrong
};

VANTLE_AVX2 inline void advance(State& s, __m256i input, const Tables& t) {
  if (_mm256_movemask_epi8(input) == 0) {
    s.error = _mm256_or_si256(s.error, s.pending);
    s.pending = _mm256_setzero_si256();
  } else {
    s.error = _mm256_or_si256(s.error, block_errors(input, s.previous, t));
    s.pending = unfinished(input);
  }
  s.previous = input;
}

VANTLE_AVX2 inline Tables tables() {
  return {broadcast16(BYTE_1_HIGH), broadcast16(BYTE_1_LOW), broadcast16(BYTE_2_HIGH)};
}

VANTLE_AVX2 inline State start() { return {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()}; }

// One step of 64 consecutive bytes, given as its two halves, always checked in full. A shortcut for
// steps of only ASCII would be a branch, and in text of other scripts whether 64 bytes hold a
// non-ASCII byte is a coin toss that the processor mispredicts: measured, the shortcut cost a
// quarter of the digest's processor time on a log with 5% non-ASCII bytes and saved nothing
// measurable on a log of nearly all ASCII.
VANTLE_AVX2 inline void step64(State& s, __m256i low, __m256i high, const Tables& t) {
  s.error = _mm256_or_si256(s.error, _mm256_or_si256(block_errors(low, s.previous, t), block_errors(high, low, t)));
  s.pending = unfinished(high);
  s.previous = high;
}

// Whether the steps so far held a fault, leaving out a sequence that the last step left open.
VANTLE_AVX2 inline bool failed(const State& s) { return _mm256_testz_si256(s.error, s.error) == 0; }

}  // namespace vantle::text::avx2
