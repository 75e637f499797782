#include "json/json.h"

#include <gtest/gtest.h>

#include <string>

#include "json/reader.h"
#include "text/utf8.h"

namespace vantle::json {
namespace {

enum class Nest { Arrays, Objects, Mixed };

// `levels` arrays/objects inside one another around the number 1.
std::string nested(std::size_t levels, Nest kind) {
  std::string open, close;
  for (std::size_t i = 0; i < levels; ++i) {
    const bool array = kind == Nest::Arrays || (kind == Nest::Mixed && i % 2 == 0);
    open += array ? "[" : "{\"k\":";
    close += array ? "]" : "}";
  }
  return open + "1" + std::string(close.rbegin(), close.rend());
}

TEST(JsonParse, AcceptsAndRefuses) {
  struct Case {
    std::string input;
    bool ok;
  };
  const Case cases[] = {
      {"1", true},
      {" \t\r\n{\"a\":[true,false,null]} \t\r\n", true},
      {"\"a/b\"", true},
      {"", false},
      {" \n", false},
      {"1 x", false},
      {"{} {}", false},
      {"{\"a\":1}garbage", false},
      {std::string("1\0", 2), false},  // nlohmann alone takes a NUL for the end of the input
      {std::string("{\"a\":1}\0x", 8), false},
      {std::string("[1\0]", 4), false},
      {std::string("\"\0\"", 3), false},
      {"1\f", false},  // form feed is not JSON white space
      {"1\v", false},
      {"1\xC2\xA0", false},       // nor is U+00A0
      {"\xEF\xBB\xBF{}", false},  // byte-order mark
      {"\xEF\xBB\xBF", false},
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"01", false},
      {"NaN", false},
      {"Infinity", false},
      {"'a'", false},
      {"// c\n1", false},
      {"1e400", false},
      {"-1e400", false},
      {"[1.7976931348623157e308]", true},
      {"[1.7976931348623159e308]", false},  // rounds past the largest double
      {"\"\xFF\"", false},
      {"\"\xC0\x80\"", false},      // overlong NUL
      {"\"\xED\xA0\x80\"", false},  // encoded surrogate
      {"\"\xE2\x82\"", false},      // cut sequence
      {"{\"\xFE\":1}", false},      // invalid key
      {"\"\\ud800\"", false},
      {"\"\\udc00\"", false},
      {"\"\\ud800\\u0041\"", false},
      {"\"\\ud83d\\ude00\"", true},
      {"\"\x01\"", false},  // raw control character
      {"\"\\x41\"", false},
      {nested(127, Nest::Arrays), true},
      {nested(128, Nest::Arrays), false},
      {nested(127, Nest::Objects), true},
      {nested(128, Nest::Objects), false},
      {nested(127, Nest::Mixed), true},
      {nested(128, Nest::Mixed), false},
      // Number grammar and range, as the in-place reader must also see them.
      {"-", false},
      {"-a", false},
      {"1.", false},
      {".5", false},
      {"1e", false},
      {"1e+", false},
      {"+1", false},
      {"-01", false},
      {"1.5.3", false},
      {"[-0,0.0,1E5,1e-400,-1.5e+7,18446744073709551616]", true},
      {"1" + std::string(300, '0'), true},
      {"1" + std::string(400, '0'), false},  // beyond a double, though written as an integer
      {"-1" + std::string(400, '0') + ".5", false},
      // Literals, separators and escapes.
      {"truex", false},
      {"nul", false},
      {"[true false]", false},
      {"{\"a\" 1}", false},
      {"{1:2}", false},
      {"{\"a\":}", false},
      {"[", false},
      {"]", false},
      {"[]]", false},
      {"{\"a\":1,\"a\":[{}]}", true},
      {"\"\\u00E9\\uD83D\\uDE00\\/\\b\\f\\n\\r\\t\\\"\\\\\"", true},
      {"\"\\u00g0\"", false},
      {"\"\\u00e\"", false},
      {"\"\\ud83d\\ude0\"", false},
      {"\"\\ud83d\\\"", false},
      {"\"\\", false},
      {"\"\x7F\"", true},
      {"\"\t\"", false},
      {"\"abc", false},
  };
  for (const auto& c : cases) {
    const auto result = parse(c.input);
    EXPECT_EQ(result.ok(), c.ok) << "input: " << c.input.substr(0, 60);
    EXPECT_EQ(is_valid(c.input), c.ok) << "input: " << c.input.substr(0, 60);
    if (!result) {
      const auto& message = result.error();
      EXPECT_FALSE(message.empty());
      EXPECT_EQ(message.find("[json.exception"), std::string::npos) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
      EXPECT_TRUE(text::is_utf8(message)) << message;
    }
  }
}

TEST(JsonParse, MessagesAreNlohmannsTextOrOurs) {
  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {"tru",
       "parse error at line 1, column 4: syntax error while parsing value - invalid literal; "
       "last read: 'tru'"},
      {"1 2",
       "parse error at line 1, column 3: syntax error while parsing value - unexpected "
       "number literal; expected end of input"},
      {"1e400", "number overflow parsing '1e400'"},
      {std::string("[\n1]\n \0", 7),
       "parse error at line 3, column 2: syntax error while parsing "
       "value - unexpected NUL byte; expected end of input"},
      {nested(128, Nest::Arrays), "arrays and objects nested more than 127 levels deep"},
      {"\xEF\xBB\xBF[1]",
       "parse error at line 1, column 1: syntax error while parsing value - "
       "byte order mark not allowed"},
  };
  for (const auto& c : cases) {
    const auto result = parse(c.input);
    ASSERT_FALSE(result.ok()) << c.input;
    EXPECT_EQ(result.error(), c.message);
  }
}

TEST(JsonParse, LongOffendingTokenIsCutInTheMessage) {
  const std::string input = "\"" + std::string(100000, 'a') + "\xC3\xA9\xFF\"";
  const auto result = parse(input);
  ASSERT_FALSE(result.ok());
  EXPECT_LT(result.error().size(), 300u) << result.error();
  EXPECT_NE(result.error().find("ill-formed UTF-8 byte"), std::string::npos) << result.error();
  EXPECT_NE(result.error().find("last read: '\"aaa"), std::string::npos) << result.error();
}

TEST(JsonParse, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::size_t levels = 100000;
  const std::string inputs[] = {
      nested(levels, Nest::Arrays),
      nested(levels, Nest::Objects),
      std::string(levels, '['),  // never closed
      std::string(levels, '[') + "1" + std::string(levels - 1, ']'),
  };
  for (const auto& input : inputs) {
    const auto result = parse(input);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "arrays and objects nested more than 127 levels deep");
    EXPECT_FALSE(is_valid(input));
  }
}

TEST(JsonParse, DuplicateKeysKeepTheLastValue) {
  const auto result = parse(R"({"a":1,"b":{"x":1,"x":[2]},"a":"last"})");
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result->size(), 2u);
  EXPECT_EQ((*result)["a"], "last");
  EXPECT_EQ((*result)["b"], Value::parse(R"({"x":[2]})"));
}

TEST(JsonParse, ObjectKeysIterateInByteOrder) {
  const auto result = parse(
      "{\"b\":0,\"\xC3\xA9\":0,\"a\":0,\"B\":0,\"\":0,\"aa\":0,\"~\":0,"
      "\"\\u007f\":0,\"Z\":0,\"\\u0000\":0}");
  ASSERT_TRUE(result.ok()) << result.error();
  std::vector<std::string> keys;
  for (const auto& item : result->items()) keys.push_back(item.key());
  const std::vector<std::string> expected = {
      "", std::string(1, '\0'), "B", "Z", "a", "aa", "b", "~", "\x7F", "\xC3\xA9"};
  EXPECT_EQ(keys, expected);
}

TEST(JsonParse, NumbersKeepTheirKind) {
  struct Case {
    std::string input;
    Value::value_t kind;
  };
  const Case cases[] = {
      {"0", Value::value_t::number_unsigned},
      {"-0", Value::value_t::number_integer},
      {"-1", Value::value_t::number_integer},
      {"9223372036854775807", Value::value_t::number_unsigned},
      {"-9223372036854775808", Value::value_t::number_integer},
      {"-9223372036854775809", Value::value_t::number_float},
      {"18446744073709551615", Value::value_t::number_unsigned},
      {"18446744073709551616", Value::value_t::number_float},
      {"1.0", Value::value_t::number_float},
      {"1e0", Value::value_t::number_float},
      {"-0.0", Value::value_t::number_float},
      {"1e-400", Value::value_t::number_float},  // underflow to zero is not an overflow
  };
  for (const auto& c : cases) {
    const auto result = parse(c.input);
    ASSERT_TRUE(result.ok()) << c.input << ": " << result.error();
    EXPECT_EQ(result->type(), c.kind) << c.input;
  }
  EXPECT_EQ(parse("18446744073709551615")->get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(parse("-9223372036854775808")->get<std::int64_t>(), INT64_MIN);
  EXPECT_EQ(parse("18446744073709551616")->get<double>(), 18446744073709551616.0);
  EXPECT_EQ(parse("1e-400")->get<double>(), 0.0);
}

TEST(JsonParse, DecodesEscapesAndKeepsUtf8) {
  const auto result = parse(R"(["\u00e9\ud83d\ude00\/\"\\\b\f\n\r\t\u0000", "é😀"])");
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ((*result)[0].get<std::string>(),
            std::string("\xC3\xA9\xF0\x9F\x98\x80/\"\\\b\f\n\r\t\0", 15));
  EXPECT_EQ((*result)[1].get<std::string>(), "\xC3\xA9\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace vantle::json
