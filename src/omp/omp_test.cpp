#include "omp/omp.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/fs.h"
#include "platform/system.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::omp {
namespace {

namespace stdfs = std::filesystem;
using testing::install_fake_agent;
using testing::scenario_path;
using testing::still_beating;
using testing::ScopedEnv;
using testing::ScopedTempDir;

std::string wrapped(const std::string& message) {
  return message + "; vantle requires Oh My Pi 16.3.15 or newer. Update OMP with `omp update` and retry";
}

TEST(JudgeVersionOutput, SignatureRules) {
  struct Case {
    std::string out;
    std::string err;
    std::uint32_t code;
    std::optional<std::string> verdict;
  };
  const Case cases[] = {
      {"omp/16.3.15\n", "", 0, std::nullopt},
      {"omp/17.0.0", "", 0, std::nullopt},
      {"omp/16.4.0\r\n", "", 0, std::nullopt},
      {"  omp/16.3.15  \n", "", 0, std::nullopt},
      {"", "omp/18.2.3\n", 0, std::nullopt},  // stderr alone counts
      {"banner\nomp/16.3.15\nmore\n", "", 0, std::nullopt},
      {"omp/18446744073709551615.0.0", "", 0, std::nullopt},
      {"omp/16.3.14", "", 0, wrapped("found Oh My Pi 16.3.14")},
      {"omp/16.2.99", "", 0, wrapped("found Oh My Pi 16.2.99")},
      {"omp/15.99.99", "", 0, wrapped("found Oh My Pi 15.99.99")},
      {"omp/0.0.0", "", 0, wrapped("found Oh My Pi 0.0.0")},
      {"omp/16.3", "", 0, wrapped("found malformed Oh My Pi version signature `omp/16.3`; expected exactly `omp/X.Y.Z`")},
      {"omp/16.3.15.1", "", 0,
       wrapped("found malformed Oh My Pi version signature `omp/16.3.15.1`; expected exactly `omp/X.Y.Z`")},
      {"omp/016.3.15", "", 0,
       wrapped("found malformed Oh My Pi version signature `omp/016.3.15`; expected exactly `omp/X.Y.Z`")},
      {"omp/16..15", "", 0, wrapped("found malformed Oh My Pi version signature `omp/16..15`; expected exactly `omp/X.Y.Z`")},
      {"omp/+16.3.15", "", 0,
       wrapped("found malformed Oh My Pi version signature `omp/+16.3.15`; expected exactly `omp/X.Y.Z`")},
      {"omp/16.3.15a", "", 0,
       wrapped("found malformed Oh My Pi version signature `omp/16.3.15a`; expected exactly `omp/X.Y.Z`")},
      {"omp/18446744073709551616.0.0", "", 0,
       wrapped("found malformed Oh My Pi version signature `omp/18446744073709551616.0.0`; expected exactly `omp/X.Y.Z`")},
      {"omp/", "", 0, wrapped("found malformed Oh My Pi version signature `omp/`; expected exactly `omp/X.Y.Z`")},
      // A malformed line stops the scan even after a good one.
      {"omp/18.0.0\nomp/1.2", "", 0, wrapped("found malformed Oh My Pi version signature `omp/1.2`; expected exactly `omp/X.Y.Z`")},
      {"omp/16.3.15\nomp/16.3.15\n", "", 0,
       wrapped("found ambiguous Oh My Pi version signatures `omp/16.3.15` and `omp/16.3.15`")},
      {"omp/17.0.0", "omp/16.0.0", 0, wrapped("found ambiguous Oh My Pi version signatures `omp/17.0.0` and `omp/16.0.0`")},
      {"version omp/16.3.15\n", "", 0,
       wrapped("`--version` reported `version omp/16.3.15`; found no valid `omp/X.Y.Z` version")},
      {"", "", 0, wrapped("`--version` reported `<no output>`; found no valid `omp/X.Y.Z` version")},
      {" \n", "  warn \n", 0, wrapped("`--version` reported `warn`; found no valid `omp/X.Y.Z` version")},
      {"OMP/16.3.15", "", 0, wrapped("`--version` reported `OMP/16.3.15`; found no valid `omp/X.Y.Z` version")},
      // A failed exit is judged before any signature; stderr comes first here.
      {"omp/18.0.0", "boom\n", 3, "`--version` exited exit code: 3: boom"},
      {" out only \n", "", 1, "`--version` exited exit code: 1: out only"},
      {"", "", 1, "`--version` exited exit code: 1: "},
      {"", "", 0xC0000005u, "`--version` exited exit code: 0xc0000005: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge_version_output(ExitStatus::exited(c.code), c.out, c.err), c.verdict)
        << "out=" << c.out << " err=" << c.err;
  }
  EXPECT_EQ(judge_version_output(ExitStatus::signaled(9, "SIGKILL"), "", "x"), "`--version` exited signal: 9 (SIGKILL): x");
}

TEST(ExecutableExtensions, PathextRules) {
  struct Case {
    std::optional<std::string> pathext;
    std::vector<std::string> extensions;
  };
  const Case cases[] = {
      {std::nullopt, {".EXE", ".CMD", ".BAT", ".COM"}},
      {"", {".EXE", ".CMD", ".BAT", ".COM"}},
      {"exe; .cmd ;;", {".exe", ".cmd"}},
      {".COM;.EXE", {".COM", ".EXE"}},
      {";;", {}},
  };
  for (const auto& c : cases) {
    std::optional<OsString> value;
    if (c.pathext) value = OsString::from_utf8(*c.pathext);
    EXPECT_EQ(executable_extensions(value), c.extensions) << c.pathext.value_or("<absent>");
  }
}

TEST(KnownInstallLocations, OrderAndHomeChoice) {
  const auto os = [](const char* s) { return std::optional<OsString>(OsString::from_utf8(s)); };
  const stdfs::path lad = "lad", h = "h", u = "u";
  const bool twins = !sys::is_windows();
  std::vector<stdfs::path> from_home = {h / "AppData" / "Local" / "omp" / "omp.exe", h / ".bun" / "bin" / "omp.exe"};
  if (twins) from_home.push_back(h / ".bun" / "bin" / "omp");
  from_home.push_back(h / ".local" / "bin" / "omp.exe");
  if (twins) from_home.push_back(h / ".local" / "bin" / "omp");

  std::vector<stdfs::path> all = {lad / "omp" / "omp.exe"};
  all.insert(all.end(), from_home.begin(), from_home.end());
  EXPECT_EQ(known_install_locations(os("lad"), os("h"), os("u")), all);
  EXPECT_EQ(known_install_locations(std::nullopt, os("h"), std::nullopt), from_home);
  // An empty HOME hides USERPROFILE; only LOCALAPPDATA remains.
  EXPECT_EQ(known_install_locations(os("lad"), os(""), os("u")), std::vector<stdfs::path>{lad / "omp" / "omp.exe"});
  EXPECT_EQ(known_install_locations(os(""), std::nullopt, std::nullopt), std::vector<stdfs::path>{});
  const auto from_profile = known_install_locations(std::nullopt, std::nullopt, os("u"));
  ASSERT_FALSE(from_profile.empty());
  EXPECT_EQ(from_profile.front(), u / "AppData" / "Local" / "omp" / "omp.exe");
}

// End-to-end resolution against stand-in agents on disk.
class Resolution : public ::testing::Test {
 protected:
  void SetUp() override { env_.clear_tool_variables(); }
  stdfs::path agent(const std::string& relative_dir, std::string_view scenario = "", std::string_view name = "") {
    return install_fake_agent((tmp_ / relative_dir).make_preferred(), scenario, name);
  }
  // The name the PATH walk finds for an agent installed in `dir`: the bare name first, then
  // "omp" with the default extensions (".EXE" first), which on Windows matches "omp.exe".
  stdfs::path found_on_path(const stdfs::path& dir) { return dir / (sys::is_windows() ? "omp.EXE" : "omp"); }
  std::string shown(const stdfs::path& p) { return "`" + display(p) + "`"; }

  ScopedTempDir tmp_;
  ScopedEnv env_;
};

constexpr std::string_view OLD = "version.stdout omp/16.2.0\\n\n";
const std::string OLD_REASON = wrapped("found Oh My Pi 16.2.0");

TEST_F(Resolution, OverrideNamingADirectoryIsAMissingFile) {
  std::filesystem::create_directories(tmp_ / "dir");
  env_.set_os("VANTLE_OMP_BIN", OsString::from_path(tmp_ / "dir"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "VANTLE_OMP_BIN points to " + shown(tmp_ / "dir") + ", but that file does not exist");
}

TEST_F(Resolution, ValidOverrideWinsOverEveryOtherCandidate) {
  const auto chosen = agent("chosen");
  agent("path-dir");
  env_.set_os("VANTLE_OMP_BIN", OsString::from_path(chosen));
  env_.set_os("PATH", OsString::from_path(tmp_ / "path-dir"));
  env_.set_os("LOCALAPPDATA", OsString::from_path(tmp_ / "lad"));
  agent("lad/omp", "", "omp.exe");
  const auto r = resolve_omp_executable();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, chosen);
}

TEST_F(Resolution, InvalidOverrideIsFinal) {
  const auto old = agent("old", OLD);
  agent("path-dir");
  env_.set_os("VANTLE_OMP_BIN", OsString::from_path(old));
  env_.set_os("PATH", OsString::from_path(tmp_ / "path-dir"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "VANTLE_OMP_BIN points to " + shown(old) + ", but it failed Oh My Pi validation (" + OLD_REASON +
                           "); refusing to launch the invalid explicit override");
}

TEST_F(Resolution, EmptyOverrideCountsAsAbsent) {
  agent("path-dir");
  env_.set("VANTLE_OMP_BIN", "");
  env_.set_os("PATH", OsString::from_path(tmp_ / "path-dir"));
  const auto r = resolve_omp_executable();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, found_on_path(tmp_ / "path-dir"));
}

TEST_F(Resolution, EmptyHomeHidesUserProfile) {
  agent("profile/.bun/bin");
  env_.set("HOME", "");
  env_.set_os("USERPROFILE", OsString::from_path(tmp_ / "profile"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Oh My Pi executable not found in known install locations or on PATH; set VANTLE_OMP_BIN to its full path");
}

TEST_F(Resolution, FailingKnownLocationGivesWayToTheNextOne) {
  agent("lad/omp", OLD, "omp.exe");
  const auto good = agent("home/.bun/bin");
  env_.set_os("LOCALAPPDATA", OsString::from_path(tmp_ / "lad"));
  env_.set_os("HOME", OsString::from_path(tmp_ / "home"));
  const auto r = resolve_omp_executable();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, good);
}

TEST_F(Resolution, FailingKnownLocationThenValidPathCandidate) {
  agent("lad/omp", OLD, "omp.exe");
  agent("bin");
  env_.set_os("LOCALAPPDATA", OsString::from_path(tmp_ / "lad"));
  env_.set_os("PATH", OsString::from_path(tmp_ / "bin"));
  const auto r = resolve_omp_executable();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, found_on_path(tmp_ / "bin"));
}

TEST_F(Resolution, UnstartablePathCandidateEndsTheWalk) {
  // A file named plainly omp that is no program: the first PATH hit, whatever follows.
  testing::write_file(tmp_ / "first" / "omp", "not a program\n");
  agent("second");
  const std::string sep = sys::is_windows() ? ";" : ":";
  env_.set("PATH", display(tmp_ / "first") + sep + display(tmp_ / "second"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  const std::string head = "resolved executable candidate(s), but none passed Oh My Pi validation: PATH candidate " +
                           shown(tmp_ / "first" / "omp") + " (could not run `--version`: ";
  EXPECT_EQ(r.error().substr(0, head.size()), head) << r.error();
  const std::string tail = "); refusing the known unrelated command collision. Set VANTLE_OMP_BIN to the Oh My Pi executable";
  ASSERT_GT(r.error().size(), tail.size());
  EXPECT_EQ(r.error().substr(r.error().size() - tail.size()), tail);
  EXPECT_NE(r.error().find("(os error "), std::string::npos);
}

TEST_F(Resolution, PathextDecidesTheExtensionsTried) {
  agent("bin", "", "omp.cmdx");
  env_.set_os("PATH", OsString::from_path(tmp_ / "bin"));
  env_.set("PATHEXT", ".exe;cmdx");
  const auto r = resolve_omp_executable();
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, tmp_ / "bin" / "omp.cmdx");
}

TEST_F(Resolution, EmptyPathMeansTheCurrentDirectory) {
  agent("here");
  env_.set("PATH", "");
  const auto saved = stdfs::current_path();
  stdfs::current_path(tmp_ / "here");
  const auto r = resolve_omp_executable();
  stdfs::current_path(saved);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->is_absolute());
  EXPECT_EQ(*r, found_on_path(tmp_ / "here"));
}

TEST_F(Resolution, SameFailingLocationTwiceIsProbedAndNamedTwice) {
  const auto old = agent("home/AppData/Local/omp", OLD, "omp.exe");
  env_.set_os("HOME", OsString::from_path(tmp_ / "home"));
  env_.set_os("LOCALAPPDATA", OsString::from_path(tmp_ / "home" / "AppData" / "Local"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  const std::string one = "known install candidate " + shown(old) + " (" + OLD_REASON + ")";
  EXPECT_EQ(r.error(), "resolved executable candidate(s), but none passed Oh My Pi validation: " + one + "; " + one +
                           "; refusing the known unrelated command collision. Set VANTLE_OMP_BIN to the Oh My Pi executable");
}

TEST_F(Resolution, OldPathAgentGivesTheFullRefusal) {
  agent("tools", OLD);
  env_.set_os("PATH", OsString::from_path(tmp_ / "tools"));
  const auto r = resolve_omp_executable();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "resolved executable candidate(s), but none passed Oh My Pi validation: PATH candidate " +
                           shown(found_on_path(tmp_ / "tools")) + " (" + OLD_REASON +
                           "); refusing the known unrelated command collision. Set VANTLE_OMP_BIN to the Oh My Pi executable");
}

TEST_F(Resolution, ProbeOutcomesThroughARealProcess) {
  struct Case {
    std::string scenario;
    std::optional<std::string> verdict;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"version.stdout \nversion.stderr omp/16.3.15\\n", std::nullopt},
      {"version.stdout omp/18.0.0\\n\nversion.stderr boom\\n\nversion.exit 3", "`--version` exited exit code: 3: boom"},
      {"version.stdout ", wrapped("`--version` reported `<no output>`; found no valid `omp/X.Y.Z` version")},
      {"version.stdout omp/16.3.15\\r\\nomp/16.3.15\\r\\n",
       wrapped("found ambiguous Oh My Pi version signatures `omp/16.3.15` and `omp/16.3.15`")},
      {"version.stdout \\xff omp/1\\n", wrapped("`--version` reported `\xEF\xBF\xBD omp/1`; found no valid `omp/X.Y.Z` version")},
  };
  int n = 0;
  for (const auto& c : cases) {
    const auto path = agent("case" + std::to_string(n++), c.scenario);
    EXPECT_EQ(validate_omp_executable(path), c.verdict) << c.scenario;
  }
  EXPECT_EQ(validate_omp_executable(tmp_ / "missing" / "omp").value_or("").rfind("could not run `--version`: ", 0), 0u);
}

// A probe that leaves a child holding its output is judged on what it wrote by its exit, and the
// child dies with it.
TEST_F(Resolution, AProbesDescendantHoldingItsOutputNeitherDelaysNorOutlivesIt) {
  const auto heartbeat = tmp_ / "heartbeat";
  EXPECT_EQ(validate_omp_executable(agent("holder", "version.descendant hold|" + scenario_path(heartbeat) + "\n")),
            std::nullopt);
  EXPECT_EQ(still_beating({heartbeat}), std::vector<std::string>{});
}

// A probe that never answers is killed at its time limit, not before (the real limit is proved
// through the binary).
TEST_F(Resolution, HangingProbeIsKilledAtTheTimeLimit) {
  const auto path = agent("slow", "version.sleep_ms 60000\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(validate_omp_executable(path, std::chrono::seconds(1)), "`--version` did not exit within 1 seconds");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::seconds(1));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
}

// The probe reads its pipes as it runs: an agent that writes more than a pipe holds before its
// signature is judged when it exits, and one that then never exits still meets the limit.
TEST_F(Resolution, ATalkativeProbeIsJudgedByItsOutputWithinTheLimit) {
  struct Case {
    std::string scenario;
    std::chrono::seconds limit;  // a blocked probe would meet it and be refused as hung
    std::optional<std::string> verdict;
  };
  const std::string mib = std::to_string(VERSION_PROBE_OUTPUT_BYTES);
  const Case cases[] = {
      {"version.flood_stderr " + mib + "\n", std::chrono::seconds(10), std::nullopt},
      {"version.flood_stderr " + mib + "\nversion.linger_ms 600000\n", std::chrono::seconds(2),
       "`--version` did not exit within 2 seconds"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    const auto path = agent("talkative" + std::to_string(n++), c.scenario);
    EXPECT_EQ(validate_omp_executable(path, c.limit), c.verdict);
  }
}

}  // namespace
}  // namespace vantle::omp
