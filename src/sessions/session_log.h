// A session file that a lookup found, opened for reading: the log itself, which the agent may
// still be writing, or the gzip archive `omp gc` made of it. history-omp, digest-omp and the
// Corvane tail open it here, each wording the failure its own way.
#pragma once

#include <filesystem>
#include <optional>

#include "gzip/gzip_reader.h"
#include "platform/error.h"
#include "platform/file.h"

namespace vantle::sessions {

// Exactly one of the two is there.
struct SessionLog {
  std::optional<fs::File> log;
  std::optional<gzip::GzipReader> archive;

  // Its bytes from the start, read once: the log's through fs::LiveFile, or the archive's
  // decompressed (damage fails with kInvalidInput and zlib's reason). Takes the file over.
  fs::ByteSource bytes() &&;
};

// Opens `path` as an archive when `archived` (is_archived_session for a found file), else as the
// log. The failure is the system's.
SysResult<SessionLog> open_session_log(const std::filesystem::path& path, bool archived);

}  // namespace vantle::sessions
