// What the end-to-end tests share: the stand-in agent's record of its runs, and the endpoint
// snapshot files that link a launch to the daemon's later calls.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/os_string.h"
#include "support/agent_record.h"
#include "support/temp_dir.h"

namespace vantle::testing {

// Spelled out rather than asked of the library, so that a binary that keeps snapshots elsewhere
// fails.
inline std::filesystem::path snapshot_file(const std::filesystem::path& state, const std::string& id) {
  return state / ".vantle" / "vantle-env-v1" / path_from_utf8(id + ".json");
}

// The snapshot of endpoint `id` launched, without a session to resume, with only HOME among the
// captured variables set, and `agent` as the validated executable.
inline std::string snapshot_document(const std::string& id, const std::filesystem::path& home,
                                     const std::filesystem::path& agent) {
  const nlohmann::json selectors = {{"HOME", display(home)},
                                    {"OMP_PROFILE", nullptr},
                                    {"PI_CODING_AGENT_DIR", nullptr},
                                    {"PI_CONFIG_DIR", nullptr},
                                    {"PI_PROFILE", nullptr},
                                    {"USERPROFILE", nullptr},
                                    {"VANTLE_OMP_BIN", display(agent)},
                                    {"XDG_DATA_HOME", nullptr}};
  return nlohmann::json{{"endpoint_id", id}, {"launch_session_id", nullptr}, {"selectors", selectors}, {"version", 1}}
      .dump();
}

}  // namespace vantle::testing
