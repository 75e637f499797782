#include "digest_omp/mapping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/writer.h"

namespace vantle::digest {
namespace {

class CollectSink final : public RecordSink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  void write_string(std::string_view s) override { json::append_string(text, s); }
  void write_escaped(std::string_view s) override { json::append_escaped(text, s); }
  std::string text;
};

std::string mapped(std::string_view line) {
  CollectSink sink;
  map_line(line, sink);
  return sink.text;
}

// The "arg" of the record that a tool call with these arguments maps to.
TEST(MapLine, ToolArgIsTheFirstTellingMember) {
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
      // The text of a scalar: a string as is, "true"/"false", an integer's digits, a double's
      // shortest round-trip text.
      {R"({"path":"line\nbreak \"q\""})", "line\nbreak \"q\""},
      {R"({"path":false})", "false"},
      {R"({"x":true})", "true"},
      {R"({"x":0})", "0"},
      {R"({"x":-0})", "0"},
      {R"({"x":-42})", "-42"},
      {R"({"x":9223372036854775807})", "9223372036854775807"},
      {R"({"x":-9223372036854775808})", "-9223372036854775808"},
      {R"({"x":18446744073709551615})", "18446744073709551615"},
      {R"({"x":123456789012345678})", "123456789012345678"},
      // Past 64 bits, or with a fraction or exponent, a number is a double.
      {R"({"x":18446744073709551616})", "1.8446744073709552e19"},
      {R"({"x":2.0})", "2.0"},
      {R"({"path":2.5})", "2.5"},
      {R"({"x":1e2})", "100.0"},
      {R"({"x":1E16})", "1e16"},
      {R"({"x":1.5e-7})", "1.5e-7"},
      {R"({"x":0.00001})", "0.00001"},
      {R"({"x":-0.0})", "-0.0"},
      {R"({"x":1.7976931348623157e308})", "1.7976931348623157e308"},
      // No summary key: the first member in byte order of the keys.
      {R"({"z":true,"limit":5})", "5"},
      {R"({"b":"","a":"","c":"third"})", "third"},
      {R"({"Z":"upper","a":"lower"})", "upper"},
      {R"({"\u00e9":"accent","z":"ascii"})", "ascii"},
      // Numbers read in place give the tree's text.
      {R"({"path":-0})", "0"},
      {R"({"path":1e-400})", "0.0"},
      {R"({"command":123456789012345678901234567890})", "1.2345678901234568e29"},
      {R"({"x":1E5,"y":"later"})", "100000.0"},
      // Key order counts the last of duplicate keys only.
      {R"({"b":1,"a":2,"a":{}})", "1"},
      {R"({"\u0062":"escaped b","a":""})", "escaped b"},
      // Only summary keys match exactly; near misses are ordinary members.
      {R"({"Path":"P","paths":"ps"})", "P"},
      {R"({"ii":"two","i ":"space"})", "space"},
      // Nothing scalar: the compact JSON of the whole object, keys sorted.
      {R"({"opts":{"b":1,"a":[true,null]}})", R"({"opts":{"a":[true,null],"b":1}})"},
      {R"({"z":[],"a":{},"m":null,"e":""})", R"({"a":{},"e":"","m":null,"z":[]})"},
      {R"({"n":[2.0,1e-7,-0,18446744073709551615],"t":["\u001b\"\\\/"]})",
       "{\"n\":[2.0,1e-7,0,18446744073709551615],\"t\":[\"\\u001b\\\"\\\\/\"]}"},
      {R"({"o":{"b":"\u00e9\/","a":[1E2,-0]},"o":{"k":{"z":null,"\u0061":[],"z":[{}]}}})",
       R"({"o":{"k":{"a":[],"z":[{}]}}})"},
      // The last of duplicate keys counts.
      {R"({"path":"first","path":"second"})", "second"},
      {R"({"path":"first","path":""})", "{\"path\":\"\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::string arguments = c.arguments.empty() ? "" : ",\"arguments\":" + c.arguments;
    std::string record = "{\"role\":\"tool\",\"tool\":{\"arg\":";
    json::append_string(record, c.summary);
    record += ",\"name\":\"t\"}}\n";
    EXPECT_EQ(mapped(R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"t")" +
                     arguments + "}]}}"),
              record);
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
       R"({"type":"toolCall","name":5,"arguments":"x"},{"type":"toolCall","name":"to\"do"}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"ls\",\"name\":\"\"}}\n"
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"\"}}\n"
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"to\\\"do\"}}\n"},
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"ask","arguments":{"limit":5,"z":true}}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"5\",\"name\":\"ask\"}}\n"},
      {R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"t","arguments":{"opts":{"deep":true}}}]}})",
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"{\\\"opts\\\":{\\\"deep\\\":true}}\",\"name\":\"t\"}}\n"},
      // Escapes survive into the record on one line.
      {R"({"type":"message","timestamp":"t\"s","message":{"role":"assistant",)"
       R"("content":"line one\nsaid \"two\"\ttab \u001b \\ \u007f \/ \u00e9 \ud83d\ude00"}})",
       "{\"role\":\"agent\",\"text\":\"line one\\nsaid \\\"two\\\"\\ttab \\u001b \\\\ \x7f / é 😀\",\"ts\":\"t\\\"s\"}\n"},
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

// Long containers are stepped over by where the check saw them end, up to a bound per line;
// past it they are scanned. Either way the members after them (here a duplicate "role") count.
TEST(MapLine, MembersAfterLongContainersAreRead) {
  for (const int nests : {0, 3, 40, 2000}) {
    const std::string filler = std::string(nests, '[') + '"' + std::string(300, 'f') + '"' + std::string(nests, ']');
    const std::string line = R"({"type":"message","message":{"role":"user","content":[{"type":"text","text":"a","x":)" +
                             filler + R"(},{"y":[)" + filler + R"(],"type":"text","text":"b"}],"role":"assistant"},"z":)" +
                             filler + "}";
    EXPECT_EQ(mapped(line), nests > 124 ? "" : "{\"role\":\"agent\",\"text\":\"a\"}\n{\"role\":\"agent\",\"text\":\"b\"}\n")
        << nests;
  }
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
