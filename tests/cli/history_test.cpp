// history-omp seen from outside: its argument grammar, every failure line and exit code, and the
// session file copied to standard output byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "json/writer.h"
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
const std::string USAGE = "vantle history-omp --session <id> [--project-dir <dir>] [--session-dir <dir>]\n";

std::string fail(const std::string& message) { return "HISTORY_FAIL: " + message + "\n"; }

Cli history(std::vector<std::string> args) {
  args.insert(args.begin(), "history-omp");
  return Cli(std::move(args));
}

// A sessions directory with an exact and a prefix match for "abc" and one file for "abd".
SessionsDir abc_sessions() {
  return SessionsDir({{"proj/2024_abc.jsonl", "exact\n"}, {"2024_abcdef.jsonl", "prefix\n"}, {"proj/2024_abd.jsonl", "abd\n"}});
}

TEST(History, HelpAsAnArgumentOfItsOwnWins) {
  const SessionsDir s = abc_sessions();
  const std::vector<std::vector<std::string>> cases = {
      {"-h"},
      {"--help"},
      {"--session", "abc", "--help"},
      {"--session", "abc", "--session-dir", s.text(), "-h"},
      {"--bogus", "x", "--help"},
      {"-h", "--session"},
      {"--session-dir", "", "-h"},
      {"word", "--help", "--session"},
      {"--session", "", "-h", "--session-dir", ""},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(history(args).run(), exited(0, USAGE, ""));
  }
}

TEST(History, MissingOrEmptySessionComesFirst) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--session"},
      {"--session", ""},
      {"--session", "abc", "--session"},
      {"--session-dir", ""},
      {"--session-dir", "", "--session"},
      {"--session", "", "--session-dir", ""},
      {"abc"},
      {"-session", "abc"},
      {"--Session", "abc"},
      {"--bogus", "--session", "abc"},
      {"--project-dir", "--session", "abc"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(history(args).run(), exited(1, "", fail("need --session <id>")));
  }
}

TEST(History, EmptySessionDirIsRefused) {
  const SessionsDir s = abc_sessions();
  const std::vector<std::vector<std::string>> cases = {
      {"--session", "abc", "--session-dir", ""},
      {"--session-dir", s.text(), "--session", "abc", "--session-dir", ""},
      {"--session-dir", "", "--session", "abc", "--project-dir", s.text()},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(history(args).run(), exited(2, "", fail("--session-dir cannot be empty")));
  }
}

TEST(History, GrammarPicksTheOptionsAsTheyComeLeftToRight) {
  const SessionsDir s = abc_sessions();
  const std::string d = s.text();
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"--session", "abc", "--session-dir", d}, "exact\n"},
      {{"--session-dir", d, "--session", "abc"}, "exact\n"},
      {{"--session", "zzz", "--session", "abc", "--session-dir", d}, "exact\n"},
      {{"--session-dir", display(s.tmp() / "elsewhere"), "--session", "abd", "--session-dir", d}, "abd\n"},
      {{"--bogus", "--session", "--session", "abd", "--session-dir", d}, "abd\n"},
      {{"--", "--session", "--session", "abd", "--session-dir", d}, "abd\n"},
      {{"--bogus=1", "x", "-x", "word", "--session", "abd", "--session-dir", d}, "abd\n"},
      {{"--session", "abd", "--session-dir", d, "--bogus"}, "abd\n"},
      {{"--project-dir", display(s.tmp() / "missing"), "--session", "abd", "--session-dir", d}, "abd\n"},
      {{"--session", "abd", "--session-dir", d, "--project-dir"}, "abd\n"},
      {{"--session", "abd", "--project-dir", "", "--session-dir", d}, "abd\n"},
      {{"--session", "abcd", "--session-dir", d}, "prefix\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(history(c.args).run(), exited(0, c.out, ""));
  }
}

// A value option takes the next argument whatever it looks like.
TEST(History, ValuesThatLookLikeOptionsAreValues) {
  const SessionsDir s = abc_sessions();
  const std::string d = s.text();
  struct Case {
    std::vector<std::string> args;
    std::string id;
  };
  const std::vector<Case> cases = {
      {{"--session", "--help", "--session-dir", d}, "--help"},
      {{"--session", "-h", "--session-dir", d}, "-h"},
      {{"--session", "--session-dir", "--session-dir", d}, "--session-dir"},
      {{"--bogus", "-h", "--session", "-", "--session-dir", d}, "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(history(c.args).run(), exited(1, "", fail("no omp session file for '" + c.id + "' under " + d)));
  }
}

TEST(History, CopiesTheFileByteForByte) {
  ScopedTempDir tmp;
  std::string binary = "\xFF\xFE{\"a\":\"\xC3\x28\"}\r\n\x00\x1A\x80 last line without a line feed";
  binary.push_back('\0');
  std::string large;
  for (int i = 0; large.size() < (3u << 20); ++i) large += "{\"n\":" + std::to_string(i) + ",\"t\":\"\xE2\x82\xAC\"}\n";
  struct Case {
    std::string name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"not UTF-8", binary},
      {"empty", ""},
      {"one line feed", "\n"},
      {"larger than a pipe buffer", large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(tmp / "sessions/p/2024_abc.jsonl", c.bytes);
    EXPECT_EQ(history({"--session", "abc", "--session-dir", display(tmp / "sessions")}).run(), exited(0, c.bytes, ""));
  }
}

TEST(History, FailuresInsideAGivenDirectory) {
  const SessionsDir s = abc_sessions();
  const std::string d = s.text();
  write_file(s.file("other/x_abd.jsonl"), "");
  write_file(s.tmp() / "file", "");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--session", "zzz", "--session-dir", d}, "no omp session file for 'zzz' under " + d},
      {{"--session", "ab", "--session-dir", d},
       "ambiguous omp session id 'ab': " + display(s.file("2024_abcdef.jsonl")) + " " +
           display(s.file("other/x_abd.jsonl")) + " " + display(s.file("proj/2024_abc.jsonl")) + " " +
           display(s.file("proj/2024_abd.jsonl"))},
      {{"--session", "abd", "--session-dir", d},
       "ambiguous omp session id 'abd': " + display(s.file("other/x_abd.jsonl")) + " " +
           display(s.file("proj/2024_abd.jsonl"))},
      {{"--session", "abc", "--session-dir", display(s.tmp() / "missing")},
       "no omp session file for 'abc' under " + display(s.tmp() / "missing")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(history(c.args).run(), exited(1, "", fail(c.err)));
  }
}

// The directory is shown as it was given, not as the lookup built it.
TEST(History, NotFoundShowsTheDirectoryAsGiven) {
  const SessionsDir s = abc_sessions();
  for (const std::string given : {"sessions", "./sessions/", "sessions//proj/.."}) {
    SCOPED_TRACE(given);
    EXPECT_EQ(history({"--session", "zzz", "--session-dir", given}).cwd(s.tmp().path()).run(),
              exited(1, "", fail("no omp session file for 'zzz' under " + given)));
  }
}

// Separators, parent references and wildcards in an id are only compared with file names, so
// they find nothing, though files exist that the id would name if it were joined into a path.
TEST(History, IdsNeverReachOutsideTheSearchedDirectories) {
  const SessionsDir s = abc_sessions();
  write_file(s.tmp() / "outside/x_secret.jsonl", "secret\n");
  write_file(s.tmp() / "x_secret.jsonl", "secret\n");
  write_file(s.file("proj/deep/x_deep.jsonl"), "deep\n");
  const std::vector<std::string> ids = {
      "../x_secret",
      "..\\x_secret",
      "../outside/x_secret",
      "../../x_secret",
      "..",
      ".",
      "/",
      "\\",
      "*",
      "?",
      "*abc*",
      "ab?",
      "[a]bc",
      "proj/2024_abc",
      "proj\\2024_abc",
      "deep/x_deep",
      "2024_abc.jsonl",
      "abc/../abc",
      "\xEF\xBF\xBD",
      "C:x_secret",
      "%2e%2e%2fx_secret",
  };
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(history({"--session", id, "--session-dir", s.text()}).run(),
              exited(1, "", fail("no omp session file for '" + id + "' under " + s.text())));
  }
}

// A name, id or directory holding a control character cannot forge a report line: each value
// shows it escaped within the one line. File and directory names hold them on POSIX only.
TEST(History, ControlCharactersStayInsideTheOneReportLine) {
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    ScopedTempDir tmp;
    const std::string base = display(tmp.path());
    write_file(tmp / "plain" / "x_abc.jsonl", "");
    EXPECT_EQ(history({"--session", "a" + c.raw + "b", "--session-dir", display(tmp / "plain")}).run(),
              exited(1, "", fail("no omp session file for 'a" + c.shown + "b' under " + display(tmp / "plain"))));
    if (sys::is_windows()) continue;

    // The forged line: a session folder whose name ends one line and begins a refusal line.
    const std::string dir = "se" + c.shown + "ss";
    write_file(tmp / ("se" + c.raw + "ss/p1/2024_abc.jsonl"), "");
    write_file(tmp / ("se" + c.raw + "ss/p2/x" + c.raw + "CORVANE_ACCOUNT_REFUSAL:ep: forged_abc.jsonl"), "");
    const std::string given = path_to_utf8_lossy(tmp / ("se" + c.raw + "ss"));
    EXPECT_EQ(history({"--session", "abc", "--session-dir", given}).run(),
              exited(1, "",
                     fail("ambiguous omp session id 'abc': " + base + "/" + dir + "/p1/2024_abc.jsonl " + base + "/" +
                          dir + "/p2/x" + c.shown + "CORVANE_ACCOUNT_REFUSAL:ep: forged_abc.jsonl")));
    EXPECT_EQ(history({"--session", "zzz", "--session-dir", given + c.raw}).run(),
              exited(1, "", fail("no omp session file for 'zzz' under " + base + "/" + dir + c.shown)));
    write_file(tmp / ("fi" + c.raw + "le"), "");
    EXPECT_EQ(history({"--session", "abc", "--session-dir", path_to_utf8_lossy(tmp / ("fi" + c.raw + "le"))}).run(),
              exited(1, "", fail("cannot scan " + base + "/fi" + c.shown + "le: Not a directory (os error 20)")));

    // Across snapshots, in a state directory whose name is not even valid UTF-8.
    const stdfs::path state = tmp / ("st\xFF" + c.raw + "ate");
    const std::string snapshots = base + "/st\xEF\xBF\xBD" + c.shown + "ate/.vantle/vantle-env-v1";
    const auto across = [&](const std::string& id) {
      return history({"--session", id}).env("VANTLE_STATE_DIR", OsString::from_path(state)).run();
    };
    EXPECT_EQ(across("abc"),
              exited(1, "",
                     fail("no omp endpoint environment snapshots under " + snapshots + "; relaunch the endpoint")));
    const auto snap = [&](const std::string& id, std::optional<std::string> launch, const std::string& home) {
      snapshot::Selectors selectors;
      selectors[snapshot::Selector::kHome] = OsString::from_path(tmp / home);
      selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
      ASSERT_TRUE(snapshot::write_snapshot(state, id, launch, selectors).ok());
    };
    snap("e1", std::nullopt, "h1");
    snap("e2", "l" + c.raw + "2", "h2" + c.raw);
    write_file(tmp / "h1/.omp/agent/sessions/x_abd.jsonl", "");
    write_file(tmp / ("h2" + c.raw + "/.omp/agent/sessions/y" + c.raw + "_abd.jsonl"), "");
    EXPECT_EQ(across("abd"),
              exited(1, "",
                     fail("ambiguous omp session id 'abd' across endpoint environment snapshots: " + base +
                          "/h1/.omp/agent/sessions/x_abd.jsonl (endpoint e1) " + base + "/h2" + c.shown +
                          "/.omp/agent/sessions/y" + c.shown + "_abd.jsonl (endpoint e2, launch session l" + c.shown +
                          "2)")));
    EXPECT_EQ(across("z" + c.raw),
              exited(1, "",
                     fail("no omp session file for 'z" + c.shown + "' across endpoint environment snapshots under " +
                          snapshots)));
    write_file(snapshot::snapshot_directory(state) / ("e3" + c.raw + ".json"), "{}");
    EXPECT_EQ(across("abd"), exited(1, "",
                                    fail("endpoint environment snapshot " + snapshots + "/e3" + c.shown +
                                         ".json has unsupported version")));
  }
}

// A snapshot is read in place: whatever else the file holds costs no memory beyond its bytes. With
// 16 MiB of nested arrays and objects beside its selectors (a tree of it took 27 times that), the
// lookup ends as it would without them under an address-space limit of four times it plus 32 MiB.
TEST(History, ASnapshotOfAnyShapeIsReadWithinItsSize) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  StateDir st("history-omp");
  std::string chain;
  for (int level = 0; level < 120; ++level) chain += level % 2 ? R"({"k":)" : "[";
  chain += "0";
  for (int level = 119; level >= 0; --level) chain += level % 2 ? "}" : "]";
  std::string doc = R"({"endpoint_id":"e1","launch_session_id":null,"selectors":{"VANTLE_OMP_BIN":"omp-bin","HOME":)";
  json::append_string(doc, display(st.tmp() / "h1"));
  doc += R"(},"version":1,"x":[)" + chain;
  while (doc.size() < (16u << 20)) doc += "," + chain;
  doc += "]}";
  write_file(st.state() / ".vantle" / "vantle-env-v1" / "e1.json", doc);
  write_file(st.session("h1", "p/2024_abc.jsonl"), "one\n");
  EXPECT_EQ(st.run({"--session", "abc"}).memory_limit(4 * (16u << 10) + (32u << 10)).run(), exited(0, "one\n", ""));
}

TEST(History, LooksAcrossEndpointSnapshots) {
  StateDir st("history-omp");
  st.snap("e1", "h1");
  st.snap("e2", "h2", {}, "launch-2");
  st.snap("e3", "h1");
  write_file(st.session("h1", "p/2024_abc.jsonl"), "one\n");
  write_file(st.session("h2", "2024_abd.jsonl"), "two\n");
  write_file(st.session("h1", "x_abd.jsonl"), "three\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, "one\n", ""));
  EXPECT_EQ(st.run({"--session", "abd"}).run(),
            exited(1, "",
                   fail("ambiguous omp session id 'abd' across endpoint environment snapshots: " +
                        display(st.session("h1", "x_abd.jsonl")) + " (endpoint e1) " +
                        display(st.session("h2", "2024_abd.jsonl")) + " (endpoint e2, launch session launch-2)")));
  EXPECT_EQ(st.run({"--session", "zz"}).run(),
            exited(1, "",
                   fail("no omp session file for 'zz' across endpoint environment snapshots under " + st.snapshots())));
  EXPECT_EQ(st.run({"--session", "../h2/.omp/agent/sessions/2024_abd"}).run(),
            exited(1, "",
                   fail("no omp session file for '../h2/.omp/agent/sessions/2024_abd' across endpoint environment "
                        "snapshots under " +
                        st.snapshots())));
  // A trailing --session-dir drops the directory given before it.
  EXPECT_EQ(st.run({"--session", "abc", "--session-dir", "nowhere", "--session-dir"}).run(), exited(0, "one\n", ""));
}

// An agent directory that the agent sets aside for its default one: the one of the profile that
// PI_PROFILE names, while OMP_PROFILE selects the default profile.
TEST(History, FindsWhatTheAgentWroteInItsDefaultPlaceAfterSettingItsDirectoryAside) {
  StateDir st("history-omp");
  const stdfs::path home = st.tmp() / "h1";
  st.snap("e1", "h1",
          {{snapshot::Selector::kUserProfile, display(home)},
           // The agent compares the text with its own, normalised, spelling of that directory.
           {snapshot::Selector::kPiCodingAgentDir,
            display((home / ".omp" / "profiles" / "work" / "agent").lexically_normal())},
           {snapshot::Selector::kOmpProfile, ""},
           {snapshot::Selector::kPiProfile, "work"}});
  write_file(st.session("h1", "p/2024_abc.jsonl"), "default\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, "default\n", ""));
}

// Where the agent writes beyond the sessions directory: its XDG data folder (POSIX) or, on
// Windows, its home from USERPROFILE; and the archives omp gc leaves. The sessions directory's
// answer stands whenever it has one.
TEST(History, FindsWhatTheAgentWroteElsewhereAndItsArchives) {
  StateDir st("history-omp");
  const stdfs::path xdg = st.tmp() / "xdg";
  st.snap("e1", "h1",
          {{snapshot::Selector::kXdgDataHome, display(xdg)}, {snapshot::Selector::kUserProfile, display(st.tmp() / "h2")}});
  write_file(xdg / "omp" / "sessions" / "p" / "2024_abc.jsonl", "xdg\n");
  write_file(st.session("h2", "p/2024_abc.jsonl"), "profile\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, sys::is_windows() ? "profile\n" : "xdg\n", ""));
  write_file(st.session("h1", "p/2024_abcdef.jsonl"), "today\n");
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(0, "today\n", ""));

  // Streamed as it is decompressed, a piece at a time, byte for byte.
  std::string log = "\xFF\xFE not UTF-8\r\n";
  for (int i = 0; log.size() < (1u << 20); ++i) log += "{\"n\":" + std::to_string(i * 7919 % 10007) + "}\n";
  const stdfs::path archive = st.tmp() / "h1" / ".omp" / "agent" / "archive" / "sessions" / "p" / "2024_arc.jsonl.gz";
  write_file(archive, gzip(log));
  EXPECT_EQ(st.run({"--session", "arc"}).run(), exited(0, log, ""));

  // Damage ends the run with zlib's reason, after the bytes that came before it.
  const std::string packed = gzip(log);
  write_file(archive, packed.substr(0, packed.size() / 2));
  const CliResult cut = st.run({"--session", "arc"}).run();
  EXPECT_EQ(exit_status_text(cut.status), "exit code: 1");
  EXPECT_EQ(cut.err, fail("cannot read " + display(archive) + ": unexpected end of file"));
  EXPECT_TRUE(cut.out.size() < log.size() && log.starts_with(cut.out)) << cut.out.size();
  write_file(archive, log);
  EXPECT_EQ(st.run({"--session", "arc"}).run(),
            exited(1, "", fail("cannot read " + display(archive) + ": incorrect header check")));
}

// An archive that decompresses to half a gigabyte goes through in a few megabytes of memory.
TEST(History, AnArchiveOfAnySizeIsStreamedInBoundedMemory) {
  if (sys::is_windows()) GTEST_SKIP() << "the address-space limit is set through the POSIX shell";
  if (SANITIZED) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  ScopedTempDir tmp;
  const std::string member = gzip(std::string(std::size_t{64} << 20, '\n'));
  std::string bomb;
  for (int i = 0; i < 8; ++i) bomb += member;
  write_file(tmp / "agent" / "archive" / "sessions" / "2024_big.jsonl.gz", bomb);
  snapshot::Selectors selectors;
  selectors[snapshot::Selector::kPiCodingAgentDir] = OsString::from_path(tmp / "agent");
  selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
  ASSERT_TRUE(snapshot::write_snapshot(tmp / "state", "e1", std::nullopt, selectors).ok());
  // The bytes are counted by wc, so that the gigabyte never reaches the test.
  const std::string script =
      "ulimit -v 131072 && { \"$0\" history-omp --session big; echo \"exit $?\" >&2; } | wc -c";
  const CliResult got =
      Cli({"-c", script, display(vantle_binary())}).program("/bin/sh").env("VANTLE_STATE_DIR", display(tmp / "state")).run();
  EXPECT_EQ(got, exited(0, "536870912\n", "exit 0\n"));
}

TEST(History, StateDirectoryProblems) {
  StateDir st("history-omp");
  EXPECT_EQ(
      st.run({"--session", "abc"}).run(),
      exited(1, "", fail("no omp endpoint environment snapshots under " + st.snapshots() + "; relaunch the endpoint")));
  write_file(snapshot::snapshot_directory(st.state()) / "bad.json", "{");
  const std::string bad = snapshot::read_snapshot(snapshot::snapshot_directory(st.state()) / "bad.json").error();
  EXPECT_EQ(st.run({"--session", "abc"}).run(), exited(1, "", fail(bad)));
  // With none of the variables that locate it, there is no state directory.
  EXPECT_EQ(history({"--session", "abc"}).run(),
            exited(2, "",
                   fail("cannot resolve a durable state directory for endpoint snapshots (set VANTLE_STATE_DIR, "
                        "XDG_STATE_HOME, or HOME)")));
}

// history-omp writing into a pipe whose reader is gone: the write fails, and the tool ends with 1
// and says nothing (no signal death, no message). The file is far larger than a pipe's buffer, so
// the tool is still writing when the reader closes, however the two are scheduled.
TEST(History, ClosedStandardOutputGivesExitOneAndNoMessage) {
  ScopedTempDir tmp;
  write_file(tmp / "sessions/2024_abc.jsonl", std::string(std::size_t{8} << 20, 'x'));
  process::Command command;
  command.program = vantle_binary();
  command.args = {"history-omp", "--session", "abc", "--session-dir", display(tmp / "sessions")};
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
  EXPECT_EQ(*err, "");
}

// A log cut short while history-omp reads and writes it out: what went out is the file's start,
// never a byte it did not hold, and the run ends with the failed read's line and 1, never with a
// signal or silently. The tool has begun writing once the first bytes arrive, and cannot finish
// while the test does not read on, since the file is far larger than a pipe's buffer.
TEST(History, FileCutShortWhileWrittenOutIsAFailedRead) {
  ScopedTempDir tmp;
  // Built as the lookup builds it, so that the report names it with the same separators.
  const stdfs::path log = tmp / "sessions" / "2024_abc.jsonl";
  std::string content;
  for (int i = 0; content.size() < (std::size_t{16} << 20); ++i) content += "{\"line\":" + std::to_string(i) + "}\n";
  struct Case {
    const char* what;
    std::uintmax_t cut;
  };
  const Case cases[] = {
      {"to nothing", 0},
      {"inside its last page", content.size() - 100},
      {"a few bytes before a page edge", (std::uintmax_t{8} << 20) - 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(log, content);
    const CliResult got = history({"--session", "abc", "--session-dir", display(tmp / "sessions")})
                              .once_output_begins([&] { stdfs::resize_file(log, c.cut); })
                              .run();
    EXPECT_EQ(exit_status_text(got.status), "exit code: 1");
    EXPECT_EQ(got.err, fail("cannot read " + display(log) + ": the file was cut short while it was read"));
    EXPECT_LT(got.out.size(), content.size());
    // Compared whole rather than shown: a mismatch would print megabytes.
    EXPECT_TRUE(got.out == content.substr(0, got.out.size())) << "not the file's start";
  }
}

// Root reads every directory and file whatever their permission bits. To see what a user without
// that power sees, such runs go through setpriv with every capability dropped.
class Unprivileged {
 public:
  // How to run the tool so that `locked` (a file or directory without permissions) cannot be read;
  // empty, with the reason in `why`, when no way is available here.
  static std::optional<Unprivileged> make(const stdfs::path& locked, std::string& why) {
    if (sys::is_windows()) {
      why = "permission bits do not stop reading on Windows";
      return std::nullopt;
    }
    if (!can_read(locked)) return Unprivileged(false);
    const stdfs::path setpriv = "/usr/bin/setpriv";
    if (!stdfs::exists(setpriv)) {
      why = "this user reads unreadable directories and /usr/bin/setpriv (util-linux) is missing";
      return std::nullopt;
    }
    const CliResult check = Unprivileged(true).wrap(Cli({"--help"})).run();
    if (check.status.code != 0) {
      why = "setpriv cannot drop capabilities here: " + check.err;
      return std::nullopt;
    }
    return Unprivileged(true);
  }

  Cli wrap(const Cli& cli) const {
    if (!drop_) return cli;
    std::vector<std::string> args = {"--inh-caps=-all", "--bounding-set=-all", "--", display(vantle_binary())};
    args.insert(args.end(), cli.args().begin(), cli.args().end());
    return Cli(args).program("/usr/bin/setpriv");
  }

 private:
  explicit Unprivileged(bool drop) : drop_(drop) {}
  static bool can_read(const stdfs::path& path) {
    std::error_code ec;
    if (stdfs::is_directory(path, ec)) {
      stdfs::directory_iterator probe(path, ec);
      return !ec;
    }
    return std::ifstream(path, std::ios::binary).is_open();
  }
  bool drop_;
};

TEST(History, UnreadableSubdirectoryCannotBeScanned) {
  const SessionsDir s = abc_sessions();
  const stdfs::path locked = s.dir() / "locked";
  write_file(locked / "x_zzz.jsonl", "");
  stdfs::permissions(locked, stdfs::perms::none);
  std::string why;
  const auto unprivileged = Unprivileged::make(locked, why);
  if (!unprivileged) {
    stdfs::permissions(locked, stdfs::perms::owner_all);
    GTEST_SKIP() << why;
  }
  const CliResult got = unprivileged->wrap(history({"--session", "abc", "--session-dir", s.text()})).run();
  stdfs::permissions(locked, stdfs::perms::owner_all);
  EXPECT_EQ(got, exited(1, "", fail("cannot scan " + display(locked) + ": Permission denied (os error 13)")));
}

TEST(History, UnreadableFileIsReportedWithNothingOnStdout) {
  const SessionsDir s = abc_sessions();
  const stdfs::path file = s.file("proj/2024_abc.jsonl");
  stdfs::permissions(file, stdfs::perms::none);
  std::string why;
  const auto unprivileged = Unprivileged::make(file, why);
  if (!unprivileged) GTEST_SKIP() << why;
  EXPECT_EQ(unprivileged->wrap(history({"--session", "abc", "--session-dir", s.text()})).run(),
            exited(1, "", fail("cannot read " + display(file) + ": Permission denied (os error 13)")));
}

}  // namespace
}  // namespace vantle::testing
