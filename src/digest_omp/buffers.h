// The digest's two buffers: a line reader over the log and an output buffer over standard output.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "digest_omp/mapping.h"
#include "digest_omp/prescan.h"
#include "platform/big_buffer.h"
#include "platform/error.h"
#include "platform/file.h"

namespace vantle::digest {

// The size of the output buffer.
inline constexpr std::size_t DIGEST_OUTPUT_BUFFER = 8192;
// The reader's buffer: lines up to this long are handed out in place. Most of a session log's
// bytes are in tool results of tens of kilobytes to a megabyte, which would otherwise be copied
// into a line of their own.
inline constexpr std::size_t DIGEST_READ_BUFFER = 4 * 1024 * 1024;
// The most the reader asks for at once: reads of 8 KiB cost a third more per byte, and larger
// ones than this were measured no cheaper, while they push more of the line out of the cache.
inline constexpr std::size_t DIGEST_READ_CHUNK = 256 * 1024;

using fs::ByteSource;
// Takes bytes for output, all of them or an error.
using ByteDrain = std::function<SysResult<void>(std::string_view bytes)>;

// How many bytes the reader keeps ahead of the next line, where input has them, so that a line is
// whole in the buffer when it is walked: most of a log's lines are shorter.
inline constexpr std::size_t DIGEST_READ_AHEAD = 1024 * 1024;

// A log's lines, one at a time, from any source of bytes: a file being written (fs::LiveFile), a
// pipe, a decompressed archive. A line ends at a line feed, which is dropped with a carriage return
// right before it; the last line need not end in one. Lines go through a DIGEST_READ_BUFFER-byte
// buffer filled DIGEST_READ_CHUNK bytes at a time and kept DIGEST_READ_AHEAD bytes ahead. A line
// that fits in the buffer is handed out in place (its start moved to the front when the buffer is
// full); a longer one is gathered once into a growing string, so a line of any length is held once.
// A line that is a plain JSON object and whole in the buffer is found and checked in one walk
// (walk_line), so its bytes are looked at once; any other line is found by its line feed, and the
// digest checks it apart. The bytes are never checked here.
class LineReader final {
 public:
  explicit LineReader(ByteSource source);

  // The next line, valid until the next call; empty at the end of input. A failed read is an
  // error once the whole lines read before it are handed out; so is the end of a log that shrank
  // (the source's error), which comes before the unfinished last line: a line that was being cut
  // away is never handed out.
  SysResult<std::optional<std::string_view>> next();
  // check_line of the line handed out last, when the reader worked it out while it looked for the
  // line's end; that line is then handed out trimmed.
  std::optional<LineCheck> known_check() const { return known_; }

 private:
  SysResult<std::size_t> read_more();

  ByteSource source_;
  BigBuffer buffer_;
  std::size_t begin_ = 0;    // the unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::size_t scanned_ = 0;  // buffer_[begin_, scanned_) holds no line feed
  bool ended_ = false;       // the source has said there is no more
  std::optional<SysError> failure_;
  std::optional<LineCheck> known_;
  std::string long_line_;
};

// A DIGEST_OUTPUT_BUFFER-byte buffer in front of a drain. Bytes are passed on whenever the buffer
// fills, and strings longer than the buffer are escaped and passed on in pieces, so a record of
// any length needs no memory of its own. The first drain failure is kept; later writes are
// dropped, and the unwritten bytes stay buffered for one last attempt.
class OutputBuffer final : public RecordSink {
 public:
  explicit OutputBuffer(ByteDrain drain);

  void write(std::string_view bytes) override;
  void write_string(std::string_view text) override;
  void write_escaped(std::string_view text) override;
  // Passes on what is buffered. Fails with the kept failure, or with a new one.
  SysResult<void> flush();
  const std::optional<SysError>& failure() const { return failure_; }
  // The bytes buffered and not yet passed on. They stay where they are while the buffer lives.
  const std::string& owed() const { return buffer_; }

 private:
  void drain(std::string_view bytes);

  ByteDrain drain_;
  std::string buffer_;
  std::string escaped_;
  std::optional<SysError> failure_;
};

}  // namespace vantle::digest
