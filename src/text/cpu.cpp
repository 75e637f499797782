#include "text/cpu.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>

namespace vantle::text::cpu {
namespace {

struct Features {
  bool avx2 = false;
  bool avx512bw = false;
};

Features probe() {
  unsigned eax, ebx, ecx, edx;
  __cpuid(0, eax, ebx, ecx, edx);
  if (eax < 7) return {};  // no leaf 7, so neither
  __cpuid(1, eax, ebx, ecx, edx);
  // The instructions are no use unless the system saves the registers they use (XCR0).
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return {};
  unsigned xcr0, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned YMM_STATE = 0x6;    // SSE and AVX registers
  constexpr unsigned ZMM_STATE = 0xE6;   // and the mask registers and both halves of the ZMM ones
  if ((xcr0 & YMM_STATE) != YMM_STATE) return {};
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  Features features;
  features.avx2 = (ebx & bit_AVX2) != 0;
  features.avx512bw = (xcr0 & ZMM_STATE) == ZMM_STATE && (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0;
  return features;
}

const Features& features() {
  static const Features asked = probe();
  return asked;
}

}  // namespace

bool has_avx2() { return features().avx2; }
bool has_avx512bw() { return features().avx512bw; }

}  // namespace vantle::text::cpu
#else
namespace vantle::text::cpu {

bool has_avx2() { return false; }
bool has_avx512bw() { return false; }

}  // namespace vantle::text::cpu
#endif
