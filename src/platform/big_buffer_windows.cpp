// Windows half of big_buffer.h.
#include <windows.h>

#include "platform/big_buffer.h"

namespace vantle {

SysResult<BigBuffer> BigBuffer::allocate(std::size_t capacity) {
  BigBuffer buffer;
  if (capacity == 0) return buffer;
  void* memory = ::VirtualAlloc(nullptr, capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr) return Err(last_os_error());
  buffer.data_ = static_cast<char*>(memory);
  buffer.capacity_ = capacity;
  return buffer;
}

void BigBuffer::release() {
  if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
  data_ = nullptr;
  capacity_ = 0;
}

}  // namespace vantle
