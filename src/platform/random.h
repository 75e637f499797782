// Cryptographic random bytes from the operating system, for names that other local users must not
// be able to predict.
#pragma once

#include <span>

#include "platform/error.h"

namespace vantle::sys {

// Fills `out` from the system's cryptographic generator: getrandom on POSIX; on Windows
// ProcessPrng when the system has it, else BCryptGenRandom with the system-preferred generator.
SysResult<void> random_bytes(std::span<unsigned char> out);

}  // namespace vantle::sys
