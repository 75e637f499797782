// A launch as the daemon runs it: the tool finds the agent, records the endpoint's environment
// before the agent starts, hands the agent its arguments and environment, and ends with its code.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "e2e/e2e.h"
#include "support/cli.h"
#include "support/fake_agent.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;

TEST(Launch, FindsTheAgentRecordsTheEndpointAndEndsWithTheAgentsCode) {
  struct Case {
    std::string named_by;  // the variable that leads to the agent
    std::string dir;       // where the agent is installed, in the case's own directory
    std::string name;
  };
  const Case cases[] = {
      {"VANTLE_OMP_BIN", "opt/agent", agent_file_name()},
      {"HOME", "home/.bun/bin", agent_file_name()},
      {"HOME", "home/.local/bin", agent_file_name()},
      {"LOCALAPPDATA", "local-app-data/omp", "omp.exe"},
  };
  ScopedTempDir tmp;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const stdfs::path root = tmp / ("case-" + std::to_string(++n));
    const stdfs::path home = root / "home", state = root / "state", project = root / "billing-api";
    const stdfs::path record = root / "record.jsonl", snapshot = snapshot_file(state, "ep");
    stdfs::create_directories(project);
    const stdfs::path agent = install_fake_agent(
        root / path_from_utf8(c.dir).make_preferred(),
        "record " + scenario_path(record) + "\nobserve " + scenario_path(snapshot) + "\nexit 7\n", c.name);
    Cli launch({"launch-omp", "--id", "ep", "--extension", "ext", "--node", "n"});
    launch.env("HOME", display(home)).env("VANTLE_STATE_DIR", display(state)).cwd(project);
    if (c.named_by == "VANTLE_OMP_BIN") launch.env("VANTLE_OMP_BIN", display(agent));
    if (c.named_by == "LOCALAPPDATA") launch.env("LOCALAPPDATA", display(root / "local-app-data"));

    EXPECT_EQ(launch.run(), exited(7, "", ""));

    const auto runs = agent_runs(record);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv"], json::array({"--extension", "ext"}));
    EXPECT_EQ(runs[0]["cwd"], display(*fs::make_absolute(project)));
    const std::map<std::string, std::string> env = {{"VANTLE_NODE", "n"},
                                                    {"VANTLE_PROJECT", "billing-api"},
                                                    {"PI_RPC_EMIT_TITLE", "1"},
                                                    {"VANTLE_OMP_BIN", display(agent)},
                                                    {"HOME", display(home)}};
    for (const auto& [name, value] : env) EXPECT_EQ(runs[0]["env"].value(name, "<unset>"), value) << name;
    // The snapshot was complete when the agent started, and it stays for the turns that follow.
    const std::string document = snapshot_document("ep", home, agent);
    EXPECT_EQ(runs[0].at("observed").value(display(snapshot), json()), document);
    EXPECT_EQ(read_file(snapshot), document);
  }
}

}  // namespace
}  // namespace vantle::testing
