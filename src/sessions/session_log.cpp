#include "sessions/session_log.h"

#include <memory>
#include <utility>

namespace vantle::sessions {

fs::ByteSource SessionLog::bytes() && {
  // A ByteSource is copyable, so the reader behind it is shared.
  if (archive) {
    auto reader = std::make_shared<gzip::GzipReader>(std::move(*archive));
    return [reader](char* buffer, std::size_t size) { return reader->read(buffer, size); };
  }
  auto reader = std::make_shared<fs::LiveFile>(std::move(*log));
  return [reader](char* buffer, std::size_t size) { return reader->read(buffer, size); };
}

SysResult<SessionLog> open_session_log(const std::filesystem::path& path, bool archived) {
  SessionLog out;
  if (archived) {
    auto opened = gzip::GzipReader::open(path);
    if (!opened) return opened.err();
    out.archive.emplace(std::move(*opened));
  } else {
    auto opened = fs::File::open_read(path);
    if (!opened) return opened.err();
    out.log.emplace(std::move(*opened));
  }
  return out;
}

}  // namespace vantle::sessions
