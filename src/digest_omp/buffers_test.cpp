#include "digest_omp/buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/writer.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace vantle::digest {
namespace {

using namespace std::string_literals;

// A source that hands out `input` in reads of at most `step` bytes.
ByteSource source_of(const std::string& input, std::size_t step = DIGEST_OUTPUT_BUFFER) {
  auto at = std::make_shared<std::size_t>(0);
  return [&input, step, at](char* buffer, std::size_t size) -> SysResult<std::size_t> {
    const std::size_t n = std::min({size, step, input.size() - *at});
    std::memcpy(buffer, input.data() + *at, n);
    *at += n;
    return n;
  };
}

struct Lines {
  std::vector<std::string> lines;
  std::string error;
};

Lines collect(LineReader& source) {
  Lines out;
  while (true) {
    auto line = source.next();
    if (!line) {
      out.error = line.error().message;
      return out;
    }
    if (!*line) return out;
    out.lines.emplace_back(**line);
  }
}

Lines read_all(const std::string& input, std::size_t step = DIGEST_OUTPUT_BUFFER) {
  LineReader reader(source_of(input, step));
  return collect(reader);
}

// The same input from a file, read as the tool reads a log.
Lines read_file_lines(const std::string& input) {
  testing::ScopedTempDir tmp;
  testing::write_file(tmp / "log", input);
  auto file = fs::File::open_read(tmp / "log");
  if (!file) return Lines{{}, file.error().message};
  fs::LiveFile log(std::move(*file));
  LineReader lines([&log](char* buffer, std::size_t size) { return log.read(buffer, size); });
  return collect(lines);
}

TEST(LineReader, SplitsAtLineFeedsAndDropsACarriageReturnBeforeThem) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\nb", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      // Only one carriage return, and only right before the line feed, is dropped.
      {"a\r\r\n", {"a\r"}},
      {"a\rb\n", {"a\rb"}},
      {"\r\n", {""}},
      // The last line keeps a carriage return that no line feed follows.
      {"a\r", {"a\r"}},
      {"a\n\r", {"a", "\r"}},
      {" \t \n", {" \t "}},
      {"x\0y\n"s, {"x\0y"s}},
  };
  for (const auto& c : cases) {
    for (const std::size_t step : {std::size_t{1}, std::size_t{2}, DIGEST_OUTPUT_BUFFER}) {
      SCOPED_TRACE(::testing::PrintToString(c.input) + " in reads of " + std::to_string(step));
      const Lines got = read_all(c.input, step);
      EXPECT_EQ(got.error, "");
      EXPECT_EQ(got.lines, c.lines);
    }
    const Lines from_file = read_file_lines(c.input);
    EXPECT_EQ(from_file.error, "");
    EXPECT_EQ(from_file.lines, c.lines);
  }
}

TEST(LineReader, LinesOfAnyLengthAcrossTheBuffer) {
  std::vector<std::string> lines;
  constexpr std::size_t R = DIGEST_READ_BUFFER;
  for (const std::size_t length : {std::size_t{8190}, std::size_t{8191}, std::size_t{8192}, std::size_t{8193},
                                   std::size_t{16383}, std::size_t{100000}, std::size_t{1}, std::size_t{0}, R - 2, R - 1,
                                   R, R + 1, std::size_t{3000000}, std::size_t{5}, R - 3, 2 * R + 1}) {
    std::string line;
    for (std::size_t i = 0; i < length; ++i) line += static_cast<char>('a' + (i * 7 + length) % 26);
    lines.push_back(line);
  }
  std::string input;
  for (std::size_t i = 0; i < lines.size(); ++i) input += lines[i] + (i % 2 == 0 ? "\n" : "\r\n");
  for (const std::size_t step : {std::size_t{1000}, DIGEST_READ_CHUNK - 1, DIGEST_READ_CHUNK, R - 1, R}) {
    SCOPED_TRACE(step);
    const Lines got = read_all(input, step);
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.lines, lines);
    // The same lines with the last one's line feed missing: it is still handed out whole.
    const Lines unfinished = read_all(input.substr(0, input.size() - 2), step);
    EXPECT_EQ(unfinished.error, "");
    EXPECT_EQ(unfinished.lines, lines);
  }
  // From a file, the reads are as large as the reader asks for.
  for (const std::size_t cut : {std::size_t{0}, std::size_t{2}}) {
    const Lines from_file = read_file_lines(input.substr(0, input.size() - cut));
    EXPECT_EQ(from_file.error, "");
    EXPECT_EQ(from_file.lines, lines);
  }
}

TEST(LineReader, ReadErrorIsPassedOn) {
  int calls = 0;
  LineReader reader([&calls](char* buffer, std::size_t) -> SysResult<std::size_t> {
    if (calls++ == 0) {
      std::memcpy(buffer, "first\nsecond-", 13);
      return std::size_t{13};
    }
    return Err(custom_error(ErrorKind::kOther, "Input/output error (os error 5)"));
  });
  auto first = reader.next();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(**first, "first");
  auto second = reader.next();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message, "Input/output error (os error 5)");
}

// Collects what the buffer passes on, optionally failing from a given call on.
struct Drain {
  std::vector<std::string> writes;
  int fail_from = -1;
  ByteDrain fn() {
    return [this](std::string_view bytes) -> SysResult<void> {
      if (fail_from >= 0 && static_cast<int>(writes.size()) >= fail_from) {
        return Err(custom_error(ErrorKind::kOther, "Broken pipe (os error 32)"));
      }
      writes.emplace_back(bytes);
      return {};
    };
  }
  std::string all() const {
    std::string out;
    for (const auto& w : writes) out += w;
    return out;
  }
};

TEST(OutputBuffer, PassesBytesOnInOrderWhenFullAndOnFlush) {
  Drain drain;
  OutputBuffer out(drain.fn());
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string piece = std::to_string(i) + "," + std::string(static_cast<std::size_t>(i % 40), 'x');
    out.write(piece);
    expected += piece;
  }
  for (const auto& w : drain.writes) EXPECT_LE(w.size(), DIGEST_OUTPUT_BUFFER);
  EXPECT_GT(drain.writes.size(), 1u);
  ASSERT_TRUE(out.flush().ok());
  EXPECT_EQ(drain.all(), expected);
  // Nothing is left to pass on.
  const auto count = drain.writes.size();
  ASSERT_TRUE(out.flush().ok());
  EXPECT_EQ(drain.writes.size(), count);
}

TEST(OutputBuffer, StringsOfAnyLengthAreEscapedLikeTheWriter) {
  for (const std::size_t length : {0, 1, 8191, 8192, 8193, 20000, 100000}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += "a\"\\\n\x01\xC3\xA9/"[i % 9];
    Drain drain;
    OutputBuffer out(drain.fn());
    out.write("[");
    out.write_string(text);
    out.write("]");
    ASSERT_TRUE(out.flush().ok());
    std::string expected = "[";
    json::append_string(expected, text);
    expected += "]";
    EXPECT_EQ(drain.all(), expected) << length;
  }
}

TEST(OutputBuffer, KeepsTheFirstFailureAndRetriesTheRestOnFlush) {
  Drain drain;
  drain.fail_from = 1;
  OutputBuffer out(drain.fn());
  for (int i = 0; i < 2000; ++i) out.write("0123456789");
  ASSERT_TRUE(out.failure().has_value());
  EXPECT_EQ(out.failure()->message, "Broken pipe (os error 32)");
  EXPECT_EQ(drain.writes.size(), 1u);
  EXPECT_EQ(drain.writes[0].size(), 8190u);
  // The drain recovers; the bytes still buffered go out, and the failure is still reported.
  drain.fail_from = -1;
  const auto flushed = out.flush();
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().message, "Broken pipe (os error 32)");
  EXPECT_EQ(drain.writes.size(), 2u);
  EXPECT_EQ(drain.writes[1], drain.writes[0]);
}

}  // namespace
}  // namespace vantle::digest
