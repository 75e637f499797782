#include "corvane_omp/turn.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os_string.h"
#include "text/utf8.h"

namespace vantle::corvane {
namespace {

TEST(CorvaneArgs, FollowsTheGrammar) {
  using Opt = std::optional<std::string>;
  struct Case {
    std::vector<std::string> args;
    Opt id, session_id, session_dir, project_dir;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, {}, {}},
      {{"--id", "e1", "--session-id", "s1"}, "e1", "s1", {}, {}},
      {{"--session-dir", "d", "--project-dir", "p", "--id", "", "--session-id", ""}, "", "", "d", "p"},
      // A value is taken verbatim, even when it looks like an option.
      {{"--id", "--session-id", "x"}, "--session-id", {}, {}, {}},
      {{"--id", "-h"}, "-h", {}, {}, {}},
      // The last one wins; a trailing option without a value counts as absent.
      {{"--id", "a", "--id", "b"}, "b", {}, {}, {}},
      {{"--id", "e1", "--session-id"}, "e1", {}, {}, {}},
      {{"--session-id", "s", "--id", "e", "--session-id"}, "e", {}, {}, {}},
      // An unknown option swallows the next argument, even a known option.
      {{"--verbose", "--id", "e1", "--session-id", "s1"}, {}, "s1", {}, {}},
      {{"--x", "1", "--id", "e1"}, "e1", {}, {}, {}},
      {{"--", "--id", "e1"}, {}, {}, {}, {}},
      // Other arguments are skipped on their own.
      {{"stray", "--id", "e1", "-v", "--session-id", "s"}, "e1", "s", {}, {}},
      {{"--ID", "e1", "--id", "e2"}, "e2", {}, {}, {}},
      {{"--unknown"}, {}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    const CorvaneArgs parsed = parse_corvane_args(c.args);
    std::string trace;
    for (const auto& a : c.args) trace += "[" + a + "]";
    EXPECT_EQ(parsed.id, c.id) << trace;
    EXPECT_EQ(parsed.session_id, c.session_id) << trace;
    EXPECT_EQ(parsed.session_dir, c.session_dir) << trace;
    EXPECT_EQ(parsed.project_dir, c.project_dir) << trace;
  }
}

TEST(CorvaneTurn, SystemPromptIs931Bytes) {
  EXPECT_EQ(SUMMARIZER_SYSTEM_PROMPT.size(), 931u);
  EXPECT_EQ(text::count_code_points(SUMMARIZER_SYSTEM_PROMPT), 929u);
  EXPECT_TRUE(SUMMARIZER_SYSTEM_PROMPT.ends_with("teammate \xE2\x80\x94 machines are not teammates."));
}

TEST(CorvaneTurn, AgentArgumentsNameEachFileInOrder) {
  const TurnPaths paths{path_from_utf8("/t/w \xC3\xA9"), path_from_utf8("/t/c"), path_from_utf8("/t/s"),
                        path_from_utf8("/t/p")};
  auto args = agent_arguments(paths);
  ASSERT_TRUE(args.ok()) << args.error().message;
  const std::vector<std::string> expected = {"-p",
                                             "--no-session",
                                             "--no-tools",
                                             "--no-lsp",
                                             "--thinking",
                                             "off",
                                             "--no-title",
                                             "--no-extensions",
                                             "--no-skills",
                                             "--no-rules",
                                             "--cwd",
                                             display(paths.workspace),
                                             "--config",
                                             display(paths.config),
                                             "--system-prompt",
                                             display(paths.system_prompt),
                                             "--append-system-prompt",
                                             display(paths.system_prompt),
                                             "@" + display(paths.transcript_prompt)};
  EXPECT_EQ(*args, expected);
}

AgentCapture captured(std::string out, std::string err, ExitStatus status, bool out_over = false,
                      bool err_over = false) {
  return AgentCapture{std::move(out), out_over, std::move(err), err_over, std::move(status)};
}

TEST(CorvaneTurn, JudgesACompletedRun) {
  const std::string empty = "<project-context></project-context><live-context></live-context>";
  const std::string refusal_head =
      "CORVANE_ACCOUNT_REFUSAL:e1: outage, not a fault \xE2\x80\x94 the provider refused the summarizer turn for "
      "account reasons (";
  const std::string refusal_mid =
      "); nothing is broken, the transcript is intact, and only a human can restore the account. omp exited ";
  struct Case {
    std::string name;
    AgentCapture capture;
    int code;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {"valid delta", captured("\n" + empty + "\n", "", ExitStatus::exited(0)), 0, empty, ""},
      {"invalid delta", captured("no", "", ExitStatus::exited(0)), 1, "",
       "CORVANE_FAIL:e1: omp delta must start with <project-context>\n"},
      {"stdout overflow beats everything", captured(empty, "x", ExitStatus::exited(7), true, true), 1, "",
       "CORVANE_FAIL:e1: omp delta exceeded 49152 byte limit\n"},
      {"stdout overflow of a killed agent", captured(empty, "", ExitStatus::signaled(9, "SIGKILL"), true), 1, "",
       "CORVANE_FAIL:e1: omp delta exceeded 49152 byte limit\n"},
      {"stderr overflow beats the exit code", captured("", "e", ExitStatus::exited(1), false, true), 1, "",
       "CORVANE_FAIL:e1: omp stderr exceeded 49152 byte limit\n"},
      {"stderr overflow beats a valid delta", captured(empty, "e", ExitStatus::exited(0), false, true), 1, "",
       "CORVANE_FAIL:e1: omp stderr exceeded 49152 byte limit\n"},
      {"silent failure", captured(" \n", "\t", ExitStatus::exited(3)), 1, "",
       "CORVANE_FAIL:e1: omp exited exit code: 3; omp stderr: <silent>; omp stdout: <silent>\n"},
      {"top bit set", captured("out", "bad\r\nthing", ExitStatus::exited(3221225477u)), 1, "",
       "CORVANE_FAIL:e1: omp exited exit code: 0xc0000005; omp stderr: bad | thing; omp stdout: out\n"},
      {"ended by a signal", captured("", "", ExitStatus::signaled(15, "SIGTERM")), 1, "",
       "CORVANE_FAIL:e1: omp exited signal: 15 (SIGTERM); omp stderr: <silent>; omp stdout: <silent>\n"},
      {"quota exhausted", captured("", "Error: Quota exceeded for this key", ExitStatus::exited(1)), 1, "",
       refusal_head + "usage-limit" + refusal_mid +
           "exit code: 1; omp stderr: Error: Quota exceeded for this key; omp stdout: <silent>\n"},
      {"credential on stdout", captured("HTTP 401", "", ExitStatus::exited(2)), 1, "",
       refusal_head + "credential" + refusal_mid + "exit code: 2; omp stderr: <silent>; omp stdout: HTTP 401\n"},
      {"rate limit vetoes a refusal", captured("quota exceeded", "429 Too Many Requests", ExitStatus::exited(1)), 1, "",
       "CORVANE_FAIL:e1: omp exited exit code: 1; omp stderr: 429 Too Many Requests; omp stdout: quota exceeded\n"},
      {"phrase split across the streams does not match", captured("limit", "usage", ExitStatus::exited(1)), 1, "",
       "CORVANE_FAIL:e1: omp exited exit code: 1; omp stderr: usage; omp stdout: limit\n"},
      {"invalid bytes are replaced for classification", captured("", "bill\xFFing billing", ExitStatus::exited(1)), 1,
       "",
       refusal_head + "usage-limit" + refusal_mid +
           "exit code: 1; omp stderr: bill\xEF\xBF\xBDing billing; omp stdout: <silent>\n"},
      {"refusal is not looked for on success", captured(empty, "billing", ExitStatus::exited(0)), 0, empty, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Verdict verdict = judge_capture("e1", c.capture);
    EXPECT_EQ(verdict.code, c.code);
    EXPECT_EQ(verdict.out, c.out);
    EXPECT_EQ(text::report_text(verdict.err), c.err);
  }
}

}  // namespace
}  // namespace vantle::corvane
