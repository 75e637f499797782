#include "digest_omp/utf8_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/utf8.h"

namespace vantle::digest {
namespace {

struct Case {
  std::string bytes;
  bool valid;
};

const Case kCases[] = {
    {"", true},
    {"plain ascii", true},
    {"\x7F", true},
    {"\xC2\x80", true},
    {"\xDF\xBF", true},
    {"\xE0\xA0\x80", true},
    {"\xED\x9F\xBF", true},  // U+D7FF, just below the surrogates
    {"\xEE\x80\x80", true},  // U+E000, just above them
    {"\xEF\xBF\xBF", true},
    {"\xEF\xBB\xBF", true},  // a byte-order mark is valid UTF-8
    {"\xF0\x90\x80\x80", true},
    {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
    {"\x80", false},             // a continuation alone
    {"\xBF", false},
    {"\xC0\x80", false},  // overlong forms
    {"\xC1\xBF", false},
    {"\xE0\x9F\xBF", false},
    {"\xF0\x8F\xBF\xBF", false},
    {"\xED\xA0\x80", false},  // surrogates
    {"\xED\xBF\xBF", false},
    {"\xF4\x90\x80\x80", false},  // past U+10FFFF
    {"\xF5\x80\x80\x80", false},
    {"\xF8\x88\x80\x80\x80", false},
    {"\xFF", false},
    {"\xFE", false},
    {"\xC3", false},  // cut short
    {"\xE2\x82", false},
    {"\xF0\x9F\x98", false},
    {"\xC3\x41", false},  // a continuation missing before ASCII
    {"\xE2\x41\x82", false},
    {"\xC3\xA9\xA9", false},  // one continuation too many
    {"\xF0\x9F\x98\x80\x80", false},
    {"\xC3\xC3\xA9", false},
};

bool reference(std::string_view bytes) { return text::is_utf8(bytes); }

TEST(Utf8Check, SequencesAloneAndAtEveryOffsetOfTheVectorSteps) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    ASSERT_EQ(reference(c.bytes), c.valid);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    EXPECT_EQ(is_valid_utf8_scalar(c.bytes), c.valid);
    // Before, across and after the 32- and 64-byte blocks, among ASCII and among other text.
    for (std::size_t before = 0; before < 140; ++before) {
      for (const std::string& filler : {std::string("a"), std::string("\xC3\xA9")}) {
        std::string bytes;
        while (bytes.size() < before) bytes += filler;
        bytes += c.bytes;
        for (const std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{40}}) {
          std::string padded = bytes;
          for (std::size_t i = 0; i < after; ++i) padded += filler;
          ASSERT_EQ(is_valid_utf8(padded), c.valid) << before << " before, " << after << " after";
          ASSERT_EQ(is_valid_utf8_scalar(padded), c.valid) << before << " before, " << after << " after";
        }
      }
    }
  }
}

TEST(Utf8Check, AgreesWithTheDecoderOnRandomText) {
  std::mt19937 rng(7);
  const std::string pieces[] = {"a",
                                " ",
                                "\n",
                                "\xC3\xA9",
                                "\xE6\x97\xA5",
                                "\xF0\x9F\x98\x80",
                                "\xED\x9F\xBF",
                                "\xF4\x8F\xBF\xBF",
                                "\xC3",
                                "\x80",
                                "\xE2\x82",
                                "\xF0",
                                "\xED\xA0\x80",
                                "\xFF",
                                "\xE0\x80\x80",
                                "\xF4\x90\x80\x80"};
  int valid = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const int count = static_cast<int>(rng() % 200);
    // Mostly valid pieces, so that one bad piece at a random place is the usual failure.
    for (int i = 0; i < count; ++i) bytes += pieces[rng() % (rng() % 50 == 0 ? 16 : 8)];
    const bool expected = reference(bytes);
    valid += expected;
    ASSERT_EQ(is_valid_utf8(bytes), expected) << ::testing::PrintToString(bytes);
    ASSERT_EQ(is_valid_utf8_scalar(bytes), expected) << ::testing::PrintToString(bytes);
  }
  // Both outcomes were well represented.
  EXPECT_GT(valid, 2000);
  EXPECT_LT(valid, 18000);
}

TEST(Utf8Check, RandomBytes) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(rng() % 100, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % 4 == 0 ? 0x80 | rng() % 128 : rng() % 128);
    ASSERT_EQ(is_valid_utf8(bytes), reference(bytes)) << ::testing::PrintToString(bytes);
  }
}

}  // namespace
}  // namespace vantle::digest
