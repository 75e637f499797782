#include "digest_omp/mapping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/writer.h"

namespace vantle::digest {
namespace {

json::Value parse_ok(std::string_view text) {
  auto parsed = json::parse(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed ? std::move(*parsed) : json::Value();
}

class CollectSink final : public RecordSink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  void write_string(std::string_view s) override { json::append_string(text, s); }
  std::string text;
};

std::string mapped(std::string_view line) {
  CollectSink sink;
  map_line(line, sink);
  return sink.text;
}

TEST(ScalarText, ScalarsHaveTextOthersNone) {
  struct Case {
    std::string json;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {R"("ls -la")", "ls -la"},
      {R"("")", ""},
      {R"("line\nbreak \"q\"")", "line\nbreak \"q\""},
      {"true", "true"},
      {"false", "false"},
      {"0", "0"},
      {"-0", "0"},
      {"5", "5"},
      {"-42", "-42"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      // Past 64 bits, or with a fraction or exponent, a number is a double.
      {"18446744073709551616", "1.8446744073709552e19"},
      {"2.0", "2.0"},
      {"0.5", "0.5"},
      {"1e2", "100.0"},
      {"1E16", "1e16"},
      {"1.5e-7", "1.5e-7"},
      {"0.00001", "0.00001"},
      {"-0.0", "-0.0"},
      {"123456789012345678", "123456789012345678"},
      {"1.7976931348623157e308", "1.7976931348623157e308"},
      {"null", std::nullopt},
      {"[]", std::nullopt},
      {"[1]", std::nullopt},
      {"{}", std::nullopt},
      {R"({"a":"b"})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(scalar_text(parse_ok(c.json)), c.text);
  }
}

TEST(SummarizeToolArguments, PicksTheFirstTellingMember) {
  struct Case {
    std::string arguments;  // empty: missing
    std::string summary;
  };
  const Case cases[] = {
      {"", ""},
      {R"("a string")", ""},
      {"42", ""},
      {"null", ""},
      {R"(["path"])", ""},
      {"{}", "{}"},
      {R"({"path":"src/main.rs"})", "src/main.rs"},
      // SUMMARY_KEYS order wins over key order.
      {R"({"path":"p","command":"c"})", "p"},
      {R"({"command":"ls","path":""})", "ls"},
      {R"({"description":"d","i":"x"})", "x"},
      {R"({"prompt":"p","url":"u","query":"q","pattern":"pa"})", "pa"},
      {R"({"file_path":"f","description":"d"})", "f"},
      {R"({"zzz":"z","description":"d"})", "d"},
      // A summary key with no scalar text is passed over.
      {R"({"path":null,"command":["ls"],"query":{"a":1},"url":"u"})", "u"},
      {R"({"path":7})", "7"},
      {R"({"path":false})", "false"},
      {R"({"path":2.5})", "2.5"},
      // No summary key: the first member in byte order of the keys.
      {R"({"z":true,"limit":5})", "5"},
      {R"({"b":"","a":"","c":"third"})", "third"},
      {R"({"Z":"upper","a":"lower"})", "upper"},
      {R"({"\u00e9":"accent","z":"ascii"})", "ascii"},
      {R"({"x":1e16})", "1e16"},
      // Only summary keys match exactly; near misses are ordinary members.
      {R"({"Path":"P","paths":"ps"})", "P"},
      {R"({"ii":"two","i ":"space"})", "space"},
      // Nothing scalar: the compact JSON of the whole object, keys sorted.
      {R"({"opts":{"b":1,"a":[true,null]}})", R"({"opts":{"a":[true,null],"b":1}})"},
      {R"({"z":[],"a":{},"m":null,"e":""})", R"({"a":{},"e":"","m":null,"z":[]})"},
      {R"({"n":[2.0,1e-7,-0,18446744073709551615],"t":["\u001b\"\\\/"]})",
       "{\"n\":[2.0,1e-7,0,18446744073709551615],\"t\":[\"\\u001b\\\"\\\\/\"]}"},
      // The last of duplicate keys counts.
      {R"({"path":"first","path":"second"})", "second"},
      {R"({"path":"first","path":""})", "{\"path\":\"\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    if (c.arguments.empty()) {
      EXPECT_EQ(summarize_tool_arguments(nullptr), c.summary);
    } else {
      const json::Value value = parse_ok(c.arguments);
      EXPECT_EQ(summarize_tool_arguments(&value), c.summary);
    }
  }
}

TEST(MakeDigestRecord, MembersInKeyOrderWithOptionalParts) {
  struct Case {
    std::string role;
    std::optional<std::string> text;
    std::optional<DigestTool> tool;
    std::optional<std::string> ts;
    std::string record;
  };
  const Case cases[] = {
      {"input", "hi", std::nullopt, std::nullopt, R"({"role":"input","text":"hi"})"},
      {"agent", "Looking.", std::nullopt, "2025-05-01T10:00:00Z",
       R"({"role":"agent","text":"Looking.","ts":"2025-05-01T10:00:00Z"})"},
      {"tool", std::nullopt, DigestTool{"src/main.rs", "read"}, "2025-05-01T10:00:00Z",
       R"({"role":"tool","tool":{"arg":"src/main.rs","name":"read"},"ts":"2025-05-01T10:00:00Z"})"},
      {"tool", std::nullopt, DigestTool{"", ""}, std::nullopt, R"({"role":"tool","tool":{"arg":"","name":""}})"},
      // An empty timestamp is left out.
      {"input", "x", std::nullopt, "", R"({"role":"input","text":"x"})"},
      {"agent", "", std::nullopt, std::nullopt, R"({"role":"agent","text":""})"},
      {"agent", "a\"b\\c\nd\te\x01\x1b\x7f/é😀", std::nullopt, "t\"s",
       "{\"role\":\"agent\",\"text\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u001b\x7f/é😀\",\"ts\":\"t\\\"s\"}"},
      {"tool", std::nullopt, DigestTool{"{\"a\":1}", "n\"ame"}, std::nullopt,
       R"({"role":"tool","tool":{"arg":"{\"a\":1}","name":"n\"ame"}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(make_digest_record(c.role, c.text, c.tool, c.ts), c.record);
  }
}

TEST(MapLine, RecordsOfEachShape) {
  struct Case {
    std::string line;
    std::string records;
  };
  const Case cases[] = {
      // The example: one text and one tool call from an assistant line.
      {R"({"type":"message","timestamp":"2025-05-01T10:00:00Z","message":{"role":"assistant","content":[)"
       R"({"type":"text","text":"Looking."},{"type":"toolCall","name":"read","arguments":{"path":"src/main.rs"}}]}})",
       "{\"role\":\"agent\",\"text\":\"Looking.\",\"ts\":\"2025-05-01T10:00:00Z\"}\n"
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"src/main.rs\",\"name\":\"read\"},\"ts\":\"2025-05-01T10:00:00Z\"}\n"},
      // User string content without timestamp.
      {R"({"type":"message","message":{"role":"user","content":"hi"}})", "{\"role\":\"input\",\"text\":\"hi\"}\n"},
      // Timestamps that are empty or not strings give no "ts".
      {R"({"type":"message","timestamp":"","message":{"role":"user","content":"a"}})",
       "{\"role\":\"input\",\"text\":\"a\"}\n"},
      {R"({"type":"message","timestamp":17,"message":{"role":"user","content":"a"}})",
       "{\"role\":\"input\",\"text\":\"a\"}\n"},
      {R"({"type":"message","timestamp":null,"message":{"role":"user","content":"a"}})",
       "{\"role\":\"input\",\"text\":\"a\"}\n"},
      // Empty content, empty text items.
      {R"({"type":"message","message":{"role":"user","content":""}})", ""},
      {R"({"type":"message","message":{"role":"user","content":[{"type":"text","text":""},{"type":"text","text":"b"}]}})",
       "{\"role\":\"input\",\"text\":\"b\"}\n"},
      // A tool call in a user message is not a record.
      {R"({"type":"message","message":{"role":"user","content":[{"type":"toolCall","name":"x","arguments":{}}]}})", ""},
      // Other roles skip the whole line.
      {R"({"type":"message","message":{"role":"toolResult","content":"out"}})", ""},
      {R"({"type":"message","message":{"role":"system","content":"s"}})", ""},
      {R"({"type":"message","message":{"role":"User","content":"s"}})", ""},
      {R"({"type":"message","message":{"content":"no role"}})", ""},
      {R"({"type":"message","message":{"role":["user"],"content":"s"}})", ""},
      // The line's type must be exactly "message".
      {R"({"type":"Message","message":{"role":"user","content":"s"}})", ""},
      {R"({"type":"custom","message":{"role":"user","content":"s"}})", ""},
      {R"({"message":{"role":"user","content":"s"}})", ""},
      {R"({"type":["message"],"message":{"role":"user","content":"s"}})", ""},
      {R"({"type":"message","message":"hi"})", ""},
      {R"({"type":"message","message":[{"role":"user","content":"s"}]})", ""},
      // Content of other forms yields nothing.
      {R"({"type":"message","message":{"role":"user","content":5}})", ""},
      {R"({"type":"message","message":{"role":"user","content":{"type":"text","text":"x"}}})", ""},
      {R"({"type":"message","message":{"role":"user"}})", ""},
      // Items that are not objects, have no string type, or another type are skipped.
      {R"({"type":"message","message":{"role":"assistant","content":["t",1,null,[],{"text":"x"},{"type":1,"text":"y"},)"
       R"({"type":"thinking","thinking":"z"},{"type":"image","data":"AAAA"},{"type":"text","text":7},{"type":"text"},)"
       R"({"type":"text","text":"kept"}]}})",
       "{\"role\":\"agent\",\"text\":\"kept\"}\n"},
      // Tool calls: name missing or not a string gives an empty name; arguments in any form.
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","arguments":{"command":"ls","path":""}},)"
       R"({"type":"toolCall","name":5,"arguments":"x"},{"type":"toolCall","name":"todo"}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"ls\",\"name\":\"\"}}\n"
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"\"}}\n"
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"todo\"}}\n"},
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"ask","arguments":{"limit":5,"z":true}}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"5\",\"name\":\"ask\"}}\n"},
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"t","arguments":{"opts":{"deep":true}}}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"{\\\"opts\\\":{\\\"deep\\\":true}}\",\"name\":\"t\"}}\n"},
      // Escapes survive into the record on one line.
      {R"({"type":"message","message":{"role":"assistant","content":"line one\nsaid \"two\"\ttab \u001b \u00e9 \ud83d\ude00"}})",
       "{\"role\":\"agent\",\"text\":\"line one\\nsaid \\\"two\\\"\\ttab \\u001b é 😀\"}\n"},
      // The last of duplicate keys counts, at every level.
      {R"({"type":"custom","type":"message","message":{"role":"user","content":"late type"}})",
       "{\"role\":\"input\",\"text\":\"late type\"}\n"},
      {R"({"type":"message","type":"custom","message":{"role":"user","content":"x"}})", ""},
      {R"({"type":"message","message":{"role":"user","content":"x"},"message":{"role":"system","content":"y"}})", ""},
      {R"({"type":"message","message":{"role":"system","role":"assistant","content":"a","content":"b"}})",
       "{\"role\":\"agent\",\"text\":\"b\"}\n"},
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"text","text":"a","type":"toolCall","name":"n"}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"n\"}}\n"},
      // Keys and values are compared after unescaping.
      {R"({"typ\u0065":"m\u0065ssage","\u006dessage":{"r\u006fle":"\u0075ser","content":"esc"}})",
       "{\"role\":\"input\",\"text\":\"esc\"}\n"},
      // Not JSON, not one value, not an object, or too deep: nothing.
      {"not json", ""},
      {R"({"type":"message","message":{"role":"user","content":"x"}} trailing)", ""},
      {R"({"type":"message","message":{"role":"user","content":"x"}}{})", ""},
      {R"(["type","message"])", ""},
      {R"("message")", ""},
      {"\xEF\xBB\xBF{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"bom\"}}", ""},
      {R"({"type":"message","message":{"role":"user","content":"x"},"n":1e400})", ""},
      {R"({"type":"message","message":{"role":"user","content":"\ud800"}})", ""},
      {"{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"raw\ttab\"}}", ""},
      {R"({'type':'message'})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(mapped(c.line), c.records);
  }
}

TEST(MapLine, NestingUpToTheLimitIsAcceptedBeyondItSkipped) {
  // The line, the message, the content array and the item are four levels.
  const auto line = [](int extra) {
    return R"({"type":"message","message":{"role":"user","content":[{"type":"text","text":"deep","x":)" +
           std::string(extra, '[') + std::string(extra, ']') + "}]}}";
  };
  EXPECT_EQ(mapped(line(123)), "{\"role\":\"input\",\"text\":\"deep\"}\n");
  EXPECT_EQ(mapped(line(124)), "");
  EXPECT_EQ(mapped(line(100000)), "");
}

TEST(MapLine, LongTextIsCopiedWhole) {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "word " + std::to_string(i) + " \"q\"\n";
  std::string escaped;
  json::append_string(escaped, text);
  const std::string line = R"({"type":"message","message":{"role":"assistant","content":)" + escaped + "}}";
  EXPECT_EQ(mapped(line), "{\"role\":\"agent\",\"text\":" + escaped + "}\n");
}

}  // namespace
}  // namespace vantle::digest
