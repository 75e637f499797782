// Windows half of random.h. ProcessPrng (bcryptprimitives.dll, Windows 10 and later) is looked up
// at run time because older systems and Wine lack it; BCryptGenRandom serves them.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>

#include "platform/handle_windows.h"
#include "platform/random.h"

namespace vantle::sys {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE data, SIZE_T size);

ProcessPrngFn find_process_prng() {
  HMODULE module = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  // Casting through void(*)() tells GCC the function type change is deliberate.
  return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, "ProcessPrng")));
}

}  // namespace

SysResult<void> random_bytes(std::span<unsigned char> out) {
  static const ProcessPrngFn process_prng = find_process_prng();
  if (process_prng != nullptr) {
    // ProcessPrng cannot fail: it always returns TRUE.
    process_prng(out.data(), out.size());
    return {};
  }
  while (!out.empty()) {
    const ULONG chunk = static_cast<ULONG>(std::min(out.size(), win::MAX_TRANSFER));
    const NTSTATUS status = ::BCryptGenRandom(nullptr, out.data(), chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    // Named as every other failed call is: its status as the system error it stands for.
    if (!BCRYPT_SUCCESS(status)) return Err(os_error(static_cast<int>(::RtlNtStatusToDosError(status))));
    out = out.subspan(chunk);
  }
  return {};
}

}  // namespace vantle::sys
