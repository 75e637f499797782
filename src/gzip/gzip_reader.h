// Reading a gzip file (what `omp gc` makes of a session log it archives) as the bytes it holds,
// decompressed a piece at a time, so that an archive of any size is read in bounded memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "platform/error.h"

namespace vantle::gzip {

// How much compressed input is read from the file at once.
inline constexpr std::size_t GZIP_INPUT_CHUNK = 64 * 1024;

// The decompressed bytes of one gzip file: every member in turn, as `gzip -d` reads them. Holds the
// input chunk and zlib's state (its 32 KiB window included), nothing that grows with the file.
// Move-only.
class GzipReader {
 public:
  GzipReader(GzipReader&&) noexcept;
  GzipReader& operator=(GzipReader&&) noexcept;
  ~GzipReader();

  // Opens the file; its failure is the system's.
  static SysResult<GzipReader> open(const std::filesystem::path& path);

  // Up to `size` decompressed bytes, at least one unless the last member has ended (0). A file that
  // is not gzip, is damaged or ends inside a member fails with kind kInvalidInput and zlib's reason
  // ("incorrect header check", "incorrect data check", "unexpected end of file"); a failed read of
  // the file with the system's error. A failure is final: every later call repeats it.
  SysResult<std::size_t> read(char* buffer, std::size_t size);

 private:
  struct State;
  explicit GzipReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vantle::gzip
