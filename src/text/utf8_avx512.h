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

// Non-zero at the bytes where one 64-byte block breaks UTF-8, given the block before it: the AVX2
// check's three lookups, combined in one instruction, and the continuations that three- and
// four-byte leads require found as a mask rather than as bits to clear.
VANTLE_AVX512 inline __m512i block_faults(__m512i input, __m512i previous, const Tables& t) {
  // Each 16-byte lane of `shifted` is the lane before it in the input (the previous block's last
  // lane for the first), so that a byte shift within lanes reaches the bytes before each byte.
  const __m512i shifted = _mm512_maskz_alignr_epi64(0xFF, input, previous, 6);
  const __m512i prev1 = _mm512_alignr_epi8(input, shifted, 15);
  const __m512i low_nibble = _mm512_set1_epi8(0x0F);
  const __m512i first_high = _mm512_and_si512(_mm512_srli_epi16(prev1, 4), low_nibble);
  const __m512i second_high = _mm512_and_si512(_mm512_srli_epi16(input, 4), low_nibble);
  constexpr int ALL_THREE = 0x80;  // the truth table of a & b & c
  const __m512i special = _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(t.byte_1_high, first_high),
                                                    _mm512_shuffle_epi8(t.byte_1_low, _mm512_and_si512(prev1, low_nibble)),
                                                    _mm512_shuffle_epi8(t.byte_2_high, second_high), ALL_THREE);
  // Two places after E0..FF and three after F0..FF a continuation is required: its TWO_CONTS
  // (the top bit) is then expected, and flipped so that only its absence remains.
  const __mmask64 required =
      _mm512_cmpge_epu8_mask(_mm512_alignr_epi8(input, shifted, 14), _mm512_set1_epi8(static_cast<char>(0xE0))) |
      _mm512_cmpge_epu8_mask(_mm512_alignr_epi8(input, shifted, 13), _mm512_set1_epi8(static_cast<char>(0xF0)));
  return _mm512_mask_sub_epi8(special, required, special, _mm512_set1_epi8(static_cast<char>(0x80)));
}

struct State {
  __m512i previous;  // the block before
  __m512i faults;    // non-zero once anything was wrong
};

VANTLE_AVX512 inline State start() { return {_mm512_setzero_si512(), _mm512_setzero_si512()}; }

VANTLE_AVX512 inline void step64(State& s, __m512i input, const Tables& t) {
  s.faults = _mm512_or_si512(s.faults, block_faults(input, s.previous, t));
  s.previous = input;
}

// Whether the steps so far held a fault, leaving out a sequence that the last step left open.
VANTLE_AVX512 inline bool failed(const State& s) { return _mm512_test_epi8_mask(s.faults, s.faults) != 0; }

}  // namespace vantle::text::avx512
