// The parts of fs.h that are the same on every system, built on the per-system services.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "platform/file.h"
#include "platform/fs.h"

namespace vantle::fs {

SysResult<FileBytes> read_into_big_buffer(const std::filesystem::path& path, WholeFileUse use) {
  auto file = File::open_read(path);
  if (!file) return file.err();
  if (use == WholeFileUse::kPassOn) {
    if (auto mapped = file->map_whole()) {
      const std::size_t size = mapped->capacity();
      return FileBytes{std::move(*mapped), size};
    }
  }
  // The length is only a hint for the buffer: one byte more, so that a file read to its end is
  // seen to end without growing the buffer.
  std::error_code ec;
  const std::uintmax_t length = std::filesystem::file_size(path, ec);
  auto first = BigBuffer::allocate(std::max<std::size_t>(ec ? 0 : static_cast<std::size_t>(length) + 1, 65536));
  if (!first) return first.err();
  FileBytes bytes{std::move(*first), 0};
  while (true) {
    if (bytes.size == bytes.buffer.capacity()) {
      auto larger = BigBuffer::allocate(bytes.buffer.capacity() * 2);
      if (!larger) return larger.err();
      std::memcpy(larger->data(), bytes.buffer.data(), bytes.size);
      bytes.buffer = std::move(*larger);
    }
    auto got = file->read(bytes.buffer.data() + bytes.size, bytes.buffer.capacity() - bytes.size);
    if (!got) return got.err();
    if (*got == 0) return bytes;
    bytes.size += *got;
  }
}

}  // namespace vantle::fs
