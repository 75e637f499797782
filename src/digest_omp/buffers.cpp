#include "digest_omp/buffers.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "json/writer.h"
#include "text/find.h"

namespace vantle::digest {
namespace {

std::string_view drop_line_end(std::string_view line) {
  // Only called for lines that ended in a line feed (already removed).
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

// The buffer comes straight from the system, untouched until input fills it and in huge pages
// where the system gives them: a log of a few megabytes would otherwise spend a fifth of its run
// on the page faults of filling it.
LineReader::LineReader(ByteSource source) : source_(std::move(source)) {
  auto buffer = BigBuffer::allocate(DIGEST_READ_BUFFER);
  if (!buffer) throw std::bad_alloc();
  buffer_ = std::move(*buffer);
}

// Reads on behind the unread bytes, at most a chunk and only into room the buffer has; 0 at the end
// of input, or when the buffer is full. A failure is kept and given again on every later call.
SysResult<std::size_t> LineReader::read_more() {
  if (failure_) return Err(*failure_);
  const std::size_t room = std::min(DIGEST_READ_BUFFER - end_, DIGEST_READ_CHUNK);
  if (ended_ || room == 0) return std::size_t{0};
  auto got = source_(buffer_.data() + end_, room);
  if (!got) {
    failure_ = got.error();
    return got;
  }
  if (*got == 0) ended_ = true;
  end_ += *got;
  return got;
}

SysResult<std::optional<std::string_view>> LineReader::next() {
  long_line_.clear();
  known_.reset();
  char* const buffer = buffer_.data();
  // Keep the next line's bytes ahead of it, so that it can be walked once. A line that does not
  // fit the rest of the buffer is left to the line-feed search, which moves it to the front. A
  // failed read counts only once the lines before it are handed out.
  while (!ended_ && !failure_ && end_ - begin_ < DIGEST_READ_AHEAD && end_ < DIGEST_READ_BUFFER) {
    (void)read_more();
  }
  if (const auto walked = walk_line(buffer + begin_, buffer + end_)) {
    const std::string_view line(buffer + begin_, walked->trimmed);
    known_ = walked->check;
    begin_ = scanned_ = begin_ + walked->length + 1;
    return std::optional<std::string_view>(line);
  }
  bool gathering = false;
  std::string_view line;
  while (true) {
    const char* const feed = text::find_byte(buffer + scanned_, buffer + end_, '\n');
    if (feed != nullptr) {
      const char* const start = buffer + begin_;
      const auto length = static_cast<std::size_t>(feed - start);
      begin_ = scanned_ = static_cast<std::size_t>(feed - buffer) + 1;
      if (gathering) {
        long_line_.append(start, length);
        line = drop_line_end(long_line_);
      } else {
        line = drop_line_end(std::string_view(start, length));
      }
      break;
    }
    // The unread bytes hold no line feed: read on behind them, making room when the buffer is full.
    if (end_ == DIGEST_READ_BUFFER) {
      if (begin_ == 0) {
        long_line_.append(buffer, end_);
        gathering = true;
        end_ = 0;
      } else {
        std::memmove(buffer, buffer + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
    }
    scanned_ = end_;
    auto got = read_more();
    if (!got) return std::move(got).err();
    if (*got == 0) {
      if (!gathering && begin_ == end_) return std::optional<std::string_view>();
      // The last line, without a line feed: nothing is dropped.
      if (gathering) {
        long_line_.append(buffer, end_);
        line = long_line_;
      } else {
        line = std::string_view(buffer + begin_, end_ - begin_);
      }
      begin_ = scanned_ = end_;
      break;
    }
  }
  return std::optional<std::string_view>(line);
}

// Both buffers are reserved whole (an escaped slice is at most six bytes a byte, quotes added), so
// writing a record never allocates: running out of memory cannot cut one short.
OutputBuffer::OutputBuffer(ByteDrain drain) : drain_(std::move(drain)) {
  buffer_.reserve(DIGEST_OUTPUT_BUFFER);
  escaped_.reserve(6 * DIGEST_OUTPUT_BUFFER + 2);
}

void OutputBuffer::drain(std::string_view bytes) {
  if (auto written = drain_(bytes); !written) failure_ = std::move(written).error();
}

void OutputBuffer::write(std::string_view bytes) {
  if (failure_) return;
  if (bytes.size() > DIGEST_OUTPUT_BUFFER - buffer_.size()) {
    if (!buffer_.empty()) {
      drain(buffer_);
      if (failure_) return;
      buffer_.clear();
    }
    if (bytes.size() >= DIGEST_OUTPUT_BUFFER) {
      drain(bytes);
      return;
    }
  }
  buffer_.append(bytes);
}

void OutputBuffer::write_string(std::string_view text) {
  if (text.size() <= DIGEST_OUTPUT_BUFFER) {
    escaped_.clear();
    json::append_string(escaped_, text);
    write(escaped_);
    return;
  }
  write("\"");
  write_escaped(text);
  write("\"");
}

// The escape of a byte never depends on its neighbours, so a long string can be escaped in slices.
void OutputBuffer::write_escaped(std::string_view text) {
  for (std::size_t at = 0; at < text.size() && !failure_; at += DIGEST_OUTPUT_BUFFER) {
    escaped_.clear();
    json::append_escaped(escaped_, text.substr(at, DIGEST_OUTPUT_BUFFER));
    write(escaped_);
  }
}

SysResult<void> OutputBuffer::flush() {
  if (!buffer_.empty()) {
    if (auto written = drain_(buffer_); written) {
      buffer_.clear();
    } else if (!failure_) {
      failure_ = std::move(written).error();
    }
  }
  if (failure_) return Err(*failure_);
  return {};
}

}  // namespace vantle::digest
