// Memory for one buffer that may be as large as a whole session log, taken straight from the
// system rather than the heap. On Linux it is marked for huge pages, so filling a gigabyte costs a
// few hundred page faults instead of a quarter of a million.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/error.h"

namespace vantle {

class BigBuffer {
 public:
  BigBuffer() = default;
  BigBuffer(BigBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
  BigBuffer& operator=(BigBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~BigBuffer() { release(); }

  // At least `capacity` bytes of uninitialised memory; an error when the system has none to give.
  static SysResult<BigBuffer> allocate(std::size_t capacity);

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }

 private:
  void release();

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace vantle
