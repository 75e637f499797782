// A signal or a kill at every call point: each scenario runs once unfaulted, then, for its 1st,
// 2nd, 3rd ... platform call, with the call seam holding the process that makes it
// (VANTLE_FAULT_CALL=N, VANTLE_FAULT_CALL_ERROR=pause) until this runner has acted: SIGTERM, SIGINT
// or SIGHUP to the tool, SIGKILL to the tool, or SIGKILL to the agent's guardian where one lives
// at that point. The seam writes "<pid> <call>" to the mark file when it holds a process and lets
// it go once `<mark>.go` exists; the process held may be the tool or a copy it forked (a guardian).
// The loop ends at the first N that no run reaches.
//
// After every run: a signal ends the tool by that signal (the launch ignores SIGINT while its agent
// has the terminal, and then ends as unfaulted); a dead guardian is reported as the failure of the
// step that waited for it (or came too late to matter, and the run is the unfaulted one); and
// fault_loop.h's promises, the processes held and the guardians among the tree that must be gone.
// SIGKILL of the tool removes nothing: what it leaves may only be temporary objects (a `.tmp` file
// beside its target, a Corvane workspace in the temporary directory), and a later unfaulted run
// must end as the first one did beside them.
#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

#include "fault_loop.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

const char* action_name(Action a) {
  constexpr const char* NAMES[] = {"SIGTERM", "SIGINT", "SIGHUP", "SIGKILL tool", "SIGKILL guardian"};
  return NAMES[static_cast<int>(a)];
}

int signal_of(Action a) {
  constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL, SIGKILL};
  return SIGNALS[static_cast<int>(a)];
}

// What a dead guardian is reported as, in place of a system error.
const std::string GUARDIAN_DIED = "the agent's guardian died.*";

std::vector<std::uint32_t> children_of(pid_t parent) {
  std::vector<std::uint32_t> found;
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
      found.push_back(static_cast<std::uint32_t>(std::atol(entry->d_name)));
    }
  }
  ::closedir(proc);
  return found;
}

// The processes held, from the whole lines of the mark file, and the call the first was held at.
std::vector<std::uint32_t> held_processes(const stdfs::path& mark, std::string& call) {
  std::vector<std::uint32_t> held;
  std::istringstream in(stdfs::exists(mark) ? read_file(mark) : "");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || in.eof()) continue;
    if (held.empty()) call = line.substr(line.find(' ') + 1);
    held.push_back(static_cast<std::uint32_t>(std::atol(line.c_str())));
  }
  return held;
}

}  // namespace

bool pause_point(const Scenario& s, const Baseline& b, const stdfs::path& scratch, std::size_t n, Action action,
                 PauseTally& tally) {
  const stdfs::path mark = scratch / "held", go = scratch / "held.go", pid_file = scratch / "tool.pid";
  for (const auto& f : {mark, go, pid_file}) stdfs::remove(f);
  auto running = std::async(std::launch::async, [&] {
    return Baseline::run(s, scratch, [&](Cli& cli) {
      cli.env("VANTLE_FAULT_CALL", std::to_string(n)).env("VANTLE_FAULT_CALL_ERROR", "pause");
      cli.env("VANTLE_FAULT_CALL_MARK", display(mark));
      started_in({}, "pidfile:" + display(pid_file))(cli);
    });
  });
  // Until the tool ends or a process is held there; then act, and let it go.
  std::string call;
  std::vector<std::uint32_t> held, guardians;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (running.wait_for(1ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline) {
    if (held = held_processes(mark, call); held.empty()) continue;
    // The pid is written by whoever starts the tool, perhaps only after the tool got here; a
    // pid of 0 would signal this whole process group.
    pid_t tool = 0;
    while ((!(std::ifstream(s.tool_pid ? *s.tool_pid : pid_file) >> tool) || tool <= 0) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    if (tool <= 0) break;
    guardians = children_of(tool);
    if (action == Action::kKillGuardian) {
      for (const std::uint32_t g : guardians) ::kill(static_cast<pid_t>(g), SIGKILL);
    } else {
      ::kill(tool, signal_of(action));
    }
    break;
  }
  write_file(go, "");
  const CliResult r = running.get();
  if (held.empty()) held = held_processes(mark, call);
  if (held.empty()) return false;
  if (action == Action::kKillGuardian && guardians.empty()) return true;
  ++tally.acted[static_cast<int>(action)];

  SCOPED_TRACE("call " + std::to_string(n) + " (" + call + "), " + action_name(action) + describe(r));
  EXPECT_TRUE(r.harness_error.empty());
  const bool signaled = r.status.kind == ExitStatus::Kind::kSignaled;
  // With its daemon gone, how the tool ended is not seen, only what it wrote.
  const bool end_unseen = action != Action::kKillGuardian && code_unseen(s, r);
  if (action == Action::kKillGuardian) {
    if (r != b.clean) {
      EXPECT_TRUE(is_call_failure(s, r, GUARDIAN_DIED, "guardian"));
      EXPECT_TRUE(b.failed_output(s, r, "guardian"));
    }
  } else if (s.agent_owns_interrupt && action == Action::kInt && !signaled) {
    EXPECT_EQ(r, b.clean);
  } else if (!end_unseen) {
    EXPECT_TRUE(signaled && r.status.signal == signal_of(action));
  }
  // A tool ended by a signal has said nothing of its own: no failure line before it went, and
  // no output but what the scenario may leave of its own when cut short.
  if (signaled || end_unseen) {
    EXPECT_TRUE(r.out == b.clean.out || b.failed_output(s, r, "write"));
    EXPECT_TRUE(r.err.empty() || r.err == b.clean.err);
  }
  std::vector<std::uint32_t> run_processes = held;
  run_processes.insert(run_processes.end(), guardians.begin(), guardians.end());
  const bool killed = action == Action::kKillTool;
  EXPECT_TRUE(b.left_no_trace(s, scratch, r, killed ? "SIGKILL" : "", false, run_processes));
  if (!killed) return true;
  const auto temps = temporaries(s, scratch);
  if (temps.empty()) return true;
  for (const auto& t : temps) {
    tally.left_by_kill.insert(
        std::regex_replace(display(stdfs::path(t).filename()), std::regex("[0-9a-f]{32}|[0-9]+"), "*"));
  }
  // What a tool killed outright left: a later run beside it ends as the unfaulted one, and adds
  // nothing of its own.
  const CliResult again = Baseline::run(s, scratch, {}, false);
  EXPECT_EQ(again, b.clean) << "a run after the kill";
  EXPECT_EQ(temporaries(s, scratch), temps);
  return true;
}

namespace {

class PauseFaults : public FaultScenarios {
 protected:
  // All actions at each of the first BOUND points; beyond it, every STRIDE-th point with one
  // action in turn, until a point is not reached. Every point is run: the most a scenario has
  // here is a few hundred (the digests' writes), each run with five actions.
  void run_every_point(const std::string& name, const Scenario& s) override {
    const auto began = std::chrono::steady_clock::now();
    const Baseline baseline(s, scratch.path());
    const std::size_t bound = s.stride > 1 ? 0 : BOUND;
    PauseTally t;
    std::size_t turn = 0;
    for (std::size_t n = 1;; n += n < bound ? 1 : std::max(STRIDE, s.stride)) {
      bool reached = false;
      const Action chosen = ACTIONS[n > bound ? turn++ % std::size(ACTIONS) : 0];
      for (const Action action : ACTIONS) {
        if (n > bound && action != chosen) continue;
        if (!pause_point(s, baseline, scratch.path(), n, action, t)) break;
        reached = true;
        if (HasFailure()) return;
      }
      if (!reached) break;
      ++t.points;
    }
    // A tool without the seam would pass every point unheld; every run of the agent starts guardians.
    EXPECT_GT(t.points, 0u) << "no call was held";
    if (s.pids && s.stride == 1) {
      EXPECT_GT(t.acted[static_cast<int>(Action::kKillGuardian)], 0u) << "no guardian was ever killed";
    }
    std::cout << "[ points   ] " << name << ": " << t.points << " call points in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count()
              << " ms;";
    for (const Action a : ACTIONS) std::cout << " " << action_name(a) << " " << t.acted[static_cast<int>(a)] << ",";
    std::cout << " left by SIGKILL:";
    for (const auto& left : t.left_by_kill) std::cout << " " << left;
    std::cout << std::endl;
  }

  static constexpr std::size_t BOUND = 1000;
  static constexpr std::size_t STRIDE = 10;
};

VANTLE_FAULT_SCENARIO_TESTS(PauseFaults)

}  // namespace
}  // namespace vantle::testing
