#include "support/fake_agent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/env.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace vantle::testing {

std::string agent_file_name() { return sys::is_windows() ? "omp.exe" : "omp"; }

std::filesystem::path install_fake_agent(const std::filesystem::path& dir, std::string_view scenario,
                                         std::string_view name) {
  std::filesystem::create_directories(dir);
  const auto target = dir / path_from_utf8(name.empty() ? agent_file_name() : std::string(name));
  std::error_code ec;
  std::filesystem::copy_file(VANTLE_FAKE_OMP, target, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) throw std::runtime_error("cannot install the stand-in agent at " + display(target) + ": " + ec.message());
  auto scenario_path = target;
  scenario_path.replace_extension(".scenario");
  write_file(scenario_path, scenario);
  return target;
}

std::string scenario_value(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out;
}

std::string scenario_path(const std::filesystem::path& path) { return scenario_value(display(path)); }

std::vector<std::uint32_t> read_pids(const std::filesystem::path& file) {
  std::vector<std::uint32_t> pids;
  // Whole lines only: a line still being written, or cut by a limit on file size, is no pid.
  std::ifstream in(file);
  for (std::string line; std::getline(in, line) && !in.eof();) {
    if (line.find_first_of("0123456789") == 0) pids.push_back(static_cast<std::uint32_t>(std::stoul(line)));
  }
  return pids;
}

std::vector<std::uint32_t> wait_for_pids(const std::filesystem::path& file, std::size_t count) {
  for (int i = 0; i < 1000; ++i) {
    auto pids = read_pids(file);
    if (pids.size() >= count) return pids;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the agent's tree did not start";
  return read_pids(file);
}

std::vector<std::string> still_beating(const std::vector<std::filesystem::path>& heartbeats) {
  using Clock = std::chrono::steady_clock;
  const auto read = [](const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  std::vector<std::string> last;
  for (const auto& file : heartbeats) last.push_back(read(file));
  std::vector<Clock::time_point> changed(heartbeats.size(), Clock::now());
  while (true) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const auto now = Clock::now();
    std::vector<std::string> beating;
    for (std::size_t i = 0; i < heartbeats.size(); ++i) {
      if (std::string beat = read(heartbeats[i]); beat != last[i]) {
        last[i] = std::move(beat);
        changed[i] = now;
      }
      if (now - changed[i] < std::chrono::milliseconds(500)) beating.push_back(display(heartbeats[i]));
    }
    if (beating.empty() || now >= deadline) return beating;
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      (void)env::set(name, *value);
    } else {
      (void)env::remove(name);
    }
  }
}

void ScopedEnv::remember(const std::string& name) {
  if (!saved_.count(name)) saved_[name] = env::get(name);
}

ScopedEnv& ScopedEnv::set(const std::string& name, std::string_view utf8_value) {
  return set_os(name, OsString::from_utf8(utf8_value));
}

ScopedEnv& ScopedEnv::set_os(const std::string& name, const OsString& value) {
  remember(name);
  if (!env::set(name, value)) throw std::runtime_error("cannot set " + name);
  return *this;
}

ScopedEnv& ScopedEnv::unset(const std::string& name) {
  remember(name);
  (void)env::remove(name);
  return *this;
}

ScopedEnv& ScopedEnv::clear_tool_variables() {
  for (const char* name : {"VANTLE_STATE_DIR", "VANTLE_OMP_BIN", "LOCALAPPDATA", "XDG_STATE_HOME", "XDG_DATA_HOME",
                           "HOME", "USERPROFILE", "PI_CONFIG_DIR", "PI_CODING_AGENT_DIR", "OMP_PROFILE",
                           "PI_PROFILE", "PATH", "PATHEXT"}) {
    unset(name);
  }
  return *this;
}

}  // namespace vantle::testing
