// Every place the agent may have written an endpoint's sessions. The sessions directory of
// sessions_dir.h is where the tool has always looked; the agent itself follows a few more rules (an
// XDG data folder, its operating system's idea of home, an absolute PI_CONFIG_DIR appended to home),
// so a lookup that finds nothing there goes on to the agent's own places, then to the archives that
// `omp gc` leaves beside them.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "base/result.h"
#include "snapshot/selectors.h"

namespace vantle::sessions {

// What the agent's home rule needs beyond the selectors. The agent takes its home from the runtime:
// HOME on POSIX and USERPROFILE on Windows, else the account's own home folder; and it moves its
// data into $XDG_DATA_HOME/omp on POSIX only.
struct AgentHost {
  bool windows = false;
  std::optional<std::filesystem::path> account_home;
};

// This machine, its account home looked up now.
AgentHost this_host();

// The places of one set of selectors, in the order they are searched. `sessions_dir` is the
// sessions directory (resolve_sessions_dir), searched first. `agent` lists where the agent itself
// writes, when that differs from `sessions_dir`: on POSIX
// $XDG_DATA_HOME/omp[/profiles/<profile>]/sessions (an absolute XDG_DATA_HOME, used when that
// folder exists, so it is only ever a place to look); then
// <home>/<PI_CONFIG_DIR or .omp>[/profiles/<profile>]/agent/sessions with the agent's home and an
// absolute PI_CONFIG_DIR appended to home. `agent` is empty when `sessions_dir` failed for any
// reason but a missing home, and when the agent uses PI_CODING_AGENT_DIR (an absolute one is
// `sessions_dir` already; a relative one is resolved against the agent's working directory, which
// nothing records). Without a profile the agent sets PI_CODING_AGENT_DIR aside, and its places
// are listed, when the value names its default agent directory <home>/<config>/agent, or exactly
// the agent directory of the profile PI_PROFILE names while OMP_PROFILE selects the default. Pure.
struct SessionPlaces {
  Result<std::filesystem::path> sessions_dir;
  std::vector<std::filesystem::path> agent;
};
SessionPlaces session_places(const snapshot::Selectors& selectors, const AgentHost& host);

// Where `omp gc` moves the sessions of a sessions directory: <root>/../archive/sessions, with the
// ".." taken away by name as the agent does.
std::filesystem::path archive_dir(const std::filesystem::path& root);

}  // namespace vantle::sessions
