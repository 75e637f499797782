// What both systems' lifetime tests share: the subcommands that run the agent, the paths of one
// case, and a fixture with the stand-in agent that starts a tree, the launch as a daemon starts it
// and the stand-in daemon that starts the launch.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::testing {

// The subcommands that run the agent, as the lifetime tests run each: the launch and both turns of
// the endpoint "ep" (the Thymel turn on `mind`), the line each reports a failure with, and an
// answer of the agent's that each hands on as it is (the launch hands on none). The answers are
// larger than a page, so that a tool writing one to a page-sized pipe waits for its reader.
struct AgentSubcommand {
  std::string name;
  std::vector<std::string> args;
  std::string (*line)(const std::string& reason);
  std::string reply;
};
std::vector<AgentSubcommand> agent_subcommands(const std::filesystem::path& mind);

// The paths of one case of a lifetime table, below its own directory.
struct LifetimeCase {
  explicit LifetimeCase(const std::filesystem::path& root)
      : dir(root), pids(root / "tree.pids"), temp(root / "temp"), state(root / "state"), go(root / "go") {
    std::filesystem::create_directories(temp);
  }
  std::filesystem::path dir;
  std::filesystem::path pids;   // the stand-in's tree
  std::filesystem::path temp;   // the tool's temporary directory
  std::filesystem::path state;  // the tool's state directory
  std::filesystem::path go;     // created to let a waiting stand-in go on
};

class LaunchLifetimeTest : public ::testing::Test {
 protected:
  std::filesystem::path pids_file() const { return tmp_ / "tree.pids"; }
  // The stand-in, which starts a tree and then plays `extra`.
  std::filesystem::path agent(const std::string& extra);
  // The launch of endpoint "ep" with the agent at `agent_path`: its stderr a pipe, the other
  // streams null.
  process::Command launch_command(const std::filesystem::path& agent_path) const;
  // The stand-in daemon, which starts the launch (its pid goes to tool.pid) with `extra` scenario
  // lines and, unless told otherwise, waits for it; its stderr is the tool's.
  process::Child start_daemon(const std::filesystem::path& agent_path, const std::string& extra = "");

  ScopedTempDir tmp_;
};

}  // namespace vantle::testing
