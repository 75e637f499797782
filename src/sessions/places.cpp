#include "sessions/places.h"

#include <algorithm>

#include "platform/system.h"
#include "sessions/path_order.h"
#include "sessions/sessions_dir.h"

namespace vantle::sessions {
namespace stdfs = std::filesystem;
namespace {

using snapshot::Selector;

std::optional<stdfs::path> present(const snapshot::Selectors& selectors, Selector s) {
  const auto& value = selectors[s];
  if (!value || value->empty()) return std::nullopt;
  return value->to_path();
}

// `value` under `base` the way the agent joins them (path.join): an absolute value is appended,
// not put in place of the base. A value naming a drive or share (Windows) would make no usable
// path, so the agent cannot have written there: nothing.
std::optional<stdfs::path> join_like_agent(const stdfs::path& base, const stdfs::path& value) {
  if (value.has_root_name()) return std::nullopt;
  return base / value.relative_path();
}

}  // namespace

AgentHost this_host() { return AgentHost{sys::is_windows(), sys::account_home()}; }

SessionPlaces session_places(const snapshot::Selectors& selectors, const AgentHost& host) {
  SessionPlaces out{resolve_sessions_dir(std::nullopt, selectors), {}};
  auto profile = snapshot::select_omp_profile(selectors);
  if (!profile) return out;
  const std::optional<std::string>& name = *profile;
  if (!name && present(selectors, Selector::kPiCodingAgentDir)) return out;
  // Today's rule fails only for want of a home here; the agent's home may still be known.
  if (!out.today && !host.account_home) return out;

  if (!host.windows) {
    if (auto xdg = present(selectors, Selector::kXdgDataHome); xdg && xdg->is_absolute()) {
      stdfs::path data = *xdg / "omp";
      if (name) data = data / "profiles" / path_from_utf8(*name);
      out.agent.push_back(data / "sessions");
    }
  }
  auto home = present(selectors, host.windows ? Selector::kUserProfile : Selector::kHome);
  if (!home) home = host.account_home;
  if (home) {
    const auto config_name = present(selectors, Selector::kPiConfigDir);
    if (auto config = join_like_agent(*home, config_name ? *config_name : stdfs::path(".omp"))) {
      stdfs::path base = *config;
      if (name) base = base / "profiles" / path_from_utf8(*name);
      out.agent.push_back(base / "agent" / "sessions");
    }
  }

  const auto same = [](const stdfs::path& a, const stdfs::path& b) { return compare_paths(a, b) == 0; };
  std::vector<stdfs::path> kept;
  for (auto& place : out.agent) {
    if (out.today && same(place, *out.today)) continue;
    if (std::any_of(kept.begin(), kept.end(), [&](const stdfs::path& k) { return same(k, place); })) continue;
    kept.push_back(std::move(place));
  }
  out.agent = std::move(kept);
  return out;
}

stdfs::path archive_dir(const stdfs::path& root) { return (root / ".." / "archive" / "sessions").lexically_normal(); }

}  // namespace vantle::sessions
