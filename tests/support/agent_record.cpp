#include "support/agent_record.h"

#include <sstream>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "support/fake_agent.h"

namespace vantle::testing {

std::vector<nlohmann::json> agent_runs(const std::filesystem::path& record) {
  std::vector<nlohmann::json> runs;
  if (!fs::exists(record)) return runs;
  std::istringstream lines(read_file(record));
  for (std::string line; std::getline(lines, line);) {
    auto doc = nlohmann::json::parse(line);
    if (doc["argv"] != nlohmann::json::array({"--version"})) runs.push_back(std::move(doc));
  }
  return runs;
}

void expect_agent_env(const nlohmann::json& run, const nlohmann::json& selectors) {
  for (const auto& [key, value] : selectors.items()) {
    if (value.is_null()) {
      EXPECT_FALSE(run["env"].contains(key)) << key;
    } else {
      EXPECT_EQ(run["env"].value(key, "<absent>"), value) << key;
    }
  }
}

std::string os_text(int posix_code, int windows_code) {
  return os_error(sys::is_windows() ? windows_code : posix_code).message;
}

void AgentTurnTest::install_agent(const std::string& scenario, bool recorded) {
  agent = install_fake_agent(tmp / "bin", (recorded ? "record " + scenario_path(record) + "\n" : "") + scenario);
}

nlohmann::json AgentTurnTest::recorded_selectors() const {
  return {{"HOME", display(tmp / "home-recorded")},
          {"USERPROFILE", nullptr},
          {"PI_CONFIG_DIR", ""},
          {"PI_CODING_AGENT_DIR", display(tmp / "agent-dir")},
          {"OMP_PROFILE", omp_profile},
          {"PI_PROFILE", nullptr},
          {"XDG_DATA_HOME", nullptr},
          {"VANTLE_OMP_BIN", display(agent)}};
}

void AgentTurnTest::write_snapshot(const std::string& file_id, const nlohmann::json& selectors,
                                   const std::string& stored_id) {
  const nlohmann::json doc = {{"version", 1},
                              {"endpoint_id", stored_id.empty() ? file_id : stored_id},
                              {"launch_session_id", nullptr},
                              {"selectors", selectors}};
  write_file(snapshot_file(file_id), doc.dump());
}

std::filesystem::path AgentTurnTest::snapshot_file(const std::string& id) const {
  return state() / ".vantle" / "vantle-env-v1" / path_from_utf8(id + ".json");
}

}  // namespace vantle::testing
