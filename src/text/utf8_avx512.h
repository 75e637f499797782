// The AVX-512 UTF-8 check, 64 bytes a step: the same method and tables as the AVX2 check, on one
// register where that takes two. Only for x86-64 builds with GCC or Clang; callers must make sure
// the processor has AVX-512 F and BW before they call any of it.
#pragma once

#include <cstdint>
#include <immintrin.h>

#include "text/utf8_avx2.h"

namespace vantle::text::avx512 {

#define VANTLE_AVX512 __attribute__((target("avx512f,avx512bw")))

struct Tables {
  __m512i byte_1_high;
  __m512i byte_1_low;
  __m512i byte_2_high;
};

VANTLE_AVX512 inline __m512i broadcast16(const std::uint8_t* table) {
  // The zero-masked forms with every lane set, as GCC 12 warns of the undefined source of the plain ones.
  return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

VANTLE_AVX512 inline Tables tables() {
  return {broadcast16(avx2::BYTE_1_HIGH), broadcast16(avx2::BYTE_1_LOW), broadcast16(avx2::BYTE_2_HIGH)};
}

VANTLE_AVX512 inline __m512i high_nibbles(__m512i v) {
  return _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F));
}

// The error bits of one 64-byte block, given the block before it.
VANTLE_AVX512 inline __m512i block_errors(__m512i input, __m512i previous, const Tables& t) {
  // Each 16-byte lane of `shifted` is the lane before it in the input (the previous block's last
  // lane for the first), so that a byte shift within lanes reaches the bytes before each byte.
  const __m512i shifted = _mm512_maskz_alignr_epi64(0xFF, input, previous, 6);
  const __m512i prev1 = _mm512_alignr_epi8(input, shifted, 15);
  const __m512i prev2 = _mm512_alignr_epi8(input, shifted, 14);
  const __m512i prev3 = _mm512_alignr_epi8(input, shifted, 13);
  const __m512i special = _mm512_and_si512(
      _mm512_and_si512(_mm512_shuffle_epi8(t.byte_1_high, high_nibbles(prev1)),
                       _mm512_shuffle_epi8(t.byte_1_low, _mm512_and_si512(prev1, _mm512_set1_epi8(0x0F)))),
      _mm512_shuffle_epi8(t.byte_2_high, high_nibbles(input)));
  const __m512i third = _mm512_subs_epu8(prev2, _mm512_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m512i fourth = _mm512_subs_epu8(prev3, _mm512_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m512i must_continue =
      _mm512_and_si512(_mm512_or_si512(third, fourth), _mm512_set1_epi8(static_cast<char>(0x80)));
  return _mm512_xor_si512(must_continue, special);
}

struct State {
  __m512i previous;  // the block before
  __m512i error;     // non-zero once anything was wrong
};

VANTLE_AVX512 inline State start() { return {_mm512_setzero_si512(), _mm512_setzero_si512()}; }

VANTLE_AVX512 inline void step64(State& s, __m512i input, const Tables& t) {
  s.error = _mm512_or_si512(s.error, block_errors(input, s.previous, t));
  s.previous = input;
}

// Whether the steps so far held a fault, leaving out a sequence that the last step left open.
VANTLE_AVX512 inline bool failed(const State& s) { return _mm512_test_epi8_mask(s.error, s.error) != 0; }

}  // namespace vantle::text::avx512
