// The stand-in for the Oh My Pi agent. Tests copy this program into their own folder under the
// name omp (omp.exe) and script it with a scenario file beside it: `<dir>/<stem>.scenario`, one
// `key value` pair a line (later lines win; `#` starts a comment; values take \n \r \t \\ \xHH).
//
//   version.stdout / version.stderr   what `--version` prints (default stdout "omp/18.2.3\n")
//   version.exit                      its exit code (default 0)
//   version.sleep_ms                  sleep before answering
//   wait_for <path>                   (and version.wait_for) wait until the file exists before
//                                     answering: a test's handshake
//   version.flood                     bytes of filler written to stdout before answering
//   version.flood_stderr              the same to stderr
//   version.vanish 1                  after answering, move this program away (to <name>.gone)
//   stdout / stderr / exit / sleep_ms the same for every other invocation (a turn, a launch)
//   flood_stdout / flood_stderr       bytes of filler written to each stream
//   flood_fill <text>                 the filler, repeated (default `x`; `\xff` for bytes that
//                                     are not UTF-8)
//   echo_stdin 1                      copy standard input to standard output
//   echo_prefix <text>                put <text> before each piece echoed
//   observe <path>                    record that file's content (null if unreadable) at start
//   spawn_tree <pidfile>              start a child, which starts a grandchild in a session of
//                                     its own; all three append their pid to <pidfile>; the
//                                     child and grandchild then sleep for a minute (with
//                                     version.spawn_tree, the `--version` probe does the same)
//   run <program> / run_arg <arg>     act as a stand-in daemon: start <program> with the args,
//   run_pid_file <path>               standard streams inherited, write its pid to the file,
//                                     wait for it and exit with its code
//   run_detach 1                      with run: exit at once (after linger_ms) instead of waiting
//   run_wait_for <path>               with run_detach: exit once the file exists, or with the
//                                     program's code, or by its signal, if it ends first
//   signal <n>                        end by raising signal <n> instead of exiting
//   write <path>|<content>            write a file (the agent writing its session log)
//   session_log <name>|<content>      append to the file <name> in the directory that the
//                                     `--session-dir` argument names (a Thymel turn's log)
//   signals <path>                    append the lines of /proc/self/status that give the signals
//                                     blocked and ignored as this program started (Linux), as one
//                                     line: what the tool handed the agent
//   record <path>                     append one JSON line describing this invocation: argv,
//                                     cwd, environment, and the contents of the files the
//                                     arguments point at (@file, --config, --system-prompt,
//                                     --append-system-prompt), and whether each standard stream
//                                     is a terminal; with `--config`, also the entries of the
//                                     directory holding that file (type and permission bits)
//   remove_arg <option>               delete the file named by the argument after <option>
//                                     (`@` for the @file argument), as the agent is running
//   linger_ms                         sleep after writing the output, before exiting (with
//                                     version.linger_ms, the `--version` probe does the same)
//   descendant <kind>|<heartbeat>     (and version.descendant) first start a child that holds
//                                     this program's stdout and stderr: kind `hold` sleeps for
//                                     30 s, `yes` writes lines to stdout for 30 s, `escape` sleeps
//                                     for 3 s in a session of its own; each rewrites the file
//                                     <heartbeat> with a new count every 50 ms while it lives
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/process.h"
#include "platform/stdio.h"
#include "platform/system.h"

namespace {

using vantle::OsString;
namespace stdfs = std::filesystem;

std::string unescape(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out.push_back(v[i]);
      continue;
    }
    const char c = v[++i];
    if (c == 'n') out.push_back('\n');
    else if (c == 'r') out.push_back('\r');
    else if (c == 't') out.push_back('\t');
    else if (c == 'x' && i + 2 < v.size()) {
      out.push_back(static_cast<char>(std::stoi(std::string(v.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else out.push_back(c);
  }
  return out;
}

std::map<std::string, std::vector<std::string>> load_scenario(const stdfs::path& self) {
  std::map<std::string, std::vector<std::string>> keys;
  stdfs::path file = self;
  file.replace_extension(".scenario");
  auto text = vantle::fs::read_to_string(file);
  if (!text) return keys;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    const std::string key = line.substr(0, space);
    keys[key].push_back(space == std::string::npos ? "" : unescape(line.substr(space + 1)));
  }
  return keys;
}

void flood(bool to_stdout, std::uint64_t bytes, std::string_view fill) {
  if (fill.empty()) fill = "x";
  std::string chunk;
  while (chunk.size() < 65536) chunk += fill;
  while (bytes > 0) {
    const std::size_t n = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
    auto r = to_stdout ? vantle::stdio::write_out({chunk.data(), n}) : vantle::stdio::write_err({chunk.data(), n});
    if (!r) return;
    bytes -= n;
  }
}

std::string file_text(const std::string& path) {
  auto text = vantle::fs::read_to_string(vantle::path_from_utf8(path));
  return text ? *text : "<unreadable>";
}

void record(const std::string& target, const std::vector<std::string>& args,
            const std::vector<std::string>& observed) {
  nlohmann::json doc;
  doc["argv"] = args;
  auto cwd = vantle::fs::current_dir();
  doc["cwd"] = cwd ? vantle::display(*cwd) : "";
  nlohmann::json env = nlohmann::json::object();
  for (const auto& [name, value] : vantle::env::all()) env[name.to_utf8_lossy()] = value.to_utf8_lossy();
  doc["env"] = env;
  nlohmann::json files = nlohmann::json::object();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!args[i].empty() && args[i][0] == '@') files[args[i].substr(1)] = file_text(args[i].substr(1));
    if ((args[i] == "--config" || args[i] == "--system-prompt" || args[i] == "--append-system-prompt") &&
        i + 1 < args.size()) {
      files[args[i + 1]] = file_text(args[i + 1]);
    }
  }
  doc["files"] = files;
  nlohmann::json seen = nlohmann::json::object();
  for (const auto& path : observed) {
    auto text = vantle::fs::read_to_string(vantle::path_from_utf8(path));
    seen[path] = text ? nlohmann::json(*text) : nlohmann::json();
  }
  doc["observed"] = seen;
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != "--config") continue;
    nlohmann::json entries = nlohmann::json::object();
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(vantle::path_from_utf8(args[i + 1]).parent_path(), ec)) {
      const auto status = entry.symlink_status(ec);
      const char* type = stdfs::is_directory(status) ? "dir" : stdfs::is_regular_file(status) ? "file" : "other";
      entries[vantle::display(entry.path().filename())] = {{"type", type},
                                                          {"perms", static_cast<int>(status.permissions())}};
    }
    doc["config_dir"] = entries;
  }
  doc["tty"] = {vantle::stdio::is_terminal(0), vantle::stdio::is_terminal(1), vantle::stdio::is_terminal(2)};
  std::ofstream out(vantle::path_from_utf8(target), std::ios::binary | std::ios::app);
  out << doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void append_pid(const std::string& pid_file) {
  std::ofstream out(vantle::path_from_utf8(pid_file), std::ios::binary | std::ios::app);
  out << vantle::sys::current_pid() << "\n";
}

// Starts another copy of this program in the given role (see spawn_tree).
void spawn_role(const std::filesystem::path& self, const std::string& role, const std::string& pid_file,
                bool new_session) {
  vantle::process::Command command;
  command.program = self;
  command.set_env("VANTLE_FAKE_OMP_ROLE", OsString::from_utf8(role));
  command.set_env("VANTLE_FAKE_OMP_PIDS", OsString::from_utf8(pid_file));
  command.in = command.out = command.err = vantle::process::Stdio::kNull;
  command.new_session = new_session;
  (void)vantle::process::spawn(command);
}

// A descendant that keeps the agent's outputs open after the agent has gone (see `descendant`).
void spawn_descendant(const std::filesystem::path& self, const std::string& value) {
  const auto bar = value.find('|');
  const std::string kind = value.substr(0, bar);
  vantle::process::Command command;
  command.program = self;
  command.set_env("VANTLE_FAKE_OMP_ROLE", OsString::from_utf8("descendant-" + kind));
  command.set_env("VANTLE_FAKE_OMP_MARKER", OsString::from_utf8(bar == std::string::npos ? "" : value.substr(bar + 1)));
  command.in = vantle::process::Stdio::kNull;
  command.new_session = kind == "escape";
  (void)vantle::process::spawn(command);
}

void wait_for_file(const std::string& path) {
  while (!vantle::fs::exists(vantle::path_from_utf8(path))) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

[[noreturn]] void play_descendant(const std::string& kind) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto lifetime = std::chrono::seconds(kind == "escape" ? 3 : 30);
  const auto heartbeat = vantle::path_from_utf8(
      vantle::env::get("VANTLE_FAKE_OMP_MARKER").value_or(OsString()).to_utf8_lossy());
  std::uint64_t beats = 0;
  auto next_beat = start;
  const std::string lines(4096, 'y');
  while (Clock::now() - start < lifetime) {
    if (Clock::now() >= next_beat) {
      std::ofstream(heartbeat, std::ios::trunc) << ++beats << "\n";
      next_beat = Clock::now() + std::chrono::milliseconds(50);
    }
    if (kind == "yes") {
      if (!vantle::stdio::write_out(lines)) break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  vantle::sys::exit_process(0);
}

// The child and grandchild of spawn_tree: note the pid, start the next generation, linger.
[[noreturn]] void play_role(const std::filesystem::path& self, const std::string& role) {
  if (role.starts_with("descendant-")) play_descendant(role.substr(11));
  const std::string pid_file = vantle::env::get("VANTLE_FAKE_OMP_PIDS").value_or(OsString()).to_utf8_lossy();
  append_pid(pid_file);
  if (role == "child") spawn_role(self, "grandchild", pid_file, true);
  std::this_thread::sleep_for(std::chrono::seconds(60));
  vantle::sys::exit_process(0);
}

// "SigBlk:\t... SigIgn:\t..." of this process, or "" where the system has no /proc.
std::string signal_state() {
  auto status = vantle::fs::read_to_string("/proc/self/status");
  if (!status) return "";
  std::string found;
  for (const char* name : {"SigBlk:", "SigIgn:"}) {
    const auto at = status->find(name);
    if (at != std::string::npos) found += (found.empty() ? "" : " ") + status->substr(at, status->find('\n', at) - at);
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  // Before this program sets any of its own.
  const std::string started_with = signal_state();
  vantle::sys::init_process();
  const std::vector<OsString> os_args = vantle::sys::command_line(argc, argv);
  std::vector<std::string> args;
  for (std::size_t i = 1; i < os_args.size(); ++i) args.push_back(os_args[i].to_utf8_lossy());
  auto self = vantle::fs::make_absolute(os_args.at(0).to_path());
  if (const auto role = vantle::env::get("VANTLE_FAKE_OMP_ROLE")) play_role(*self, role->to_utf8_lossy());
  const auto keys = load_scenario(self ? *self : os_args.at(0).to_path());
  const auto get = [&](const std::string& key, std::string fallback = "") {
    const auto it = keys.find(key);
    return it == keys.end() ? fallback : it->second.back();
  };

  const bool version = args.size() == 1 && args[0] == "--version";
  const std::string prefix = version ? "version." : "";
  const auto all = [&](const std::string& key) { return keys.count(key) ? keys.at(key) : std::vector<std::string>{}; };
  for (const auto& target : all("record")) record(target, args, all("observe"));
  for (const auto& target : all("signals")) {
    std::ofstream(vantle::path_from_utf8(target), std::ios::binary | std::ios::app) << started_with << "\n";
  }
  if (const auto descendant = get(prefix + "descendant"); !descendant.empty()) spawn_descendant(*self, descendant);
  if (const auto pid_file = get(prefix + "spawn_tree"); !pid_file.empty()) {
    append_pid(pid_file);
    spawn_role(*self, "child", pid_file, false);
  }
  if (!version) {
    if (const auto program = get("run"); !program.empty()) {
      vantle::process::Command command;
      command.program = vantle::path_from_utf8(program);
      command.args = all("run_arg");
      auto child = vantle::process::spawn(command);
      if (!child) return 127;
      if (const auto pid_path = get("run_pid_file"); !pid_path.empty()) {
        std::ofstream(vantle::path_from_utf8(pid_path)) << child->id() << "\n";
      }
      if (get("run_detach") == "1") {
        // A child that ends first is waited for after all: its code is the daemon's.
        for (const auto marker = get("run_wait_for");
             !marker.empty() && !vantle::fs::exists(vantle::path_from_utf8(marker));) {
          if (auto ended = child->try_wait(); ended && *ended) {
            if ((*ended)->kind == vantle::ExitStatus::Kind::kSignaled) {
              std::signal((*ended)->signal, SIG_DFL);
              std::raise((*ended)->signal);
            }
            return static_cast<int>((*ended)->code);
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (const auto ms = get("linger_ms"); !ms.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(ms)));
        return 0;
      }
      auto status = child->wait();
      return status && status->kind == vantle::ExitStatus::Kind::kExited ? static_cast<int>(status->code) : 1;
    }
  }

  if (const auto marker = get(prefix + "wait_for"); !marker.empty()) wait_for_file(marker);
  if (const auto ms = get(prefix + "sleep_ms"); !ms.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(ms)));
  if (version) {
    if (const auto n = get("version.flood"); !n.empty()) flood(true, std::stoull(n), get("flood_fill"));
    if (const auto n = get("version.flood_stderr"); !n.empty()) flood(false, std::stoull(n), get("flood_fill"));
  } else {
    if (const auto n = get("flood_stdout"); !n.empty()) flood(true, std::stoull(n), get("flood_fill"));
    if (const auto n = get("flood_stderr"); !n.empty()) flood(false, std::stoull(n), get("flood_fill"));
    if (get("echo_stdin") == "1") {
      char buffer[4096];
      while (true) {
        auto n = vantle::stdio::read_in(buffer, sizeof buffer);
        if (!n || *n == 0) break;
        (void)vantle::stdio::write_out(get("echo_prefix") + std::string(buffer, *n));
      }
    }
    if (keys.count("write")) {
      for (const auto& entry : keys.at("write")) {
        const auto bar = entry.find('|');
        std::ofstream out(vantle::path_from_utf8(entry.substr(0, bar)), std::ios::binary | std::ios::app);
        if (bar != std::string::npos) out << entry.substr(bar + 1);
      }
    }
    if (keys.count("session_log")) {
      const auto dir = std::find(args.begin(), args.end(), "--session-dir");
      for (const auto& entry : keys.at("session_log")) {
        if (dir == args.end() || dir + 1 == args.end()) break;
        const auto bar = entry.find('|');
        const auto file = vantle::path_from_utf8(*(dir + 1)) / vantle::path_from_utf8(entry.substr(0, bar));
        std::ofstream out(file, std::ios::binary | std::ios::app);
        if (bar != std::string::npos) out << entry.substr(bar + 1);
      }
    }
  }
  if (!version) {
    for (const auto& option : all("remove_arg")) {
      for (std::size_t i = 0; i < args.size(); ++i) {
        std::string target;
        if (option == "@" && args[i].starts_with("@")) target = args[i].substr(1);
        if (args[i] == option && i + 1 < args.size()) target = args[i + 1];
        if (target.empty()) continue;
        std::error_code ec;
        stdfs::remove(vantle::path_from_utf8(target), ec);
      }
    }
  }
  (void)vantle::stdio::write_out(get(prefix + "stdout", version ? "omp/18.2.3\n" : ""));
  (void)vantle::stdio::write_err(get(prefix + "stderr"));
  if (const auto ms = get(prefix + "linger_ms"); !ms.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(ms)));
  }
  if (version && get("version.vanish") == "1") {
    std::error_code ec;
    auto gone = *self;
    gone += ".gone";
    std::filesystem::rename(*self, gone, ec);
  }
  if (const auto sig = get("signal"); !sig.empty() && !version) std::raise(std::stoi(sig));
  const std::string code = get(prefix + "exit", "0");
  vantle::sys::exit_process(static_cast<int>(static_cast<std::uint32_t>(std::stoull(code))));
}
