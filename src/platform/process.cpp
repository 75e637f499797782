// The parts of process.h that are the same on every system, built on the per-system halves.
#include "platform/process.h"

namespace vantle::process {

SysResult<std::string> ReadPipe::read_to_end() {
  std::string out;
  char chunk[65536];
  while (true) {
    auto n = read(chunk, sizeof chunk);
    if (!n) return n.err();
    if (*n == 0) return out;
    out.append(chunk, *n);
  }
}

}  // namespace vantle::process
