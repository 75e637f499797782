// What the turn tests (Thymel, Corvane) share: what the stand-in agent recorded of its runs (its
// `record` scenario key), the check that a run saw an endpoint's recorded selectors, and a fixture
// with the stand-in installed and the endpoint's snapshot as its launch left it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vantle::testing {

// The runs recorded in `record`, one JSON document each, the --version probes left out; none when
// the file does not exist.
std::vector<nlohmann::json> agent_runs(const std::filesystem::path& record);

// Checks that a recorded run's environment holds each selector's value, and lacks each one
// recorded as null (removed, not inherited from the tool).
void expect_agent_env(const nlohmann::json& run, const nlohmann::json& selectors);

// The system's text for an error code, as this platform words it.
std::string os_text(int posix_code, int windows_code);

class AgentTurnTest : public ::testing::Test {
 protected:
  std::filesystem::path state() const { return tmp / "state"; }

  // Installs the stand-in with a scenario; unless told otherwise, every run of it is recorded.
  void install_agent(const std::string& scenario, bool recorded = true);

  // What the endpoint was launched with: distinct from the daemon's environment, with absent,
  // empty and set values, OMP_PROFILE being `omp_profile`.
  nlohmann::json recorded_selectors() const;

  void write_snapshot(const std::string& file_id, const nlohmann::json& selectors, const std::string& stored_id = "");
  std::filesystem::path snapshot_file(const std::string& id) const;

  // The recorded turns of the agent, version probes left out.
  std::vector<nlohmann::json> agent_turns() const { return agent_runs(record); }

  ScopedTempDir tmp;
  std::filesystem::path record = tmp / "record.jsonl";
  std::filesystem::path agent;
  nlohmann::json omp_profile = nullptr;
};

}  // namespace vantle::testing
