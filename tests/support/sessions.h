// The places a lookup searches, as history-omp's and digest-omp's tests build them: a sessions
// directory given with --session-dir, and a state directory of endpoint snapshots, each naming a
// home below which the agent wrote its logs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "snapshot/selectors.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::testing {

// A sessions directory holding `files`: each a path relative to it, with its bytes.
class SessionsDir {
 public:
  explicit SessionsDir(const std::vector<std::pair<std::string, std::string>>& files);
  std::filesystem::path dir() const { return tmp_ / "sessions"; }
  std::string text() const { return display(dir()); }
  std::filesystem::path file(std::string_view rel) const;
  const ScopedTempDir& tmp() const { return tmp_; }

 private:
  ScopedTempDir tmp_;
};

// Endpoint snapshots under a state directory, each naming a home directory, and runs of
// `subcommand` that look there.
class StateDir {
 public:
  explicit StateDir(std::string subcommand) : subcommand_(std::move(subcommand)) {}
  std::filesystem::path state() const { return tmp_ / "state"; }
  std::string snapshots() const;
  // The log at `rel` below the agent's sessions folder in `home`.
  std::filesystem::path session(std::string_view home, std::string_view rel) const;
  // Writes the snapshot of `endpoint` naming `home`, with `more` selectors (UTF-8 values) and the
  // launch's session id.
  void snap(std::string_view endpoint, std::string_view home,
            const std::vector<std::pair<snapshot::Selector, std::string>>& more = {},
            std::optional<std::string> launch = std::nullopt);
  Cli run(std::vector<std::string> args) const;
  const ScopedTempDir& tmp() const { return tmp_; }

 private:
  std::string subcommand_;
  ScopedTempDir tmp_;
};

}  // namespace vantle::testing
