// See sessions.h.
#include "support/sessions.h"

#include <gtest/gtest.h>

#include "snapshot/snapshot.h"

namespace vantle::testing {

namespace stdfs = std::filesystem;

SessionsDir::SessionsDir(const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [rel, bytes] : files) write_file(file(rel), bytes);
}

stdfs::path SessionsDir::file(std::string_view rel) const { return dir() / path_from_utf8(rel).make_preferred(); }

std::string StateDir::snapshots() const { return display(snapshot::snapshot_directory(state())); }

stdfs::path StateDir::session(std::string_view home, std::string_view rel) const {
  return tmp_ / std::string(home) / ".omp" / "agent" / "sessions" / path_from_utf8(rel).make_preferred();
}

void StateDir::snap(std::string_view endpoint, std::string_view home,
                    const std::vector<std::pair<snapshot::Selector, std::string>>& more,
                    std::optional<std::string> launch) {
  snapshot::Selectors selectors;
  selectors[snapshot::Selector::kHome] = OsString::from_path(tmp_ / std::string(home));
  for (const auto& [key, value] : more) selectors[key] = OsString::from_utf8(value);
  selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
  auto written = snapshot::write_snapshot(state(), endpoint, launch, selectors);
  ASSERT_TRUE(written.ok()) << written.error();
}

Cli StateDir::run(std::vector<std::string> args) const {
  args.insert(args.begin(), subcommand_);
  return Cli(std::move(args)).env("VANTLE_STATE_DIR", display(state()));
}

}  // namespace vantle::testing
