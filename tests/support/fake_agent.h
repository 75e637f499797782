// Installing the stand-in agent (tests/support/fake_omp.cpp) where a test wants it, and
// changing the test process's own environment for the length of a test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_string.h"

namespace vantle::testing {

// The platform's name for an agent executable: "omp.exe" on Windows, "omp" elsewhere.
std::string agent_file_name();

// Copies the stand-in agent to `dir / name` (default: agent_file_name()) and writes its scenario
// beside it (`<stem>.scenario`). Returns the installed path.
std::filesystem::path install_fake_agent(const std::filesystem::path& dir, std::string_view scenario = "",
                                         std::string_view name = "");

// A text as a scenario value: backslashes, line breaks and tabs escaped, so that a Windows path
// or a multi-line answer survives the scenario format.
std::string scenario_value(std::string_view text);
// A path as a scenario value.
std::string scenario_path(const std::filesystem::path& path);

// The process ids that the stand-in's `spawn_tree` wrote to `file`, in the order written.
std::vector<std::uint32_t> read_pids(const std::filesystem::path& file);
// The same, once at least `count` are there; a test failure (and what is there) after 10 s.
std::vector<std::uint32_t> wait_for_pids(const std::filesystem::path& file, std::size_t count);

// Those of the stand-in's `descendant` heartbeat files that still change, as displayed: none once
// every one has stayed the same for half a second, else those still beating after 2 s (less than
// the shortest descendant lives). A descendant that never started counts as gone.
std::vector<std::string> still_beating(const std::vector<std::filesystem::path>& heartbeats);

// Sets and removes process environment variables, restoring every one it touched on destruction.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  ScopedEnv& set(const std::string& name, std::string_view utf8_value);
  ScopedEnv& set_os(const std::string& name, const OsString& value);
  ScopedEnv& unset(const std::string& name);
  // Removes every variable the tool reads, so that a test starts from a known environment.
  ScopedEnv& clear_tool_variables();

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<OsString>> saved_;
};

}  // namespace vantle::testing
