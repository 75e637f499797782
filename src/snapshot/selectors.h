// The environment selectors of an endpoint: the eight variables that decide where the agent keeps
// its sessions and which agent executable runs, and the agent profile rule.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/os_string.h"
#include "platform/process.h"

namespace vantle::snapshot {

enum class Selector : std::size_t {
  kHome,
  kUserProfile,
  kPiConfigDir,
  kPiCodingAgentDir,
  kOmpProfile,
  kPiProfile,
  kXdgDataHome,
  kVantleOmpBin,
};

// The variable names, in the fixed order of `Selector`.
inline constexpr std::array<std::string_view, 8> SELECTOR_KEYS = {
    "HOME", "USERPROFILE", "PI_CONFIG_DIR", "PI_CODING_AGENT_DIR", "OMP_PROFILE", "PI_PROFILE", "XDG_DATA_HOME",
    "VANTLE_OMP_BIN"};

inline std::string_view key_of(Selector s) { return SELECTOR_KEYS[static_cast<std::size_t>(s)]; }

// Eight optional OS strings; absent and present-but-empty are different.
struct Selectors {
  std::array<std::optional<OsString>, 8> values;

  std::optional<OsString>& operator[](Selector s) { return values[static_cast<std::size_t>(s)]; }
  const std::optional<OsString>& operator[](Selector s) const { return values[static_cast<std::size_t>(s)]; }
  friend bool operator==(const Selectors&, const Selectors&) = default;
};

// The agent profile to use: OMP_PROFILE when present (even empty), else PI_PROFILE. Blank and
// "default" mean no profile; any other name must be a safe lower-case directory name.
Result<std::optional<std::string>> select_omp_profile(const Selectors& selectors);

// Reads the first seven selectors from the process environment; the eighth is `executable`.
Selectors capture_selectors(const std::filesystem::path& executable);

// Makes the process environment hold exactly the recorded values of the eight variables: a
// present value is set (empty included), an absent one removed. Fails on a value the
// environment cannot hold (a NUL read from a snapshot file).
Result<void> apply_selectors_to_process(const Selectors& selectors);

// The same onto the environment of a child about to be started.
void apply_selectors_to_command(const Selectors& selectors, process::Command& command);

}  // namespace vantle::snapshot
