#include "gzip/gzip_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/gzip.h"
#include "support/temp_dir.h"

namespace vantle::gzip {
namespace {

using testing::gzip;
using testing::ScopedTempDir;
using testing::write_file;

struct Outcome {
  std::string bytes;
  std::optional<SysError> failure;
};

// Reads a whole file `chunk` bytes at a time; after a failure, checks that it is final.
Outcome read_all(const std::filesystem::path& path, std::size_t chunk) {
  Outcome out;
  auto reader = GzipReader::open(path);
  if (!reader) {
    out.failure = reader.error();
    return out;
  }
  std::vector<char> buffer(chunk);
  while (true) {
    auto got = reader->read(buffer.data(), buffer.size());
    if (!got) {
      out.failure = got.error();
      auto again = reader->read(buffer.data(), buffer.size());
      EXPECT_FALSE(again.ok());
      if (!again) {
        EXPECT_EQ(again.error().message, got.error().message);
      }
      return out;
    }
    if (*got == 0) return out;
    EXPECT_LE(*got, chunk);
    out.bytes.append(buffer.data(), *got);
  }
}

// Bytes that do not compress, so that the archive is longer than one input chunk.
std::string noise(std::size_t size) {
  std::mt19937 random(7);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

TEST(GzipReader, GivesEveryMembersBytesWhateverTheReadSize) {
  ScopedTempDir tmp;
  const std::string big = noise(3 * GZIP_INPUT_CHUNK + 11);
  const std::string text = "{\"type\":\"message\"}\r\n\xFF not UTF-8\n";
  const auto path = tmp / "a.jsonl.gz";
  write_file(path, gzip(text) + gzip("") + gzip(big) + gzip("last"));
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, GZIP_INPUT_CHUNK + 1}) {
    SCOPED_TRACE(chunk);
    const Outcome got = read_all(path, chunk);
    ASSERT_FALSE(got.failure) << got.failure->message;
    EXPECT_TRUE(got.bytes == text + big + "last");
  }
  write_file(path, gzip(""));
  EXPECT_EQ(read_all(path, 10).bytes, "");
}

TEST(GzipReader, DamageEndsWithZlibsReasonAfterTheBytesBeforeIt) {
  ScopedTempDir tmp;
  const std::string data = noise(2 * GZIP_INPUT_CHUNK);
  const std::string whole = gzip(data);
  std::string bad_check = whole;
  bad_check[bad_check.size() - 8] ^= 1;  // the trailer's CRC-32
  struct Case {
    std::string name, bytes, reason;
    bool all_data;  // whether every byte of `data` comes out before the failure
  };
  const std::vector<Case> cases = {
      {"empty file", "", "unexpected end of file", false},
      {"not gzip", "{\"type\":\"message\"}\n", "incorrect header check", false},
      {"cut inside the data", whole.substr(0, whole.size() / 2), "unexpected end of file", false},
      {"cut inside the trailer", whole.substr(0, whole.size() - 3), "unexpected end of file", true},
      {"wrong check", bad_check, "incorrect data check", true},
      {"garbage after a member", whole + "garbage", "incorrect header check", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = tmp / "x.jsonl.gz";
    write_file(path, c.bytes);
    const Outcome got = read_all(path, 4096);
    ASSERT_TRUE(got.failure);
    EXPECT_EQ(got.failure->kind, ErrorKind::kInvalidInput);
    EXPECT_EQ(got.failure->message, c.reason);
    EXPECT_TRUE(data.starts_with(got.bytes));
    if (c.all_data) {
      EXPECT_EQ(got.bytes.size(), data.size());
    }
  }
  const Outcome missing = read_all(tmp / "missing.gz", 10);
  ASSERT_TRUE(missing.failure);
  EXPECT_EQ(missing.failure->kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace vantle::gzip
