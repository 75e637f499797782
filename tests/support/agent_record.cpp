#include "support/agent_record.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/fs.h"
#include "support/temp_dir.h"

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

}  // namespace vantle::testing
