#include "corvane_omp/transcript.h"

#include <algorithm>
#include <limits>

#include "platform/file.h"
#include "platform/stdio.h"
#include "sessions/lookup.h"
#include "sessions/session_log.h"
#include "text/utf8.h"

namespace vantle::corvane {
namespace {

// The bytes that do not count as transcript content: TAB, LF, FF, CR, SPACE (not VT).
bool is_layout_byte(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

}  // namespace

TailRing::TailRing() : ring_(TRANSCRIPT_TAIL_LIMIT, '\0') {}

void TailRing::push(std::string_view chunk) {
  const std::uint64_t max_total = std::numeric_limits<std::uint64_t>::max();
  total_ = chunk.size() > max_total - total_ ? max_total : total_ + chunk.size();
  if (!saw_content_) {
    // No early exit: a plain OR over the chunk lets the compiler vectorise the scan.
    bool content = false;
    for (const char c : chunk) content |= !is_layout_byte(c);
    saw_content_ = content;
  }
  const std::size_t capacity = ring_.size();
  if (chunk.size() >= capacity) {
    chunk = chunk.substr(chunk.size() - capacity);
    std::copy(chunk.begin(), chunk.end(), ring_.begin());
    start_ = 0;
    size_ = capacity;
    return;
  }
  if (size_ + chunk.size() > capacity) {
    const std::size_t excess = size_ + chunk.size() - capacity;
    start_ = (start_ + excess) % capacity;
    size_ -= excess;
  }
  std::size_t end = (start_ + size_) % capacity;
  const std::size_t first = std::min(chunk.size(), capacity - end);
  std::copy_n(chunk.data(), first, ring_.data() + end);
  std::copy_n(chunk.data() + first, chunk.size() - first, ring_.data());
  size_ += chunk.size();
}

std::string TailRing::kept() const {
  std::string out;
  out.reserve(size_);
  const std::size_t first = std::min(size_, ring_.size() - start_);
  out.append(ring_, start_, first);
  out.append(ring_, 0, size_ - first);
  return out;
}

SysResult<StdinTranscript> read_transcript(const ChunkReader& read) {
  TailRing ring;
  std::array<char, STDIN_CHUNK> chunk;
  while (true) {
    auto n = read(chunk.data(), chunk.size());
    if (!n) {
      if (n.error().kind == ErrorKind::kInterrupted) continue;
      return n.err();
    }
    if (*n == 0) break;
    ring.push(std::string_view(chunk.data(), *n));
  }
  auto tail = finish_transcript_tail(ring.kept(), ring.total() > TRANSCRIPT_TAIL_LIMIT);
  if (!tail) return tail.err();
  return StdinTranscript{std::move(*tail), ring.saw_content()};
}

SysResult<StdinTranscript> read_transcript_from_stdin() { return read_transcript(&stdio::read_in); }

SysResult<std::string> read_transcript_file_tail(const std::filesystem::path& path) {
  auto log = sessions::open_session_log(path, sessions::is_archived_session(path));
  if (!log) return log.err();
  if (log->archive) {
    auto read = read_transcript(std::move(*log).bytes());
    if (!read) return read.err();
    return std::move(read->tail);
  }
  fs::File& file = *log->log;
  auto length = file.seek_end();
  if (!length) return length.err();
  const std::uint64_t start = *length > TRANSCRIPT_TAIL_LIMIT ? *length - TRANSCRIPT_TAIL_LIMIT : 0;
  if (auto sought = file.seek(start); !sought) return sought.err();
  // At most the bytes that were there when the length was taken.
  std::string bytes(static_cast<std::size_t>(*length - start), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    auto n = file.read(bytes.data() + got, bytes.size() - got);
    if (!n) return n.err();
    if (*n == 0) break;
    got += *n;
  }
  bytes.resize(got);
  file.close();
  return finish_transcript_tail(std::move(bytes), *length > TRANSCRIPT_TAIL_LIMIT);
}

SysResult<std::string> finish_transcript_tail(std::string bytes, bool truncated) {
  if (truncated) {
    const std::size_t lf = bytes.find('\n');
    bytes.erase(0, lf == std::string::npos ? bytes.size() : lf + 1);
  }
  if (const auto bad = text::check_utf8(bytes)) {
    return Err(custom_error(ErrorKind::kInvalidInput, "transcript tail is not UTF-8: " + text::describe(*bad)));
  }
  return bytes;
}

std::string xml_escape_transcript(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string wrap_untrusted_transcript(std::string_view text) {
  std::string out(TRANSCRIPT_WARNING);
  out += "\n<untrusted-transcript encoding=\"xml-escaped\">\n";
  out += xml_escape_transcript(text);
  out += "\n</untrusted-transcript>";
  return out;
}

}  // namespace vantle::corvane
