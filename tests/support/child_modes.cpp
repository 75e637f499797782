#include "support/child_modes.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/stdio.h"
#include "platform/system.h"

namespace vantle::testing {
namespace {

constexpr std::string_view MODE_VARIABLE = "VANTLE_TEST_CHILD";

using ModeFunction = int (*)(const std::vector<std::string>& args);

std::map<std::string, ModeFunction, std::less<>>& added_modes() {
  static std::map<std::string, ModeFunction, std::less<>> modes;
  return modes;
}

std::uint64_t number(const std::vector<std::string>& args) {
  std::uint64_t value = 0;
  if (!args.empty()) std::from_chars(args[0].data(), args[0].data() + args[0].size(), value);
  return value;
}

int run_mode(std::string_view mode, const std::vector<std::string>& args) {
  std::string out;
  if (mode == "args") {
    for (const auto& arg : args) out += arg + '\0';
  } else if (mode == "env") {
    for (const auto& [name, value] : env::all()) out += name.to_utf8_lossy() + "=" + value.to_utf8_lossy() + '\0';
  } else if (mode == "cwd") {
    auto cwd = fs::current_dir();
    if (!cwd) return 1;
    out = display(*cwd);
  } else if (mode == "cat") {
    char buffer[65536];
    while (true) {
      auto n = stdio::read_in(buffer, sizeof buffer);
      if (!n) return 1;
      if (*n == 0) return 0;
      if (!stdio::write_out(std::string_view(buffer, *n))) return 1;
    }
  } else if (mode == "echo") {
    const std::string text = args.empty() ? "" : args[0];
    const bool ok_out = stdio::write_out(text).ok();
    const bool ok_err = stdio::write_err("err:" + text).ok();
    return ok_out && ok_err ? 0 : 1;
  } else if (mode == "exit") {
    sys::exit_process(static_cast<int>(static_cast<std::uint32_t>(number(args))));
  } else if (mode == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(number(args)));
  } else if (mode == "fill") {
    const std::uint64_t size = number(args);
    out.reserve(size);
    for (std::uint64_t i = 0; i < size; ++i) out.push_back(static_cast<char>('a' + i % 26));
  } else if (const auto added = added_modes().find(mode); added != added_modes().end()) {
    return added->second(args);
  } else {
    (void)stdio::write_err("unknown child mode: " + std::string(mode) + "\n");
    return 125;
  }
  return stdio::write_out(out) ? 0 : 1;
}

}  // namespace

void run_child_mode_if_requested(int argc, char** argv) {
  const auto mode = env::get(MODE_VARIABLE);
  if (!mode) return;
  sys::init_process();
  const auto os_args = sys::command_line(argc, argv);
  std::vector<std::string> args;
  for (std::size_t i = 1; i < os_args.size(); ++i) args.push_back(os_args[i].to_utf8_lossy());
  sys::exit_process(run_mode(mode->to_utf8_lossy(), args));
}

bool add_child_mode(std::string_view mode, int (*run)(const std::vector<std::string>& args)) {
  added_modes().emplace(std::string(mode), run);
  return true;
}

process::Command child_command(std::string_view mode, std::vector<std::string> args) {
  process::Command command;
  auto exe = sys::current_exe();
  if (exe) command.program = *exe;
  command.args = std::move(args);
  command.set_env(std::string(MODE_VARIABLE), OsString::from_utf8(mode));
  return command;
}

std::vector<std::string> split_records(std::string_view output) {
  std::vector<std::string> records;
  while (!output.empty()) {
    const std::size_t end = output.find('\0');
    records.emplace_back(output.substr(0, end));
    if (end == std::string_view::npos) break;
    output.remove_prefix(end + 1);
  }
  return records;
}

}  // namespace vantle::testing
