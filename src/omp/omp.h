// Finding the Oh My Pi agent's executable and proving it by its `--version` signature.
#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exit_status.h"
#include "base/result.h"
#include "platform/os_string.h"

namespace vantle::omp {

struct OmpVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  friend auto operator<=>(const OmpVersion&, const OmpVersion&) = default;
};

// The oldest agent we drive; the numbers and the text must agree.
inline constexpr OmpVersion MIN_OMP_VERSION{16, 3, 15};
inline constexpr std::string_view MIN_OMP_VERSION_TEXT = "16.3.15";
inline constexpr std::chrono::seconds VERSION_PROBE_TIMEOUT{15};
// Bytes of each of the probe's outputs kept: the signature is looked for in them. The rest is
// read and dropped while the probe runs, so that a talkative agent never blocks on a full pipe.
inline constexpr std::size_t VERSION_PROBE_OUTPUT_BYTES = std::size_t{1} << 20;
// The environment variable that names the agent explicitly.
inline constexpr std::string_view OMP_BIN_VAR = "VANTLE_OMP_BIN";

// The absolute path of a validated agent executable, or why none could be found. Reads the
// process environment only, and probes each candidate again on every call.
Result<std::filesystem::path> resolve_omp_executable();

// Runs `path --version` (for `limit` at most) and judges its output; nothing when it is Oh My Pi
// at MIN_OMP_VERSION or newer, else the reason.
std::optional<std::string> validate_omp_executable(const std::filesystem::path& path,
                                                   std::chrono::seconds limit = VERSION_PROBE_TIMEOUT);

// The judgement of a finished probe, from its status and both outputs (decoded lossily).
std::optional<std::string> judge_version_output(const ExitStatus& status, std::string_view out,
                                                std::string_view err);

// The known install locations for the given environment values, in search order.
std::vector<std::filesystem::path> known_install_locations(const std::optional<OsString>& local_app_data,
                                                           const std::optional<OsString>& home,
                                                           const std::optional<OsString>& user_profile);

// The executable extensions tried on PATH for a PATHEXT value, each with its leading full stop.
std::vector<std::string> executable_extensions(const std::optional<OsString>& pathext);

}  // namespace vantle::omp
