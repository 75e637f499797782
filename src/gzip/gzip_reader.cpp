#include "gzip/gzip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace vantle::gzip {

struct GzipReader::State {
  fs::File file;
  z_stream stream{};
  bool initialised = false;
  std::vector<unsigned char> input = std::vector<unsigned char>(GZIP_INPUT_CHUNK);
  bool input_ended = false;
  bool between_members = false;  // a member has ended and no byte of another has been read
  std::optional<SysError> failure;

  ~State() {
    if (initialised) ::inflateEnd(&stream);
  }

  SysError fail(SysError error) {
    failure = error;
    return error;
  }

  // zlib's own words for what went wrong, as `gzip -d` shows them.
  SysError zlib_failure(int code) {
    const char* reason = stream.msg != nullptr ? stream.msg : ::zError(code);
    return fail(custom_error(ErrorKind::kInvalidInput, reason));
  }

  // Refills the input when it is used up; false at the end of the file.
  SysResult<bool> fill() {
    if (stream.avail_in > 0) return true;
    if (input_ended) return false;
    auto got = file.read(reinterpret_cast<char*>(input.data()), input.size());
    if (!got) return Err(fail(std::move(got).error()));
    if (*got == 0) {
      input_ended = true;
      return false;
    }
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(*got);
    return true;
  }
};

GzipReader::GzipReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
GzipReader::GzipReader(GzipReader&&) noexcept = default;
GzipReader& GzipReader::operator=(GzipReader&&) noexcept = default;
GzipReader::~GzipReader() = default;

SysResult<GzipReader> GzipReader::open(const std::filesystem::path& path) {
  auto file = fs::File::open_read(path);
  if (!file) return file.err();
  auto state = std::make_unique<State>();
  state->file = std::move(*file);
  // 16 added to the window bits: a gzip wrapper, and only that (no raw or zlib streams).
  if (const int code = ::inflateInit2(&state->stream, MAX_WBITS + 16); code != Z_OK) {
    if (code == Z_MEM_ERROR) return Err(custom_error(ErrorKind::kOther, std::string(OUT_OF_MEMORY)));
    return Err(custom_error(ErrorKind::kOther, ::zError(code)));
  }
  state->initialised = true;
  return GzipReader(std::move(state));
}

SysResult<std::size_t> GzipReader::read(char* buffer, std::size_t size) {
  State& s = *state_;
  if (s.failure) return Err(*s.failure);
  const auto wanted = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
  if (wanted == 0) return std::size_t{0};
  s.stream.next_out = reinterpret_cast<Bytef*>(buffer);
  s.stream.avail_out = wanted;
  while (s.stream.avail_out == wanted) {
    auto more = s.fill();
    if (!more) return more.err();
    if (s.between_members) {
      // Bytes after a member must be another member, as gzip -d reads them.
      if (!*more) return std::size_t{0};
      ::inflateReset(&s.stream);
      s.between_members = false;
    }
    const int code = ::inflate(&s.stream, Z_NO_FLUSH);
    if (code == Z_STREAM_END) {
      s.between_members = true;
    } else if (code == Z_BUF_ERROR) {
      // No progress: the input is used up, and the file has no more.
      if (!*more) return Err(s.fail(custom_error(ErrorKind::kInvalidInput, "unexpected end of file")));
    } else if (code != Z_OK) {
      // Bytes that came out before the damage showed are handed out first; the failure is kept.
      SysError failure = s.zlib_failure(code);
      if (s.stream.avail_out != wanted) break;
      return Err(std::move(failure));
    }
  }
  return static_cast<std::size_t>(wanted - s.stream.avail_out);
}

}  // namespace vantle::gzip
