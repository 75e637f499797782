// The Thymel turn seen from outside: the built binary runs against the stand-in agent, and each
// test compares stdout, stderr and the exit status byte for byte, and what the agent received
// (its arguments, working directory, environment and prompt file) as the stand-in recorded it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/agent_record.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;

// The report lines, spelled out here rather than taken from the program, so a typo there is caught.
const std::string DASH = "\xE2\x80\x94";
const std::string ACK = "<thymel-ack/>\n";

std::string usage_line(const std::string& message) { return "vantle thymel-omp: " + message + "\n"; }
std::string fail_line(const std::string& reason, const std::string& id = "ep-1") {
  return "THYMEL_TURN_FAIL:" + id + ": " + reason + " " + DASH +
         " exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)\n";
}
std::string not_found_line(const std::string& id = "ep-1") {
  return "THYMEL_SESSION_NOT_FOUND:" + id + ": thymel omp session dir holds no prior session " + DASH +
         " exit 95 (reseed)\n";
}
std::string refusal_line(const std::string& category, const std::string& excerpts) {
  return "THYMEL_ACCOUNT_REFUSAL:ep-1: outage, not a fault " + DASH +
         " the provider refused the Thymel turn for account reasons (" + category +
         "). Nothing is broken: the Thymel session and its stored context are intact and untouched, a retry "
         "would succeed on a healthy account, and only a human can restore it (clear the limit or the "
         "credential). Exiting 96 (keep custody; the daemon paces retries, never reseeds). " +
         excerpts + "\n";
}

// Windows error codes, named here because the test does not include windows.h.
constexpr int ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr int ERROR_INVALID_NAME_CODE = 123;
constexpr int ERROR_DIRECTORY_CODE = 267;

std::string absolute_text(const stdfs::path& path) { return display(*fs::make_absolute(path)); }

std::vector<std::string> agent_argv(bool continued, const stdfs::path& sessions_dir) {
  std::vector<std::string> argv = {"-p"};
  if (continued) argv.push_back("-c");
  const std::string dir = absolute_text(sessions_dir);
  const std::string prompt = absolute_text(sessions_dir / "turn-prompt.md");
  for (std::string arg :
       {std::string("--session-dir"), dir, std::string("--tools"), std::string("read,write,edit"),
        std::string("--auto-approve"), std::string("--thinking"), std::string("off"), std::string("--no-title"),
        std::string("--no-extensions"), std::string("--no-skills"), std::string("--no-rules"), "@" + prompt}) {
    argv.push_back(std::move(arg));
  }
  return argv;
}

class Thymel : public AgentTurnTest {
 protected:
  void SetUp() override {
    omp_profile = "work";
    install_agent("stdout the reply\\n\n");
    write_snapshot("ep-1", recorded_selectors());
  }

  stdfs::path work() const { return tmp / "work"; }
  stdfs::path mind() const { return work() / "mind.md"; }
  stdfs::path sessions() const { return work() / "omp-sessions"; }

  // A turn for endpoint ep-1 in the daemon's environment, which differs from the recorded one.
  Cli turn(const std::string& mind_arg, const std::string& input) const {
    return Cli({"thymel-omp", "--id", "ep-1", "--session-id", "s-1", "--thymel-context-file", mind_arg})
        .env("VANTLE_STATE_DIR", display(state()))
        .env("HOME", display(tmp / "home-daemon"))
        .env("USERPROFILE", display(tmp / "home-daemon"))
        .env("XDG_DATA_HOME", display(tmp / "data-daemon"))
        .env("PI_PROFILE", "daemon")
        .env("OMP_PROFILE", "daemon")
        .cwd(tmp.path())
        .input(input);
  }
  Cli turn(const std::string& input) const { return turn(display(mind()), input); }


  // Checks one recorded turn: arguments in order, working directory, prompt file bytes, and the
  // recorded selectors in its environment (absent ones removed, not inherited from the tool).
  void expect_agent_turn(const json& run, bool continued, const std::string& prompt, const stdfs::path& dir,
                         const json& selectors) const {
    EXPECT_EQ(run["argv"].get<std::vector<std::string>>(), agent_argv(continued, dir / "omp-sessions"));
    EXPECT_EQ(run["cwd"], absolute_text(dir));
    EXPECT_EQ(run["files"], json::object({{absolute_text(dir / "omp-sessions" / "turn-prompt.md"), prompt}}));
    expect_agent_env(run, selectors);
  }
};

TEST_F(Thymel, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "missing --id"},
      {{"--id"}, "--id expects a value"},
      {{"--session-id"}, "--session-id expects a value"},
      {{"--thymel-context-file"}, "--thymel-context-file expects a value"},
      {{"--project-dir"}, "--project-dir expects a value"},
      {{"--id", "a", "--session-id", "s", "--thymel-context-file", "m", "--id"}, "--id expects a value"},
      {{"--id", "a", "--session-id", "s", "--thymel-context-file", "m", "--project-dir"},
       "--project-dir expects a value"},
      {{"--id", "e"}, "missing --session-id"},
      {{"--id", "e", "--thymel-context-file", "m"}, "missing --session-id"},
      {{"--session-id", "s", "--thymel-context-file", "m"}, "missing --id"},
      {{"--id", "e", "--session-id", "s"}, "missing --thymel-context-file"},
      {{"--id", "e", "--session-id", "s", "--project-dir", "p"}, "missing --thymel-context-file"},
      // A value is the next argument, whatever it looks like.
      {{"--id", "--session-id", "--thymel-context-file", "m"}, "missing --session-id"},
      {{"--id=e"}, "unknown arg: --id=e"},
      {{"--ID", "e"}, "unknown arg: --ID"},
      {{"-h"}, "unknown arg: -h"},
      {{"--help"}, "unknown arg: --help"},
      {{""}, "unknown arg: "},
      {{"--bogus", "--id"}, "unknown arg: --bogus"},
      {{"--id", "e", "--session-id", "s", "--thymel-context-file", "m", "extra"}, "unknown arg: extra"},
      {{"--id", "e", "--thymel-context-file", "m", "--session-id", "s", "--cwd", "x"}, "unknown arg: --cwd"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"thymel-omp"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(Cli(args).env("VANTLE_STATE_DIR", display(state())).input("in").run(),
              exited(2, "", usage_line(c.message)));
  }
  // An argument echoed back cannot break the line.
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(Cli({"thymel-omp", "--id", "e", "x" + c.raw + "y"}).input("in").run(),
              exited(2, "", usage_line("unknown arg: x" + c.shown + "y")));
  }
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, LastValueOfARepeatedOptionWins) {
  // Only ep-1 has a snapshot; the blank mind and missing sessions directory make the reseed line
  // show which id was used.
  write_file(mind(), "");
  const auto r = Cli({"thymel-omp", "--id", "first", "--session-id", "a", "--id", "ep-1", "--thymel-context-file",
                      "elsewhere.md", "--session-id", "b", "--thymel-context-file", display(mind())})
                     .env("VANTLE_STATE_DIR", display(state()))
                     .input("go")
                     .run();
  EXPECT_EQ(r, exited(95, "", not_found_line()));
}

TEST_F(Thymel, BlankMindAndBlankInputAcknowledgeWithoutTouchingAnything) {
  struct Case {
    std::string mind;
    std::string input;
    bool bare_name;
  };
  const Case cases[] = {
      {"", "", false}, {" \n\t", "\r\n \t", false}, {"\xC2\xA0\xE3\x80\x80", "\xE2\x80\xA9", false},
      {"", "", true},  {"\n", " ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("bare name " + std::to_string(c.bare_name) + ", mind \"" + c.mind + "\"");
    write_file(mind(), c.mind);
    const auto r = turn(c.bare_name ? "mind.md" : display(mind()), c.input).cwd(work()).run();
    EXPECT_EQ(r, exited(0, ACK, ""));
    EXPECT_FALSE(fs::exists(sessions()));
  }
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, BlankMindContinuesOnlyWhenALogIsThere) {
  struct Case {
    std::vector<std::string> entries;  // a trailing slash makes a directory
    bool continued;
  };
  const Case cases[] = {
      {{"x.JSONL"}, true},
      {{"notes.txt", "2026-12-07T08-07-11-013Z_01a24f8a-dfa5-7149-8240-02771af3233d.jsonl"}, true},
      {{"old.jsonl/"}, true},
      {{"..jsonl"}, true},
      {{}, false},
      {{".jsonl"}, false},
      {{"a.jsonl.bak", "a.json", "turn-prompt.md"}, false},
      {{"sub/x.jsonl"}, false},
  };
  for (const auto& c : cases) {
    std::string listing;
    for (const auto& e : c.entries) listing += e + " ";
    SCOPED_TRACE("sessions dir holding: " + listing);
    std::error_code ec;
    stdfs::remove_all(work(), ec);
    stdfs::remove(record, ec);
    write_file(mind(), " \n");
    stdfs::create_directories(sessions());
    for (const auto& e : c.entries) {
      if (e.back() == '/') {
        stdfs::create_directories(sessions() / path_from_utf8(e.substr(0, e.size() - 1)));
      } else {
        write_file(sessions() / path_from_utf8(e), "{\"type\":\"session\"}\n");
      }
    }
    const auto r = turn("what next?\n").run();
    if (c.continued) {
      EXPECT_EQ(r, exited(0, "the reply\n", ""));
      const auto runs = agent_turns();
      ASSERT_EQ(runs.size(), 1u);
      // With a blank mind the prompt is the input exactly as read.
      expect_agent_turn(runs[0], true, "what next?\n", work(), recorded_selectors());
    } else {
      EXPECT_EQ(r, exited(95, "", not_found_line()));
      EXPECT_TRUE(agent_turns().empty());
      // Nothing is written on the way to a reseed.
      const bool had_prompt = std::find(c.entries.begin(), c.entries.end(), "turn-prompt.md") != c.entries.end();
      EXPECT_EQ(fs::exists(sessions() / "turn-prompt.md"), had_prompt);
    }
  }
}

TEST_F(Thymel, BlankMindWithoutSessionsDirAsksForReseedAndCreatesNothing) {
  write_file(mind(), "\t\n");
  EXPECT_EQ(turn("input").run(), exited(95, "", not_found_line()));
  EXPECT_FALSE(fs::exists(sessions()));
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, MindWithContentStartsAFreshSession) {
  struct Case {
    std::string mind;
    std::string input;
    std::string prompt;
  };
  const Case cases[] = {
      {"You are Thymel.\n\n  \t", "hello\n", "You are Thymel.\n\nhello\n"},
      {"\n\n  rules\n", "x", "\n\n  rules\n\nx"},  // leading blank lines stay
      {"m\r\n", "  in  \r\n", "m\n\n  in  \r\n"},
      {"m", "", "m\n\n"},
      {"caf\xC3\xA9 \xE2\x80\x83", "\xF0\x9F\x98\x80", "caf\xC3\xA9\n\n\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mind \"" + c.mind + "\"");
    std::error_code ec;
    stdfs::remove_all(work(), ec);
    stdfs::remove(record, ec);
    write_file(mind(), c.mind);
    const auto r = turn(c.input).arg("--project-dir").arg(display(tmp / "no-such-project")).run();
    EXPECT_EQ(r, exited(0, "the reply\n", ""));
    const auto runs = agent_turns();
    ASSERT_EQ(runs.size(), 1u);
    expect_agent_turn(runs[0], false, c.prompt, work(), recorded_selectors());
    // The prompt file stays after the turn.
    EXPECT_EQ(read_file(sessions() / "turn-prompt.md"), c.prompt);
  }
}

TEST_F(Thymel, PromptFileIsReplacedWhole) {
  write_file(mind(), "short");
  write_file(sessions() / "turn-prompt.md", std::string(10000, 'o'));
  write_file(sessions() / "a_1.jsonl", "{\"type\":\"session\"}\n");
  EXPECT_EQ(turn("q").run(), exited(0, "the reply\n", ""));
  EXPECT_EQ(read_file(sessions() / "turn-prompt.md"), "short\n\nq");
  EXPECT_EQ(read_file(sessions() / "a_1.jsonl"), "{\"type\":\"session\"}\n");
}

TEST_F(Thymel, AgentSeesTheRecordedSelectorsAndItsOwnExecutable) {
  json selectors = recorded_selectors();
  selectors["USERPROFILE"] = display(tmp / "profile-recorded");
  selectors["XDG_DATA_HOME"] = "";
  selectors["OMP_PROFILE"] = nullptr;
  selectors["PI_PROFILE"] = " default ";
  write_snapshot("ep-1", selectors);
  write_file(mind(), "m");
  EXPECT_EQ(turn("i").run(), exited(0, "the reply\n", ""));
  const auto runs = agent_turns();
  ASSERT_EQ(runs.size(), 1u);
  expect_agent_turn(runs[0], false, "m\n\ni", work(), selectors);
  EXPECT_EQ(runs[0]["env"].value("VANTLE_STATE_DIR", ""), display(state()));
}

TEST_F(Thymel, RelativeMindPathGivesTheAgentAbsolutePaths) {
  for (const std::string mind_arg : {"work/mind.md", "./work/../work/mind.md"}) {
    SCOPED_TRACE(mind_arg);
    std::error_code ec;
    stdfs::remove_all(work(), ec);
    stdfs::remove(record, ec);
    write_file(mind(), "m");
    EXPECT_EQ(turn(mind_arg, "i").cwd(tmp.path()).run(), exited(0, "the reply\n", ""));
    const auto runs = agent_turns();
    ASSERT_EQ(runs.size(), 1u);
    expect_agent_turn(runs[0], false, "m\n\ni", work(), recorded_selectors());
  }
}

TEST_F(Thymel, RelativePathsStayAsGivenInMessages) {
  write_file(mind(), "m");
  write_file(sessions(), "a file where the sessions directory belongs");
  const std::string sep = sys::is_windows() ? "\\" : "/";
  EXPECT_EQ(
      turn("./work/../work/mind.md", "i").cwd(tmp.path()).run(),
      exited(1, "",
             fail_line("cannot create session dir ./work/../work" + sep + "omp-sessions: " + os_text(EEXIST, 183))));
  EXPECT_EQ(turn("work/missing.md", "i").cwd(tmp.path()).run(),
            exited(1, "", fail_line("mind file unreadable (work/missing.md): " + os_text(ENOENT, 2))));
}

TEST_F(Thymel, ContinuedTurnAfterAFreshOne) {
  // The stand-in writes its session log where --session-dir points, as the agent does.
  install_agent("stdout noted\nsession_log 2026-12-07T08-07-11-013Z_01a24f8a.jsonl|{\"type\":\"session\"}\\n\n");
  write_file(mind(), "You are Thymel.\n");
  EXPECT_EQ(turn("first\n").run(), exited(0, "noted", ""));
  write_file(mind(), "");
  EXPECT_EQ(turn("second\n").run(), exited(0, "noted", ""));
  const auto runs = agent_turns();
  ASSERT_EQ(runs.size(), 2u);
  expect_agent_turn(runs[0], false, "You are Thymel.\n\nfirst\n", work(), recorded_selectors());
  expect_agent_turn(runs[1], true, "second\n", work(), recorded_selectors());
  EXPECT_EQ(read_file(sessions() / "2026-12-07T08-07-11-013Z_01a24f8a.jsonl"),
            "{\"type\":\"session\"}\n{\"type\":\"session\"}\n");
}

TEST_F(Thymel, SuccessfulAgentOutput) {
  struct Case {
    std::string scenario;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"stdout  \\n\\t\\r\\n\n", ACK, ""},
      {"", ACK, ""},
      {"stdout no line feed\n", "no line feed", ""},
      {"stdout \\n line\\r\\n\\n\n", "\n line\r\n\n", ""},
      {"stdout \\xFFok\n", "\xEF\xBF\xBDok", ""},
      {"stdout r\nstderr Working...\\nwarning: slow\\n\n", "r", "Working...\nwarning: slow\n"},
      {"stdout r\nstderr  \\n\n", "r", ""},
      {"stderr only a warning\n", ACK, "only a warning"},
  };
  write_file(mind(), "m");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    install_agent(c.scenario);
    EXPECT_EQ(turn("i").run(), exited(0, c.out, c.err));
  }
}

// An answer larger than the memory the tool may take is a failed turn, not an abort.
TEST_F(Thymel, AnAnswerBeyondTheMemoryLimitIsAFailedTurn) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  install_agent("flood_stdout 4000000000\n");
  write_file(mind(), "mind");
  EXPECT_EQ(turn("input").memory_limit(262144).run(),
            exited(1, "", fail_line("omp spawn failed: stdout reader ran out of memory")));
}

// A reply is held once, and its decoding made at its final size: a 32 MiB reply of bytes that are
// not UTF-8 (each becomes three) comes out whole under an address-space limit of six times it plus
// 32 MiB. Decoded by a growing copy beside a second one, it did not.
TEST_F(Thymel, AReplyIsHeldOnceWhateverItsBytes) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  constexpr std::size_t REPLY = 32u << 20;
  install_agent("flood_stdout " + std::to_string(REPLY) + "\nflood_fill \\xff\n");
  write_file(mind(), "mind");
  const auto result = turn("input").memory_limit(6 * (REPLY >> 10) + (32u << 10)).run();
  EXPECT_EQ(result.err, "");
  std::string expected;
  expected.reserve(3 * REPLY);
  for (std::size_t i = 0; i < REPLY; ++i) expected += "\xEF\xBF\xBD";
  // Compared apart: a failure would otherwise print 96 MiB twice.
  EXPECT_TRUE(result.out == expected) << result.out.size() << " bytes out of " << expected.size();
  EXPECT_EQ(result, exited(0, result.out, ""));
}

TEST_F(Thymel, FailedAgentOutput) {
  struct Case {
    std::string scenario;
    int code;
    std::string err;
  };
  const std::string silent = "omp stderr: <silent>; omp stdout: <silent>";
  const std::string quota = "402 You exceeded your current quota, please check your plan and billing details.";
  const std::string long_err = std::string(300, 'a') + std::string(1200, 'b');
  std::vector<Case> cases = {
      {"exit 1\n", 1, fail_line("omp exited exit code: 1; " + silent)},
      {"exit 2\nstdout partial reply\\n\nstderr boom\n", 1,
       "boom" + fail_line("omp exited exit code: 2; omp stderr: boom; omp stdout: partial reply")},
      {"exit 255\nstderr a\\r\\nb\\nc\\n\n", 1,
       "a\r\nb\nc\n" + fail_line("omp exited exit code: 255; omp stderr: a | b | c; omp stdout: <silent>")},
      {"exit 3\nstderr " + long_err + "\n", 1,
       long_err + fail_line("omp exited exit code: 3; omp stderr: \xE2\x80\xA6" + std::string(1200, 'b') +
                            "; omp stdout: <silent>")},
      {"exit 1\nstderr Working...\\n" + quota + "\\n\n", 96,
       "Working...\n" + quota + "\n" +
           refusal_line("usage-limit", "omp stderr: Working... | " + quota + "; omp stdout: <silent>")},
      {"exit 1\nstderr 401 invalid api key\n", 96,
       "401 invalid api key" + refusal_line("credential", "omp stderr: 401 invalid api key; omp stdout: <silent>")},
      {"exit 1\nstdout Error: insufficient_quota\\n\n", 96,
       refusal_line("usage-limit", "omp stderr: <silent>; omp stdout: Error: insufficient_quota")},
      {"exit 1\nstderr 429 Too Many Requests: rate limit of 50 per minute\n", 1,
       "429 Too Many Requests: rate limit of 50 per minute" +
           fail_line("omp exited exit code: 1; omp stderr: 429 Too Many Requests: rate limit of 50 per minute; "
                     "omp stdout: <silent>")},
  };
  if (sys::is_windows()) {
    // Only a Windows parent sees all 32 bits of an exit code.
    cases.push_back({"exit 3221225477\n", 1, fail_line("omp exited exit code: 0xc0000005; " + silent)});
  } else {
    // An agent ended by a signal has no exit code; the turn fails.
    cases.push_back({"signal 9\n", 1, fail_line("omp exited signal: 9 (SIGKILL); " + silent)});
  }
  write_file(mind(), "m");
  write_file(sessions() / "a_1.jsonl", "log\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario.substr(0, 200));
    install_agent(c.scenario);
    EXPECT_EQ(turn("i").run(), exited(static_cast<std::uint32_t>(c.code), "", c.err));
  }
  EXPECT_EQ(read_file(sessions() / "a_1.jsonl"), "log\n");
}

TEST_F(Thymel, HugeOutputOnBothStreamsDoesNotStall) {
  constexpr std::uint64_t kSize = 50u << 20;
  install_agent("flood_stdout " + std::to_string(kSize) + "\nflood_stderr " + std::to_string(kSize) + "\n");
  write_file(mind(), "m");
  const auto r = turn("i").timeout(std::chrono::minutes(3)).run();
  EXPECT_TRUE(r.harness_error.empty()) << r.harness_error;
  EXPECT_TRUE(r.status.success()) << exit_status_text(r.status);
  EXPECT_EQ(r.out.size(), kSize);
  EXPECT_EQ(r.err.size(), kSize);
  EXPECT_EQ(r.out.find_first_not_of('x'), std::string::npos);
  EXPECT_EQ(r.err.find_first_not_of('x'), std::string::npos);
}

TEST_F(Thymel, StateDirectoryUnavailable) {
  write_file(mind(), "m");
  const auto r = Cli({"thymel-omp", "--id", "ep-1", "--session-id", "s", "--thymel-context-file", display(mind())})
                     .input("i")
                     .run();
  EXPECT_EQ(r, exited(1, "",
                      fail_line("endpoint state directory unavailable: cannot resolve a durable state directory for "
                                "endpoint snapshots (set VANTLE_STATE_DIR, XDG_STATE_HOME, or HOME)")));
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, EndpointEnvironmentUnavailable) {
  write_file(mind(), "m");
  const auto run_as = [&](const std::string& id) {
    return Cli({"thymel-omp", "--id", id, "--session-id", "s", "--thymel-context-file", display(mind())})
        .env("VANTLE_STATE_DIR", display(state()))
        .input("i")
        .run();
  };
  EXPECT_EQ(run_as("a.b"), exited(1, "",
                                  fail_line("endpoint environment unavailable: invalid endpoint id 'a.b' for "
                                            "environment snapshot",
                                            "a.b")));
  EXPECT_EQ(run_as(""), exited(1, "",
                               fail_line("endpoint environment unavailable: invalid endpoint id '' for environment "
                                         "snapshot",
                                         "")));
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    const std::string shown = "a" + c.shown + "b";
    EXPECT_EQ(run_as("a" + c.raw + "b"),
              exited(1, "",
                     fail_line("endpoint environment unavailable: invalid endpoint id '" + shown +
                                   "' for environment snapshot",
                               shown)));
  }
  const stdfs::path moved = state() / ".vantle" / "vantle-env-v1" / "ep-2.json";
  write_snapshot("ep-2", recorded_selectors(), "ep-1");
  EXPECT_EQ(run_as("ep-2"), exited(1, "",
                                   fail_line("endpoint environment unavailable: endpoint environment snapshot " +
                                                 display(moved) + " belongs to 'ep-1', not 'ep-2'",
                                             "ep-2")));
  // Missing, and nothing to rebuild it from: no agent anywhere.
  const stdfs::path missing = state() / ".vantle" / "vantle-env-v1" / "ep-3.json";
  EXPECT_EQ(run_as("ep-3"),
            exited(1, "",
                   fail_line("endpoint environment unavailable: endpoint environment snapshot is missing (cannot "
                             "read endpoint environment snapshot " +
                                 display(missing) + ": " + os_text(ENOENT, 2) +
                                 ") and cannot be rebuilt: Oh My Pi executable not found in known install "
                                 "locations or on PATH; set VANTLE_OMP_BIN to its full path",
                             "ep-3")));
  EXPECT_FALSE(fs::exists(sessions()));
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, MissingSnapshotIsRebuiltFromTheToolsEnvironment) {
  write_file(mind(), "m");
  const auto r = Cli({"thymel-omp", "--id", "ep-new", "--session-id", "s", "--thymel-context-file", display(mind())})
                     .env("VANTLE_STATE_DIR", display(state()))
                     .env("VANTLE_OMP_BIN", display(agent))
                     .env("HOME", display(tmp / "home-daemon"))
                     .env("PI_CONFIG_DIR", ".cfg")
                     .input("i")
                     .run();
  EXPECT_EQ(r, exited(0, "the reply\n", ""));
  EXPECT_TRUE(fs::is_regular_file(state() / ".vantle" / "vantle-env-v1" / "ep-new.json"));
  const auto runs = agent_turns();
  ASSERT_EQ(runs.size(), 1u);
  expect_agent_turn(runs[0], false, "m\n\ni", work(),
                    {{"HOME", display(tmp / "home-daemon")},
                     {"PI_CONFIG_DIR", ".cfg"},
                     {"PI_PROFILE", nullptr},
                     {"XDG_DATA_HOME", nullptr},
                     {"VANTLE_OMP_BIN", display(agent)}});
}

TEST_F(Thymel, RecordedExecutableWinsOverTheToolsOwn) {
  json selectors = recorded_selectors();
  const stdfs::path gone = tmp / "gone" / agent_file_name();
  selectors["VANTLE_OMP_BIN"] = display(gone);
  write_snapshot("ep-1", selectors);
  write_file(mind(), "m");
  EXPECT_EQ(turn("i").env("VANTLE_OMP_BIN", display(agent)).run(),
            exited(1, "",
                   fail_line("omp resolution failed: VANTLE_OMP_BIN points to `" + display(gone) +
                             "`, but that file does not exist")));
  // Resolution comes after the prompt file is written.
  EXPECT_EQ(read_file(sessions() / "turn-prompt.md"), "m\n\ni");
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, MindFileFailures) {
  write_file(work() / "bad.md", "caf\xC3\x28");
  write_file(work() / "plain", "");
  stdfs::create_directories(work() / "dir.md");
  write_file(sessions() / "a_1.jsonl", "log\n");
  struct Case {
    std::string mind_arg;
    std::string error;
  };
  const Case cases[] = {
      {display(work() / "missing.md"), os_text(ENOENT, 2)},
      {display(work() / "dir.md"), os_text(EISDIR, 5)},
      {display(work() / "plain" / "mind.md"), os_text(ENOTDIR, 3)},
      // Refused before standard input (not UTF-8 either) is read.
      {display(work() / "bad.md"), "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mind_arg);
    EXPECT_EQ(turn(c.mind_arg, "\xFF").run(),
              exited(1, "", fail_line("mind file unreadable (" + c.mind_arg + "): " + c.error)));
  }
  // A path as given, shown escaped within the one line; Windows names cannot hold these.
  for (const auto& c : sys::is_windows() ? std::vector<ControlCharacter>() : control_characters()) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(turn(display(work()) + "/mi" + c.raw + "nd.md", "i").run(),
              exited(1, "",
                     fail_line("mind file unreadable (" + display(work()) + "/mi" + c.shown +
                               "nd.md): " + os_text(ENOENT, 2))));
  }
  EXPECT_EQ(read_file(sessions() / "a_1.jsonl"), "log\n");
  EXPECT_FALSE(fs::exists(sessions() / "turn-prompt.md"));
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, InputThatIsNotUtf8) {
  write_file(mind(), "m");
  EXPECT_EQ(turn("ok \xC3").run(), exited(1, "", fail_line("stdin read failed: stream did not contain valid UTF-8")));
  EXPECT_FALSE(fs::exists(sessions()));
}

TEST_F(Thymel, BareMindFileNameHasNoAnchor) {
  for (const std::string mind_text : {"content", ""}) {
    SCOPED_TRACE(mind_text);
    write_file(mind(), mind_text);
    EXPECT_EQ(turn("mind.md", "input").cwd(work()).run(),
              exited(1, "", fail_line("mind file path has no parent dir (no session-dir anchor)")));
    EXPECT_FALSE(fs::exists(sessions()));
  }
  EXPECT_TRUE(agent_turns().empty());
}

TEST_F(Thymel, SessionsDirectoryThatCannotBeUsed) {
  // A file where the directory belongs: listing it fails (blank mind), creating it fails (content).
  write_file(sessions(), "not a directory");
  write_file(mind(), "");
  const auto listed = turn("i").run();
  // Windows names this fault by several codes (Wine: 123, Windows: 267 or 3); POSIX by ENOTDIR.
  std::vector<int> codes = {ENOTDIR};
  if (sys::is_windows()) codes = {ERROR_INVALID_NAME_CODE, ERROR_DIRECTORY_CODE, ERROR_PATH_NOT_FOUND_CODE};
  bool matched = false;
  for (const int code : codes) {
    matched =
        matched ||
        listed ==
            exited(1, "", fail_line("cannot list session dir " + display(sessions()) + ": " + os_error(code).message));
  }
  EXPECT_TRUE(matched) << ::testing::PrintToString(listed);
  write_file(mind(), "m");
  EXPECT_EQ(turn("i").run(),
            exited(1, "", fail_line("cannot create session dir " + display(sessions()) + ": " + os_text(EEXIST, 183))));
  EXPECT_EQ(read_file(sessions()), "not a directory");

  // A directory where the prompt file belongs; the stored log stays as it was.
  stdfs::remove(sessions());
  write_file(sessions() / "a_1.jsonl", "log\n");
  stdfs::create_directories(sessions() / "turn-prompt.md");
  EXPECT_EQ(turn("i").run(), exited(1, "",
                                    fail_line("cannot write turn prompt " + display(sessions() / "turn-prompt.md") +
                                              ": " + os_text(EISDIR, 5))));
  EXPECT_EQ(read_file(sessions() / "a_1.jsonl"), "log\n");
  EXPECT_TRUE(agent_turns().empty());
}

// A reply or acknowledgement that never reached the daemon is a failed turn, not a success. The
// daemon closes its end before the tool has its input, so the tool cannot have written yet.
TEST_F(Thymel, AReplyThatCannotBeWrittenFailsTheTurn) {
  for (const std::string mind_text : {"m", ""}) {
    SCOPED_TRACE(mind_text.empty() ? "acknowledgement" : "reply");
    write_file(mind(), mind_text);
    process::Command command;
    command.program = vantle_binary();
    command.args = {"thymel-omp", "--id", "ep-1", "--session-id", "s-1", "--thymel-context-file", display(mind())};
    command.set_env("VANTLE_STATE_DIR", OsString::from_path(state()));
    command.in = process::Stdio::kPipe;
    command.out = process::Stdio::kPipe;
    command.err = process::Stdio::kPipe;
    auto child = process::spawn(command);
    ASSERT_TRUE(child.ok()) << child.error().message;
    child->take_stdout()->close();
    ASSERT_TRUE(child->take_stdin()->write_all(mind_text.empty() ? " " : "i"));
    auto err = child->take_stderr()->read_to_end();
    ASSERT_TRUE(err.ok()) << err.error().message;
    EXPECT_EQ(exit_status_text(*child->wait()), "exit code: 1");
    // A broken pipe: EPIPE, or on Windows ERROR_NO_DATA or ERROR_BROKEN_PIPE.
    bool matched = false;
    for (const int code : sys::is_windows() ? std::vector<int>{232, 109} : std::vector<int>{EPIPE}) {
      matched = matched || *err == fail_line("cannot write reply: " + os_error(code).message);
    }
    EXPECT_TRUE(matched) << *err;
  }
}

// Windows cannot start a process in a folder of 259 characters or more (with the backslash it
// appends, past MAX_PATH): the turn fails at once, naming the folder, instead of hanging. Linux
// has no such limit.
TEST_F(Thymel, AFolderTooLongForAWorkingDirectory) {
  const stdfs::path dir = work() / std::string(120, 'a') / std::string(120, 'b');
  write_file(dir / "mind.md", "m");
  const std::string shown = absolute_text(dir);
  ASSERT_GE(shown.size(), 260u);
  const auto r = turn(display(dir / "mind.md"), "i").timeout(std::chrono::seconds(20)).run();
  if (!sys::is_windows()) {
    EXPECT_EQ(r, exited(0, "the reply\n", ""));
    return;
  }
  EXPECT_EQ(r, exited(1, "",
                      fail_line("omp spawn failed: working directory " + shown + " is too long for Windows (" +
                                std::to_string(shown.size()) + " characters, at most 258)")));
}

// A turn that finds no snapshot rebuilds one while it proves the agent; a launch that writes the
// endpoint's snapshot meanwhile keeps it, and the turn uses the launch's record. The turn's probe
// says when it has begun and answers once the launch is done.
TEST_F(Thymel, ARebuildRacingALaunchKeepsTheLaunchsSnapshot) {
  write_file(mind(), "m");
  const auto probing = tmp / "probing.jsonl";
  const auto launched_marker = tmp / "launched";
  const auto slow = install_fake_agent(tmp / "slow", "record " + scenario_path(probing) + "\nversion.wait_for " +
                                                         scenario_path(launched_marker) + "\nstdout the slow one\n");
  CliResult turned;
  std::thread turn_thread([&] {
    turned = Cli({"thymel-omp", "--id", "ep-race", "--session-id", "s", "--thymel-context-file", display(mind())})
                 .env("VANTLE_STATE_DIR", display(state()))
                 .env("VANTLE_OMP_BIN", display(slow))
                 .input("i")
                 .run();
  });
  while (!stdfs::exists(probing)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto launched = Cli({"launch-omp", "--id", "ep-race", "--extension", "x", "--resume", "s-launch"})
                            .env("VANTLE_STATE_DIR", display(state()))
                            .env("VANTLE_OMP_BIN", display(agent))
                            .run();
  write_file(launched_marker, "");
  turn_thread.join();
  EXPECT_EQ(launched.status, ExitStatus::exited(0)) << launched.err;
  EXPECT_EQ(turned, exited(0, "the reply\n", ""));
  const json snapshot = json::parse(read_file(state() / ".vantle" / "vantle-env-v1" / "ep-race.json"));
  EXPECT_EQ(snapshot["launch_session_id"], "s-launch");
  EXPECT_EQ(snapshot["selectors"]["VANTLE_OMP_BIN"], display(agent));
}

}  // namespace
}  // namespace vantle::testing
