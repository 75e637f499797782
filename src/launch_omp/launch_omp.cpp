#include "launch_omp/launch_omp.h"

#include <array>

#include "cli/options.h"
#include "omp/omp.h"
#include "platform/fs.h"
#include "platform/session_tree.h"
#include "platform/stdio.h"
#include "snapshot/snapshot.h"
#include "text/whitespace.h"

namespace vantle::launch {
namespace {

constexpr std::string_view PREFIX = "vantle launch-omp: ";
// The exit code when the hosting daemon dies while the agent runs.
constexpr int DAEMON_DIED = 93;

int fail(int code, const std::string& message) {
  (void)stdio::write_report(std::string(PREFIX) + message);
  return code;
}

void warn(const std::string& message) { (void)stdio::write_report(std::string(PREFIX) + message); }

struct LaunchArgs {
  std::optional<std::string> id;
  std::optional<std::string> extension;
  std::optional<std::string> node;
  std::optional<std::string> resume;
};

// Flag and value pairs, each flag at most once; a value is taken whatever it looks like.
Result<LaunchArgs> parse(std::span<const std::string> args) {
  LaunchArgs parsed;
  auto read = parse_options(args,
                            {{"--id", &parsed.id, true},
                             {"--extension", &parsed.extension, true},
                             {"--node", &parsed.node},
                             {"--resume", &parsed.resume}},
                            {Strictness::kPairs, Repeats::kRefused});
  if (!read) return read.err();
  return parsed;
}

// The project's name for the agent: the working directory's last component, trimmed.
std::optional<std::string> project_name(const std::filesystem::path& dir) {
  const std::filesystem::path last = dir.filename();
  if (last.empty()) return std::nullopt;
  const std::string name(text::trim(path_to_utf8_lossy(last)));
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::string> node_name(std::string_view value) {
  const std::string_view trimmed = text::trim(value);
  if (trimmed.empty() || trimmed == "{node}") return std::nullopt;
  return std::string(trimmed);
}

int launch_omp(std::span<const std::string> args) {
  // First, while the daemon that started us is surely still our parent.
  session_tree::Parent parent = session_tree::identify_parent();
  auto parsed = parse(args);
  if (!parsed) return fail(2, parsed.error());
  const std::optional<std::string> node = parsed->node ? node_name(*parsed->node) : std::nullopt;

  auto project_dir = fs::current_dir();
  if (!project_dir) return fail(2, "cannot resolve project directory: " + project_dir.error().message);
  auto executable = omp::resolve_omp_executable();
  if (!executable) return fail(2, executable.error());
  auto state = snapshot::resolve_state_directory();
  if (!state) return fail(2, "cannot resolve endpoint state directory: " + state.error());
  // The snapshot is on disk before the agent starts, so a turn can find the endpoint at once.
  const auto selectors = snapshot::capture_selectors(*executable);
  if (auto written = snapshot::write_snapshot(*state, *parsed->id, parsed->resume, selectors); !written) {
    return fail(2, "cannot preserve endpoint environment: " + written.error());
  }

  if (auto coupled = session_tree::couple_session_tree(); !coupled) {
    warn("session-tree lifetime coupling unavailable: " + coupled.error());
  }
  if (auto watched = session_tree::watch_parent_death(
          std::move(parent), std::string(PREFIX) + "hosting daemon exited; reaping the OMP session tree", DAEMON_DIED);
      !watched) {
    warn("parent-death watch unavailable: " + watched.error());
  }

  process::Command command;
  command.program = *executable;
  if (parsed->resume) command.args = {"-r", *parsed->resume};
  command.args.push_back("--extension");
  command.args.push_back(*parsed->extension);
  if (node) command.set_env("VANTLE_NODE", OsString::from_utf8(*node));
  if (const auto project = project_name(*project_dir)) command.set_env("VANTLE_PROJECT", OsString::from_utf8(*project));
  command.set_env("PI_RPC_EMIT_TITLE", OsString::from_utf8("1"));
  command.set_env("VANTLE_OMP_BIN", OsString::from_path(*executable));

  auto status = session_tree::run_foreground(command);
  if (!status) {
    const auto& error = status.error();
    if (error.kind == session_tree::ForegroundError::Kind::kGuardianDied) return fail(1, error.error.message);
    return fail(1, "failed to spawn `" + display(*executable) + "`: " + error.error.message);
  }
  // A code the process exit cannot carry (a Windows crash status) or a death by signal gives 1.
  if (status->kind != ExitStatus::Kind::kExited || status->code >= 256) return 1;
  return static_cast<int>(status->code);
}

}  // namespace vantle::launch
