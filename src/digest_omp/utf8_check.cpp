#include "digest_omp/utf8_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define VANTLE_UTF8_AVX2 1
#include <immintrin.h>
#endif

namespace vantle::digest {
namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

#ifdef VANTLE_UTF8_AVX2
#define VANTLE_AVX2 __attribute__((target("avx2")))

// The lookup method of Keiser and Lemire ("Validating UTF-8 in less than one instruction per
// byte", 2021): three table lookups on the high and low nibbles of each byte and of the byte
// before it flag every invalid two-byte pattern; the continuation bytes a three- or four-byte
// lead requires are checked separately. Each table entry is a set of these error bits.
constexpr std::uint8_t TOO_SHORT = 1 << 0;       // a lead or ASCII where a continuation must be
constexpr std::uint8_t TOO_LONG = 1 << 1;        // ASCII followed by a continuation
constexpr std::uint8_t OVERLONG_3 = 1 << 2;      // E0 80..9F
constexpr std::uint8_t TOO_LARGE = 1 << 3;       // F4 90..BF, F5..FF
constexpr std::uint8_t SURROGATE = 1 << 4;       // ED A0..BF
constexpr std::uint8_t OVERLONG_2 = 1 << 5;      // C0, C1
constexpr std::uint8_t TOO_LARGE_1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t OVERLONG_4 = 1 << 6;      // F0 80..8F
constexpr std::uint8_t TWO_CONTS = 1 << 7;       // a continuation after a continuation
constexpr std::uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

// clang-format off
// Indexed by the high nibble of the first byte of a pair.
alignas(16) constexpr std::uint8_t BYTE_1_HIGH[16] = {
    TOO_LONG,  TOO_LONG,  TOO_LONG,  TOO_LONG,  TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
    TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS, TOO_SHORT | OVERLONG_2, TOO_SHORT,
    TOO_SHORT | OVERLONG_3 | SURROGATE, TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4};

// Indexed by the low nibble of the first byte of a pair.
alignas(16) constexpr std::uint8_t BYTE_1_LOW[16] = {
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
alignas(16) constexpr std::uint8_t BYTE_2_HIGH[16] = {
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

VANTLE_AVX2 inline void step(State& s, __m256i input, const Tables& t) {
  if (_mm256_movemask_epi8(input) == 0) {
    s.error = _mm256_or_si256(s.error, s.pending);
    s.pending = _mm256_setzero_si256();
  } else {
    s.error = _mm256_or_si256(s.error, block_errors(input, s.previous, t));
    s.pending = unfinished(input);
  }
  s.previous = input;
}

VANTLE_AVX2 bool valid_avx2(const unsigned char* p, std::size_t n) {
  const Tables t{broadcast16(BYTE_1_HIGH), broadcast16(BYTE_1_LOW), broadcast16(BYTE_2_HIGH)};
  State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
      // Both blocks ASCII: only a sequence left open before them can be wrong.
      s.error = _mm256_or_si256(s.error, s.pending);
      s.pending = _mm256_setzero_si256();
      s.previous = b;
      continue;
    }
    step(s, a, t);
    step(s, b, t);
  }
  for (; i + 32 <= n; i += 32) step(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), t);
  if (i < n) {
    // The tail, padded with NUL bytes: ASCII, so a sequence open at the end shows as an error.
    alignas(32) unsigned char tail[32] = {};
    std::memcpy(tail, p + i, n - i);
    step(s, _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)), t);
  }
  const __m256i error = _mm256_or_si256(s.error, s.pending);
  return _mm256_testz_si256(error, error) != 0;
}
#endif

}  // namespace

bool is_valid_utf8_scalar(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    while (end - p >= 8 && (load64(p) & HIGH_BITS) == 0) p += 8;
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const std::size_t left = static_cast<std::size_t>(end - p);
    if (c >= 0xC2 && c <= 0xDF) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
      if (c == 0xED && p[1] > 0x9F) return false;  // surrogate
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3])) return false;
      if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
      if (c == 0xF4 && p[1] > 0x8F) return false;  // past U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

bool is_valid_utf8(std::string_view bytes) {
#ifdef VANTLE_UTF8_AVX2
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return valid_avx2(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
#endif
  return is_valid_utf8_scalar(bytes);
}

}  // namespace vantle::digest
