// A signal or a kill at every call point: each scenario runs once unfaulted, then, for its 1st,
// 2nd, 3rd ... platform call, with the call seam holding the process that makes it
// (VANTLE_FAULT_CALL=N, VANTLE_FAULT_CALL_ERROR=pause) until this runner has acted: SIGTERM, SIGINT
// or SIGHUP to the tool, SIGKILL to the tool, or SIGKILL to the agent's guardian where one lives
// at that point. The seam writes "<pid> <call>" to the mark file when it holds a
// process and lets it go once `<mark>.go` exists; the process held may be the tool or a copy it
// forked (a guardian). The loop ends at the first N that no run reaches.
//
// After every run: a signal ends the tool by that signal (the launch ignores SIGINT while its agent
// has the terminal, and then ends as unfaulted); a dead guardian is reported as such (or
// came too late to matter, and the run is the unfaulted one);
// nothing temporary is left; no process of the agent's tree, nor a guardian, is alive a second
// after the tool; no snapshot or prompt file is half-written. SIGKILL of the tool removes nothing:
// what it leaves may only be temporary objects (a `.tmp` file beside its target, a Corvane
// workspace in the temporary directory), and a later unfaulted run must end as the first one did
// beside them.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/os_string.h"
#include "snapshot/selectors.h"
#include "snapshot/snapshot.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Action { kTerm, kInt, kHup, kKillTool, kKillGuardian };
constexpr Action ACTIONS[] = {Action::kTerm, Action::kInt, Action::kHup, Action::kKillTool, Action::kKillGuardian};

const char* action_name(Action a) {
  switch (a) {
    case Action::kTerm:
      return "SIGTERM";
    case Action::kInt:
      return "SIGINT";
    case Action::kHup:
      return "SIGHUP";
    case Action::kKillTool:
      return "SIGKILL tool";
    case Action::kKillGuardian:
      return "SIGKILL guardian";
  }
  return "?";
}

int signal_of(Action a) {
  switch (a) {
    case Action::kTerm:
      return SIGTERM;
    case Action::kInt:
      return SIGINT;
    case Action::kHup:
      return SIGHUP;
    default:
      return SIGKILL;
  }
}

struct Scenario {
  std::string name;
  // Puts back what a run may change; called before every run but the one after a SIGKILL.
  std::function<void()> reset = [] {};
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
  std::string input;
  stdfs::path cwd;
  // What a run that lost its guardian may end with instead of the unfaulted result.
  std::regex guardian_died;
  std::set<int> guardian_died_codes = {1};
  // SIGINT while the agent runs is the agent's (the launch), not the tool's.
  bool agent_owns_interrupt = false;
  // Searched after every run for temporary files (names ending in .tmp).
  stdfs::path root;
  std::vector<stdfs::path> whole_files;
  stdfs::path pids;
};

// What one run ended as.
struct Run {
  int raw = 0;
  std::string out, err;
  // The processes the seam held, from the mark file; empty when no process reached the point.
  std::vector<pid_t> held;
  // The call the first of them was held at.
  std::string call;
  // The tool's children when it was held (the guardians of that moment).
  std::vector<pid_t> guardians;
  bool acted = false;
};

std::string describe(const Run& r) {
  std::ostringstream os;
  os << "\n  status "
     << (WIFEXITED(r.raw) ? "exit " + std::to_string(WEXITSTATUS(r.raw)) : "signal " + std::to_string(WTERMSIG(r.raw)));
  CliResult c;
  c.out = r.out;
  c.err = r.err;
  PrintTo(c, &os);
  return os.str();
}

bool same(const Run& a, const Run& b) { return a.raw == b.raw && a.out == b.out && a.err == b.err; }

// Present and not a zombie: a killed tool's orphans go to an init that may reap them late.
bool alive(pid_t pid) {
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return false;
  const std::string_view text(buffer, static_cast<std::size_t>(n));
  const auto close = text.rfind(')');
  return close != std::string_view::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const std::string text = read_file(stdfs::path("/proc") / entry->d_name / "stat");
    const auto close = text.rfind(')');
    char state = 0;
    int ppid = -1;
    if (close != std::string::npos && std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == parent && state != 'Z') {
      found.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
    }
  }
  ::closedir(proc);
  return found;
}

// Those of `pids` still alive once a second has passed, or none as soon as all are gone.
std::vector<pid_t> survivors(const std::vector<pid_t>& pids) {
  const auto deadline = Clock::now() + 1s;
  while (true) {
    std::vector<pid_t> left;
    for (pid_t p : pids) {
      if (alive(p)) left.push_back(p);
    }
    if (left.empty() || Clock::now() >= deadline) return left;
    std::this_thread::sleep_for(5ms);
  }
}

// The processes held, from the whole lines of the mark file, and the call the first was held at.
std::vector<pid_t> held_processes(const stdfs::path& mark, std::string* call = nullptr) {
  std::vector<pid_t> held;
  std::istringstream in(stdfs::exists(mark) ? read_file(mark) : "");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || in.eof()) continue;
    if (held.empty() && call != nullptr) *call = line.substr(line.find(' ') + 1);
    held.push_back(static_cast<pid_t>(std::atol(line.c_str())));
  }
  return held;
}

std::vector<std::string> temporaries(const stdfs::path& root, const stdfs::path& temp) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = stdfs::recursive_directory_iterator(root, ec); !ec && it != stdfs::recursive_directory_iterator();
       it.increment(ec)) {
    if (display(it->path().filename()).ends_with(".tmp")) found.push_back(display(it->path()));
  }
  for (auto it = stdfs::directory_iterator(temp, ec); !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
    found.push_back(display(it->path()));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::optional<std::string> file_bytes(const stdfs::path& path) {
  if (!stdfs::exists(path)) return std::nullopt;
  return read_file(path);
}

class Runner {
 public:
  Runner(const Scenario& s, const stdfs::path& scratch)
      : s_(s),
        temp_(scratch / "temp"),
        mark_(scratch / "held"),
        go_(scratch / "held.go"),
        out_(scratch / "out"),
        err_(scratch / "err"),
        in_(scratch / "in"),
        scratch_(scratch) {
    write_file(in_, s.input);
  }

  // One run: with `n` > 0 the n-th call is held and `action` applied there.
  Run run(std::size_t n, std::optional<Action> action, bool reset = true) {
    if (reset) {
      s_.reset();
      stdfs::remove_all(temp_);
    }
    stdfs::create_directories(temp_);
    for (const auto& f : {mark_, go_, out_, err_, s_.pids}) stdfs::remove(f);

    std::vector<std::string> env;
    const auto skipped = [](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('='));
      if (name.starts_with("VANTLE_FAULT_") || name == "TMPDIR" || name == "TEMP" || name == "TMP") return true;
      const auto tool = tool_variables();
      return std::find(tool.begin(), tool.end(), name) != tool.end();
    };
    for (char** e = environ; *e != nullptr; ++e) {
      if (!skipped(*e)) env.emplace_back(*e);
    }
    for (const auto& [name, value] : s_.env) env.push_back(name + "=" + value);
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) env.push_back(std::string(name) + "=" + display(temp_));
    if (n > 0) {
      env.push_back("VANTLE_FAULT_CALL=" + std::to_string(n));
      env.push_back("VANTLE_FAULT_CALL_ERROR=pause");
      env.push_back("VANTLE_FAULT_CALL_MARK=" + display(mark_));
    }
    std::vector<std::string> argv = {display(vantle_binary())};
    argv.insert(argv.end(), s_.args.begin(), s_.args.end());
    CStrings c_argv(std::move(argv));
    CStrings c_env(std::move(env));

    // Watched before the tool starts, so that no write to the mark file goes unseen.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    EXPECT_GE(watch, 0);
    ::inotify_add_watch(watch, scratch_.c_str(), IN_MODIFY | IN_CLOSE_WRITE);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, in_.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&files, s_.cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t tool = -1;
    const int spawned = ::posix_spawn(&tool, c_argv.get()[0], &files, &attr, c_argv.get(), c_env.get());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    Run r;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start the tool: " << std::strerror(spawned);
      ::close(watch);
      return r;
    }
    const int tool_fd = static_cast<int>(::syscall(SYS_pidfd_open, tool, 0));
    EXPECT_GE(tool_fd, 0);

    // Until the tool ends or a process is held there; then act, and let it go.
    const auto deadline = Clock::now() + 60s;
    bool ended = false;
    while (!ended && n > 0 && !r.acted) {
      if (r.held = held_processes(mark_, &r.call); !r.held.empty()) {
        r.guardians = children_of(tool);
        act(*action, tool, r);
        r.acted = true;
        break;
      }
      pollfd fds[2] = {{tool_fd, POLLIN, 0}, {watch, POLLIN, 0}};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
      char events[4096];
      while (::read(watch, events, sizeof events) > 0) {
      }
      ended = (fds[0].revents & POLLIN) != 0;
    }
    write_file(go_, "");
    // The tool ends within the minute whatever it was doing, or is killed and the run fails.
    pollfd fd{tool_fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::poll(&fd, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) {
      ADD_FAILURE() << "the tool did not end";
      ::kill(tool, SIGKILL);
    }
    ::waitpid(tool, &r.raw, 0);
    ::close(tool_fd);
    ::close(watch);
    if (r.held.empty()) r.held = held_processes(mark_, &r.call);
    r.out = read_file(out_);
    r.err = read_file(err_);
    return r;
  }

  // The processes of a run that must be gone: those the seam held, the guardians, the agent's tree.
  std::vector<pid_t> run_processes(const Run& r) const {
    std::vector<pid_t> all = r.held;
    all.insert(all.end(), r.guardians.begin(), r.guardians.end());
    for (const auto pid : read_pids(s_.pids)) all.push_back(static_cast<pid_t>(pid));
    return all;
  }

  const stdfs::path& temp() const { return temp_; }

 private:
  void act(Action action, pid_t tool, const Run& r) {
    if (action == Action::kKillGuardian) {
      for (pid_t g : r.guardians) ::kill(g, SIGKILL);
      return;
    }
    ::kill(tool, signal_of(action));
  }

  const Scenario& s_;
  stdfs::path temp_, mark_, go_, out_, err_, in_, scratch_;
};

// Counts per action: points held, and the runs that acted (a guardian's death only where one lived).
struct Tally {
  std::size_t points = 0;
  std::map<Action, std::size_t> acted;
  // What tools killed outright left, by name with its unique parts starred.
  std::set<std::string> left_by_kill;
};

// Checks one faulted run against the promises; `clean` is the unfaulted run.
void check(const Scenario& s, Runner& runner, const Run& clean, const std::vector<std::optional<std::string>>& whole,
           std::size_t n, Action action, const Run& r, Tally& tally) {
  SCOPED_TRACE(s.name + ", call " + std::to_string(n) + ", " + action_name(action) + describe(r));
  const int sig = signal_of(action);
  switch (action) {
    case Action::kTerm:
    case Action::kInt:
    case Action::kHup:
      if (s.agent_owns_interrupt && action == Action::kInt && WIFEXITED(r.raw)) {
        EXPECT_TRUE(same(r, clean));
      } else {
        EXPECT_TRUE(WIFSIGNALED(r.raw) && WTERMSIG(r.raw) == sig);
      }
      break;
    case Action::kKillTool:
      EXPECT_TRUE(WIFSIGNALED(r.raw) && WTERMSIG(r.raw) == SIGKILL);
      break;
    case Action::kKillGuardian:
      if (!same(r, clean)) {
        EXPECT_TRUE(WIFEXITED(r.raw) && s.guardian_died_codes.count(WEXITSTATUS(r.raw)) == 1);
        EXPECT_TRUE(std::regex_match(r.err, s.guardian_died));
        EXPECT_EQ(r.out, "");
      }
      break;
  }
  // A tool ended by a signal has said nothing of its own: no failure line before it went.
  if (WIFSIGNALED(r.raw)) {
    EXPECT_TRUE(r.out.empty() || r.out == clean.out);
    EXPECT_TRUE(r.err.empty() || r.err == clean.err);
  }
  const auto left = survivors(runner.run_processes(r));
  EXPECT_TRUE(left.empty()) << "alive a second after the tool: " << left.front();
  for (pid_t p : left) ::kill(p, SIGKILL);
  for (std::size_t i = 0; i < s.whole_files.size(); ++i) {
    const auto now = file_bytes(s.whole_files[i]);
    EXPECT_TRUE(!now || now == whole[i]) << "half-written: " << display(s.whole_files[i]);
  }
  const auto temps = temporaries(s.root, runner.temp());
  if (action != Action::kKillTool) {
    EXPECT_TRUE(temps.empty()) << "left behind: " << temps.front();
    return;
  }
  if (temps.empty()) return;
  for (const auto& t : temps) {
    tally.left_by_kill.insert(
        std::regex_replace(display(stdfs::path(t).filename()), std::regex("[0-9a-f]{32}|[0-9]+"), "*"));
  }
  // What a tool killed outright left: a later run beside it ends as the unfaulted one, and adds
  // nothing of its own.
  const Run again = runner.run(0, std::nullopt, false);
  EXPECT_TRUE(same(again, clean)) << "a run after the kill:" << describe(again);
  EXPECT_EQ(temporaries(s.root, runner.temp()), temps);
}

// Every point of `s`: all actions at each of the first `bound` points; beyond it, every `stride`-th
// point with one action in turn, until a point is not reached.
Tally every_point(const Scenario& s, const stdfs::path& scratch, std::size_t bound, std::size_t stride) {
  Runner runner(s, scratch);
  const Run clean = runner.run(0, std::nullopt);
  EXPECT_TRUE(WIFEXITED(clean.raw)) << describe(clean);
  std::vector<std::optional<std::string>> whole;
  for (const auto& f : s.whole_files) whole.push_back(file_bytes(f));

  Tally tally;
  std::size_t turn = 0;
  for (std::size_t n = 1;; n += n < bound ? 1 : stride) {
    bool reached = false;
    const Action chosen = ACTIONS[n > bound ? turn++ % std::size(ACTIONS) : 0];
    for (const Action action : ACTIONS) {
      if (n > bound && action != chosen) continue;
      const Run r = runner.run(n, action);
      if (r.held.empty()) break;
      reached = true;
      if (action == Action::kKillGuardian && r.guardians.empty()) continue;
      check(s, runner, clean, whole, n, action, r, tally);
      ++tally.acted[action];
      if (::testing::Test::HasFailure()) return tally;
    }
    if (!reached) return tally;
    ++tally.points;
  }
}

class PauseFaults : public ::testing::Test {
 protected:
  void run_every_point(Scenario& s) {
    s.root = tmp.path();
    s.cwd = tmp.path();
    const auto began = Clock::now();
    const Tally t = every_point(s, scratch.path(), BOUND, STRIDE);
    // A tool without the seam would pass every point unheld; every scenario starts guardians.
    EXPECT_GT(t.points, 0u) << "no call was held";
    EXPECT_EQ(t.acted.count(Action::kKillGuardian), 1u) << "no guardian was ever killed";
    std::cout << "[ points   ] " << s.name << ": " << t.points << " call points in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count() << " ms;";
    for (const Action a : ACTIONS) {
      std::cout << " " << action_name(a) << " " << (t.acted.count(a) ? t.acted.at(a) : 0) << ",";
    }
    std::cout << " left by SIGKILL:";
    for (const auto& name : t.left_by_kill) std::cout << " " << name;
    std::cout << "\n";
  }

  // Every point is run: the most a scenario has here is about 70, each run with five actions.
  static constexpr std::size_t BOUND = 1000;
  static constexpr std::size_t STRIDE = 10;
  ScopedTempDir tmp;
  ScopedTempDir scratch;
};

// A Thymel turn whose endpoint snapshot is missing, so that it is rebuilt and written first, and
// whose prompt file is written beside the mind file. The stand-in starts a tree (a child, and a
// grandchild in a session of its own) that outlives it.
TEST_F(PauseFaults, ThymelTurnWithASnapshotRebuilt) {
  const stdfs::path pids = tmp / "pids";
  const stdfs::path agent =
      install_fake_agent(tmp / "bin", "stdout the reply\\n\nspawn_tree " + scenario_path(pids) + "\n");
  const stdfs::path work = tmp / "work";
  const stdfs::path state = tmp / "state";
  write_file(work / "mind.md", "I am ep-1.\n");
  Scenario s;
  s.name = "thymel turn";
  s.reset = [&] {
    stdfs::remove_all(work / "omp-sessions");
    stdfs::remove_all(state);
  };
  s.args = {"thymel-omp", "--id", "ep-1", "--session-id", "s-1", "--thymel-context-file", display(work / "mind.md")};
  s.env = {{"VANTLE_STATE_DIR", display(state)}, {"VANTLE_OMP_BIN", display(agent)}, {"HOME", display(tmp / "home")}};
  s.input = "what changed?\n";
  s.guardian_died = std::regex(
      "THYMEL_TURN_FAIL:ep-1: .*the agent's guardian died.* \xE2\x80\x94 exiting nonzero "
      "\\(keep custody\\); the daemon owns retry/reseed \\(no internal retry\\)\n");
  s.whole_files = {*snapshot::snapshot_path(state, "ep-1"), work / "omp-sessions" / "turn-prompt.md"};
  s.pids = pids;
  run_every_point(s);
}

// A Corvane turn: its transcript on standard input, its workspace and files in the temporary
// directory, the agent's tree as in the Thymel turn.
TEST_F(PauseFaults, CorvaneTurn) {
  const stdfs::path pids = tmp / "pids";
  const std::string delta = "<project-context>decided X</project-context>\n<live-context>I am ep-1</live-context>";
  const stdfs::path agent =
      install_fake_agent(tmp / "bin", "stdout " + scenario_value(delta) + "\nspawn_tree " + scenario_path(pids) + "\n");
  const stdfs::path state = tmp / "state";
  snapshot::Selectors selectors;
  selectors[snapshot::Selector::kHome] = OsString::from_path(tmp / "home");
  selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_path(agent);
  ASSERT_TRUE(snapshot::write_snapshot(state, "ep-1", std::nullopt, selectors).ok());
  Scenario s;
  s.name = "corvane turn";
  s.args = {"corvane-omp", "--id", "ep-1", "--session-id", "s-1"};
  s.env = {{"VANTLE_STATE_DIR", display(state)}, {"HOME", display(tmp / "home-daemon")}};
  s.input = "user: fix the build\nagent: done <ok> & \"quoted\"\n";
  s.guardian_died = std::regex("CORVANE_FAIL:ep-1: .*the agent's guardian died.*\n");
  s.whole_files = {*snapshot::snapshot_path(state, "ep-1")};
  s.pids = pids;
  run_every_point(s);
}

// The launch up to and past the agent's start: the version probe and then the agent each start a
// tree and exit, the snapshot is written between them, and the launch ends with the agent's code
// once its tree is gone.
TEST_F(PauseFaults, Launch) {
  const stdfs::path pids = tmp / "pids";
  const stdfs::path agent = install_fake_agent(
      tmp / "bin", "version.spawn_tree " + scenario_path(pids) + "\nspawn_tree " + scenario_path(pids) + "\nexit 7\n");
  const stdfs::path state = tmp / "state";
  Scenario s;
  s.name = "launch";
  s.reset = [&] { stdfs::remove_all(state); };
  s.args = {"launch-omp", "--id", "ep", "--extension", "x"};
  s.env = {{"VANTLE_OMP_BIN", display(agent)}, {"VANTLE_STATE_DIR", display(state)}, {"HOME", display(tmp / "home")}};
  // The version probe's guardian dying fails the preparation (2); the agent's, the launch (1).
  s.guardian_died = std::regex("vantle launch-omp: .*the agent's guardian died.*\n");
  s.guardian_died_codes = {1, 2};
  s.agent_owns_interrupt = true;
  s.whole_files = {*snapshot::snapshot_path(state, "ep")};
  s.pids = pids;
  run_every_point(s);
}

}  // namespace
}  // namespace vantle::testing
