#include "digest_omp/prescan.h"

#include <gtest/gtest.h>

#include <string>

#include "json/json.h"
#include "support/digest_oracle.h"
#include "text/utf8.h"

namespace vantle::digest {
namespace {

struct Case {
  std::string line;
  bool may_yield;
};

// Every line here is valid JSON, where the answer must be exact.
template <std::size_t N>
void expect_exact(const Case (&cases)[N]) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.size() > 300 ? c.line.substr(0, 300) + "..." : c.line);
    ASSERT_TRUE(json::parse(c.line).ok()) << "not valid JSON";
    EXPECT_EQ(testing::prescan_answer(c.line), c.may_yield);
  }
}

TEST(Prescan, PassesLinesThatMayYieldRecords) {
  const Case cases[] = {
      {R"({"type":"message","message":{"role":"user","content":"hi"}})", true},
      {R"({"type":"message","message":{"role":"assistant","content":[]}})", true},
      // What the full path decides later (content, timestamps) does not matter here.
      {R"({"type":"message","message":{"role":"user"}})", true},
      {R"({"type":"message","message":{"role":"user","content":5}})", true},
      {R"({"message":{"role":"assistant"},"type":"message"})", true},
      {R"({ "type" : "message" , "message" : { "role" : "user" } })", true},
      {"{\"type\"\t:\r\n\"message\",\"message\":\n{\"role\"  :\"user\"}}", true},
      // The role may follow nested values that hold decoys.
      {R"({"type":"message","message":{"content":[{"role":"system"}],"x":{"role":"toolResult"},"role":"user"}})", true},
      // Keys and values count after unescaping, in any case of the hex digits.
      {R"({"typ\u0065":"message","message":{"role":"user"}})", true},
      {R"({"\u0074\u0079\u0070\u0065":"\u006D\u0065\u0073\u0073\u0061\u0067\u0065","message":{"role":"user"}})", true},
      {R"({"type":"m\u0065ssage","messag\u0065":{"\u0072ole":"a\u0073sistant"}})", true},
      {R"({"type":"message","message":{"role":"\u0075\u0073\u0065\u0072"}})", true},
      // The last of duplicate keys wins.
      {R"({"type":"custom","type":"message","message":{"role":"user"}})", true},
      {R"({"type":"message","message":{"role":"system"},"message":{"role":"user"}})", true},
      {R"({"type":"message","message":{"role":"toolResult","role":"assistant"}})", true},
      {R"({"type":"message","message":5,"message":{"role":"user"}})", true},
      // Strings full of quotes, backslashes and decoys are skipped whole.
      {R"({"a":"\\","type":"message","b":"\\\"type\\\":\\\"custom\\\"","message":{"role":"user"}})", true},
      {R"({"a":"\"}\"]\"{","type":"message","message":{"role":"user","t":"\\\\\\"}})", true},
      {R"({"type":"message","message":{"role":"user"},"text":"\"type\":\"custom\",\"message\":{}"})", true},
  };
  expect_exact(cases);
}

TEST(Prescan, RejectsLinesThatCannotYieldRecords) {
  const Case cases[] = {
      {R"({"type":"custom","message":{"role":"user"}})", false},
      {R"({"message":{"role":"user"}})", false},
      {R"({"type":"Message","message":{"role":"user"}})", false},
      {R"({"type":"message ","message":{"role":"user"}})", false},
      {R"({"type":["message"],"message":{"role":"user"}})", false},
      {R"({"type":null,"message":{"role":"user"}})", false},
      {R"({"type":"message"})", false},
      {R"({"type":"message","message":"user"})", false},
      {R"({"type":"message","message":[{"role":"user"}]})", false},
      {R"({"type":"message","message":{}})", false},
      {R"({"type":"message","message":{"role":"toolResult","content":"out"}})", false},
      {R"({"type":"message","message":{"role":"User"}})", false},
      {R"({"type":"message","message":{"role":["user"]}})", false},
      {R"({"type":"message","message":{"user":"role"}})", false},
      // Nested decoys: the right keys at the wrong depth.
      {R"({"x":{"type":"message","message":{"role":"user"}}})", false},
      {R"({"type":"message","x":{"message":{"role":"user"}}})", false},
      {R"({"type":"message","message":{"x":{"role":"user"}}})", false},
      {R"({"type":"message","message":{"content":[{"role":"user"}]}})", false},
      {R"({"list":[{"type":"message"}],"message":{"role":"user"}})", false},
      {R"({"type":"message","role":"user","message":{"role":"system"}})", false},
      // Decoys inside strings.
      {R"({"text":"{\"type\":\"message\",","message":{"role":"user"}})", false},
      {R"({"type":"message","message":{"note":"\"role\":\"user\""}})", false},
      {R"({"ty\"pe":"message","message":{"role":"user"}})", false},
      // The last of duplicate keys wins.
      {R"({"type":"message","type":"custom","message":{"role":"user"}})", false},
      {R"({"type":"message","message":{"role":"user"},"message":{"role":"system"}})", false},
      {R"({"type":"message","message":{"role":"user"},"message":null})", false},
      {R"({"type":"message","message":{"role":"user","role":"toolResult"}})", false},
      // Escapes that decode to something else.
      {R"({"\u0054ype":"message","message":{"role":"user"}})", false},
      {R"({"typ\u00e9":"message","message":{"role":"user"}})", false},
      {R"({"type":"messag\u0065\u0000","message":{"role":"user"}})", false},
      {R"({"type\n":"message","message":{"role":"user"}})", false},
      {R"({"type":"message","message":{"role":"us\ud83d\ude00er"}})", false},
      // Not an object at the top.
      {R"([{"type":"message","message":{"role":"user"}}])", false},
      {R"("type")", false},
      {"17", false},
      {"null", false},
      {"{}", false},
  };
  expect_exact(cases);
}

TEST(Prescan, NestingBeyondTheParserLimitIsRejectedAtOnce) {
  const auto nested = [](std::size_t levels) {
    return R"({"type":"message","message":{"role":"user","content":)" + std::string(levels, '[') +
           std::string(levels, ']') + "}}";
  };
  // The line and the message are two levels of their own.
  EXPECT_TRUE(testing::prescan_answer(nested(json::MAX_DEPTH - 2)));
  EXPECT_FALSE(testing::prescan_answer(nested(json::MAX_DEPTH - 1)));
  EXPECT_FALSE(testing::prescan_answer(nested(100000)));
  EXPECT_FALSE(testing::prescan_answer("{" + std::string(100000, '[')));
  EXPECT_FALSE(testing::prescan_answer(std::string(100000, '{')));
  std::string objects = R"({"type":"message","message":{"role":"user"},"x":)";
  for (int i = 0; i < 100000; ++i) objects += "{\"k\":";
  objects += "1" + std::string(100000, '}') + "}";
  EXPECT_FALSE(testing::prescan_answer(objects));
}

TEST(Prescan, HugeStringsAreSkippedWhole) {
  // Quotes behind odd and even runs of backslashes, at every offset within a 64-byte step.
  std::string body;
  for (int i = 0; body.size() < 3000000; ++i) {
    body += std::string(static_cast<std::size_t>(i % 5), 'x');
    body += i % 3 == 0 ? "\\\"" : i % 3 == 1 ? "\\\\" : "\\\\\\\"";
  }
  const std::string result = R"({"type":"message","message":{"role":"toolResult","content":[{"type":"text","text":")" +
                             body + R"("}]},"z":"\\"})";
  const std::string user = R"({"type":"message","message":{"role":"user","content":")" + body + R"("}})";
  const std::string late = R"({"pad":")" + body + R"(","type":"message","message":{"role":"assistant"}})";
  ASSERT_TRUE(json::parse(result).ok());
  ASSERT_TRUE(json::parse(user).ok());
  ASSERT_TRUE(json::parse(late).ok());
  EXPECT_FALSE(testing::prescan_answer(result));
  EXPECT_TRUE(testing::prescan_answer(user));
  EXPECT_TRUE(testing::prescan_answer(late));
}

TEST(Prescan, QuoteFoundAtEveryPositionOfAStep) {
  // The closing quote of a long string lands at each offset of the 64-byte scan, with and without
  // an escaped quote just before it.
  for (std::size_t length = 60; length < 200; ++length) {
    for (const std::string tail : {"", "\\\"", "\\\\"}) {
      const std::string text = std::string(length, 'a') + tail;
      const std::string line = R"({"k":")" + text + R"(","type":"message","message":{"role":"user"}})";
      SCOPED_TRACE(line);
      ASSERT_TRUE(json::parse(line).ok());
      EXPECT_TRUE(testing::prescan_answer(line));
    }
  }
}

TEST(Prescan, Utf8VerdictAtEveryPositionOfAStep) {
  // A sequence, whole or broken, at each offset of a long string's 64-byte steps, close to its
  // closing quote or further from it: every path judges the line as the plain check does.
  const std::string sequences[] = {"\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\xC3",         "\xA9",
                                   "\xE6\x97",  "\xF0\x9F\x98",  "\xC0\xAF",         "\xED\xA0\x80", "\xFF"};
  int faulty = 0;
  for (std::size_t offset = 0; offset < 140; ++offset) {
    for (const std::string& sequence : sequences) {
      for (const std::size_t after : {0, 1, 5, 70}) {
        const std::string line = R"({"k":")" + std::string(offset, 'a') + sequence + std::string(after, 'b') +
                                 R"(","type":"message","message":{"role":"user"}})";
        const bool utf8 = text::is_utf8(line);
        faulty += !utf8;
        for (const PrescanPath path : prescan_paths()) {
          const LineCheck check = check_line(line, path);
          ASSERT_EQ(check.utf8, utf8) << ::testing::PrintToString(line) << " on path " << static_cast<int>(path);
          ASSERT_EQ(check.may_yield, utf8) << ::testing::PrintToString(line);
        }
      }
    }
  }
  EXPECT_EQ(faulty, 140 * 7 * 4);
}

TEST(Prescan, MalformedLinesNeverCrash) {
  // Any answer is right for these; they must only be looked at safely.
  const std::string lines[] = {
      "",
      "{",
      "}",
      "{\"",
      "{\"type",
      "{\"type\"",
      "{\"type\":",
      "{\"type\":\"",
      "{\"type\":\"message",
      "{\"type\":\"message\\",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\"",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\"}}}",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\"}}]",
      "{\"typ\\u00\":\"message\"}",
      "{\"typ\\u006",
      "{\"type\\",
      "{\"a\":\"\\\\\\\",",
      "{]",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\"]}",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\",}}",
      "{\"type\":\"message\",\"message\":{\"role\":\"user\"}} x",
      "\xEF\xBB\xBF{\"type\":\"message\",\"message\":{\"role\":\"user\"}}",
  };
  for (const auto& line : lines) {
    SCOPED_TRACE(line);
    (void)testing::prescan_answer(line);
    // Trailing bytes after the object are never accepted.
    if (line.ends_with(" x") || line.ends_with("}}}") || line.ends_with("}]")) {
      EXPECT_FALSE(testing::prescan_answer(line));
    }
  }
  // The answer for a malformed line must not depend on bytes past its end.
  const std::string buffer = "{\"type\":\"message\",\"message\":{\"role\":\"user\"}}";
  for (std::size_t cut = 0; cut < buffer.size(); ++cut) {
    EXPECT_FALSE(testing::prescan_answer(std::string_view(buffer).substr(0, cut))) << cut;
  }
}

}  // namespace
}  // namespace vantle::digest
