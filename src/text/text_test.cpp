#include <gtest/gtest.h>

#include "text/exit_status.h"
#include "text/utf8.h"
#include "text/whitespace.h"

namespace vantle::text {
namespace {

TEST(Utf8, DescribesTheFirstFault) {
  struct Case {
    std::string bytes;
    std::string description;  // empty when valid
  };
  const Case cases[] = {
      {"plain ascii", ""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", ""},
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"12345678\xE2\x82", "incomplete utf-8 byte sequence from index 8"},
      {"\xF0", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& c : cases) {
    const auto error = check_utf8(c.bytes);
    EXPECT_EQ(error ? describe(*error) : "", c.description) << c.bytes;
  }
}

TEST(Utf8, LossyReplacesEachMaximalSubpart) {
  EXPECT_EQ(utf8_lossy("a\xF0\x9F\x98" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(utf8_lossy("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("ok"), "ok");
}

TEST(Utf8, Utf16RoundTripAndSurrogates) {
  const std::string text = "h\xC3\xA9 \xF0\x9F\x98\x80";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
  const std::u16string lone = {u'a', 0xD800, u'b'};
  EXPECT_EQ(utf16_to_utf8(lone), std::nullopt);
  EXPECT_EQ(utf16_to_utf8_lossy(lone), "a\xEF\xBF\xBD" "b");
}

TEST(WhiteSpace, TrimsExactlyTheWhiteSpaceProperty) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {" \t\n\v\f\r x \r\n", "x"},
      {"\xC2\x85\xC2\xA0x\xE3\x80\x80", "x"},                        // U+0085, U+00A0, U+3000
      {"\xE1\x9A\x80\xE2\x80\x8A" "a b\xE2\x80\xA8\xE2\x80\xAF", "a b"},  // U+1680, U+200A, U+2028, U+202F
      {"\xE2\x81\x9Fx\xE2\x80\xA9", "x"},                            // U+205F, U+2029
      {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},                            // U+FEFF is not white space
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},                            // nor is U+200B
      {"x\xC2", "x\xC2"},                                            // a cut sequence stops the trim
      {"   ", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.in), c.out) << c.in;
  EXPECT_EQ(trim_start("  a "), "a ");
  EXPECT_EQ(trim_end("  a \xE3\x80\x80"), "  a");
}

TEST(ExitStatusText, CodesHexAndSignals) {
  EXPECT_EQ(exit_status_text(ExitStatus::exited(0)), "exit code: 0");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(255)), "exit code: 255");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(0x7fffffff)), "exit code: 2147483647");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(3221225477u)), "exit code: 0xc0000005");
  EXPECT_EQ(exit_status_text(ExitStatus::signaled(9, "SIGKILL")), "signal: 9 (SIGKILL)");
}

}  // namespace
}  // namespace vantle::text
