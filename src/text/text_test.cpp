#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "text/cpu.h"
#include "text/find.h"
#include "text/utf8.h"
#include "text/visible.h"
#include "text/whitespace.h"

namespace vantle::text {
namespace {

// The first fault as the decoder describes it; the fast and the portable checks must agree with
// it, alone and at every offset of the vector steps.
TEST(Utf8, DescribesTheFirstFaultAndBothChecksAgree) {
  struct Case {
    std::string bytes;
    std::string description;  // empty when valid
  };
  const auto bad = [](int len, int index) {
    return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(index);
  };
  const auto cut = [](int index) { return "incomplete utf-8 byte sequence from index " + std::to_string(index); };
  const Case cases[] = {
      {"", ""},
      {"plain ascii", ""},
      {"\x7F", ""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", ""},
      {"\xC2\x80", ""},
      {"\xDF\xBF", ""},
      {"\xE0\xA0\x80", ""},
      {"\xED\x9F\xBF", ""},  // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", ""},  // U+E000, just above them
      {"\xEF\xBF\xBF", ""},
      {"\xEF\xBB\xBF", ""},  // a byte-order mark is valid UTF-8
      {"\xF0\x90\x80\x80", ""},
      {"\xF4\x8F\xBF\xBF", ""},  // U+10FFFF
      {"\x80", bad(1, 0)},       // a continuation alone
      {"\xBF", bad(1, 0)},
      {"ab\xFF", bad(1, 2)},
      {"\xFE", bad(1, 0)},
      {"\xC0\x80", bad(1, 0)},  // overlong forms
      {"\xC1\xBF", bad(1, 0)},
      {"x\xE0\x80\x80", bad(1, 1)},
      {"\xE0\x9F\xBF", bad(1, 0)},
      {"\xF0\x8F\xBF\xBF", bad(1, 0)},
      {"\xED\xA0\x80", bad(1, 0)},  // surrogates
      {"\xED\xBF\xBF", bad(1, 0)},
      {"\xF4\x90\x80\x80", bad(1, 0)},  // past U+10FFFF
      {"\xF5\x80\x80\x80", bad(1, 0)},
      {"\xF8\x88\x80\x80\x80", bad(1, 0)},
      {"\xC3", cut(0)},  // cut short
      {"\xF0", cut(0)},
      {"12345678\xE2\x82", cut(8)},
      {"\xF0\x9F\x98", cut(0)},
      {"\xC3\x41", bad(1, 0)},  // a continuation missing before ASCII
      {"\xE2\x41\x82", bad(1, 0)},
      {"\xF0\x9F\x98\x41", bad(3, 0)},
      {"\xC3\xA9\xA9", bad(1, 2)},  // one continuation too many
      {"\xF0\x9F\x98\x80\x80", bad(1, 4)},
      {"\xC3\xC3\xA9", bad(1, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const auto error = check_utf8(c.bytes);
    EXPECT_EQ(error ? describe(*error) : "", c.description);
    const bool valid = c.description.empty();
    EXPECT_EQ(is_utf8(c.bytes), valid);
    EXPECT_EQ(is_utf8_portable(c.bytes), valid);
    // Before, across and after the 32- and 64-byte blocks, among ASCII and among other text.
    for (std::size_t before = 0; before < 140; ++before) {
      for (const std::string& filler : {std::string("a"), std::string("\xC3\xA9")}) {
        std::string bytes;
        while (bytes.size() < before) bytes += filler;
        bytes += c.bytes;
        for (const std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{40}}) {
          std::string padded = bytes;
          for (std::size_t i = 0; i < after; ++i) padded += filler;
          ASSERT_EQ(is_utf8(padded), valid) << before << " before, " << after << " after";
          ASSERT_EQ(is_utf8_portable(padded), valid) << before << " before, " << after << " after";
        }
      }
    }
  }
}

TEST(Utf8, FastCheckAgreesWithThePortableOneOnRandomInput) {
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
    // Mostly valid pieces, so that one bad piece at a random place is the usual failure.
    std::string text;
    const int count = static_cast<int>(rng() % 200);
    for (int i = 0; i < count; ++i) text += pieces[rng() % (rng() % 50 == 0 ? 16 : 8)];
    const bool expected = is_utf8_portable(text);
    valid += expected;
    ASSERT_EQ(is_utf8(text), expected) << ::testing::PrintToString(text);
    // And raw bytes, a quarter of them with the high bit set.
    std::string bytes(rng() % 100, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % 4 == 0 ? 0x80 | rng() % 128 : rng() % 128);
    ASSERT_EQ(is_utf8(bytes), is_utf8_portable(bytes)) << ::testing::PrintToString(bytes);
  }
  // Both outcomes were well represented.
  EXPECT_GT(valid, 2000);
  EXPECT_LT(valid, 18000);
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

// Every start, length and place of the byte around the 16- and 64-byte steps, against memchr.
TEST(FindByte, AgreesWithMemchrAtEveryStepEdge) {
  std::string text(300, 'a');
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{63},
                         std::size_t{64}, std::size_t{65}, std::size_t{130}, std::size_t{299}, text.size()}) {
    std::string hay = text;
    if (at < hay.size()) hay[at] = '\n';
    if (at + 70 < hay.size()) hay[at + 70] = '\n';  // a later match never wins over the first
    for (std::size_t from = 0; from < 70; from += 3) {
      for (std::size_t to = from; to <= hay.size(); to += 7) {
        const char* const begin = hay.data() + from;
        const char* const end = hay.data() + to;
        const auto* expected = static_cast<const char*>(std::memchr(begin, '\n', to - from));
        ASSERT_EQ(text::find_byte(begin, end, '\n'), expected) << "match " << at << ", range " << from << ".." << to;
      }
    }
  }
}

// The tool asks the processor itself; the compiler's table must agree.
TEST(Cpu, FeaturesAgreeWithTheCompilersTable) {
#if defined(__x86_64__) && defined(__GNUC__)
  EXPECT_EQ(cpu::has_avx2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(cpu::has_avx512bw(), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"));
#else
  EXPECT_FALSE(cpu::has_avx2() || cpu::has_avx512bw());
#endif
}

// Every byte value at every step edge: a quote, a backslash and the control characters stop the
// search; DEL and the bytes beyond ASCII (negative as signed bytes) do not.
TEST(FindStringSpecial, StopsAtExactlyTheBytesAStringCannotHold) {
  for (int byte = 0; byte < 256; ++byte) {
    const bool special = byte == '"' || byte == '\\' || byte < 0x20;
    for (std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{63}, std::size_t{64},
                           std::size_t{100}, std::size_t{129}}) {
      std::string hay(130, 'a');
      hay[at] = static_cast<char>(byte);
      const char* const found = text::find_string_special(hay.data(), hay.data() + hay.size());
      ASSERT_EQ(found, special ? hay.data() + at : nullptr) << "byte " << byte << " at " << at;
    }
  }
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

// A value in a report line: control characters written visibly, everything else byte for byte,
// backslashes of Windows paths included.
TEST(Visible, EscapesExactlyTheControlCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"C:\\tools\\omp.exe", "C:\\tools\\omp.exe"},
      {"x\nCORVANE_ACCOUNT_REFUSAL:ep: forged", "x\\nCORVANE_ACCOUNT_REFUSAL:ep: forged"},
      {"a\r\nb\rc\td", "a\\r\\nb\\rc\\td"},
      {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
      {std::string("\0\x01\x1f ~", 5), "\\x00\\x01\\x1f ~"},
      {"\\n is not a line feed", "\\n is not a line feed"},
      // U+0085, U+2028 and invalid bytes are not control characters of this rule.
      {"\xC2\x85\xE2\x80\xA8\xFF", "\xC2\x85\xE2\x80\xA8\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(visible(c.in), c.out) << c.in;
  for (int byte = 0; byte < 256; ++byte) {
    const std::string one(1, static_cast<char>(byte));
    const std::string shown = visible(one);
    const bool control = byte < 0x20 || byte == 0x7F;
    EXPECT_EQ(shown == one, !control) << byte;
    EXPECT_TRUE(std::none_of(shown.begin(), shown.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }))
        << byte;
  }
}

// The tool's own pieces are written visibly; a relayed piece keeps its rule's bytes but for the
// line breaks; the line ends in the one line feed.
TEST(ReportText, OneLineWhateverThePiecesHold) {
  struct Case {
    ReportLine line;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{{"vantle: plain"}}, "vantle: plain\n"},
      {{{"vantle: a\nb\tc\x1b"}}, "vantle: a\\nb\\tc\\x1b\n"},
      {{{"FAIL:ep: "}, {"omp stderr: a\tb\x1b[1m\rc | d", true}, {" \xE2\x80\x94 end\n"}},
       "FAIL:ep: omp stderr: a\tb\x1b[1m\\rc | d \xE2\x80\x94 end\\n\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(report_text(c.line), c.text);
}

}  // namespace
}  // namespace vantle::text
