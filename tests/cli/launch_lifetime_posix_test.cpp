// The launched agent's whole process tree lives and dies with the tool, and the tool with its
// daemon; and the agent owns the terminal it runs in. So does the tree of every other run of the
// agent: a turn's, and the version probe's.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/process.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/lifetime.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

// Alive means present and not a zombie. A process that ends while its stat file is read fails the
// read (ESRCH): that is gone too, so the file is read with plain calls that report, never throw.
bool alive(pid_t pid) {
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return false;
  const std::string_view text(buffer, static_cast<std::size_t>(n));
  const auto close = text.rfind(')');
  return close != std::string_view::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool all_gone_within(const std::vector<std::uint32_t>& pids, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    bool any = false;
    for (pid_t pid : pids) any = any || alive(pid);
    if (!any) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class LaunchLifetime : public LaunchLifetimeTest {
 protected:
  void SetUp() override {
    // Orphans (a tool whose daemon died) come back to this test process, which can then reap them.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  }
  void TearDown() override {
    for (pid_t pid : read_pids(pids_file())) ::kill(pid, SIGKILL);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
};

TEST_F(LaunchLifetime, DaemonDeathEndsTheToolWith93AndReapsTheTree) {
  auto started = start_daemon(agent("sleep_ms 60000\n"));
  auto err = started.take_stderr();
  const auto tree = wait_for_pids(pids_file(), 3);
  const auto tool = read_pids(tmp_ / "tool.pid");
  ASSERT_EQ(tool.size(), 1u);

  ASSERT_TRUE(started.kill());
  ASSERT_TRUE(started.wait());
  int raw = 0;
  ASSERT_EQ(::waitpid(static_cast<pid_t>(tool[0]), &raw, 0), static_cast<pid_t>(tool[0]));
  EXPECT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 93);
  EXPECT_TRUE(all_gone_within(tree, 1000ms));
  // Read only once the tree is gone: a survivor would hold the inherited pipe open.
  EXPECT_EQ(*err->read_to_end(), "vantle launch-omp: hosting daemon exited; reaping the OMP session tree\n");
}

TEST_F(LaunchLifetime, AnAgentExitingNormallyEndsTheToolWithItsCodeAndLeavesNothing) {
  auto tool = process::spawn(launch_command(agent("sleep_ms 300\nexit 7\n")));
  ASSERT_TRUE(tool) << tool.error().message;
  auto err = tool->take_stderr();
  const auto tree = wait_for_pids(pids_file(), 3);
  const auto status = tool->wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, ExitStatus::exited(7));
  EXPECT_EQ(*err->read_to_end(), "");
  EXPECT_TRUE(all_gone_within(tree, 1000ms));
}

// Runs the tool on a fresh pseudo-terminal and reads what the terminal shows until it exits.
struct PtyRun {
  std::string screen;
  int status = 0;
};

// What is typed waits for the agent: until `ready` holds `ready_text` (the stand-in's record of
// its run), so that nothing reaches the terminal while the tool still has it to itself.
PtyRun run_on_pty(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& typed, const stdfs::path& ready, std::string_view ready_text) {
  std::vector<std::string> argv_storage = {display(vantle_binary())};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  CStrings argv(std::move(argv_storage));
  CStrings envp(env);

  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::execve(argv.get()[0], argv.get(), envp.get());
    ::_exit(127);
  }
  PtyRun run;
  std::atomic<bool> ended{false};
  std::thread typist([&] {
    while (read_file(ready).find(ready_text) == std::string::npos) {
      if (ended) return;
      std::this_thread::sleep_for(5ms);
    }
    (void)!::write(master, typed.data(), typed.size());
  });
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the last process holding the terminal has gone
    run.screen.append(buffer, static_cast<std::size_t>(n));
  }
  ended = true;
  typist.join();
  ::waitpid(pid, &run.status, 0);
  ::close(master);
  return run;
}

TEST_F(LaunchLifetime, TheAgentOwnsTheTerminal) {
  const auto record = tmp_ / "record.jsonl";
  const auto agent_path = install_fake_agent(tmp_ / "bin", "record " + scenario_path(record) +
                                                               "\necho_stdin 1\necho_prefix agent heard: \nexit 5\n");
  const std::vector<std::string> env = {"VANTLE_OMP_BIN=" + display(agent_path),
                                        "VANTLE_STATE_DIR=" + display(tmp_ / "state")};
  // A line, then end of input (Ctrl-D at the start of a line).
  const auto run =
      run_on_pty({"launch-omp", "--id", "ep", "--extension", "x"}, env, "hello\n\x04", record, "\"--extension\"");
  ASSERT_TRUE(WIFEXITED(run.status)) << run.screen;
  EXPECT_EQ(WEXITSTATUS(run.status), 5) << run.screen;
  EXPECT_NE(run.screen.find("agent heard: hello"), std::string::npos) << run.screen;
  std::ifstream in(record);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  const auto doc = nlohmann::json::parse(last);
  EXPECT_EQ(doc["tty"], nlohmann::json::array({true, true, true}));
}

TEST_F(LaunchLifetime, CtrlCReachesTheAgentAndNotTheTool) {
  const auto record = tmp_ / "record.jsonl";
  const auto agent_path = install_fake_agent(tmp_ / "bin", "record " + scenario_path(record) + "\nsleep_ms 20000\n");
  const std::vector<std::string> env = {"VANTLE_OMP_BIN=" + display(agent_path),
                                        "VANTLE_STATE_DIR=" + display(tmp_ / "state")};
  const auto start = std::chrono::steady_clock::now();
  const auto run =
      run_on_pty({"launch-omp", "--id", "ep", "--extension", "x"}, env, "\x03", record, "\"--extension\"");
  // The agent died of the interrupt; the tool outlived it and reported the death as exit code 1.
  ASSERT_TRUE(WIFEXITED(run.status)) << "the tool itself died of a signal: " << run.screen;
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// The raw wait status of a child of this process once it has ended, or nothing after `limit` (it
// is then killed, so that a failing test does not leave it running).
std::optional<int> reap_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, &raw, WNOHANG) == pid) return raw;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &raw, 0);
  return std::nullopt;
}

// A daemon that exits before the tool has armed its watch (here while the tool still probes the
// agent) is the daemon the tool watches, not whoever adopts the tool: the agent is never started.
// The daemon exits once the probe has begun, and the probe answers only once the daemon is reaped.
TEST_F(LaunchLifetime, ADaemonGoneBeforeTheWatchIsArmedEndsTheLaunchWith93) {
  const auto probed = tmp_ / "probe-begun.jsonl";
  const auto go = tmp_ / "daemon-gone";
  auto started = start_daemon(
      agent("record " + scenario_path(probed) + "\nversion.wait_for " + scenario_path(go) + "\nsleep_ms 60000\n"),
      "run_detach 1\nrun_wait_for " + scenario_path(probed) + "\n");
  auto err = started.take_stderr();
  ASSERT_TRUE(started.wait());
  std::ofstream(go) << "gone\n";
  const auto tool = read_pids(tmp_ / "tool.pid");
  ASSERT_EQ(tool.size(), 1u);
  const auto raw = reap_within(static_cast<pid_t>(tool[0]), 10s);
  ASSERT_TRUE(raw) << "the tool outlived its daemon";
  EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 93) << *raw;
  EXPECT_EQ(read_pids(pids_file()).size(), 0u);
  EXPECT_EQ(*err->read_to_end(), "vantle launch-omp: hosting daemon exited; reaping the OMP session tree\n");
}

// The agent's parent.
pid_t parent_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  char state = 0;
  int ppid = -1;
  return std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 ? ppid : -1;
}

// The tool as a daemon starts it, on pipes of this test's own: the stdout pipe is shrunk to a
// page, so that a reply larger than that keeps the tool writing until the test reads.
struct ToolRun {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
};

ToolRun spawn_tool(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> argv_storage = {display(vantle_binary())};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<std::string> env_storage;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto name = entry.substr(0, entry.find('='));
    if (std::none_of(env.begin(), env.end(), [&](const auto& kv) { return kv.first == name; })) {
      env_storage.emplace_back(entry);
    }
  }
  for (const auto& [name, value] : env) env_storage.push_back(name + "=" + value);
  CStrings argv(std::move(argv_storage));
  CStrings envp(std::move(env_storage));
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  if (::fcntl(out[0], F_SETPIPE_SZ, 4096) < 0) throw std::runtime_error("cannot shrink the stdout pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(argv.get()[0], argv.get(), envp.get());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  return {pid, in[1], out[0], err[0]};
}

std::string read_all(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Ends what is left of a tree when a case ends, failed or not, through pidfds taken while the tree
// ran, so that no process that has since taken one of its ids is hit.
class TreeReaper {
 public:
  explicit TreeReaper(const std::vector<std::uint32_t>& pids) {
    for (const std::uint32_t pid : pids) fds_.push_back(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  }
  ~TreeReaper() {
    for (const int fd : fds_) {
      if (fd < 0) continue;
      ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
      ::close(fd);
    }
  }
  TreeReaper(const TreeReaper&) = delete;
  TreeReaper& operator=(const TreeReaper&) = delete;

 private:
  std::vector<int> fds_;
};

// Where a run of the agent is when the test acts: its version probe runs (the stand-in's
// `--version` has started its tree), the agent runs (its tree has started), or the agent has
// answered and is gone while the tool still hands the answer on (its stdout pipe is full).
enum class Phase { kProbe, kAgent, kReply };
// What the test does there: a signal to the tool (sent twice in a row as well), or SIGKILL to the
// tool, to the guardian standing between the tool and the agent, or to the agent alone.
enum class Action { kSignal, kKillTool, kKillGuardian, kKillAgent };

// Every phase the stand-in can announce, every way the tool or the agent's run can be ended there.
// After each: the tool ends as documented (by the signal it was sent, or with the failure line and
// code of its subcommand), the agent's whole tree is gone (before the tool, when the tool could
// end it), no temporary object is left in the temporary directory or the state directory, and the
// snapshot and the prompt file are whole. SIGKILL of the tool cannot clean up: the temporary
// objects it had made may remain, and a later run must succeed beside them and add none.
TEST_F(LaunchLifetime, EveryWayARunEndsAtEveryPhaseKeepsTheToolsPromises) {
  const auto mind = tmp_ / "mind" / "mind.md";
  const auto sessions = mind.parent_path() / "omp-sessions";
  stdfs::create_directories(mind.parent_path());
  std::ofstream(mind) << "mind\n";
  const std::string input = "a transcript\n";
  const auto subs = agent_subcommands(mind);
  struct Act {
    Action action;
    int sig;
    bool twice;
  };
  const std::vector<Act> acts = {
      {Action::kSignal, SIGTERM, false},    {Action::kSignal, SIGTERM, true},
      {Action::kSignal, SIGINT, false},     {Action::kSignal, SIGINT, true},
      {Action::kSignal, SIGHUP, false},     {Action::kSignal, SIGHUP, true},
      {Action::kKillTool, SIGKILL, false},  {Action::kKillGuardian, SIGKILL, false},
      {Action::kKillAgent, SIGKILL, false},
  };
  const char* phase_names[] = {"probe", "agent", "reply"};
  const char* action_names[] = {"signal", "kill tool", "kill guardian", "kill agent"};
  int n = 0;
  for (const AgentSubcommand& sub : subs) {
    for (const Phase phase : {Phase::kProbe, Phase::kAgent, Phase::kReply}) {
      if (phase == Phase::kReply && sub.reply.empty()) continue;
      for (const Act& act : acts) {
        // Once the agent has answered, its tree, the guardian included, is gone.
        if (phase == Phase::kReply && (act.action == Action::kKillGuardian || act.action == Action::kKillAgent))
          continue;
        SCOPED_TRACE(sub.name + ", " + phase_names[static_cast<int>(phase)] + ", " +
                     action_names[static_cast<int>(act.action)] + " " + std::to_string(act.sig) +
                     (act.twice ? " twice" : ""));
        const LifetimeCase c(tmp_ / ("case-" + std::to_string(n++)));
        stdfs::remove_all(sessions);
        const std::vector<std::pair<std::string, std::string>> env = {
            {"VANTLE_OMP_BIN", display(c.dir / "bin" / "omp")},
            {"VANTLE_STATE_DIR", display(c.state)},
            {"TMPDIR", display(c.temp)}};
        // The endpoint's snapshot, as its launch left it: the turns probe the agent they resolve.
        install_fake_agent(c.dir / "bin", "");
        const ToolRun seed = spawn_tool(subs[2].args, env);
        ::close(seed.in);
        ::close(seed.out);
        ASSERT_EQ(read_all(seed.err), "");
        ASSERT_EQ(reap_within(seed.pid, 10s), 0);

        const std::string tree = "spawn_tree " + scenario_path(c.pids) + "\n";
        std::string scenario;
        if (phase == Phase::kProbe) scenario = "version." + tree + "version.wait_for " + scenario_path(c.go) + "\n";
        if (phase == Phase::kAgent) scenario = tree + "wait_for " + scenario_path(c.go) + "\nexit 7\n";
        if (phase == Phase::kReply) scenario = "stdout " + scenario_value(sub.reply) + "\n";
        install_fake_agent(c.dir / "bin", scenario);
        const ToolRun tool = spawn_tool(sub.args, env);
        ASSERT_EQ(::write(tool.in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(tool.in);
        auto tree_pids = phase == Phase::kReply ? std::vector<std::uint32_t>{} : wait_for_pids(c.pids, 3);
        const TreeReaper reaper(tree_pids);
        if (phase == Phase::kReply) {
          // The answer fills the pipe: the tool is writing the rest of it.
          int queued = 0;
          while (::ioctl(tool.out, FIONREAD, &queued) == 0 && queued < ::fcntl(tool.out, F_GETPIPE_SZ)) {
            std::this_thread::sleep_for(1ms);
          }
        }
        const pid_t agent_pid = tree_pids.empty() ? -1 : static_cast<pid_t>(tree_pids[0]);
        // The guardian belongs to the tree as well: nothing of it may outlive the run either.
        const pid_t guardian = tree_pids.empty() ? -1 : parent_of(agent_pid);
        if (!tree_pids.empty()) {
          ASSERT_GT(guardian, 1);
          ASSERT_NE(guardian, tool.pid);
          tree_pids.push_back(static_cast<std::uint32_t>(guardian));
        }
        if (act.action == Action::kSignal || act.action == Action::kKillTool) {
          ASSERT_EQ(::kill(tool.pid, act.sig), 0);
          if (act.twice) ::kill(tool.pid, act.sig);
        } else if (act.action == Action::kKillGuardian) {
          ASSERT_EQ(::kill(guardian, SIGKILL), 0);
        } else {
          ASSERT_EQ(::kill(agent_pid, SIGKILL), 0);
        }
        // The launch leaves interrupts to the agent, which owns the terminal: the tool goes on,
        // and ends with the agent's own code once the agent ends.
        const bool ignored = sub.name == "launch" && phase == Phase::kAgent && act.sig == SIGINT;
        if (ignored) std::ofstream(c.go) << "go\n";
        const bool by_signal = act.action == Action::kSignal || act.action == Action::kKillTool;
        // The tree is ended before the tool, unless the tool cannot see the end coming: SIGKILL,
        // or a signal to the launch while its agent runs, where the guardian ends the tree.
        const bool tree_first = by_signal && act.sig != SIGKILL && !(sub.name == "launch" && phase == Phase::kAgent);
        const std::string out_text = read_all(tool.out);
        const auto raw = reap_within(tool.pid, 10s);
        ASSERT_TRUE(raw) << "the tool outlived what ended its run";
        if (tree_first) {
          for (pid_t pid : tree_pids) EXPECT_FALSE(alive(pid)) << pid << " outlived the tool";
        }
        EXPECT_TRUE(all_gone_within(tree_pids, 1000ms));
        const std::string err_text = read_all(tool.err);

        std::string failed_probe;
        if (act.action == Action::kKillAgent) failed_probe = "`--version` exited signal: 9 (SIGKILL): ";
        if (act.action == Action::kKillGuardian) {
          failed_probe = "could not wait for `--version`: the agent's guardian died (signal: 9 (SIGKILL))";
        }
        failed_probe = "VANTLE_OMP_BIN points to `" + display(c.dir / "bin" / "omp") +
                       "`, but it failed Oh My Pi validation (" + failed_probe +
                       "); refusing to launch the invalid explicit override";
        const std::string guardian_died = "the agent's guardian died (signal: 9 (SIGKILL))";
        if (ignored) {
          EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 7) << *raw;
          EXPECT_EQ(err_text, "");
        } else if (by_signal) {
          EXPECT_TRUE(WIFSIGNALED(*raw) && WTERMSIG(*raw) == act.sig) << *raw;
          EXPECT_EQ(err_text, "");
        } else if (phase == Phase::kProbe) {
          const int code = sub.name == "launch" ? 2 : 1;
          EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == code) << *raw;
          EXPECT_EQ(err_text, sub.line(sub.name == "launch" ? failed_probe : "omp resolution failed: " + failed_probe));
        } else if (act.action == Action::kKillGuardian) {
          EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 1) << *raw;
          EXPECT_EQ(err_text, sub.line(sub.name == "launch" ? guardian_died + "; reaped the OMP session tree"
                                                            : "omp spawn failed: " + guardian_died));
        } else {
          EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 1) << *raw;
          EXPECT_EQ(err_text, sub.name == "launch" ? ""
                                                   : sub.line("omp exited signal: 9 (SIGKILL); omp stderr: <silent>; "
                                                              "omp stdout: <silent>"));
        }
        EXPECT_EQ(out_text.empty() || phase == Phase::kReply, true) << out_text.size();

        expect_only_whole_files(c.state, "ep", sessions, "mind\n\n" + input);
        const auto left = entries_below(c.temp);
        if (act.action != Action::kKillTool) {
          EXPECT_TRUE(left.empty()) << *left.begin();
          continue;
        }
        // What a tool killed outright may leave does not hurt the next run, which leaves nothing.
        install_fake_agent(c.dir / "bin", "stdout " + scenario_value(sub.reply) + "\n");
        const ToolRun later = spawn_tool(sub.args, env);
        ASSERT_EQ(::write(later.in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(later.in);
        EXPECT_EQ(read_all(later.out), sub.reply);
        EXPECT_EQ(read_all(later.err), "");
        EXPECT_EQ(reap_within(later.pid, 10s), 0);
        EXPECT_EQ(entries_below(c.temp), left);
      }
    }
  }
}

}  // namespace
}  // namespace vantle::testing
