#include "thymel_omp/thymel.h"

#include <gtest/gtest.h>

#include "platform/system.h"
#include "support/temp_dir.h"

namespace vantle::thymel {
namespace {

namespace stdfs = std::filesystem;
using testing::ScopedTempDir;
using testing::write_file;

// The report texts, spelled out here rather than taken from the code under test.
const std::string DASH = "\xE2\x80\x94";
std::string failure(const std::string& reason) {
  return "THYMEL_TURN_FAIL:ep: " + reason + " " + DASH +
         " exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)\n";
}
std::string refusal(const std::string& category, const std::string& excerpts) {
  return "THYMEL_ACCOUNT_REFUSAL:ep: outage, not a fault " + DASH +
         " the provider refused the Thymel turn for account reasons (" + category +
         "). Nothing is broken: the Thymel session and its stored context are intact and untouched, a retry "
         "would succeed on a healthy account, and only a human can restore it (clear the limit or the "
         "credential). Exiting 96 (keep custody; the daemon paces retries, never reseeds). " +
         excerpts + "\n";
}

TEST(ComposePrompt, MindInFrontOfInputOrInputAlone) {
  struct Case {
    std::string mind;
    std::string input;
    std::string prompt;
    bool blank;
  };
  const Case cases[] = {
      {"", "", "", true},
      {" \n\t\r\n", "hi\n", "hi\n", true},
      // No-break space and ideographic space are white space; a byte order mark is not.
      {"\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", " x ", " x ", true},
      {"\xEF\xBB\xBF", "x", "\xEF\xBB\xBF\n\nx", false},
      {"You are Thymel.\n\n  \t", "hello\n", "You are Thymel.\n\nhello\n", false},
      {"\n\n  rules\n", "x", "\n\n  rules\n\nx", false},
      {"m\r\n", "  in  \r\n", "m\n\n  in  \r\n", false},
      {"m \xE2\x80\x83\xE3\x80\x80", "", "m\n\n", false},
      {"m", " \n", "m\n\n \n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mind \"" + c.mind + "\", input \"" + c.input + "\"");
    const Prompt p = compose_prompt(c.mind, c.input);
    EXPECT_EQ(p.text, c.prompt);
    EXPECT_EQ(p.mind_blank, c.blank);
  }
}

TEST(SessionsDir, BesideTheMindFileOrNoneForABareName) {
  EXPECT_EQ(sessions_dir_for(path_from_utf8("a/b/mind.md")), path_from_utf8("a/b") / "omp-sessions");
  EXPECT_EQ(sessions_dir_for(path_from_utf8("./mind.md")), path_from_utf8(".") / "omp-sessions");
  EXPECT_EQ(sessions_dir_for(path_from_utf8("mind.md")), std::nullopt);
  EXPECT_EQ(sessions_dir_for(path_from_utf8("")), std::nullopt);
}

TEST(SessionLogName, ExtensionJsonlInAnyCase) {
  struct Case {
    const char* name;
    bool log;
  };
  const Case cases[] = {
      {"2026-12-07T08-07-11-013Z_01a24f8a.jsonl", true},
      {"a.jsonl", true},
      {"a.JSONL", true},
      {"a.JsonL", true},
      {"a..jsonl", true},
      {"..jsonl", true},  // the stem is "."
      {".a.jsonl", true},
      {".jsonl", false},  // a leading full stop alone starts no extension
      {"jsonl", false},
      {"a.jsonl.tmp", false},
      {"a.json", false},
      {"a.jsonl ", false},
      {"a.jsonlx", false},
      {"a.\xEF\xBD\x8Asonl", false},  // a full-width letter is not folded
      {"a.", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_session_log_name(path_from_utf8(c.name)), c.log) << c.name;
}

TEST(PriorSession, OnlyImmediateLogEntriesCount) {
  ScopedTempDir tmp;
  const auto dir = tmp / "omp-sessions";
  auto r = holds_prior_session(dir);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_FALSE(*r) << "a missing directory holds no session";

  stdfs::create_directories(dir / "sub");
  write_file(dir / "sub" / "x.jsonl", "{}\n");
  write_file(dir / ".jsonl", "");
  write_file(dir / "turn-prompt.md", "p");
  r = holds_prior_session(dir);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_FALSE(*r);

  // A matching entry need not be a regular file.
  stdfs::create_directories(dir / "old.JSONL");
  r = holds_prior_session(dir);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_TRUE(*r);
}

TEST(PriorSession, AFileInPlaceOfTheDirectoryIsAnErrorNotAMissingSession) {
  ScopedTempDir tmp;
  write_file(tmp / "omp-sessions", "not a directory");
  const auto r = holds_prior_session(tmp / "omp-sessions");
  EXPECT_FALSE(r.ok());
}

// The prompt replaces whatever is at its name, a planted link included, and never writes
// through it; nothing else is left in the directory.
TEST(PromptFile, ReplacesWhatIsThereAndNeverWritesThroughALink) {
  ScopedTempDir tmp;
  const auto dir = tmp / "omp-sessions";
  write_file(tmp / "victim", "keep");
  stdfs::create_directories(dir);
  std::error_code ec;
  stdfs::create_symlink(tmp / "victim", dir / "turn-prompt.md", ec);
  if (ec) GTEST_SKIP() << "cannot create symbolic links here: " << ec.message();
  const auto written = write_prompt_file(dir / "turn-prompt.md", "the prompt");
  ASSERT_TRUE(written) << written.error().message;
  EXPECT_EQ(testing::read_file(tmp / "victim"), "keep");
  EXPECT_FALSE(stdfs::is_symlink(dir / "turn-prompt.md"));
  EXPECT_EQ(testing::read_file(dir / "turn-prompt.md"), "the prompt");
  ASSERT_TRUE(write_prompt_file(dir / "turn-prompt.md", "next"));
  EXPECT_EQ(testing::read_file(dir / "turn-prompt.md"), "next");
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) names.push_back(display(entry.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"turn-prompt.md"});
}

TEST(AgentArguments, FixedOrderWithContinueOnlyWhenAsked) {
  const auto dir = path_from_utf8("/abs/omp-sessions");
  const auto prompt = dir / "turn-prompt.md";
  const std::vector<std::string> tail = {"--tools",    "read,write,edit",    "--auto-approve",  "--thinking",
                                         "off",        "--no-title",         "--no-extensions", "--no-skills",
                                         "--no-rules", "@" + display(prompt)};
  std::vector<std::string> fresh = {"-p", "--session-dir", display(dir)};
  fresh.insert(fresh.end(), tail.begin(), tail.end());
  std::vector<std::string> continued = {"-p", "-c", "--session-dir", display(dir)};
  continued.insert(continued.end(), tail.begin(), tail.end());
  EXPECT_EQ(agent_arguments(false, dir, prompt), fresh);
  EXPECT_EQ(agent_arguments(true, dir, prompt), continued);
}

TEST(ReportAgentResult, EveryOutcome) {
  struct Case {
    const char* name;
    ExitStatus status;
    std::string out;
    std::string err;
    int code;
    std::string expected_out;
    std::string expected_err;
  };
  const std::string silent = "omp stderr: <silent>; omp stdout: <silent>";
  const std::string long_err = std::string(300, 'a') + std::string(1200, 'b');
  const Case cases[] = {
      {"reply", ExitStatus::exited(0), "the reply", "", 0, "the reply", ""},
      {"reply kept untrimmed", ExitStatus::exited(0), "\n line\r\n\n", "", 0, "\n line\r\n\n", ""},
      {"blank reply", ExitStatus::exited(0), " \n\t", "", 0, "<thymel-ack/>\n", ""},
      {"no reply", ExitStatus::exited(0), "", "", 0, "<thymel-ack/>\n", ""},
      {"invalid UTF-8 replaced", ExitStatus::exited(0), "\xFFok", "\xC3", 0, "\xEF\xBF\xBDok", "\xEF\xBF\xBD"},
      {"warnings relayed", ExitStatus::exited(0), "r", "Working...\nwarn", 0, "r", "Working...\nwarn"},
      {"blank stderr not relayed", ExitStatus::exited(0), "r", " \r\n", 0, "r", ""},
      {"silent failure", ExitStatus::exited(1), "", "", 1, "", failure("omp exited exit code: 1; " + silent)},
      {"failure follows unterminated stderr", ExitStatus::exited(2), "partial\n", "boom", 1, "",
       "boom" + failure("omp exited exit code: 2; omp stderr: boom; omp stdout: partial")},
      {"line breaks in excerpts", ExitStatus::exited(255), "", "a\r\nb\nc\n", 1, "",
       "a\r\nb\nc\n" + failure("omp exited exit code: 255; omp stderr: a | b | c; omp stdout: <silent>")},
      {"long stderr cut", ExitStatus::exited(3), "", long_err, 1, "",
       long_err + failure("omp exited exit code: 3; omp stderr: \xE2\x80\xA6" + std::string(1200, 'b') +
                          "; omp stdout: <silent>")},
      {"top bit set", ExitStatus::exited(0xC0000005u), "", "", 1, "",
       failure("omp exited exit code: 0xc0000005; " + silent)},
      {"ended by a signal", ExitStatus::signaled(9, "SIGKILL"), "", "", 1, "",
       failure("omp exited signal: 9 (SIGKILL); " + silent)},
      {"quota", ExitStatus::exited(1), "", "402 You exceeded your current quota\n", 96, "",
       "402 You exceeded your current quota\n" +
           refusal("usage-limit", "omp stderr: 402 You exceeded your current quota; omp stdout: <silent>")},
      {"credential on stdout only", ExitStatus::exited(1), "401 invalid api key", "", 96, "",
       refusal("credential", "omp stderr: <silent>; omp stdout: 401 invalid api key")},
      {"rate limit vetoes the quota", ExitStatus::exited(1), "quota exceeded", "429 Too Many Requests", 1, "",
       "429 Too Many Requests" +
           failure("omp exited exit code: 1; omp stderr: 429 Too Many Requests; omp stdout: quota exceeded")},
      // The joining line feed sits between the streams, so a phrase cannot span them.
      {"phrase split across the streams", ExitStatus::exited(1), "limit", "usage", 1, "",
       "usage" + failure("omp exited exit code: 1; omp stderr: usage; omp stdout: limit")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TurnReport r = report_agent_result("ep", AgentOutput{c.status, c.out, c.err});
    EXPECT_EQ(r.agent_err + text::report_text(r.line), c.expected_err);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.out, c.expected_out);
  }
}

}  // namespace
}  // namespace vantle::thymel
