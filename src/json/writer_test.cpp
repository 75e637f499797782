#include "json/writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json/raw_compact.h"
#include "json/reader.h"

namespace vantle::json {
namespace {

std::string escaped(std::string_view s) {
  std::string out;
  append_string(out, s);
  return out;
}

// The compact JSON of a valid document made in place, without its tree, as the digest makes it.
std::string compact_in_place(std::string_view document) {
  Containers containers;
  if (!is_valid(document, &containers)) return "(invalid)";
  const char* const end = document.data() + document.size();
  const char* const start = skip_space(document.data(), end);
  CompactWriter writer(RawValue(std::string_view(start, static_cast<std::size_t>(skip_value(start, end) - start)),
                                &containers));
  std::string out;
  writer.write([&out](std::string_view piece) {
    EXPECT_FALSE(piece.empty());
    out.append(piece);
  });
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
      // Numbers: integers within 64 bits keep their digits, every other number is a double.
      {"[0,-0,-0.0,1.0,1E5,1e+2,0e0,-1e-7,1.5E-07,123e-2,9223372036854775807,-9223372036854775808]",
       "[0,0,-0.0,1.0,100000.0,100.0,0.0,-1e-7,1.5e-7,1.23,9223372036854775807,-9223372036854775808]"},
      {"[-9223372036854775809,99999999999999999999,1e-400,100000000000000000000000000000]",
       "[-9.223372036854776e18,1e20,0.0,1e29]"},
      {"[" + std::string(300, '1') + ".5]", "[1.1111111111111112e299]"},
      // Escapes: the writer's own, whatever the document wrote.
      {R"(["\u0041\u00E9\uD83D\uDE00\u0022\u005C\u002F\u0008\u001F\u007F\/\b\f\n\r\t\"\\"])",
       "[\"A\xC3\xA9\xF0\x9F\x98\x80\\\"\\\\/\\b\\u001f\x7F/\\b\\f\\n\\r\\t\\\"\\\\\"]"},
      // Keys sort by their decoded bytes; the last of duplicates wins, at every level.
      {R"({"b":1,"\u0061":2,"a\u0000":3,"a":4,"\uFFFF":5,"\uD800\uDC00":6,"\u00e9":7})",
       "{\"a\":4,\"a\\u0000\":3,\"b\":1,\"\xC3\xA9\":7,\"\xEF\xBF\xBF\":5,\"\xF0\x90\x80\x80\":6}"},
      {R"({"k":{"x":1,"y":2,"x":{"z":[1,{"q":0,"q":1}]}},"k":{"y":[],"x":null,"y":{}}})",
       R"({"k":{"x":null,"y":{}}})"},
      {R"({"z":[{"b":0,"a":1},{"d":0,"c":1}],"a":[]})", R"({"a":[],"z":[{"a":1,"b":0},{"c":1,"d":0}]})"},
  };
  for (const auto& c : cases) {
    const auto value = parse(c.in);
    ASSERT_TRUE(value.ok()) << c.in << ": " << value.error();
    EXPECT_EQ(to_compact(*value), c.out) << c.in;
    EXPECT_EQ(compact_in_place(c.in), c.out) << c.in;
  }
}

// Documents of every shape the in-place writer must agree with the tree on: nesting to the limit
// and past it, duplicate keys and keys that sort apart only once decoded, every escape, and
// numbers of every form, some beyond the range of a double.
class Documents {
 public:
  explicit Documents(std::uint64_t seed) : rng_(seed) {}

  std::string document() {
    std::string out = value(0);
    // A chain of arrays and objects to the nesting limit and just past it.
    for (std::size_t level = 0, levels = pick(10) == 0 ? 124 + pick(6) : 0; level < levels; ++level) {
      out = pick(2) == 0 ? "[" + out + "]" : "{" + key() + ":" + out + "}";
    }
    return blank() + out + blank();
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  std::string pick_of(std::initializer_list<std::string> options) { return *(options.begin() + pick(options.size())); }
  std::string blank() { return pick(4) == 0 ? pick_of({" ", "\t", "\r\n"}) : ""; }
  std::string digits(std::size_t n) {
    std::string out;
    while (out.size() < n) out += static_cast<char>('0' + pick(10));
    return out;
  }

  std::string value(std::size_t depth) {
    const std::size_t kind = pick(depth > 4 ? 3 : 5);
    if (kind == 0) return number();
    if (kind == 1) return string();
    if (kind == 2) return pick_of({"true", "false", "null"});
    const bool object = kind == 4;
    std::string out = object ? "{" : "[";
    for (std::size_t i = 0, n = pick(6); i < n; ++i) {
      out += (i > 0 ? "," : "") + blank() + (object ? key() + blank() + ":" : "") + value(depth + 1) + blank();
    }
    return out + (object ? "}" : "]");
  }

  std::string number() {
    if (pick(3) == 0) {
      return pick_of({"-0", "-0.0", "1.0", "1E5", "1e+2", "0e0", "1e400", "-1e400", "1e-400", "5e-324",
                      "1.7976931348623157e308", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
                      "18446744073709551615", "18446744073709551616", "1e16", "1e15", "0.00001", "1.5e-7"});
    }
    std::string out = (pick(3) == 0 ? "-" : "") + (pick(5) == 0 ? "0" : std::to_string(1 + pick(9)) +
                                                                         digits(pick(4) == 0 ? 14 + pick(30) : pick(4)));
    if (pick(3) == 0) out += "." + digits(1 + pick(pick(8) == 0 ? 40 : 6));
    if (pick(3) == 0) out += pick_of({"e", "E"}) + pick_of({"", "+", "-"}) + std::to_string(pick(pick(4) == 0 ? 400 : 30));
    return out;
  }

  // \u and four hex digits of either case.
  std::string escape(char32_t c) {
    static constexpr char HEX[] = "0123456789abcdef0123456789ABCDEF";
    std::string out = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += HEX[((c >> shift) & 0xF) + pick(2) * 16];
    return out;
  }

  std::string string() {
    std::string out = "\"";
    for (std::size_t n = pick(pick(3) == 0 ? 300 : 8); n > 0; --n) {
      const auto c = static_cast<char32_t>(pick(0x110000));
      switch (pick(6)) {
        case 0:
          out += pick_of({"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\xC3\xA9", "\xF0\x9F\x98\x80", "\x7F"});
          break;
        case 1:
          out += escape(c % 0x80);
          break;
        case 2:  // any code point, beyond the first plane as a surrogate pair
          if (c >= 0xD800 && c < 0xE000) break;
          out += c < 0x10000 ? escape(c) : escape(0xD800 + ((c - 0x10000) >> 10)) + escape(0xDC00 + (c & 0x3FF));
          break;
        default:
          out += static_cast<char>('0' + c % 64);
          if (out.back() == '\\') out.back() = 'x';
      }
    }
    return out + "\"";
  }

  // Few distinct keys, so that duplicates are common, some written in ways that decode alike.
  std::string key() {
    return pick_of({"\"a\"", "\"\\u0061\"", "\"b\"", "\"B\"", "\"\"", "\"aa\"", "\"a\\u0000\"", "\"\xC3\xA9\"",
                    "\"\\u00e9\"", "\"\\uffff\"", "\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\"", "\"\\/\"", "\"/\""});
  }

  std::mt19937_64 rng_;
};

TEST(JsonWriter, InPlaceWriterAgreesWithTheTreeOnGeneratedDocuments) {
  Documents documents(20260939);
  int valid = 0;
  int invalid = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string document = documents.document();
    const auto tree = parse(document);
    ASSERT_EQ(is_valid(document), tree.ok()) << document.substr(0, 2000);
    if (!tree) {
      ++invalid;
      continue;
    }
    ++valid;
    ASSERT_EQ(compact_in_place(document), to_compact(*tree)) << document.substr(0, 2000);
  }
  // Both kinds were met in numbers.
  EXPECT_GT(valid, 12000);
  EXPECT_GT(invalid, 500);
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
