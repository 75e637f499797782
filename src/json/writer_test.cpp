#include "json/writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace vantle::json {
namespace {

std::string escaped(std::string_view s) {
  std::string out;
  append_string(out, s);
  return out;
}

TEST(JsonWriter, EscapesEveryControlCharacterByTheTable) {
  const char* const expected[0x20] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
  };
  for (int c = 0; c < 0x20; ++c) {
    EXPECT_EQ(escaped(std::string(1, static_cast<char>(c))), std::string("\"") + expected[c] + "\"")
        << c;
  }
}

TEST(JsonWriter, EscapesOnlyQuoteAndBackslashBeyondControls) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"a/b", R"("a/b")"},
      {"\x7F", "\"\x7F\""},
      {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
      {"\xFF\xC0", "\"\xFF\xC0\""},  // bytes are copied, never judged
      {"say \"hi\"\n\tC:\\x", R"("say \"hi\"\n\tC:\\x")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"\x1B[0m", R"("\u001b[0m")"},
      {"plain run then \r", R"("plain run then \r")"},
  };
  for (const auto& c : cases) EXPECT_EQ(escaped(c.in), c.out) << c.in;
}

TEST(JsonWriter, AppendsAfterExistingText) {
  std::string out = "x=";
  append_string(out, "a\"b");
  append_integer(out, std::int64_t{-3});
  EXPECT_EQ(out, R"(x="a\"b"-3)");
}

TEST(JsonWriter, LaysOutDoubles) {
  struct Case {
    double x;
    std::string text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {2.0, "2.0"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {100.0, "100.0"},
      {1.0e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {1.0e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {9.999999999999999e-6, "9.999999999999999e-6"},
      {123456789012345.0, "123456789012345.0"},
      {1234567890123456.7, "1234567890123456.8"},
      {9.999999999999998e15, "9999999999999998.0"},
      {1.0e16, "1e16"},
      {1.8446744073709552e19, "1.8446744073709552e19"},
      {-1.0e100, "-1e100"},
      {5e-324, "5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123.456, "123.456"},
  };
  for (const auto& c : cases) EXPECT_EQ(number_text(c.x), c.text) << c.text;
}

TEST(JsonWriter, DoubleTextReadsBackExactly) {
  std::mt19937_64 random(20250501);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::bit_cast<double>(random());
    if (!std::isfinite(x)) continue;
    const std::string text = number_text(x);
    const auto back = parse(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error();
    ASSERT_TRUE(back->is_number_float()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back->get<double>()), std::bit_cast<std::uint64_t>(x))
        << text;
  }
}

TEST(JsonWriter, NonFiniteDoublesBecomeNull) {
  EXPECT_EQ(number_text(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(number_text(-std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(number_text(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(JsonWriter, WritesCompactSortedDocuments) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {" null ", "null"},
      {"true", "true"},
      {"false", "false"},
      {"[ ]", "[]"},
      {"{ }", "{}"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"-0", "0"},
      {"1E2", "100.0"},
      {"1.50", "1.5"},
      {"0.0000001", "1e-7"},
      {"\"\\u00e9\\/\\u001B\"", "\"\xC3\xA9/\\u001b\""},
      {R"({ "b" : [1, 2.0, {"y":null, "x":"s"}], "a" : {}, "B": true })",
       R"({"B":true,"a":{},"b":[1,2.0,{"x":"s","y":null}]})"},
      {"{\"\xC3\xA9\":1,\"z\":2,\"Z\":3}", "{\"Z\":3,\"z\":2,\"\xC3\xA9\":1}"},
  };
  for (const auto& c : cases) {
    const auto value = parse(c.in);
    ASSERT_TRUE(value.ok()) << c.in << ": " << value.error();
    EXPECT_EQ(to_compact(*value), c.out) << c.in;
  }
}

TEST(JsonWriter, ParseWriteParseIsTheSameTree) {
  const std::string documents[] = {
      R"({"role":"tool","tool":{"arg":"src/main.rs","name":"read"},"ts":"2025-05-01T10:00:00Z"})",
      R"([0.1, -2.5e-300, 1e16, 123456789012345.0, -0.0, 5e-324, 1.7976931348623157e308])",
      R"({"k":"\u0000\u001f\"\\\/\b\f\n\r\t\u007f\u2028é😀","n":[-1,18446744073709551615,null]})",
      R"([[[[{"deep":[true,false,{}]}]]]])",
  };
  for (const auto& document : documents) {
    const auto first = parse(document);
    ASSERT_TRUE(first.ok()) << first.error();
    const std::string text = to_compact(*first);
    const auto second = parse(text);
    ASSERT_TRUE(second.ok()) << text << ": " << second.error();
    EXPECT_EQ(*second, *first) << text;
    EXPECT_EQ(to_compact(*second), text);
  }
}

TEST(JsonWriter, WritesASnapshotShapedDocument) {
  Value selectors = Value::object();
  for (const char* key : {"HOME", "USERPROFILE", "PI_CONFIG_DIR", "PI_CODING_AGENT_DIR",
                          "OMP_PROFILE", "PI_PROFILE", "XDG_DATA_HOME"}) {
    selectors[key] = nullptr;
  }
  selectors["USERPROFILE"] = "C:\\Users\\dev";
  selectors["VANTLE_OMP_BIN"] = "C:\\Users\\dev\\.bun\\bin\\omp.exe";
  Value document = {{"version", 1}, {"endpoint_id", "ep-7"}, {"launch_session_id", nullptr}};
  document["selectors"] = std::move(selectors);
  EXPECT_EQ(to_compact(document),
            R"({"endpoint_id":"ep-7","launch_session_id":null,"selectors":{"HOME":null,)"
            R"("OMP_PROFILE":null,"PI_CODING_AGENT_DIR":null,"PI_CONFIG_DIR":null,)"
            R"("PI_PROFILE":null,"USERPROFILE":"C:\\Users\\dev",)"
            R"("VANTLE_OMP_BIN":"C:\\Users\\dev\\.bun\\bin\\omp.exe","XDG_DATA_HOME":null},)"
            R"("version":1})");
}

}  // namespace
}  // namespace vantle::json
