// The launched agent's whole process tree lives and dies with the tool (a kill-on-close job), and
// the tool with its daemon. The daemon is a Windows stand-in, so the tool's parent is a Windows
// process it can watch.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <stdexcept>
#include <tuple>

#include "platform/process.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/lifetime.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

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

class LaunchLifetimeWindows : public LaunchLifetimeTest {
 protected:
  void TearDown() override {
    for (DWORD pid : read_pids(pids_file())) {
      if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
        ::TerminateProcess(h, 1);
        ::CloseHandle(h);
      }
    }
  }
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

// Ends what is left of a tree when a case ends, failed or not, through handles taken while the tree
// ran, so that no process that has since taken one of its ids is hit.
class TreeReaper {
 public:
  explicit TreeReaper(const std::vector<std::uint32_t>& pids) {
    for (const DWORD pid : pids) handles_.push_back(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  }
  ~TreeReaper() {
    for (HANDLE h : handles_) {
      if (h == nullptr) continue;
      ::TerminateProcess(h, 1);
      ::CloseHandle(h);
    }
  }
  TreeReaper(const TreeReaper&) = delete;
  TreeReaper& operator=(const TreeReaper&) = delete;

 private:
  std::vector<HANDLE> handles_;
};

// TerminateProcess of the tool, or of the agent alone, while the version probe runs and while the
// agent runs (each phase announced by the stand-in's tree), for the launch and both turns. The
// agent's tree never outlives what ended it; an agent ended from outside gets the subcommand's own
// failure line and code; no temporary object is left and the snapshot and the prompt file are
// whole. A tool ended outright cannot clean up: what it leaves must not hurt a later run, which
// leaves nothing of its own.
TEST_F(LaunchLifetimeWindows, EndingTheToolOrTheAgentAtEveryPhaseKeepsTheToolsPromises) {
  const auto mind = tmp_ / "work" / "mind.md";
  const auto sessions = mind.parent_path() / "omp-sessions";
  write_file(mind, "mind\n");
  const std::string input = "a transcript\n";
  const auto subs = agent_subcommands(mind);
  constexpr DWORD AGENT_CODE = 9;
  int n = 0;
  for (const AgentSubcommand& sub : subs) {
    for (const bool probe : {true, false}) {
      for (const bool kill_tool : {true, false}) {
        SCOPED_TRACE(sub.name + (probe ? ", probe" : ", agent") + (kill_tool ? ", tool ended" : ", agent ended"));
        const LifetimeCase c(tmp_ / ("case-" + std::to_string(n++)));
        stdfs::remove_all(sessions);
        const auto command_for = [&](const std::vector<std::string>& args) {
          process::Command command = launch_command(c.dir / "bin" / agent_file_name());
          command.args = args;
          command.set_env("VANTLE_STATE_DIR", OsString::from_path(c.state));
          command.set_env("TEMP", OsString::from_path(c.temp));
          command.set_env("TMP", OsString::from_path(c.temp));
          command.in = process::Stdio::kPipe;
          command.out = process::Stdio::kPipe;
          return command;
        };
        const auto run = [&](const std::vector<std::string>& args) {
          auto tool = process::spawn(command_for(args));
          if (!tool) throw std::runtime_error(tool.error().message);
          (void)tool->take_stdin()->write_all(input);
          (void)tool->take_stdin();
          auto out = tool->take_stdout();
          auto err = tool->take_stderr();
          const std::string out_text = *out->read_to_end();
          const std::string err_text = *err->read_to_end();
          return std::make_tuple(*tool->wait(), out_text, err_text);
        };
        // The endpoint's snapshot, as its launch left it: the turns probe the agent they resolve.
        install_fake_agent(c.dir / "bin", "");
        ASSERT_EQ(std::get<0>(run(subs[2].args)), ExitStatus::exited(0));

        const std::string tree = "spawn_tree " + scenario_path(c.pids) + "\n";
        const std::string wait = "wait_for " + scenario_path(c.go) + "\n";
        const auto agent_path =
            install_fake_agent(c.dir / "bin", probe ? "version." + tree + "version." + wait : tree + wait);
        auto tool = process::spawn(command_for(sub.args));
        ASSERT_TRUE(tool) << tool.error().message;
        ASSERT_TRUE(tool->take_stdin()->write_all(input));
        (void)tool->take_stdin();
        auto err = tool->take_stderr();
        auto out = tool->take_stdout();
        const auto tree_pids = wait_for_pids(c.pids, 3);
        const auto handles = open_all(tree_pids);
        const TreeReaper reaper(tree_pids);
        if (kill_tool) {
          ASSERT_TRUE(tool->kill());
        } else {
          HANDLE agent = ::OpenProcess(PROCESS_TERMINATE, FALSE, tree_pids[0]);
          ASSERT_NE(agent, nullptr);
          EXPECT_TRUE(::TerminateProcess(agent, AGENT_CODE));
          ::CloseHandle(agent);
        }
        const auto status = tool->wait();
        ASSERT_TRUE(status);
        EXPECT_TRUE(all_end_within(handles, 1000));
        const std::string err_text = *err->read_to_end();
        EXPECT_EQ(*out->read_to_end(), "");

        const std::string failed_probe = "VANTLE_OMP_BIN points to `" + display(agent_path) +
                                         "`, but it failed Oh My Pi validation (`--version` exited exit code: 9: ); "
                                         "refusing to launch the invalid explicit override";
        if (kill_tool) {
          EXPECT_EQ(*status, ExitStatus::exited(1));
          EXPECT_EQ(err_text, "");
        } else if (probe) {
          EXPECT_EQ(*status, ExitStatus::exited(sub.name == "launch" ? 2 : 1));
          EXPECT_EQ(err_text, sub.line(sub.name == "launch" ? failed_probe : "omp resolution failed: " + failed_probe));
        } else if (sub.name == "launch") {
          EXPECT_EQ(*status, ExitStatus::exited(AGENT_CODE));
          EXPECT_EQ(err_text, "");
        } else {
          EXPECT_EQ(*status, ExitStatus::exited(1));
          EXPECT_EQ(err_text, sub.line("omp exited exit code: 9; omp stderr: <silent>; omp stdout: <silent>"));
        }

        expect_only_whole_files(c.state, "ep", sessions, "mind\n\n" + input);
        const auto left = entries_below(c.temp);
        if (!kill_tool) {
          EXPECT_TRUE(left.empty()) << *left.begin();
          continue;
        }
        install_fake_agent(c.dir / "bin", "stdout " + scenario_value(sub.reply) + "\n");
        const auto [later, later_out, later_err] = run(sub.args);
        EXPECT_EQ(later, ExitStatus::exited(0));
        EXPECT_EQ(later_out, sub.reply);
        EXPECT_EQ(later_err, "");
        EXPECT_EQ(entries_below(c.temp), left);
      }
    }
  }
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
