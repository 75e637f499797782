#include "support/gzip.h"

#include <zlib.h>

#include <stdexcept>

namespace vantle::testing {

std::string gzip(std::string_view data) {
  z_stream stream{};
  if (::deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(::deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int code = ::deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  ::deflateEnd(&stream);
  if (code != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace vantle::testing
