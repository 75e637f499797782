// What the stand-in agent recorded of its runs (its `record` scenario key), and the check that a
// run saw an endpoint's recorded selectors.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

namespace vantle::testing {

// The runs recorded in `record`, one JSON document each, the --version probes left out; none when
// the file does not exist.
std::vector<nlohmann::json> agent_runs(const std::filesystem::path& record);

// Checks that a recorded run's environment holds each selector's value, and lacks each one
// recorded as null (removed, not inherited from the tool).
void expect_agent_env(const nlohmann::json& run, const nlohmann::json& selectors);

}  // namespace vantle::testing
