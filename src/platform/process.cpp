// The parts of process.h that are the same on every system, built on the per-system halves.
#include "platform/process.h"

#include <utility>

namespace vantle::process {

// A moved-from child has no pid, so nothing can wait on or kill the process through it.
Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      handles_(std::move(other.handles_)),
      status_(std::move(other.status_)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, 0);
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
