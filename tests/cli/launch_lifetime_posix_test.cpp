// The launched agent's whole process tree lives and dies with the tool, and the tool with its
// daemon; and the agent owns the terminal it runs in. So does the tree of every other run of the
// agent: a turn's, and the version probe's.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

class LaunchLifetime : public ::testing::Test {
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
  stdfs::path pids_file() { return tmp_ / "tree.pids"; }
  stdfs::path agent(const std::string& extra) {
    return install_fake_agent(tmp_ / "bin", "spawn_tree " + scenario_path(pids_file()) + "\n" + extra);
  }
  process::Command launch_command(const stdfs::path& agent_path) {
    process::Command command;
    command.program = vantle_binary();
    command.args = {"launch-omp", "--id", "ep", "--extension", "x"};
    command.set_env("VANTLE_OMP_BIN", OsString::from_path(agent_path));
    command.set_env("VANTLE_STATE_DIR", OsString::from_path(tmp_ / "state"));
    command.in = process::Stdio::kNull;
    command.out = process::Stdio::kNull;
    command.err = process::Stdio::kPipe;
    return command;
  }
  // The stand-in daemon, which starts the tool (its pid goes to tool.pid) with `extra` scenario
  // lines and, unless told otherwise, waits for it; its stderr is the tool's.
  process::Child start_daemon(const stdfs::path& agent_path, const std::string& extra = "") {
    const auto daemon = install_fake_agent(tmp_ / "daemon", "run " + scenario_path(vantle_binary()) +
                                                                "\nrun_arg launch-omp\nrun_arg --id\nrun_arg ep\nrun_arg "
                                                                "--extension\nrun_arg x\nrun_pid_file " +
                                                                scenario_path(tmp_ / "tool.pid") + "\n" + extra);
    process::Command command = launch_command(agent_path);
    command.program = daemon;
    command.args = {};
    auto started = process::spawn(command);
    if (!started) throw std::runtime_error("cannot start the stand-in daemon: " + started.error().message);
    return std::move(*started);
  }
  ScopedTempDir tmp_;
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

TEST_F(LaunchLifetime, KillingTheToolHardTakesTheWholeTree) {
  auto tool = process::spawn(launch_command(agent("sleep_ms 60000\n")));
  ASSERT_TRUE(tool) << tool.error().message;
  const auto tree = wait_for_pids(pids_file(), 3);
  for (pid_t pid : tree) EXPECT_TRUE(alive(pid));
  ASSERT_TRUE(tool->kill());
  const auto status = tool->wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, ExitStatus::Kind::kSignaled);
  EXPECT_TRUE(all_gone_within(tree, 1000ms));
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

TEST_F(LaunchLifetime, AnAgentKilledBySignalGivesExitCodeOne) {
  auto command = launch_command(install_fake_agent(tmp_ / "bin", "signal 9\n"));
  auto tool = process::spawn(command);
  ASSERT_TRUE(tool);
  EXPECT_EQ(*tool->wait(), ExitStatus::exited(1));
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

// The guardian stands between the tool and the agent (the launch's, and a turn's); killed alone,
// it takes the tree with it, the grandchild in a session of its own included, and the tool says
// so: the guardian's death, never the agent's.
TEST_F(LaunchLifetime, KillingTheGuardianReapsTheTreeAndEndsTheTool) {
  struct Run {
    std::string name;
    std::vector<std::string> args;
    std::string line;
  };
  const auto mind = tmp_ / "mind" / "mind.md";
  stdfs::create_directories(mind.parent_path());
  std::ofstream(mind) << "mind\n";
  const std::string died = "the agent's guardian died (signal: 9 (SIGKILL))";
  const std::vector<Run> runs = {
      {"launch", {"launch-omp", "--id", "ep", "--extension", "x"},
       "vantle launch-omp: " + died + "; reaped the OMP session tree\n"},
      {"thymel", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(mind)},
       "THYMEL_TURN_FAIL:ep: omp spawn failed: " + died +
           " \xE2\x80\x94 exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)\n"},
      {"corvane", {"corvane-omp", "--id", "ep", "--session-id", "s"}, "CORVANE_FAIL:ep: omp spawn failed: " + died + "\n"},
  };
  int n = 0;
  for (const Run& r : runs) {
    SCOPED_TRACE(r.name);
    const auto dir = tmp_ / ("case-" + std::to_string(n++));
    const auto pids = dir / "tree.pids";
    const auto temp = dir / "temp";
    stdfs::create_directories(temp);
    process::Command command = launch_command(install_fake_agent(dir / "bin", "spawn_tree " + scenario_path(pids) +
                                                                                  "\nsleep_ms 60000\n"));
    command.args = r.args;
    command.set_env("VANTLE_STATE_DIR", OsString::from_path(dir / "state"));
    command.set_env("TMPDIR", OsString::from_path(temp));
    command.in = process::Stdio::kPipe;
    auto tool = process::spawn(command);
    ASSERT_TRUE(tool) << tool.error().message;
    ASSERT_TRUE(tool->take_stdin()->write_all("a transcript\n"));
    auto err = tool->take_stderr();
    const auto tree = wait_for_pids(pids, 3);
    const pid_t guardian = parent_of(static_cast<pid_t>(tree[0]));
    ASSERT_GT(guardian, 1);
    ASSERT_NE(guardian, static_cast<pid_t>(tool->id()));
    ASSERT_EQ(::kill(guardian, SIGKILL), 0);
    const auto raw = reap_within(static_cast<pid_t>(tool->id()), 10s);
    ASSERT_TRUE(raw) << "the tool outlived the guardian";
    EXPECT_TRUE(WIFEXITED(*raw) && WEXITSTATUS(*raw) == 1) << *raw;
    EXPECT_TRUE(all_gone_within(tree, 1000ms));
    EXPECT_EQ(*err->read_to_end(), r.line);
    EXPECT_TRUE(stdfs::is_empty(temp));
    for (pid_t p : tree) ::kill(p, SIGKILL);
  }
}

// A signal that ends the tool while it runs the agent (a Thymel turn, a Corvane turn, the version
// probe of each) ends the agent's whole tree first, the grandchild that left for a session of its
// own included, removes the turn's temporary objects, and then ends the tool by that very signal,
// sent once or twice in a row. SIGKILL, which the tool cannot see, still takes the tree at once.
TEST_F(LaunchLifetime, ASignalEndingTheToolMidRunEndsTheTreeAndTheTemporaryObjectsFirst) {
  struct Run {
    std::string name;
    std::vector<std::string> args;
    std::string scenario;  // {pids} stands for the pid file
  };
  const auto mind = tmp_ / "mind" / "mind.md";
  stdfs::create_directories(mind.parent_path());
  std::ofstream(mind) << "mind\n";
  const std::vector<Run> runs = {
      {"thymel", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(mind)},
       "spawn_tree {pids}\nsleep_ms 60000\n"},
      {"corvane", {"corvane-omp", "--id", "ep", "--session-id", "s"}, "spawn_tree {pids}\nsleep_ms 60000\n"},
      {"launch probe", {"launch-omp", "--id", "ep", "--extension", "x"},
       "version.spawn_tree {pids}\nversion.sleep_ms 60000\n"},
      {"thymel probe", {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(mind)},
       "version.spawn_tree {pids}\nversion.sleep_ms 60000\n"},
      {"corvane probe", {"corvane-omp", "--id", "ep", "--session-id", "s"},
       "version.spawn_tree {pids}\nversion.sleep_ms 60000\n"},
  };
  const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGKILL};
  int n = 0;
  for (const Run& r : runs) {
    for (const int sig : signals) {
      for (const bool twice : {false, true}) {
        if (twice && sig == SIGKILL) continue;
        SCOPED_TRACE(r.name + ", signal " + std::to_string(sig) + (twice ? " twice" : ""));
        const auto dir = tmp_ / ("case-" + std::to_string(n++));
        const auto pids = dir / "tree.pids";
        const auto temp = dir / "temp";
        stdfs::create_directories(temp);
        std::string scenario = r.scenario;
        scenario.replace(scenario.find("{pids}"), 6, scenario_path(pids));
        process::Command command;
        command.program = vantle_binary();
        command.args = r.args;
        command.set_env("VANTLE_OMP_BIN", OsString::from_path(install_fake_agent(dir / "bin", scenario)));
        command.set_env("VANTLE_STATE_DIR", OsString::from_path(dir / "state"));
        command.set_env("TMPDIR", OsString::from_path(temp));
        command.in = process::Stdio::kPipe;
        command.out = process::Stdio::kNull;
        command.err = process::Stdio::kNull;
        auto tool = process::spawn(command);
        ASSERT_TRUE(tool) << tool.error().message;
        ASSERT_TRUE(tool->take_stdin()->write_all("a transcript\n"));
        const auto tree = wait_for_pids(pids, 3);
        const pid_t pid = static_cast<pid_t>(tool->id());
        ASSERT_EQ(::kill(pid, sig), 0);
        if (twice) ::kill(pid, sig);
        const auto raw = reap_within(pid, 5s);
        ASSERT_TRUE(raw) << "the tool outlived the signal";
        EXPECT_TRUE(WIFSIGNALED(*raw) && WTERMSIG(*raw) == sig) << *raw;
        EXPECT_TRUE(all_gone_within(tree, sig == SIGKILL ? 1000ms : 50ms));
        if (sig != SIGKILL) {
          EXPECT_TRUE(stdfs::is_empty(temp));
        }
        for (pid_t p : tree) ::kill(p, SIGKILL);
      }
    }
  }
}

// A signal that arrives while the Thymel prompt file is being written waits for the write: the
// temporary file is renamed into place (or removed) before the tool ends by the signal. The signal
// is sent the moment the temporary file appears, seen through inotify; the prompt is large enough
// that its write is still going on then.
TEST_F(LaunchLifetime, ASignalWhileThePromptFileIsWrittenLeavesNoTemporaryFile) {
  const auto sessions = tmp_ / "mind" / "omp-sessions";
  stdfs::create_directories(sessions);
  const auto mind = tmp_ / "mind" / "mind.md";
  const std::string mind_text(64 << 20, 'm');
  std::ofstream(mind, std::ios::binary) << mind_text << "\n";
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, sessions.c_str(), IN_CREATE), 0);

  process::Command command;
  command.program = vantle_binary();
  command.args = {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(mind)};
  command.set_env("VANTLE_OMP_BIN", OsString::from_path(install_fake_agent(tmp_ / "bin", "stdout ran\n")));
  command.set_env("VANTLE_STATE_DIR", OsString::from_path(tmp_ / "state"));
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kNull;
  command.err = process::Stdio::kNull;
  auto tool = process::spawn(command);
  ASSERT_TRUE(tool) << tool.error().message;
  const pid_t pid = static_cast<pid_t>(tool->id());

  alignas(inotify_event) char events[4096];
  bool signalled = false;
  while (!signalled) {
    const ssize_t n = ::read(watch, events, sizeof events);
    ASSERT_GT(n, 0) << "no file was created beside the mind file";
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0 && std::string_view(event->name).starts_with(".turn-prompt.md.")) {
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        signalled = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  const auto raw = reap_within(pid, 10s);
  ASSERT_TRUE(raw) << "the tool outlived the signal";
  EXPECT_TRUE(WIFSIGNALED(*raw) && WTERMSIG(*raw) == SIGTERM) << *raw;
  for (const auto& entry : stdfs::directory_iterator(sessions)) {
    EXPECT_EQ(entry.path().filename(), "turn-prompt.md") << "left behind: " << entry.path();
    EXPECT_EQ(stdfs::file_size(entry.path()), mind_text.size() + 2) << "the prompt file is not whole";
  }
}

}  // namespace
}  // namespace vantle::testing
