#include "omp/omp.h"

#include "omp/agent_run.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "text/utf8.h"
#include "text/whitespace.h"

namespace vantle::omp {
namespace stdfs = std::filesystem;
namespace {

std::string quote(const stdfs::path& path) { return "`" + display(path) + "`"; }

std::string wrap_version_message(const std::string& message) {
  return message + "; vantle requires Oh My Pi " + std::string(MIN_OMP_VERSION_TEXT) +
         " or newer. Update OMP with `omp update` and retry";
}

// One component of `omp/X.Y.Z`: ASCII digits, no leading zero unless it is "0", within 64 bits.
std::optional<std::uint64_t> parse_component(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<OmpVersion> parse_signature(std::string_view rest) {
  std::optional<std::uint64_t> parts[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t dot = rest.find('.');
    if ((i < 2) != (dot != std::string_view::npos)) return std::nullopt;
    parts[i] = parse_component(rest.substr(0, dot));
    if (!parts[i]) return std::nullopt;
    if (i < 2) rest.remove_prefix(dot + 1);
  }
  return OmpVersion{*parts[0], *parts[1], *parts[2]};
}

}  // namespace

std::optional<std::string> judge_version_output(const ExitStatus& status, std::string_view out,
                                                std::string_view err) {
  const std::string_view out_trimmed = text::trim(out);
  const std::string_view err_trimmed = text::trim(err);
  if (!status.success()) {
    return "`--version` exited " + exit_status_text(status) + ": " +
           std::string(err_trimmed.empty() ? out_trimmed : err_trimmed);
  }

  struct Found {
    std::string text;
    OmpVersion version;
  };
  std::optional<Found> found;
  for (std::string_view stream : {out, err}) {
    while (!stream.empty()) {
      const std::size_t lf = stream.find('\n');
      std::string_view line = stream.substr(0, lf);
      stream.remove_prefix(lf == std::string_view::npos ? stream.size() : lf + 1);
      line = text::trim(line);
      if (line.substr(0, 4) != "omp/") continue;
      const std::string_view rest = line.substr(4);
      const auto version = parse_signature(rest);
      if (!version) {
        return wrap_version_message("found malformed Oh My Pi version signature `" + std::string(line) +
                                    "`; expected exactly `omp/X.Y.Z`");
      }
      if (found) {
        return wrap_version_message("found ambiguous Oh My Pi version signatures `omp/" + found->text +
                                    "` and `omp/" + std::string(rest) + "`");
      }
      found = Found{std::string(rest), *version};
    }
  }
  if (!found) {
    const std::string_view shown =
        !out_trimmed.empty() ? out_trimmed : (!err_trimmed.empty() ? err_trimmed : std::string_view("<no output>"));
    return wrap_version_message("`--version` reported `" + std::string(shown) +
                                "`; found no valid `omp/X.Y.Z` version");
  }
  if (found->version < MIN_OMP_VERSION) return wrap_version_message("found Oh My Pi " + found->text);
  return std::nullopt;
}

std::optional<std::string> validate_omp_executable(const stdfs::path& path, std::chrono::seconds limit) {
  process::Command command;
  command.program = path;
  command.args = {"--version"};
  RunLimits limits;
  limits.time = limit;
  // Both outputs are read as the probe runs: the start of each is kept, and an agent that prints
  // more than that before its signature is still judged as soon as it exits.
  limits.stdout_bytes = VERSION_PROBE_OUTPUT_BYTES;
  limits.stderr_bytes = VERSION_PROBE_OUTPUT_BYTES;
  limits.drain_past_limits = true;
  auto run = run_agent(std::move(command), limits);
  if (!run) {
    const SysError& error = run.error().error;
    switch (run.error().step) {
      case RunError::Step::kStart:
        return "could not run `--version`: " + error.message;
      case RunError::Step::kWait:
        return "could not wait for `--version`: " + error.message;
      case RunError::Step::kReadStdout:
        return "could not read `--version` stdout: " + error.message;
      case RunError::Step::kReadStderr:
        return "could not read `--version` stderr: " + error.message;
      case RunError::Step::kInterrupted:
        return "`--version` interrupted: " + error.message;
    }
  }
  if (run->end == RunEnd::kTimeLimit) {
    return "`--version` did not exit within " + std::to_string(limit.count()) + " seconds";
  }
  return judge_version_output(run->status, text::utf8_lossy(run->out), text::utf8_lossy(run->err));
}

std::vector<stdfs::path> known_install_locations(const std::optional<OsString>& local_app_data,
                                                const std::optional<OsString>& home,
                                                const std::optional<OsString>& user_profile) {
  std::vector<stdfs::path> out;
  if (env::is_set(local_app_data)) out.push_back(local_app_data->to_path() / "omp" / "omp.exe");
  // HOME wins even when empty; only its absence lets USERPROFILE stand in.
  const std::optional<OsString>& chosen = home ? home : user_profile;
  if (!env::is_set(chosen)) return out;
  const stdfs::path base = chosen->to_path();
  // Where executables carry no extension, the extension-less name follows its .exe twin.
  const bool bare_twins = !sys::is_windows();
  out.push_back(base / "AppData" / "Local" / "omp" / "omp.exe");
  out.push_back(base / ".bun" / "bin" / "omp.exe");
  if (bare_twins) out.push_back(base / ".bun" / "bin" / "omp");
  out.push_back(base / ".local" / "bin" / "omp.exe");
  if (bare_twins) out.push_back(base / ".local" / "bin" / "omp");
  return out;
}

std::vector<std::string> executable_extensions(const std::optional<OsString>& pathext) {
  if (!env::is_set(pathext)) return {".EXE", ".CMD", ".BAT", ".COM"};
  std::vector<std::string> out;
  const std::string value = pathext->to_utf8_lossy();
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(';', start);
    if (end == std::string::npos) end = value.size();
    const std::string_view piece = text::trim(std::string_view(value).substr(start, end - start));
    if (!piece.empty()) out.push_back(piece[0] == '.' ? std::string(piece) : "." + std::string(piece));
    start = end + 1;
  }
  return out;
}

Result<stdfs::path> resolve_omp_executable() {
  const std::string var(OMP_BIN_VAR);
  const auto finish = [](const stdfs::path& validated) -> Result<stdfs::path> {
    auto absolute = fs::make_absolute(validated);
    if (!absolute) {
      return Err("validated Oh My Pi executable " + quote(validated) +
                 " could not be made durable for daemon turns: " + absolute.error().message);
    }
    return *absolute;
  };

  if (const auto override_value = env::get(var); env::is_set(override_value)) {
    const stdfs::path path = override_value->to_path();
    if (!fs::is_regular_file(path)) return Err(var + " points to " + quote(path) + ", but that file does not exist");
    if (auto why = validate_omp_executable(path)) {
      return Err(var + " points to " + quote(path) + ", but it failed Oh My Pi validation (" + *why +
                 "); refusing to launch the invalid explicit override");
    }
    return finish(path);
  }

  std::vector<std::string> rejections;
  for (const auto& candidate : known_install_locations(env::get("LOCALAPPDATA"), env::get("HOME"), env::get("USERPROFILE"))) {
    if (!fs::is_regular_file(candidate)) continue;
    auto why = validate_omp_executable(candidate);
    if (!why) return finish(candidate);
    rejections.push_back("known install candidate " + quote(candidate) + " (" + *why + ")");
  }

  if (const auto path_var = env::get("PATH")) {
    const auto extensions = executable_extensions(env::get("PATHEXT"));
    std::optional<stdfs::path> candidate;
    for (const auto& dir : env::split_paths(*path_var)) {
      if (fs::is_regular_file(dir / "omp")) {
        candidate = dir / "omp";
        break;
      }
      for (const auto& ext : extensions) {
        if (fs::is_regular_file(dir / path_from_utf8("omp" + ext))) {
          candidate = dir / path_from_utf8("omp" + ext);
          break;
        }
      }
      if (candidate) break;
    }
    if (candidate) {
      auto why = validate_omp_executable(*candidate);
      if (!why) return finish(*candidate);
      rejections.push_back("PATH candidate " + quote(*candidate) + " (" + *why + ")");
    }
  }

  if (!rejections.empty()) {
    std::string joined;
    for (const auto& r : rejections) joined += (joined.empty() ? "" : "; ") + r;
    return Err("resolved executable candidate(s), but none passed Oh My Pi validation: " + joined +
               "; refusing the known unrelated command collision. Set " + var + " to the Oh My Pi executable");
  }
  return Err("Oh My Pi executable not found in known install locations or on PATH; set " + var + " to its full path");
}

}  // namespace vantle::omp
