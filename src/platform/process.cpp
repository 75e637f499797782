// The parts of process.h that are the same on every system, built on the per-system halves.
#include "platform/process.h"

#include <utility>

namespace vantle::process {

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = other.pid_;
    handles_ = std::move(other.handles_);
    status_ = std::move(other.status_);
    stdin_ = std::move(other.stdin_);
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
  }
  return *this;
}

Child::~Child() { release(); }

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
