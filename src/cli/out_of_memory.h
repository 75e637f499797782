// How a driver that holds unbounded input (a log, a mind file, an agent's answer) turns running out
// of memory into its own failure line instead of ending abnormally.
#pragma once

#include <new>
#include <string_view>

#include "platform/error.h"

namespace vantle {

// Returns `work()`, or `report(OUT_OF_MEMORY)` when an allocation inside it fails.
template <class Work, class Report>
auto within_memory(Work&& work, Report&& report) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return report(OUT_OF_MEMORY);
  }
}

}  // namespace vantle
