#include "sessions/places.h"

#include <algorithm>

#include "platform/system.h"
#include "sessions/path_order.h"
#include "sessions/sessions_dir.h"

namespace vantle::sessions {
namespace stdfs = std::filesystem;
namespace {

using snapshot::Selector;

// `value` under `base` the way the agent joins them (path.join): an absolute value is appended,
// not put in place of the base. A value naming a drive or share (Windows) would make no usable
// path, so the agent cannot have written there: nothing.
std::optional<stdfs::path> join_like_agent(const stdfs::path& base, const stdfs::path& value) {
  if (value.has_root_name()) return std::nullopt;
  return base / value.relative_path();
}

// Whether the agent, with no profile, sets PI_CODING_AGENT_DIR (`value`) aside for its default
// agent directory <config>/agent. It does so when the value resolves to that directory itself,
// and when the value is, text for text, the agent directory of the profile PI_PROFILE names while
// OMP_PROFILE selects the default: it takes that for a value a parent process set for the profile.
bool agent_takes_default(const snapshot::Selectors& selectors, const stdfs::path& value,
                         const stdfs::path& config) {
  if (value.is_absolute() &&
      compare_paths(value.lexically_normal(), agent_dir(config, std::nullopt).lexically_normal()) == 0) {
    return true;
  }
  snapshot::Selectors without_omp = selectors;
  without_omp[Selector::kOmpProfile].reset();
  const auto bypassed = snapshot::select_omp_profile(without_omp);
  if (!bypassed || !*bypassed) return false;
  return value.native() == agent_dir(config, *bypassed).lexically_normal().native();
}

}  // namespace

AgentHost this_host() { return AgentHost{sys::is_windows(), sys::account_home()}; }

SessionPlaces session_places(const snapshot::Selectors& selectors, const AgentHost& host) {
  SessionPlaces out{resolve_sessions_dir(std::nullopt, selectors), {}};
  auto profile = snapshot::select_omp_profile(selectors);
  if (!profile) return out;
  const std::optional<std::string>& name = *profile;
  // The sessions directory fails only for want of a home here; the agent's home may still be known.
  if (!out.sessions_dir && !host.account_home) return out;

  auto home = selector_path(selectors, host.windows ? Selector::kUserProfile : Selector::kHome);
  if (!home) home = host.account_home;
  std::optional<stdfs::path> config;
  if (home) {
    const auto config_name = selector_path(selectors, Selector::kPiConfigDir);
    config = join_like_agent(*home, config_name ? *config_name : stdfs::path(".omp"));
  }
  if (!name) {
    const auto value = selector_path(selectors, Selector::kPiCodingAgentDir);
    if (value && !(config && agent_takes_default(selectors, *value, *config))) return out;
  }

  if (!host.windows) {
    if (auto xdg = selector_path(selectors, Selector::kXdgDataHome); xdg && xdg->is_absolute()) {
      out.agent.push_back(profile_dir(*xdg / "omp", name) / "sessions");
    }
  }
  if (config) out.agent.push_back(agent_dir(*config, name) / "sessions");

  const auto same = [](const stdfs::path& a, const stdfs::path& b) { return compare_paths(a, b) == 0; };
  std::vector<stdfs::path> kept;
  for (auto& place : out.agent) {
    if (out.sessions_dir && same(place, *out.sessions_dir)) continue;
    if (std::any_of(kept.begin(), kept.end(), [&](const stdfs::path& k) { return same(k, place); })) continue;
    kept.push_back(std::move(place));
  }
  out.agent = std::move(kept);
  return out;
}

stdfs::path archive_dir(const stdfs::path& root) { return (root / ".." / "archive" / "sessions").lexically_normal(); }

}  // namespace vantle::sessions
