#include "sessions/sessions_dir.h"

#include "platform/env.h"

namespace vantle::sessions {

using snapshot::Selector;

std::optional<std::filesystem::path> selector_path(const snapshot::Selectors& selectors, Selector s) {
  const auto& value = selectors[s];
  if (!env::is_set(value)) return std::nullopt;
  return value->to_path();
}

std::filesystem::path profile_dir(const std::filesystem::path& base, const std::optional<std::string>& profile) {
  return profile ? base / "profiles" / path_from_utf8(*profile) : base;
}

std::filesystem::path agent_dir(const std::filesystem::path& config, const std::optional<std::string>& profile) {
  return profile_dir(config, profile) / "agent";
}

Result<std::filesystem::path> resolve_sessions_dir(const std::optional<std::filesystem::path>& explicit_dir,
                                                   const snapshot::Selectors& selectors) {
  if (explicit_dir) {
    if (explicit_dir->empty()) return Err("--session-dir cannot be empty");
    return *explicit_dir;
  }
  auto profile = snapshot::select_omp_profile(selectors);
  if (!profile) return profile.err();
  if (!*profile) {
    if (auto agent_dir = selector_path(selectors, Selector::kPiCodingAgentDir)) return *agent_dir / "sessions";
  }
  auto home = selector_path(selectors, Selector::kHome);
  if (!home) home = selector_path(selectors, Selector::kUserProfile);
  if (!home) return Err("cannot resolve OMP sessions: HOME and USERPROFILE are unset");
  const auto config_dir = selector_path(selectors, Selector::kPiConfigDir);
  return agent_dir(*home / (config_dir ? *config_dir : std::filesystem::path(".omp")), *profile) / "sessions";
}

}  // namespace vantle::sessions
