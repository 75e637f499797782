// The launched agent's whole process tree lives and dies with the tool (a kill-on-close job), and
// the tool with its daemon. The daemon is a Windows stand-in, so the tool's parent is a Windows
// process it can watch.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/process.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

std::set<DWORD> running_pids() {
  std::set<DWORD> pids;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    pids.insert(entry.th32ProcessID);
  }
  ::CloseHandle(snapshot);
  return pids;
}

// Handles held while the processes run, so that their ends can be awaited without pid reuse.
std::vector<HANDLE> open_all(const std::vector<std::uint32_t>& pids) {
  std::vector<HANDLE> handles;
  for (DWORD pid : pids) {
    HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    EXPECT_NE(h, nullptr) << "pid " << pid;
    if (h != nullptr) handles.push_back(h);
  }
  return handles;
}

bool all_end_within(const std::vector<HANDLE>& handles, DWORD milliseconds) {
  bool all = true;
  for (HANDLE h : handles) {
    all = all && ::WaitForSingleObject(h, milliseconds) == WAIT_OBJECT_0;
    ::CloseHandle(h);
  }
  return all;
}

class LaunchLifetimeWindows : public ::testing::Test {
 protected:
  stdfs::path pids_file() { return tmp_ / "tree.pids"; }
  stdfs::path agent(const std::string& extra) {
    return install_fake_agent(tmp_ / "bin", "spawn_tree " + scenario_path(pids_file()) + "\n" + extra);
  }
  process::Command tool_command(const stdfs::path& program, const stdfs::path& agent_path) {
    process::Command command;
    command.program = program;
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
    auto started = process::spawn(tool_command(daemon, agent_path));
    if (!started) throw std::runtime_error("cannot start the stand-in daemon: " + started.error().message);
    return std::move(*started);
  }
  void TearDown() override {
    for (DWORD pid : read_pids(pids_file())) {
      if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
        ::TerminateProcess(h, 1);
        ::CloseHandle(h);
      }
    }
  }
  ScopedTempDir tmp_;
};

TEST_F(LaunchLifetimeWindows, DaemonDeathEndsTheToolWith93AndReapsTheTree) {
  auto started = start_daemon(agent("sleep_ms 60000\n"));
  auto err = started.take_stderr();
  const auto tree = wait_for_pids(pids_file(), 3);
  const auto tool_pids = read_pids(tmp_ / "tool.pid");
  ASSERT_EQ(tool_pids.size(), 1u);
  HANDLE tool = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, tool_pids[0]);
  ASSERT_NE(tool, nullptr);
  const auto tree_handles = open_all(tree);

  ASSERT_TRUE(started.kill());
  ASSERT_TRUE(started.wait());
  ASSERT_EQ(::WaitForSingleObject(tool, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(tool, &code));
  ::CloseHandle(tool);
  EXPECT_EQ(code, 93u);
  EXPECT_TRUE(all_end_within(tree_handles, 1000));
  EXPECT_EQ(*err->read_to_end(), "vantle launch-omp: hosting daemon exited; reaping the OMP session tree\n");
}

// TerminateProcess of the tool while it runs the agent (the launch's agent, a Thymel turn, a
// Corvane turn, the launch's version probe) leaves no process of the agent's tree.
TEST_F(LaunchLifetimeWindows, KillingTheToolTakesTheWholeTree) {
  write_file(tmp_ / "work" / "mind.md", "m");
  struct Case {
    std::vector<std::string> args;
    std::string scenario;
  };
  const std::vector<Case> cases = {
      {{"launch-omp", "--id", "ep", "--extension", "x"}, "sleep_ms 60000\n"},
      {{"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(tmp_ / "work" / "mind.md")},
       "sleep_ms 60000\n"},
      {{"corvane-omp", "--id", "ep", "--session-id", "s"}, "sleep_ms 60000\n"},
      {{"launch-omp", "--id", "ep", "--extension", "x"},
       "version.spawn_tree " + scenario_path(pids_file()) + "\nversion.sleep_ms 60000\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe_args(c.args) + " / " + c.scenario);
    stdfs::remove(pids_file());
    process::Command command = tool_command(vantle_binary(), agent(c.scenario));
    command.args = c.args;
    command.in = process::Stdio::kPipe;
    auto tool = process::spawn(command);
    ASSERT_TRUE(tool) << tool.error().message;
    ASSERT_TRUE(tool->take_stdin()->write_all("a transcript\n"));
    const auto tree = wait_for_pids(pids_file(), 3);
    const auto handles = open_all(tree);
    const auto before = running_pids();
    for (DWORD pid : tree) EXPECT_TRUE(before.count(pid)) << pid;
    ASSERT_TRUE(tool->kill());
    ASSERT_TRUE(tool->wait());
    EXPECT_TRUE(all_end_within(handles, 1000));
  }
}

TEST_F(LaunchLifetimeWindows, AnAgentExitingNormallyEndsTheToolWithItsCode) {
  process::Command command = tool_command(vantle_binary(), install_fake_agent(tmp_ / "bin", "exit 7\n"));
  command.args = {"launch-omp", "--id", "ep", "--extension", "x"};
  auto tool = process::spawn(command);
  ASSERT_TRUE(tool) << tool.error().message;
  auto err = tool->take_stderr();
  EXPECT_EQ(*tool->wait(), ExitStatus::exited(7));
  EXPECT_EQ(*err->read_to_end(), "");
}

// A daemon that is gone before the tool sets up its watch. Windows refuses to open the parent:
// the tool warns and runs the agent. Wine still opens it, signalled already (for about two
// seconds after its end): the tool then takes the daemon's death as it is, and exits 93 at once.
TEST_F(LaunchLifetimeWindows, AParentAlreadyGoneIsAWarningOrTheDaemonsDeath) {
  const auto record = tmp_ / "record.jsonl";
  const auto agent_path = install_fake_agent(tmp_ / "bin", "record " + scenario_path(record) + "\n");
  auto started = start_daemon(agent_path, "run_detach 1\n");
  auto err = started.take_stderr();
  ASSERT_TRUE(started.wait());
  // The pipe ends when the tool and its agent have both ended.
  const std::string text = *err->read_to_end();
  const bool agent_ran = read_file(record).find("\"--extension\"") != std::string::npos;
  if (text == "vantle launch-omp: hosting daemon exited; reaping the OMP session tree\n") return;
  const std::string head = "vantle launch-omp: parent-death watch unavailable: OpenProcess(";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  EXPECT_NE(text.find(") \xE2\x80\x94 parent may already be gone\n"), std::string::npos) << text;
  EXPECT_TRUE(agent_ran);
}

// A daemon that was there when the tool started and is gone before the tool arms its watch (here
// while the tool still probes the agent): the tool took the daemon's handle at start, so it ends
// with 93 and never starts the agent. The daemon exits once the probe has begun, and the probe
// answers only once the daemon has ended.
TEST_F(LaunchLifetimeWindows, ADaemonGoneBeforeTheWatchIsArmedEndsTheLaunchWith93) {
  const auto record = tmp_ / "record.jsonl";
  const auto go = tmp_ / "daemon-gone";
  const auto agent_path = install_fake_agent(
      tmp_ / "bin", "record " + scenario_path(record) + "\nversion.wait_for " + scenario_path(go) + "\n");
  auto started = start_daemon(agent_path, "run_detach 1\nrun_wait_for " + scenario_path(record) + "\n");
  auto err = started.take_stderr();
  ASSERT_TRUE(started.wait());
  std::ofstream(go) << "gone\n";
  const auto tool_pids = read_pids(tmp_ / "tool.pid");
  ASSERT_EQ(tool_pids.size(), 1u);
  HANDLE tool = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, tool_pids[0]);
  ASSERT_NE(tool, nullptr);
  ASSERT_EQ(::WaitForSingleObject(tool, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(tool, &code));
  ::CloseHandle(tool);
  EXPECT_EQ(code, 93u);
  EXPECT_EQ(*err->read_to_end(), "vantle launch-omp: hosting daemon exited; reaping the OMP session tree\n");
  EXPECT_EQ(read_file(record).find("\"--extension\""), std::string::npos);
}

}  // namespace
}  // namespace vantle::testing
