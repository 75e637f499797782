// The pre-scan must never change the digest: over a large generated corpus of tricky lines, the
// output with the pre-scan equals the output of the full parse alone, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "digest_omp/digest_omp.h"
#include "digest_omp/prescan.h"
#include "digest_omp/mapping.h"
#include "json/json.h"
#include "json/reader.h"
#include "json/writer.h"
#include "support/digest_oracle.h"
#include "support/temp_dir.h"
#include "platform/file.h"
#include "text/utf8.h"
#include "text/whitespace.h"

namespace vantle::digest {
namespace {

using Digest = testing::DigestRun;
using testing::qualifies;

Digest digest_of(const std::string& input, Prescan prescan) { return testing::digest_input(input, prescan); }

// The digest of `input` read from a file, as the tool reads a log: reads as large as the reader
// asks for, so that most lines are walked once.
Digest digest_file(const std::string& input) {
  testing::ScopedTempDir tmp;
  testing::write_file(tmp / "log", input);
  auto file = fs::File::open_read(tmp / "log");
  if (!file) return Digest{"", file.error().message};
  fs::LiveFile log(std::move(*file));
  LineReader lines([&log](char* buffer, std::size_t size) { return log.read(buffer, size); });
  return testing::digest_from(lines, Prescan::kOn);
}

// Lines shaped like session-log events, then bent in every way that might fool a scanner.
class Corpus {
 public:
  explicit Corpus(std::uint64_t seed) : rng_(seed) {}

  std::string line() {
    switch (pick(20)) {
      case 0:
        return garbage();
      case 1:
        return mutate(event());
      case 2:
        return mutate(mutate(event()));
      case 3:
        return framed(event());
      case 4:
        return "[" + event() + "]";
      case 5:
        return event() + pick_of({" x", "{}", ",", "]", "}", "\"", " //"});
      default:
        return event();
    }
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }
  std::string pick_of(std::initializer_list<std::string> options) { return *(options.begin() + pick(options.size())); }

  // A key or short value as written in JSON, sometimes with escapes that decode to the same text
  // and sometimes bent into a near miss.
  std::string spell(const std::string& text) {
    static constexpr char HEX[] = "0123456789abcdef0123456789ABCDEF";
    std::string out = "\"";
    const int mode = static_cast<int>(pick(12));
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (mode == 0 || (mode == 1 && i == text.size() - 1) || (mode == 2 && i == 0)) {
        const std::size_t upper = chance(50) ? 16 : 0;
        out += "\\u00";
        out += HEX[(c >> 4) + upper];
        out += HEX[(c & 15) + upper];
      } else {
        out += static_cast<char>(c);
      }
    }
    if (mode == 3 && chance(30)) out += pick_of({" ", "\\u0000", "\\u00e9", "\\n", "\\\"", "s"});
    if (mode == 4 && out.size() > 1 && chance(30)) out = "\"" + pick_of({"T", "\\u0054", "x"}) + out.substr(2);
    return out + "\"";
  }

  std::string text(std::size_t length) {
    std::string out;
    while (out.size() < length) {
      switch (pick(16)) {
        case 0:
          out += "\\\"";
          break;
        case 1:
          out += "\\\\";
          break;
        case 2:
          out += std::string(2 * (1 + pick(4)), '\\');
          break;  // even runs: no escaped quote
        case 3:
          out += std::string(2 * pick(3), '\\') + "\\\"";
          break;  // odd run before a quote
        case 4:
          out += "\\n";
          break;
        case 5:
          out += "\\u00e9\\ud83d\\ude00";
          break;
        case 6:
          out += "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80";
          break;
        case 7:
          out += "\\\"type\\\":\\\"message\\\",\\\"message\\\":{\\\"role\\\":\\\"user\\\"}";
          break;
        case 8:
          out += "}]{[";
          break;
        case 9:
          out += "\\/\\t\\b\\f\\r";
          break;
        default:
          out += "some words ";
          break;
      }
    }
    return "\"" + out + "\"";
  }

  std::string long_text() {
    if (pick(1000) == 0) return text(200000 + pick(800000));
    return text(chance(10) ? 100 + pick(8000) : pick(60));
  }

  std::string nested(std::size_t levels, const std::string& inner) {
    std::string out;
    for (std::size_t i = 0; i < levels; ++i) out += chance(50) ? "[" : "{\"k\":";
    std::string close;
    for (std::size_t i = out.size(); i > 0;) {
      --i;
      if (out[i] == '[') close += "]";
      if (out[i] == '{') close += "}";
    }
    return out + inner + close;
  }

  std::string scalar() {
    // Now and then one that is not JSON at all.
    if (chance(3)) return pick_of({"1e400", "-1e400", "01", "1.", ".5", "NaN", "tru", "\"\\x\"", "\"\\ud800\""});
    return pick_of({"null", "true", "false", "0", "-0", "5", "-17", "2.5", "1e16", "1.5e-7", "18446744073709551615",
                    "18446744073709551616", "0.1", "[]", "{}", "\"\"", "\"x\"", "-0.0", "1.0", "1E5", "0e0",
                    "1e-400", "-9223372036854775809", "123456789012345678901234567890", "\"\\u00E9\\/\\u001F\""});
  }

  std::string value() {
    switch (pick(8)) {
      case 0:
        return scalar();
      case 1:
        return long_text();
      case 2:
        return nested(1 + pick(chance(10) ? 140 : 8), scalar());
      case 3:
        return "{" + spell("type") + ":" + spell("message") + "," + spell("message") + ":{" + spell("role") + ":" +
               spell("user") + "}}";
      case 4:
        return "[" + text(10) + "," + scalar() + "]";
      default:
        return text(pick(20));
    }
  }

  std::string item(bool assistant) {
    std::vector<std::string> members;
    const std::string type =
        assistant && chance(40) ? "toolCall" : pick_of({"text", "text", "text", "thinking", "image", "Text"});
    members.push_back(spell("type") + ":" + (chance(90) ? spell(type) : scalar()));
    if (chance(90)) members.push_back(spell("text") + ":" + (chance(85) ? long_text() : scalar()));
    if (chance(50))
      members.push_back(spell("name") + ":" + (chance(85) ? spell(pick_of({"read", "bash", ""})) : scalar()));
    if (chance(60)) {
      std::string args = "{";
      for (std::size_t i = 0, n = pick(4); i < n; ++i) {
        if (i > 0) args += ",";
        args += spell(pick_of({"path", "command", "i", "description", "limit", "z", "opts", "Path"})) + ":" +
                (chance(50) ? scalar() : value());
      }
      members.push_back(spell("arguments") + ":" + (chance(85) ? args + "}" : scalar()));
    }
    if (chance(10)) members.push_back(spell("type") + ":" + spell(pick_of({"text", "toolCall"})));
    return object(members);
  }

  std::string object(std::vector<std::string>& members) {
    for (std::size_t i = members.size(); i > 1; --i) std::swap(members[i - 1], members[pick(i)]);
    std::string out = "{";
    const std::string sep = pick_of({",", ",", ", ", " ,\t"});
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) out += sep;
      out += members[i];
    }
    return out + "}";
  }

  std::string message_object() {
    std::vector<std::string> members;
    const std::string role = pick_of({"user", "user", "assistant", "assistant", "assistant", "assistant", "assistant",
                                      "toolResult", "system", "User"});
    if (chance(95)) members.push_back(spell("role") + ":" + (chance(95) ? spell(role) : scalar()));
    if (chance(10)) members.push_back(spell("role") + ":" + spell(pick_of({"user", "assistant", "toolResult"})));
    if (chance(92)) {
      std::string content;
      if (chance(25)) {
        content = chance(80) ? long_text() : scalar();
      } else {
        content = "[";
        for (std::size_t i = 0, n = pick(5); i < n; ++i)
          content += (i > 0 ? "," : "") + (chance(90) ? item(role == "assistant") : value());
        content += "]";
      }
      members.push_back(spell("content") + ":" + content);
    }
    if (chance(20)) members.push_back(spell(pick_of({"x", "usage", "details"})) + ":" + value());
    if (chance(10)) members.push_back(spell("x") + ":{" + spell("role") + ":" + spell("user") + "}");
    return object(members);
  }

  std::string event() {
    std::vector<std::string> members;
    const std::string type = pick_of({"message", "message", "message", "message", "message", "message", "message",
                                      "message", "custom", "title", "Message"});
    if (chance(95)) members.push_back(spell("type") + ":" + (chance(95) ? spell(type) : scalar()));
    if (chance(10)) members.push_back(spell("type") + ":" + spell(pick_of({"message", "custom"})));
    if (chance(80))
      members.push_back(spell("timestamp") + ":" + (chance(85) ? spell("2026-12-07T08:07:11.013Z") : scalar()));
    if (chance(95)) members.push_back(spell("message") + ":" + (chance(92) ? message_object() : value()));
    if (chance(8)) members.push_back(spell("message") + ":" + (chance(60) ? message_object() : scalar()));
    if (chance(30)) members.push_back(spell(pick_of({"id", "parentId", "data", "pad"})) + ":" + value());
    if (chance(8)) members.push_back(spell("x") + ":{" + spell("type") + ":" + spell("message") + "}");
    if (chance(3)) members.push_back(spell("deep") + ":" + nested(pick(20) == 0 ? 100000 : 120 + pick(20), "1"));
    return object(members);
  }

  // A few ASCII bytes inserted or removed; the line stays UTF-8 so the run goes on.
  std::string mutate(std::string line) {
    for (std::size_t n = 1 + pick(3); n > 0 && !line.empty(); --n) {
      const std::size_t at = pick(line.size());
      if (chance(50)) {
        if (static_cast<unsigned char>(line[at]) < 0x80) line.erase(at, 1);
      } else if ((static_cast<unsigned char>(line[at]) & 0xC0) != 0x80) {
        line.insert(at, 1, "{}[]\":,\\ a0e-."[pick(14)]);
      }
    }
    return line;
  }

  std::string framed(const std::string& line) {
    const std::string spaces[] = {
        " ",        "\t",           "\x0B",         "\x0C",         "\r",           "\xC2\xA0",
        "\xC2\x85", "\xE3\x80\x80", "\xE2\x80\xA8", "\xE2\x80\x89", "\xEF\xBB\xBF", "\xE2\x80\x8B"};
    std::string before;
    std::string after;
    for (std::size_t n = pick(3); n > 0; --n) before += spaces[pick(std::size(spaces))];
    for (std::size_t n = pick(3); n > 0; --n) after += spaces[pick(std::size(spaces))];
    return before + line + after;
  }

  std::string garbage() {
    return pick_of({"", " ", "\t\t", "\xC2\xA0", "not json at all", "{", "}", "{\"type\":\"message\"", "null",
                    "\"message\"", "{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"x\"}",
                    "{'type':'message'}", "\xEF\xBB\xBF{}", std::string("{\"a\":\"\0\"}", 9),
                    "{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"raw\ttab\"}}",
                    "{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"\\x\"}}",
                    "{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"\\ud800\"}}"});
  }

  std::mt19937_64 rng_;
};

std::string corpus(std::uint64_t seed, std::size_t lines) {
  Corpus gen(seed);
  std::string out;
  for (std::size_t i = 0; i < lines; ++i) out += gen.line() + (i % 7 == 0 ? "\r\n" : "\n");
  return out;
}

TEST(PrescanDifferential, SameDigestWithAndWithoutThePrescan) {
  const std::string input = corpus(20261207, 20000);
  const Digest full = digest_of(input, Prescan::kOff);
  // Read all at once, and read from a file as the tool reads a log.
  std::vector<Digest> fast_runs{digest_of(input, Prescan::kOn), digest_file(input)};
  for (const Digest& fast : fast_runs) {
    EXPECT_EQ(fast.error, "");
    EXPECT_EQ(fast.out.size(), full.out.size());
    EXPECT_TRUE(fast == full) << "the outputs first differ at byte "
                              << std::mismatch(fast.out.begin(), fast.out.end(), full.out.begin(), full.out.end()).first -
                                     fast.out.begin();
  }
  // The corpus exercised both paths.
  const auto records = std::count(full.out.begin(), full.out.end(), '\n');
  EXPECT_GT(records, 2000);
  EXPECT_GT(input.size(), 20'000'000u) << input.size();
}

TEST(PrescanDifferential, EveryLineAgreesWithTheParsedTree) {
  Corpus gen(424242);
  int rejected = 0;
  int passed_without_records = 0;
  int valid = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::string raw = gen.line();
    const std::string_view line = text::trim(raw);
    if (line.empty()) continue;
    const bool pass = testing::prescan_answer(line);
    auto parsed = json::parse(line);
    if (parsed) {
      ++valid;
      // On valid JSON the pre-scan is exact.
      ASSERT_EQ(pass, qualifies(*parsed)) << line.substr(0, 2000);
    }
    const Digest full = digest_of(raw, Prescan::kOff);
    if (!pass) {
      ++rejected;
      // A rejected line never had records.
      ASSERT_EQ(full.out, "") << line.substr(0, 2000);
    } else if (full.out.empty()) {
      ++passed_without_records;
    }
  }
  EXPECT_GT(valid, 6500);
  EXPECT_GT(rejected, 3000);
  EXPECT_GT(passed_without_records, 200);
}

// The mapping reads members in place and never builds a tree of the line; over the same corpus
// its records equal those of a tree built by the full parser, and it accepts exactly the lines
// that the parser accepts.
TEST(PrescanDifferential, InPlaceMappingMatchesTheParsedTree) {
  struct Collect final : RecordSink {
    void write(std::string_view bytes) override { text.append(bytes); }
    void write_string(std::string_view s) override { json::append_string(text, s); }
    void write_escaped(std::string_view s) override { json::append_escaped(text, s); }
    std::string text;
  };
  Corpus gen(777);
  int with_records = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::string raw = gen.line();
    const std::string_view line = text::trim(raw);
    ASSERT_EQ(json::is_valid(line), json::parse(line).ok()) << line.substr(0, 2000);
    Collect sink;
    map_line(line, sink);
    const std::string expected = testing::records_from_tree(line);
    ASSERT_EQ(sink.text, expected) << line.substr(0, 2000);
    with_records += !expected.empty();
  }
  EXPECT_GT(with_records, 800);
}

TEST(PrescanDifferential, LineThatIsNotUtf8EndsBothRunsAlike) {
  const std::string before = corpus(5, 2000);
  const std::string after = corpus(6, 200);
  const std::string long_ascii(20000, 'a');
  for (const std::string& bad : std::initializer_list<std::string>{
           "\xFF", "{\"type\":\"custom\",\"x\":\"\xC3\"}", "\xED\xA0\x80", "bad\xFF", "\xC3", "\xC0\xAF",
        "\xF4\x90\x80\x80",
        // A sequence cut by the line feed is broken on both sides.
        "a\xC3\n\xA9z",
        // Next to white space that trimming takes off.
        "\xC2\xA0\xC3", "\xE3\x80\x80{}\x80", " {\"type\":\"custom\"}\xE2\x80\xA8\xE2\x80",
        "{\"type\":\"custom\",\"x\":\"" + long_ascii + "\xE2\x82" + long_ascii + "\"}",
        "{\"type\":\"message\",\"message\":{\"role\":\"user\",\"content\":\"\xF4\x90\x80\x80\"}}"}) {
    SCOPED_TRACE(::testing::PrintToString(bad.substr(0, 60)));
    // The bad line last, without a line feed, too.
    for (const std::string& input : {before + bad + "\n" + after, before + bad}) {
      const Digest fast = digest_of(input, Prescan::kOn);
      const Digest full = digest_of(input, Prescan::kOff);
      EXPECT_EQ(fast.error, "stream did not contain valid UTF-8");
      EXPECT_TRUE(fast == full);
      EXPECT_EQ(fast.out, digest_of(before, Prescan::kOff).out);
      EXPECT_TRUE(digest_file(input) == full);
    }
  }
}

// A log not yet split into lines, walked one line at a time on every path (check_walks). The lines
// end in every way a log's may.
TEST(PrescanDifferential, WalkedLinesAgreeWithTheSplitAndTheCheck) {
  Corpus gen(31337);
  std::mt19937_64 rng(31338);
  const std::string endings[] = {"\n", "\r\n", " \n", "\t\r\n", "}\n", " x\n", "\xC2\xA0\n"};
  // Line feeds where JSON would allow white space, or inside a string: each ends its line there.
  std::string log =
      "{\"type\":\n\"message\",\"message\":{\"role\":\"user\"}}\n{\"type\"\n:\"message\"}\n{\"a\":\"x\ny\"}\n"
      "{\"a\":[1,\n2]}\n{\"type\":\"message\",\"message\":\n{\"role\":\"user\"}}\n";
  for (int i = 0; i < 8000; ++i) {
    std::string line = gen.line();
    if (!line.empty() && rng() % 5 == 0) line[rng() % line.size()] = static_cast<char>(0x80 + rng() % 0x80);
    log += line + endings[rng() % std::size(endings)];
  }
  int walked = 0;
  ASSERT_NO_THROW(walked = testing::check_walks(log));
  // Where the processor has AVX2 or AVX-512, the lines that end plainly are walked.
  if (prescan_paths().back() >= PrescanPath::kAvx2) {
    EXPECT_GT(walked, 2500);
  }
}

// Corpus lines with one byte made non-ASCII: where the string scan checks UTF-8 itself, its
// verdict is the plain check's, at every place the byte can land.
TEST(PrescanDifferential, EveryPathJudgesUtf8AsThePlainCheck) {
  Corpus gen(9090);
  std::mt19937_64 rng(9091);
  const unsigned char bytes[] = {0x80, 0xA9, 0xBF, 0xC0, 0xC3, 0xE2, 0xED, 0xF0, 0xF4, 0xFF};
  int faulty = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string raw = gen.line();
    if (raw.empty()) continue;
    raw[rng() % raw.size()] = static_cast<char>(bytes[rng() % std::size(bytes)]);
    const std::string_view line = text::trim(raw);
    faulty += !text::is_utf8(raw);
    ASSERT_EQ(text::is_utf8(line), text::is_utf8(raw)) << ::testing::PrintToString(raw.substr(0, 200));
    (void)testing::prescan_answer(line);
  }
  EXPECT_GT(faulty, 4000);
}

}  // namespace
}  // namespace vantle::digest
