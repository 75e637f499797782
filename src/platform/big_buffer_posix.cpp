// POSIX half of big_buffer.h.
#include <sys/mman.h>

#include "platform/big_buffer.h"

namespace vantle {

SysResult<BigBuffer> BigBuffer::allocate(std::size_t capacity) {
  BigBuffer buffer;
  if (capacity == 0) return buffer;
  void* memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return Err(last_os_error());
#ifdef MADV_HUGEPAGE
  // Only advice: where huge pages are off or scarce the buffer is as fast as heap memory.
  (void)::madvise(memory, capacity, MADV_HUGEPAGE);
#endif
  buffer.data_ = static_cast<char*>(memory);
  buffer.capacity_ = capacity;
  return buffer;
}

void BigBuffer::release() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
}

}  // namespace vantle
