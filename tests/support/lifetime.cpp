// See lifetime.h.
#include "support/lifetime.h"

#include <stdexcept>

#include "support/fake_agent.h"

namespace vantle::testing {

std::vector<AgentSubcommand> agent_subcommands(const std::filesystem::path& mind) {
  return {
      {"thymel",
       {"thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", display(mind)},
       [](const std::string& reason) {
         return "THYMEL_TURN_FAIL:ep: " + reason +
                " \xE2\x80\x94 exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)\n";
       },
       std::string(20000, 'r')},
      {"corvane",
       {"corvane-omp", "--id", "ep", "--session-id", "s"},
       [](const std::string& reason) { return "CORVANE_FAIL:ep: " + reason + "\n"; },
       "<project-context>" + std::string(8000, 'p') + "</project-context><live-context>l</live-context>"},
      {"launch",
       {"launch-omp", "--id", "ep", "--extension", "x"},
       [](const std::string& reason) { return "vantle launch-omp: " + reason + "\n"; },
       ""},
  };
}

std::filesystem::path LaunchLifetimeTest::agent(const std::string& extra) {
  return install_fake_agent(tmp_ / "bin", "spawn_tree " + scenario_path(pids_file()) + "\n" + extra);
}

process::Command LaunchLifetimeTest::launch_command(const std::filesystem::path& agent_path) const {
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

process::Child LaunchLifetimeTest::start_daemon(const std::filesystem::path& agent_path, const std::string& extra) {
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

}  // namespace vantle::testing
