// See fault_loop.h.
#include "fault_loop.h"

#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>

#include "fault_platform.h"
#include "snapshot/selectors.h"
#include "snapshot/snapshot.h"
#include "support/fake_agent.h"
#include "support/gzip.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

std::string describe(const CliResult& r) {
  std::ostringstream os;
  PrintTo(r, &os);
  return os.str();
}

std::optional<std::string> file_bytes(const stdfs::path& path) {
  if (!stdfs::exists(path)) return std::nullopt;
  return read_file(path);
}

std::vector<std::string> temporaries_under(const stdfs::path& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(root, ec); !ec && it != stdfs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = display(it->path().filename());
    if (name.ends_with(".tmp") || name.starts_with("vantle-corvane-")) found.push_back(display(it->path()));
  }
  return found;
}

// One line of a log, a message event.
std::string message_line(const std::string& message, const std::string& extra = "") {
  return R"({"type":"message")" + extra + R"(,"message":)" + message + "}\n";
}

// A log holding every kind of line the digest meets: events that are not messages, texts with
// escapes, tool calls summarized in place and ones that need the tree of their arguments (members
// in key order, a number's text, the whole arguments as JSON), tool results, blank and broken
// lines, a line longer than the reader's buffer, a line ended by CR LF.
std::string every_kind_of_line() {
  std::string log = R"({"type":"session","version":3,"id":"s-1"})" "\n";
  log += message_line(R"({"role":"user","content":"fix the \"build\" \u00e9\ud83d\ude00"})", R"(,"timestamp":"t1")");
  log += "\n   \n";
  log += message_line(R"({"role":"assistant","content":[{"type":"text","text":"looking"},)"
                      R"({"type":"toolCall","name":"read","arguments":{"path":"src/a.cpp"}}]})");
  log += message_line(R"({"role":"assistant","content":[{"type":"toolCall","name":"edit",)"
                      R"("arguments":{"zeta":[1,{"b":null}],"alpha":"","n":1.5e3}}]})");
  log += message_line(R"({"role":"assistant","content":[{"type":"toolCall","name":"task",)"
                      R"("arguments":{"list":[1,2],"obj":{"k":"v\n"}}},{"type":"toolCall","name":"n","arguments":{"i":7}}]})");
  log += message_line(R"({"role":"toolResult","content":[{"type":"text","text":"ok"}]})");
  log += R"({"type":"message","message":{"role":"user")" "\n";
  log += message_line(R"({"role":"user","content":[{"type":"text","text":")" + std::string(1200000, 'x') + "\"}]}");
  log += R"({"type":"message","message":{"role":"assistant","content":"done"}})" "\r\n";
  return log;
}

// A check of the agent's path that fails is reported as the documented missing agent.
const std::string MISSING_AGENT = "VANTLE_OMP_BIN points to `[^`]+`, but that file does not exist";

}  // namespace

std::string error_pattern(const std::string& message) {
  return std::regex_replace(message, std::regex(R"([.^$|()\[\]{}*+?/\\])"), "\\$&");
}

bool is_call_failure(const Scenario& s, const CliResult& r, const std::string& error, const std::string& call) {
  for (const auto& f : s.call_failures) {
    if (r.status.code != f.code) continue;
    if (!f.only_call.empty() && f.only_call != call) continue;
    if (f.line.empty() ? r.err.empty()
                       : std::regex_match(r.err, std::regex(std::regex_replace(f.line, std::regex("%"), error)))) {
      return true;
    }
  }
  return false;
}

CliResult Baseline::run(const Scenario& s, const stdfs::path& scratch, const std::function<void(Cli&)>& fault) {
  const stdfs::path temp = scratch / "temp";
  s.reset();
  stdfs::remove_all(temp);
  stdfs::create_directories(temp);
  if (s.pids) stdfs::remove(*s.pids);
  if (s.signals) stdfs::remove(*s.signals);
  if (s.go) write_file(*s.go, "");
  Cli cli = s.cli(temp);
  cli.program(path_from_utf8(VANTLE_FAULT_TOOL));
  cli.env("TMPDIR", display(temp)).env("TEMP", display(temp)).env("TMP", display(temp));
  if (fault) fault(cli);
  return cli.run();
}

Baseline::Baseline(const Scenario& s, const stdfs::path& scratch) {
  clean = run(s, scratch, {});
  EXPECT_TRUE(clean.harness_error.empty()) << describe(clean);
  EXPECT_EQ(clean.status.kind, ExitStatus::Kind::kExited) << describe(clean);
  for (const auto& f : s.whole_files) whole.push_back(file_bytes(f));
}

::testing::AssertionResult Baseline::failed_output(const Scenario& s, const CliResult& r,
                                                   const std::string& failed_call) const {
  // Whole lines, but for a failed write of the output, which may cut the record it was writing: the
  // bytes before it are out already.
  const bool kept = s.partial_output ? clean.out.starts_with(r.out) &&
                                           (r.out.empty() || r.out.back() == '\n' || failed_call == "write")
                                     : r.out.empty();
  if (kept) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "a failed run wrote output it may not";
}

::testing::AssertionResult Baseline::left_no_trace(const Scenario& s, const stdfs::path& scratch, const CliResult& r,
                                                   const std::string& failed_call, bool other_files) const {
  // An object whose removal failed stays; the failure is reported (checked by the caller).
  if (failed_call != "unlink" && r.err.find("cleanup failed") == std::string::npos) {
    const stdfs::path temp = scratch / "temp";
    if (!stdfs::is_empty(temp)) {
      return ::testing::AssertionFailure() << "left in the temporary directory: "
                                           << display(stdfs::directory_iterator(temp)->path());
    }
    if (const auto left = temporaries_under(s.root); !left.empty()) {
      return ::testing::AssertionFailure() << "left behind: " << left.front();
    }
  }
  for (std::size_t i = 0; i < s.whole_files.size(); ++i) {
    const auto now = file_bytes(s.whole_files[i]);
    if (now && now != whole[i] && !other_files) return ::testing::AssertionFailure() << "half-written: " << display(s.whole_files[i]);
  }
  if (s.pids) {
    for (const std::uint32_t pid : read_pids(*s.pids)) {
      if (process_alive(pid)) return ::testing::AssertionFailure() << "agent tree pid " << pid << " alive";
    }
  }
  return ::testing::AssertionSuccess();
}

std::uint64_t fault_seed() {
  static const std::uint64_t seed = [] {
    if (const char* given = std::getenv("VANTLE_FAULT_SEED")) return std::uint64_t{std::strtoull(given, nullptr, 10)};
    std::random_device device;
    const std::uint64_t drawn = (std::uint64_t{device()} << 32) | device();
    std::cout << "[ seed     ] VANTLE_FAULT_SEED=" << drawn << " repeats this run" << std::endl;
    return drawn;
  }();
  return seed;
}

std::size_t drawn(std::size_t bound, const std::string& what) {
  // FNV-1a of `what` mixed into the seed by splitmix64: a different phase per scenario and error.
  std::uint64_t x = 14695981039346656037ull;
  for (const unsigned char c : what) x = (x ^ c) * 1099511628211ull;
  x ^= fault_seed() + 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return static_cast<std::size_t>((x ^ (x >> 31)) % bound);
}

void every_point(const Scenario& s, const Injection& injection, const stdfs::path& scratch, std::size_t& points) {
  const stdfs::path mark = scratch / "reached";
  const Baseline baseline(s, scratch);
  const CliResult& clean = baseline.clean;

  // Once a run has failed with the subcommand's line, the subcommand must report every later
  // failure: the entry point's line is for failures before it starts.
  bool subcommand_started = false;
  points = 0;
  // VANTLE_FAULT_EVERY_POINT=1 runs every point where the tier would stride (a soak's run).
  const char* every = std::getenv("VANTLE_FAULT_EVERY_POINT");
  const std::size_t stride = every != nullptr && std::string_view(every) == "1" ? 1 : injection.stride;
  const std::size_t phase = stride > 1 ? drawn(stride, injection.label) : 0;
  const auto next = [&](std::size_t n) {
    return n < injection.every_up_to ? n + 1 : n == injection.every_up_to ? n + 1 + phase : n + stride;
  };
  for (std::size_t n = 1;; n = next(n)) {
    stdfs::remove(mark);
    const CliResult r = baseline.run(s, scratch, [&](Cli& cli) {
      cli.env(injection.point_variable, std::to_string(n)).env(injection.mark_variable, display(mark));
      for (const auto& [name, value] : injection.env) cli.env(name, value);
    });
    const bool reached = stdfs::exists(mark);
    const std::string marked = reached ? read_file(mark) : "";
    // The call the tool marked, "<pid> <call>\n", where the tier names one.
    const std::string failed_call =
        marked.find(' ') == std::string::npos ? "" : marked.substr(marked.find(' ') + 1, marked.find('\n') - marked.find(' ') - 1);
    SCOPED_TRACE("point " + std::to_string(n) + " " + marked + describe(r));
    ASSERT_TRUE(r.harness_error.empty());
    ASSERT_EQ(r.status.kind, ExitStatus::Kind::kExited);
    if (!reached || r == clean || injection.recovers) {
      // Ran to completion, or recovered: exactly the unfaulted result.
      ASSERT_EQ(r, clean);
    } else {
      if (!subcommand_started && r.err == injection.entry_point_line) {
        ASSERT_EQ(r.status.code, 1u);
      } else {
        subcommand_started = true;
        ASSERT_TRUE(injection.is_failure(s, r, failed_call));
      }
      ASSERT_TRUE(baseline.failed_output(s, r, failed_call));
    }
    ASSERT_TRUE(baseline.left_no_trace(s, scratch, r, failed_call));
    if (!reached) break;
    ++points;
  }
}

// Endpoint snapshots whose homes hold nothing, and one whose archive holds session `arc`.
void FaultScenarios::write_places() {
  for (const char* e : {"e1", "e2"}) {
    snapshot::Selectors selectors;
    // The agent's home is HOME on POSIX, USERPROFILE on Windows.
    selectors[snapshot::Selector::kHome] = OsString::from_path(tmp / (std::string("home-") + e));
    selectors[snapshot::Selector::kUserProfile] = selectors[snapshot::Selector::kHome];
    selectors[snapshot::Selector::kXdgDataHome] = OsString::from_path(tmp / (std::string("xdg-") + e));
    selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
    ASSERT_TRUE(snapshot::write_snapshot(tmp / "state", e, std::nullopt, selectors).ok());
  }
  write_file(tmp / "home-e1" / ".omp" / "agent" / "sessions" / "p" / "2024_other.jsonl", "{}\n");
  write_file(tmp / "xdg-e1" / "omp" / "sessions" / "p" / "2024_more.jsonl", "{}\n");
  write_file(tmp / "home-e2" / ".omp" / "agent" / "archive" / "sessions" / "p" / "2024_arc.jsonl.gz",
             gzip(every_kind_of_line()));
}

Scenario FaultScenarios::common() const {
  Scenario s;
  s.root = tmp.path();
  return s;
}

std::string FaultScenarios::observed_agent(Scenario& s) const {
  s.signals = tmp / "signals";
  s.go = tmp / "go";
  return "signals " + scenario_path(*s.signals) + "\nwait_for " + scenario_path(*s.go) + "\n";
}

void FaultScenarios::digest_of_every_kind_of_line() {
  write_file(tmp / "log.jsonl", every_kind_of_line());
  Scenario s = common();
  s.cli = [&](const stdfs::path&) { return Cli({"digest-omp", "--in", display(tmp / "log.jsonl")}); };
  s.failure = std::regex("vantle digest-omp: (.+: )?out of memory\n");
  s.call_failures = {{"vantle digest-omp: (.+: )?%\n"}};
  s.partial_output = true;
  run_every_point("digest", s);
}

// The lookup across snapshots, their places and archives: history and digest of the archive it
// ends in, and a miss that searches everywhere.
void FaultScenarios::lookups_across_snapshots_places_and_archives() {
  write_places();
  // The digest names the error alone for a failed read or write; history reports a failed write
  // of its output by its exit code alone.
  const std::vector<Scenario::CallFailure> history = {{"HISTORY_FAIL: .+: %\n"}, {"", 1, "write"}};
  const std::vector<Scenario::CallFailure> digest = {{"vantle digest-omp: (.+: )?%\n"}};
  const struct {
    std::string name, subcommand, session, failure;
    std::vector<Scenario::CallFailure> call_failures;
    bool partial_output;
  } cases[] = {
      {"history of an archive", "history-omp", "arc", "HISTORY_FAIL: (.+: )?out of memory\n", history, true},
      {"digest of an archive", "digest-omp", "arc", "vantle digest-omp: (.+: )?out of memory\n", digest, true},
      {"lookup miss", "history-omp", "nowhere", "HISTORY_FAIL: (.+: )?out of memory\n", history, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario s = common();
    s.cli = [&](const stdfs::path&) {
      return Cli({c.subcommand, "--session", c.session}).env("VANTLE_STATE_DIR", display(tmp / "state"));
    };
    s.failure = std::regex(c.failure);
    s.call_failures = c.call_failures;
    s.partial_output = c.partial_output;
    run_every_point(c.name, s);
  }
}

// The launch up to the agent's start: the stand-in exits at once. The snapshot is written whole
// before the agent starts, or not at all.
void FaultScenarios::launch() {
  Scenario s = common();
  const stdfs::path agent = install_fake_agent(tmp / "bin", observed_agent(s));
  const stdfs::path state = tmp / "state";
  const stdfs::path snapshot = *snapshot::snapshot_path(state, "ep");
  s.reset = [&] { stdfs::remove_all(state); };
  s.cli = [&](const stdfs::path&) {
    return Cli({"launch-omp", "--id", "ep", "--extension", "x"})
        .env("VANTLE_OMP_BIN", display(agent))
        .env("VANTLE_STATE_DIR", display(state))
        .env("HOME", display(tmp / "home"))
        .cwd(tmp.path());
  };
  // The launch holds no unbounded input: running out of memory is the entry point's line, or the
  // agent's start failing for want of memory.
  s.failure = std::regex("vantle launch-omp: .+: Cannot allocate memory \\(os error 12\\)\n");
  // The agent's version probe failing, or the snapshot's write, are refusals to launch (2); the
  // agent's own start failing is 1.
  s.call_failures = {{"vantle launch-omp: .+\\(could not .+: %\\); refusing to launch the "
                      "invalid explicit override\n",
                      2},
                     {"vantle launch-omp: cannot preserve endpoint environment: .+: %\n", 2},
                     {"vantle launch-omp: failed to spawn `.+`: (.+: )?%\n", 1},
                     {"vantle launch-omp: " + MISSING_AGENT + "\n", 2, "stat"},
                     // The working directory is the project's; it may be gone.
                     {"vantle launch-omp: cannot resolve project directory: %\n", 2},
                     // A job the launch cannot make is a warning: the agent runs without it.
                     {"vantle launch-omp: session-tree lifetime coupling unavailable: \\w+ failed \\(os error "
                      "[0-9]+\\)\n",
                      0, "job"},
                     {"vantle launch-omp: session-tree lifetime coupling unavailable: "
                      "prctl\\(PR_SET_CHILD_SUBREAPER\\) failed \\(os error [0-9]+\\)\n",
                      0, "prctl"},
                     // So is a watch of the daemon the launch cannot set up.
                     {"vantle launch-omp: parent-death watch unavailable: pidfd_open\\([0-9]+\\) failed \\(os error "
                      "[0-9]+\\) \xE2\x80\x94 parent may already be gone\n",
                      0, "pidfd_open"}};
  s.whole_files = {snapshot};
  run_every_point("launch", s);
}

// A Thymel turn whose endpoint snapshot is missing, so that it is rebuilt and written first. The
// stand-in starts a tree (a child, and a grandchild in a session of its own) that outlives it.
void FaultScenarios::thymel_turn_with_a_snapshot_rebuilt() {
  const stdfs::path pids = tmp / "pids";
  Scenario s = common();
  const stdfs::path agent = install_fake_agent(
      tmp / "bin", "stdout the reply\\n\nspawn_tree " + scenario_path(pids) + "\n" + observed_agent(s));
  const stdfs::path work = tmp / "work";
  const stdfs::path state = tmp / "state";
  write_file(work / "mind.md", "I am ep-1.\n");
  s.reset = [&] {
    stdfs::remove_all(work / "omp-sessions");
    stdfs::remove_all(state);
  };
  s.cli = [&](const stdfs::path&) {
    return Cli({"thymel-omp", "--id", "ep-1", "--session-id", "s-1", "--thymel-context-file", display(work / "mind.md")})
        .env("VANTLE_STATE_DIR", display(state))
        .env("VANTLE_OMP_BIN", display(agent))
        .env("HOME", display(tmp / "home"))
        .cwd(tmp.path())
        .input("what changed?\n");
  };
  s.failure = std::regex("THYMEL_TURN_FAIL:ep-1: (.+: )?out of memory \xE2\x80\x94 exiting nonzero \\(keep custody\\); "
                         "the daemon owns retry/reseed \\(no internal retry\\)\n");
  const std::string custody =
      " \xE2\x80\x94 exiting nonzero \\(keep custody\\); the daemon owns retry/reseed \\(no internal retry\\)\n";
  s.call_failures = {{"THYMEL_TURN_FAIL:ep-1: .+: %\\)*;?( refusing to launch the invalid explicit override)?" + custody},
                     {"THYMEL_TURN_FAIL:ep-1: .+: " + MISSING_AGENT + custody, 1, "stat"}};
  s.whole_files = {*snapshot::snapshot_path(state, "ep-1"), work / "omp-sessions" / "turn-prompt.md"};
  s.pids = pids;
  run_every_point("thymel turn", s);
}

// A Corvane turn: its transcript on standard input, its workspace and files in the temporary
// directory, the agent's tree as in the Thymel turn.
void FaultScenarios::corvane_turn() {
  const stdfs::path pids = tmp / "pids";
  const std::string delta = "<project-context>decided X</project-context>\n<live-context>I am ep-1</live-context>";
  Scenario s = common();
  const stdfs::path agent = install_fake_agent(
      tmp / "bin", "stdout " + scenario_value(delta) + "\nspawn_tree " + scenario_path(pids) + "\n" + observed_agent(s));
  const stdfs::path state = tmp / "state";
  snapshot::Selectors selectors;
  selectors[snapshot::Selector::kHome] = OsString::from_path(tmp / "home");
  selectors[snapshot::Selector::kUserProfile] = selectors[snapshot::Selector::kHome];
  selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_path(agent);
  ASSERT_TRUE(snapshot::write_snapshot(state, "ep-1", std::nullopt, selectors).ok());
  s.cli = [&](const stdfs::path&) {
    return Cli({"corvane-omp", "--id", "ep-1", "--session-id", "s-1"})
        .env("VANTLE_STATE_DIR", display(state))
        .env("HOME", display(tmp / "home-daemon"))
        .cwd(tmp.path())
        .input("user: fix the build\nagent: done <ok> & \"quoted\"\n");
  };
  s.failure = std::regex("CORVANE_FAIL:ep-1: (.+ )?out of memory\n");
  s.call_failures = {{"CORVANE_FAIL:ep-1: .+: %(\\); refusing to launch the invalid explicit override|\\)+)?\n"},
                     {"CORVANE_FAIL:ep-1: omp resolution failed: " + MISSING_AGENT + "\n", 1, "stat"}};
  s.whole_files = {*snapshot::snapshot_path(state, "ep-1")};
  s.pids = pids;
  run_every_point("corvane turn", s);
}

}  // namespace vantle::testing
