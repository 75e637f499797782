// Which wide instructions the text scans may use on this processor, asked once. The compiler's
// __builtin_cpu_supports fills a table of every feature when the program starts, with a dozen
// CPUID instructions; in a virtual machine each traps to the host (measured here: 5 to 6 us each,
// a tenth of the tool's start). These questions take three, and only when first asked.
#pragma once

namespace vantle::text::cpu {

// AVX2, with the system saving its registers.
bool has_avx2();
// AVX-512 F and BW, with the system saving their registers.
bool has_avx512bw();

}  // namespace vantle::text::cpu
