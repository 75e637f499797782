// Where the agent keeps the session logs of an endpoint, computed from the selectors the endpoint
// was launched with rather than from this process's environment.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/result.h"
#include "snapshot/selectors.h"

namespace vantle::sessions {

// The sessions directory: `explicit_dir` unchanged when given (empty is refused, the one check of
// an empty --session-dir for every subcommand); else PI_CODING_AGENT_DIR/sessions when no profile
// is selected; else <home>/<PI_CONFIG_DIR or .omp>[/profiles/<profile>]/agent/sessions with home
// from HOME, then USERPROFILE. Empty selector values count as unset. Pure: examines no file.
Result<std::filesystem::path> resolve_sessions_dir(const std::optional<std::filesystem::path>& explicit_dir,
                                                   const snapshot::Selectors& selectors);

// `base`, or the folder of `profile` below it: <base>/profiles/<profile>, as the agent lays out both
// its configuration folder and its data folder.
std::filesystem::path profile_dir(const std::filesystem::path& base, const std::optional<std::string>& profile);

// The agent directory in configuration folder `config`: <config>[/profiles/<profile>]/agent.
std::filesystem::path agent_dir(const std::filesystem::path& config, const std::optional<std::string>& profile);

// A selector's value as a path when it is set and not empty (env::is_set), as HOME, USERPROFILE,
// PI_CONFIG_DIR, PI_CODING_AGENT_DIR and XDG_DATA_HOME count for the sessions directory and the
// agent's places alike; else nothing.
std::optional<std::filesystem::path> selector_path(const snapshot::Selectors& selectors, snapshot::Selector s);

}  // namespace vantle::sessions
