// POSIX half of temp.h.
#include "platform/env.h"
#include "platform/temp.h"

namespace vantle::fs {

SysResult<std::filesystem::path> temp_directory() {
  if (auto value = env::get("TMPDIR")) return value->to_path();
  return std::filesystem::path("/tmp");
}

}  // namespace vantle::fs
