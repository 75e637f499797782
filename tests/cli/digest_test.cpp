// digest-omp seen from outside: its argument grammar, how it chooses the log, every failure line
// and exit code, and the exact records it writes for each shape of log line.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "json/writer.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/system.h"
#include "snapshot/snapshot.h"
#include "support/cli.h"
#include "support/gzip.h"
#include "support/sessions.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

// Spelled out here rather than taken from the program's constant, so a typo there is caught.
const std::string USAGE =
    "vantle digest-omp --session <id> [--project-dir <dir>] [--session-dir <dir>] [--in <logfile>]\n";

std::string fail(const std::string& message) { return "vantle digest-omp: " + message + "\n"; }

Cli digest(std::vector<std::string> args) {
  args.insert(args.begin(), "digest-omp");
  return Cli(std::move(args));
}

// One log line: a message event with the given message object and optional top-level members.
std::string message_line(const std::string& message, const std::string& extra = "") {
  return R"({"type":"message")" + extra + R"(,"message":)" + message + "}";
}

// Each text followed by a line feed.
std::string lines(std::initializer_list<std::string_view> texts) {
  std::string out;
  for (const auto text : texts) {
    out.append(text);
    out += '\n';
  }
  return out;
}

// What opening `path` for reading gives in this process: the tool, built for the same platform,
// must report the same error text.
std::string open_error(const stdfs::path& path) {
  auto file = fs::File::open_read(path);
  if (!file) return file.error().message;
  return "";
}

// A temporary log file, run with --in.
class Log {
 public:
  explicit Log(const std::string& bytes) { write_file(path(), bytes); }
  stdfs::path path() const { return tmp_ / "session.jsonl"; }
  std::string text() const { return display(path()); }
  CliResult run() const { return digest({"--in", text()}).run(); }
  const ScopedTempDir& tmp() const { return tmp_; }

 private:
  ScopedTempDir tmp_;
};

TEST(Digest, HelpAsAnArgumentOfItsOwnWins) {
  const std::vector<std::vector<std::string>> cases = {
      {"-h"},
      {"--help"},
      {"--in", "missing.jsonl", "--help"},
      {"--session", "abc", "-h"},
      {"--bogus", "x", "--help"},
      {"-h", "--session"},
      {"--session-dir", "", "-h"},
      {"word", "--help", "--in"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(digest(args).run(), exited(0, USAGE, ""));
  }
}

TEST(Digest, NeitherSessionNorIn) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--session"},
      {"--session", ""},
      {"--session", "abc", "--session"},
      {"--in"},
      {"--in", "log.jsonl", "--in"},
      {"--session-dir", ""},
      {"--session-dir", "sessions"},
      {"--project-dir", "p"},
      {"abc"},
      {"-in", "log.jsonl"},
      {"--In", "log.jsonl"},
      {"--bogus", "--in", "log.jsonl"},
      {"--project-dir", "--session", "abc"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(digest(args).run(), exited(2, "", fail("need --session <id> or --in <logfile>")));
  }
}

TEST(Digest, EmptySessionDirIsRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--session", "abc", "--session-dir", ""},
      {"--session-dir", "sessions", "--session", "abc", "--session-dir", ""},
      {"--session", "--in", "--session-dir", ""},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(digest(args).run(), exited(2, "", fail("--session-dir cannot be empty")));
  }
}

// When --in is set nothing else is looked at: not the session, not the directory, not the state.
TEST(Digest, InWinsAndIsUsedAsGiven) {
  const Log log(message_line(R"({"role":"user","content":"hi"})") + "\n");
  const std::string in = log.text();
  const std::string out = "{\"role\":\"input\",\"text\":\"hi\"}\n";
  const std::vector<std::vector<std::string>> cases = {
      {"--in", in},
      {"--in", in, "--session-dir", ""},
      {"--session-dir", "", "--in", in},
      {"--in", in, "--session", "", "--session-dir", ""},
      {"--in", in, "--session", "abc", "--session-dir", display(log.tmp() / "missing")},
      {"--in", in, "--session", "abc"},
      {"--in", "elsewhere", "--in", in},
      {"--bogus", "x", "--in", in, "--project-dir"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(digest(args).run(), exited(0, out, ""));
  }
  // Relative to the working directory, exactly as typed.
  EXPECT_EQ(digest({"--in", "session.jsonl"}).cwd(log.tmp().path()).run(), exited(0, out, ""));
  EXPECT_EQ(digest({"--in", "./session.jsonl"}).cwd(log.tmp().path()).run(), exited(0, out, ""));
}

TEST(Digest, LogThatCannotBeOpened) {
  ScopedTempDir tmp;
  const std::string missing = display(tmp / "missing.jsonl");
  for (const std::string& in : {missing, std::string(""), display(tmp / "no/such/dir/x.jsonl")}) {
    SCOPED_TRACE(in);
    const std::string error = open_error(path_from_utf8(in));
    ASSERT_NE(error, "");
    EXPECT_EQ(digest({"--in", in}).run(), exited(1, "", fail("cannot open " + in + ": " + error)));
  }
}

// A directory opens on POSIX and fails at the first read; Windows refuses to open it.
TEST(Digest, DirectoryGivenAsTheLog) {
  ScopedTempDir tmp;
  const std::string dir = display(tmp.path());
  const std::string error = open_error(tmp.path());
  if (!error.empty()) {
    EXPECT_EQ(digest({"--in", dir}).run(), exited(1, "", fail("cannot open " + dir + ": " + error)));
  } else {
    auto file = fs::File::open_read(tmp.path());
    char byte;
    auto read = file->read(&byte, 1);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(digest({"--in", dir}).run(), exited(1, "", fail(read.error().message)));
  }
}

// The example of the mapping, and a log shaped like the agent's own: title slot, session header,
// model change, a tool round trip and a continued turn.
TEST(Digest, SessionLogOfTheAgent) {
  const std::string log = lines({
      R"({"type":"title","v":1,"title":"","updatedAt":"2026-12-07T08:07:11.013Z","pad":"            "})",
      R"({"type":"session","version":3,"id":"01a2","timestamp":"2026-12-07T08:07:11.013Z","cwd":"/home/dev/proj"})",
      R"({"type":"model_change","id":"815e","parentId":null,"timestamp":"2026-12-07T08:07:11.160Z","model":"fake/fake-model"})",
      R"({"type":"message","id":"bb98","timestamp":"2026-12-07T08:07:11.960Z","message":{"role":"user","content":[{"type":"text","text":"<file name=\"/home/dev/proj/p.md\">\nPlease create hello.txt.\n</file>\n"}],"attribution":"user","timestamp":1796630831189}})",
      R"({"type":"message","id":"4c68","timestamp":"2026-12-07T08:07:11.986Z","message":{"role":"assistant","content":[{"type":"thinking","thinking":"Plan."},{"type":"text","text":"Writing the file."},{"type":"toolCall","id":"call_0","name":"write","arguments":{"path":"hello.txt","content":"hello\n"},"partialArgs":"{}","streamIndex":0}],"usage":{"input":10,"output":5},"stopReason":"toolUse"}})",
      R"({"type":"custom","customType":"tool_execution_start","data":{"toolCallId":"call_0","toolName":"write","args":{"path":"hello.txt"}},"id":"b8cd","timestamp":"2026-12-07T08:07:11.989Z"})",
      R"({"type":"message","id":"4699","timestamp":"2026-12-07T08:07:11.999Z","message":{"role":"toolResult","toolCallId":"call_0","toolName":"write","content":[{"type":"text","text":"Successfully wrote 6 bytes"}],"isError":false}})",
      R"({"type":"message","id":"0039","timestamp":"2026-12-07T08:07:12.035Z","message":{"role":"assistant","content":[{"type":"text","text":"Done: hello.txt says hello."}],"stopReason":"stop"}})",
      R"({"type":"custom","customType":"session_exit","data":{"reason":"dispose","kind":"normal"},"id":"95b5","timestamp":"2026-12-07T08:07:12.047Z"})",
      R"({"type":"message","id":"b551","timestamp":"2026-12-07T08:07:14.040Z","message":{"role":"user","content":[{"type":"text","text":"What did you write?"}]}})",
      R"({"type":"message","id":"371b","timestamp":"2026-12-07T08:07:14.057Z","message":{"role":"assistant","content":[{"type":"text","text":"Answer with a quote \" and a tab\t."}]}})",
  });
  const std::string records = lines({
      R"({"role":"input","text":"<file name=\"/home/dev/proj/p.md\">\nPlease create hello.txt.\n</file>\n","ts":"2026-12-07T08:07:11.960Z"})",
      R"({"role":"agent","text":"Writing the file.","ts":"2026-12-07T08:07:11.986Z"})",
      R"({"role":"tool","tool":{"arg":"hello.txt","name":"write"},"ts":"2026-12-07T08:07:11.986Z"})",
      R"({"role":"agent","text":"Done: hello.txt says hello.","ts":"2026-12-07T08:07:12.035Z"})",
      R"({"role":"input","text":"What did you write?","ts":"2026-12-07T08:07:14.040Z"})",
      R"({"role":"agent","text":"Answer with a quote \" and a tab\t.","ts":"2026-12-07T08:07:14.057Z"})",
  });
  EXPECT_EQ(Log(log).run(), exited(0, records, ""));

  const std::string example = message_line(
      R"({"role":"assistant","content":[{"type":"text","text":"Looking."},{"type":"toolCall","name":"read","arguments":{"path":"src/main.rs"}}]})",
      R"(,"timestamp":"2025-05-01T10:00:00Z")");
  EXPECT_EQ(
      Log(example).run(),
      exited(
          0,
          "{\"role\":\"agent\",\"text\":\"Looking.\",\"ts\":\"2025-05-01T10:00:00Z\"}\n"
          "{\"role\":\"tool\",\"tool\":{\"arg\":\"src/main.rs\",\"name\":\"read\"},\"ts\":\"2025-05-01T10:00:00Z\"}\n",
          ""));
}

TEST(Digest, EachShapeOfLine) {
  struct Case {
    std::string name;
    std::string log;
    std::string out;
  };
  const std::string call = R"({"role":"assistant","content":[{"type":"toolCall","name":"t","arguments":)";
  const std::vector<Case> cases = {
      {"a log with no message lines",
       "{\"type\":\"session\",\"id\":\"x\"}\n{\"type\":\"custom\",\"customType\":\"session_exit\"}\n", ""},
      {"an empty log", "", ""},
      {"blank lines only", "\n\n \t \n\r\n\xC2\xA0\xE3\x80\x80\n", ""},
      {"user text without a timestamp", message_line(R"({"role":"user","content":"hi"})"),
       "{\"role\":\"input\",\"text\":\"hi\"}\n"},
      {"empty timestamp", message_line(R"({"role":"user","content":"hi"})", R"(,"timestamp":"")"),
       "{\"role\":\"input\",\"text\":\"hi\"}\n"},
      {"numeric timestamp", message_line(R"({"role":"user","content":"hi"})", R"(,"timestamp":1796630831189)"),
       "{\"role\":\"input\",\"text\":\"hi\"}\n"},
      {"empty string content", message_line(R"({"role":"user","content":""})"), ""},
      {"empty text item",
       message_line(R"({"role":"assistant","content":[{"type":"text","text":""},{"type":"text","text":"b"}]})"),
       "{\"role\":\"agent\",\"text\":\"b\"}\n"},
      {"tool call from the user",
       message_line(R"({"role":"user","content":[{"type":"toolCall","name":"x","arguments":{"path":"p"}}]})"), ""},
      {"tool result", message_line(R"({"role":"toolResult","content":[{"type":"text","text":"out"}]})"), ""},
      {"system role", message_line(R"({"role":"system","content":"s"})"), ""},
      {"command wins over an empty path", message_line(call + R"({"command":"ls","path":""}}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"ls\",\"name\":\"t\"}}\n"},
      {"first member in key order", message_line(call + R"({"z":true,"limit":5}}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"5\",\"name\":\"t\"}}\n"},
      {"no scalar member", message_line(call + R"({"opts":{"b":[1,2.0],"a":null}}}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"{\\\"opts\\\":{\\\"a\\\":null,\\\"b\\\":[1,2.0]}}\",\"name\":\"t\"}}\n"},
      {"arguments that are a string", message_line(call + R"("ls"}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"t\"}}\n"},
      {"arguments missing", message_line(R"({"role":"assistant","content":[{"type":"toolCall","name":"t"}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"\",\"name\":\"t\"}}\n"},
      {"name missing", message_line(R"({"role":"assistant","content":[{"type":"toolCall","arguments":{"i":"x"}}]})"),
       "{\"role\":\"tool\",\"tool\":{\"arg\":\"x\",\"name\":\"\"}}\n"},
      {"line feed and quotation mark in a text",
       message_line(R"({"role":"assistant","content":"two\nlines \"quoted\" \u001b\/ \u00e9"})"),
       "{\"role\":\"agent\",\"text\":\"two\\nlines \\\"quoted\\\" \\u001b/ \xC3\xA9\"}\n"},
      {"a first line with a byte-order mark",
       "\xEF\xBB\xBF" + message_line(R"({"role":"user","content":"bom"})") + "\n" +
           message_line(R"({"role":"user","content":"next"})") + "\n",
       "{\"role\":\"input\",\"text\":\"next\"}\n"},
      {"an object followed by other text",
       message_line(R"({"role":"user","content":"a"})") + " trailing\n" +
           message_line(R"({"role":"user","content":"b"})") + "{}\n",
       ""},
      {"lines ending in CR LF",
       message_line(R"({"role":"user","content":"a"})") + "\r\n" + message_line(R"({"role":"user","content":"b"})") +
           "\r\n",
       "{\"role\":\"input\",\"text\":\"a\"}\n{\"role\":\"input\",\"text\":\"b\"}\n"},
      {"white space around lines",
       " \t" + message_line(R"({"role":"user","content":"a"})") + "\xC2\xA0\xE2\x80\xA8\r\n",
       "{\"role\":\"input\",\"text\":\"a\"}\n"},
      {"the last line without a line feed", "\n" + message_line(R"({"role":"user","content":"last"})"),
       "{\"role\":\"input\",\"text\":\"last\"}\n"},
      {"malformed lines between good ones",
       "not json\n{\"type\":\"message\"\n" + message_line(R"({"role":"user","content":"ok"})") +
           "\n[1,2]\n\"message\"\n",
       "{\"role\":\"input\",\"text\":\"ok\"}\n"},
      {"nesting of 127 levels and of 128",
       message_line(R"({"role":"user","content":"deep","x":)" + std::string(125, '[') + std::string(125, ']') + "}") +
           "\n" +
           message_line(R"({"role":"user","content":"too deep","x":)" + std::string(126, '[') + std::string(126, ']') +
                        "}") +
           "\n",
       "{\"role\":\"input\",\"text\":\"deep\"}\n"},
      {"nesting of 100,000 levels",
       message_line(R"({"role":"user","content":)" + std::string(100000, '[') + std::string(100000, ']') + "}") + "\n" +
           std::string(100000, '{') + "\n" + message_line(R"({"role":"user","content":"after"})"),
       "{\"role\":\"input\",\"text\":\"after\"}\n"},
      {"duplicate keys: the last wins",
       R"({"type":"custom","type":"message","message":{"role":"user","content":"x"},"message":{"role":"assistant","content":"y"}})",
       "{\"role\":\"agent\",\"text\":\"y\"}\n"},
      {"escaped keys and values",
       R"({"typ\u0065":"m\u0065ssage","messag\u0065":{"\u0072ole":"\u0075ser","content":"esc"}})",
       "{\"role\":\"input\",\"text\":\"esc\"}\n"},
      {"nested decoys", R"({"x":{"type":"message","message":{"role":"user","content":"no"}}})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Log(c.log).run(), exited(0, c.out, ""));
  }
}

TEST(Digest, LineThatIsNotUtf8EndsTheRunAfterTheRecordsBeforeIt) {
  // Enough records before the bad line that some left the output buffer long before it.
  std::string log;
  std::string out;
  for (int i = 0; i < 2000; ++i) {
    log += message_line(R"({"role":"user","content":"line )" + std::to_string(i) + "\"}") + "\n";
    out += "{\"role\":\"input\",\"text\":\"line " + std::to_string(i) + "\"}\n";
  }
  for (const std::string& bad : {std::string("\xFF"), std::string("{\"type\":\"custom\",\"x\":\"\xC3\"}"),
                                 std::string("\xED\xA0\x80 surrogate")}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    const std::string after = message_line(R"({"role":"user","content":"never"})") + "\n";
    EXPECT_EQ(Log(log + bad + "\n" + after).run(), exited(1, out, fail("stream did not contain valid UTF-8")));
  }
  EXPECT_EQ(Log("caf\xC3"
                "\n")
                .run(),
            exited(1, "", fail("stream did not contain valid UTF-8")));
  // The last line, cut inside a character.
  EXPECT_EQ(Log(log + "\xF0\x9F\x98").run(), exited(1, out, fail("stream did not contain valid UTF-8")));
}

TEST(Digest, LargeLogsAndLongLines) {
  // Records far beyond the output buffer and a pipe's buffer; a text of several megabytes, whole;
  // a tool result of 20 MB that yields nothing.
  std::string log;
  std::string out;
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) text += "line " + std::to_string(i) + " with \\\"quotes\\\"\\n";
  log += message_line(R"({"role":"toolResult","content":[{"type":"text","text":")" + std::string(20u << 20, 'x') +
                      "\"}]}") +
         "\n";
  log += message_line(R"({"role":"assistant","content":")" + text + "\"}") + "\n";
  // The text holds only escapes that the tool writes the same way.
  out += "{\"role\":\"agent\",\"text\":\"" + text + "\"}\n";
  for (int i = 0; i < 20000; ++i) {
    log += message_line(R"({"role":"assistant","content":[{"type":"toolCall","name":"read","arguments":{"path":"f)" +
                            std::to_string(i) + "\"}}]}",
                        R"(,"timestamp":"t)" + std::to_string(i) + "\"") +
           "\n";
    out += "{\"role\":\"tool\",\"tool\":{\"arg\":\"f" + std::to_string(i) + "\",\"name\":\"read\"},\"ts\":\"t" +
           std::to_string(i) + "\"}\n";
  }
  EXPECT_EQ(Log(log).run(), exited(0, out, ""));
}

// A line longer than the memory the tool may take: the records before it are written, then the
// ordinary failure line; the process never aborts. The line is a hole in a sparse file, so it
// costs no disk space.
TEST(Digest, ALineBeyondTheMemoryLimitIsAFailureNotAnAbort) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  const Log log(message_line(R"({"role":"user","content":"before"})") + "\n");
  stdfs::resize_file(log.path(), stdfs::file_size(log.path()) + (1u << 30));
  const auto result = Cli({"digest-omp", "--in", log.text()}).memory_limit(131072).run();
  EXPECT_EQ(result, exited(1, "{\"role\":\"input\",\"text\":\"before\"}\n", fail("out of memory")));
}

// The compact summary of arguments that are nothing but containers, a tree's costliest shape, is
// made within the digest's bound: under an address-space limit of four times the line plus 32 MiB
// the record comes out whole.
TEST(Digest, ACompactSummaryOfAnyShapeStaysWithinTheBound) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  std::string arguments = R"({"a":[[])";
  while (arguments.size() < (16u << 20)) arguments += ",[]";
  arguments += "]}";
  const Log log(message_line(R"({"role":"assistant","content":[{"type":"toolCall","name":"t","arguments":)" +
                             arguments + "}]}") +
                "\n");
  std::string record = R"({"role":"tool","tool":{"arg":)";
  json::append_string(record, arguments);
  record += R"(,"name":"t"}})" "\n";
  const auto result = Cli({"digest-omp", "--in", log.text()}).memory_limit(4 * (16u << 10) + (32u << 10)).run();
  // Compared apart: a failure would otherwise print the 16 MB record twice.
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out == record) << result.out.size() << " bytes out of " << record.size();
  EXPECT_EQ(result, exited(0, result.out, ""));
}

// A sessions directory with an exact and a prefix match for "abc".
SessionsDir abc_sessions() {
  return SessionsDir({{"proj/2024_abc.jsonl", message_line(R"({"role":"user","content":"exact"})") + "\n"},
                      {"2024_abcdef.jsonl", message_line(R"({"role":"user","content":"prefix"})") + "\n"},
                      {"proj/2024_abd.jsonl", ""},
                      {"other/x_abd.jsonl", ""}});
}

TEST(Digest, FindsTheLogInAGivenDirectory) {
  const SessionsDir s = abc_sessions();
  const std::string d = s.text();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--session", "abc", "--session-dir", d}, 0, "{\"role\":\"input\",\"text\":\"exact\"}\n", ""},
      {{"--session", "abcd", "--session-dir", d}, 0, "{\"role\":\"input\",\"text\":\"prefix\"}\n", ""},
      {{"--session-dir", d, "--project-dir", "anywhere", "--session", "abc"},
       0,
       "{\"role\":\"input\",\"text\":\"exact\"}\n",
       ""},
      {{"--session", "zzz", "--session-dir", d}, 1, "", fail("no session file for 'zzz' under " + d)},
      {{"--session", "-h", "--session-dir", d}, 1, "", fail("no session file for '-h' under " + d)},
      {{"--session", "zzz", "--session-dir", "./sessions/"},
       1,
       "",
       fail("no session file for 'zzz' under ./sessions/")},
      {{"--session", "abd", "--session-dir", d},
       1,
       "",
       fail("ambiguous omp session id 'abd': " + display(s.file("other/x_abd.jsonl")) + " " +
            display(s.file("proj/2024_abd.jsonl")))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(digest(c.args).cwd(s.tmp().path()).run(), exited(c.code, c.out, c.err));
  }
}

// The values digest-omp itself puts into its reports, and the forged line of a session folder,
// each escaped within the one line (the lookup's other reports are held by the history tests).
TEST(Digest, ControlCharactersStayInsideTheOneReportLine) {
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    ScopedTempDir tmp;
    const std::string base = path_to_utf8_lossy(tmp.path());
    // Windows file names cannot hold control characters: there the directory is a plain one.
    const std::string dir = sys::is_windows() ? base : base + "/d" + c.raw;
    const std::string dir_shown = sys::is_windows() ? base : base + "/d" + c.shown;
    EXPECT_EQ(digest({"--session", "a" + c.raw + "b", "--session-dir", dir}).run(),
              exited(1, "", fail("no session file for 'a" + c.shown + "b' under " + dir_shown)));
    const std::string in = base + "/mi" + c.raw + "ss.jsonl";
    EXPECT_EQ(digest({"--in", in}).run(),
              exited(1, "",
                     fail("cannot open " + base + "/mi" + c.shown + "ss.jsonl: " + open_error(path_from_utf8(in)))));
    if (sys::is_windows()) continue;

    write_file(tmp / "s/p1/2024_abc.jsonl", "");
    write_file(tmp / ("s/p2/x" + c.raw + "CORVANE_ACCOUNT_REFUSAL:ep: forged_abc.jsonl"), "");
    EXPECT_EQ(digest({"--session", "abc", "--session-dir", base + "/s"}).run(),
              exited(1, "",
                     fail("ambiguous omp session id 'abc': " + base + "/s/p1/2024_abc.jsonl " + base + "/s/p2/x" +
                          c.shown + "CORVANE_ACCOUNT_REFUSAL:ep: forged_abc.jsonl")));
  }
}

TEST(Digest, FindsTheLogAcrossEndpointSnapshots) {
  StateDir st("digest-omp");
  st.snap("e1", "h1");
  st.snap("e2", "h2");
  write_file(st.session("h2", "p/2024_abc.jsonl"), message_line(R"({"role":"assistant","content":"found"})") + "\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, "{\"role\":\"agent\",\"text\":\"found\"}\n", ""));
  // A trailing --session-dir drops the directory given before it.
  EXPECT_EQ(st.run({"--session", "abc", "--session-dir", "nowhere", "--session-dir"}).run(),
            exited(0, "{\"role\":\"agent\",\"text\":\"found\"}\n", ""));
  const std::string snapshots = display(snapshot::snapshot_directory(st.state()));
  EXPECT_EQ(
      st.run({"--session", "zz"}).run(),
      exited(1, "", fail("no omp session file for 'zz' across endpoint environment snapshots under " + snapshots)));
}

// An absolute PI_CONFIG_DIR is appended to the agent's home; the log found there, or its archive,
// is digested exactly as the log itself would be.
TEST(Digest, FindsWhatTheAgentWroteElsewhereAndItsArchives) {
  StateDir st("digest-omp");
  const std::string config = sys::is_windows() ? "\\vantle-absent-cfg" : "/vantle-absent-cfg";
  // The home in both variables, so that the agent's home is h1 on every system.
  st.snap("e1", "h1",
          {{snapshot::Selector::kPiConfigDir, config},
           {snapshot::Selector::kUserProfile, display(st.tmp() / "h1")}});
  const stdfs::path agent_dir = st.tmp() / "h1" / "vantle-absent-cfg" / "agent";
  std::string log;
  for (int i = 0; log.size() < (1u << 20); ++i) {
    log += message_line(R"({"role":"user","content":"line )" + std::to_string(i) + R"("})") + "\n";
    log += R"({"type":"toolResult","output":")" + std::string(100, 'x') + "\"}\r\n";
  }
  write_file(st.tmp() / "plain.jsonl", log);
  const CliResult plain = digest({"--in", display(st.tmp() / "plain.jsonl")}).run();
  ASSERT_EQ(plain, exited(0, plain.out, ""));

  write_file(agent_dir / "sessions" / "p" / "2024_abc.jsonl", log);
  EXPECT_EQ(st.run({"--session", "abc"}).run(), plain);
  // Another endpoint's sessions directory holds a prefix match, which stands.
  st.snap("e2", "h2");
  write_file(st.session("h2", "2024_abcdef.jsonl"), message_line(R"({"role":"user","content":"today"})") + "\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, "{\"role\":\"input\",\"text\":\"today\"}\n", ""));

  const stdfs::path archive = agent_dir / "archive" / "sessions" / "p" / "2024_arc.jsonl.gz";
  write_file(archive, gzip(log));
  EXPECT_EQ(st.run({"--session", "arc"}).run(), plain);
  // A cut archive: the whole records before the cut, then zlib's reason.
  const std::string packed = gzip(log);
  write_file(archive, packed.substr(0, packed.size() / 2));
  const CliResult cut = st.run({"--session", "arc"}).run();
  EXPECT_EQ(exit_status_text(cut.status), "exit code: 1");
  EXPECT_EQ(cut.err, fail("cannot read " + display(archive) + ": unexpected end of file"));
  EXPECT_TRUE(cut.out.size() < plain.out.size() && plain.out.starts_with(cut.out) &&
              (cut.out.empty() || cut.out.ends_with('\n')))
      << cut.out.size();
}

TEST(Digest, StateDirectoryProblems) {
  StateDir st("digest-omp");
  const std::string snapshots = display(snapshot::snapshot_directory(st.state()));
  EXPECT_EQ(
      st.run({"--session", "abc"}).run(),
      exited(1, "", fail("no omp endpoint environment snapshots under " + snapshots + "; relaunch the endpoint")));
  write_file(snapshot::snapshot_directory(st.state()) / "bad.json", "{");
  const std::string bad = snapshot::read_snapshot(snapshot::snapshot_directory(st.state()) / "bad.json").error();
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(1, "", fail(bad)));
  EXPECT_EQ(digest({"--session", "abc"}).run(),
            exited(2, "",
                   fail("cannot resolve a durable state directory for endpoint snapshots (set VANTLE_STATE_DIR, "
                        "XDG_STATE_HOME, or HOME)")));
}

// Digest output into a pipe whose reader is gone: the write fails, the failure is reported, and
// the exit code is 1. The log yields far more than a pipe holds, so the tool is still writing
// when the reader closes, however the two are scheduled.
TEST(Digest, ClosedStandardOutputIsReported) {
  std::string log;
  for (int i = 0; i < 100000; ++i) log += message_line(R"({"role":"user","content":"some text to digest"})") + "\n";
  const Log file(log);
  process::Command command;
  command.program = vantle_binary();
  command.args = {"digest-omp", "--in", file.text()};
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kPipe;
  auto child = process::spawn(command);
  ASSERT_TRUE(child.ok()) << child.error().message;
  child->take_stdout()->close();
  auto err = child->take_stderr()->read_to_end();
  ASSERT_TRUE(err.ok()) << err.error().message;
  auto status = child->wait();
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_EQ(exit_status_text(*status), "exit code: 1");
  if (sys::is_windows()) {
    // ERROR_NO_DATA or ERROR_BROKEN_PIPE, in the system's words.
    EXPECT_TRUE(*err == fail(os_error(232).message) || *err == fail(os_error(109).message)) << *err;
  } else {
    EXPECT_EQ(*err, fail(os_error(32).message));
  }
}

// A log cut short by another process while the digest reads it: what went out is whole records
// from the start of the whole digest, then comes the failed read's line and 1, never a signal, a
// torn record or a record of bytes the log did not hold. The tool has begun once output arrives,
// and cannot go far while the test does not read.
TEST(Digest, LogCutShortWhileReadIsAFailedRead) {
  std::string short_lines;
  for (int i = 0; short_lines.size() < (std::size_t{24} << 20); ++i) {
    short_lines += message_line(R"({"role":"user","content":"line )" + std::to_string(i) + R"( of some text to digest"})") + "\n";
  }
  // Records of about 6 KB and 400 KB among short ones, so that cuts fall inside long records.
  std::string long_lines;
  for (int i = 0; long_lines.size() < (std::size_t{24} << 20); ++i) {
    const std::size_t length = i % 3 == 0 ? 400000 : i % 3 == 1 ? 6000 : 20;
    long_lines += message_line(R"({"role":"assistant","content":")" + std::string(length, 'a' + i % 26) + "\"}") + "\n";
  }
  const std::size_t size = short_lines.size();
  // Each log is digested whole once; the cases compare against that.
  struct Logged {
    const std::string& log;
    std::string whole;
  };
  const Logged shorts{short_lines, Log(short_lines).run().out};
  const Logged longs{long_lines, Log(long_lines).run().out};
  struct Case {
    const char* what;
    const Logged& logged;
    std::uintmax_t cut;
  };
  const Case cases[] = {
      {"to nothing", shorts, 0},
      {"halfway", shorts, std::uintmax_t{12} << 20},
      {"inside its last page", shorts, size - 100},
      {"a few bytes before a page edge", shorts, (std::uintmax_t{16} << 20) - 5},
      // The first record is being written out when output begins.
      {"inside the long record written out", longs, 200000},
      {"its final line feed", shorts, size - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string& whole = c.logged.whole;
    const Log file(c.logged.log);
    const CliResult got =
        digest({"--in", file.text()}).once_output_begins([&] { stdfs::resize_file(file.path(), c.cut); }).run();
    EXPECT_EQ(exit_status_text(got.status), "exit code: 1");
    EXPECT_EQ(got.err, fail(std::string(FILE_CUT_SHORT)));
    EXPECT_LT(got.out.size(), whole.size());
    // Compared whole rather than shown: a mismatch would print megabytes.
    EXPECT_TRUE(got.out == whole.substr(0, got.out.size())) << "not the whole digest's start";
    EXPECT_TRUE(got.out.empty() || got.out.back() == '\n') << "a torn record";
  }
}

}  // namespace
}  // namespace vantle::testing
