// Endpoint environment snapshots: the durable record, per endpoint, of the selectors the endpoint
// was launched with, so that later subcommands run in the daemon's environment can re-establish
// them. One compact JSON file per endpoint, replaced only by rename.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "snapshot/selectors.h"

namespace vantle::snapshot {

struct EndpointSnapshot {
  std::string endpoint_id;
  std::optional<std::string> launch_session_id;
  Selectors selectors;
};

// The per-user state directory: VANTLE_STATE_DIR, else LOCALAPPDATA\vantle, else
// XDG_STATE_HOME/vantle, else (HOME or USERPROFILE)/.local/state/vantle. Examines no file.
Result<std::filesystem::path> resolve_state_directory();

// The directory that holds the snapshot files under a state directory.
std::filesystem::path snapshot_directory(const std::filesystem::path& state_dir);

// `<state>/.vantle/vantle-env-v1/<id>.json`, for an id of ASCII letters, digits, '_' and '-'.
Result<std::filesystem::path> snapshot_path(const std::filesystem::path& state_dir, std::string_view endpoint_id);

// Writes the snapshot atomically: an exclusive temporary file in the same directory, flushed to
// stable storage, renamed over the target. Returns the snapshot's path.
Result<std::filesystem::path> write_snapshot(const std::filesystem::path& state_dir, std::string_view endpoint_id,
                                             const std::optional<std::string>& launch_session_id,
                                             const Selectors& selectors);

// Reads and validates one snapshot file.
Result<EndpointSnapshot> read_snapshot(const std::filesystem::path& path);
// Validates the bytes of a snapshot file read from `path` (which only names it in messages).
Result<EndpointSnapshot> parse_snapshot(std::string_view bytes, const std::filesystem::path& path);

// The endpoint's recorded selectors. A snapshot that is missing (nothing at its path) is rebuilt
// from the current environment and the executable that resolution finds now (which runs the
// agent's version probe), and written.
Result<Selectors> load_or_rebuild_endpoint_selectors(const std::filesystem::path& state_dir,
                                                     std::string_view endpoint_id);

}  // namespace vantle::snapshot
