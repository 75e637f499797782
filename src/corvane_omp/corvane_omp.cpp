#include "corvane_omp/corvane_omp.h"

#include <optional>

#include "cli/out_of_memory.h"
#include "corvane_omp/delta.h"
#include "corvane_omp/transcript.h"
#include "corvane_omp/turn.h"
#include "corvane_omp/workspace.h"
#include "omp/omp.h"
#include "platform/os_string.h"
#include "platform/termination.h"
#include "sessions/lookup.h"
#include "sessions/sessions_dir.h"
#include "snapshot/selectors.h"
#include "snapshot/snapshot.h"
#include "text/whitespace.h"

namespace vantle::corvane {
namespace {

namespace stdfs = std::filesystem;

// The endpoint's selectors, loaded (a missing snapshot rebuilt) only when a turn needs them.
Result<snapshot::Selectors, Verdict> load_selectors(const stdfs::path& state_dir, const std::string& id) {
  auto loaded = snapshot::load_or_rebuild_endpoint_selectors(state_dir, id);
  if (!loaded) return Err(failure(id, "endpoint environment unavailable: " + loaded.error()));
  return std::move(*loaded);
}

// The transcript a turn summarizes, and the endpoint's selectors when finding it needed them.
struct Transcript {
  std::string text;
  std::optional<snapshot::Selectors> selectors;
};

// Standard input when it held content; else the session file (or its archive), looked up in
// --session-dir or among the places the endpoint's selectors give. An error is the verdict that
// ends the turn before any agent runs.
Result<Transcript, Verdict> choose_transcript(const CorvaneArgs& args, const stdfs::path& state_dir) {
  const std::string& id = *args.id;
  auto input = read_transcript_from_stdin();
  if (!input) return Err(failure(id, "stdin read failed: " + input.error().message));
  if (input->saw_content) return Transcript{std::move(input->tail), std::nullopt};

  std::optional<snapshot::Selectors> selectors;
  std::optional<stdfs::path> file;
  if (args.session_dir) {
    auto dir = sessions::resolve_sessions_dir(path_from_utf8(*args.session_dir), {});
    if (!dir) return Err(failure(id, dir.error()));
    auto found = sessions::find_session_in_dir(*dir, *args.session_id);
    if (!found) return Err(failure(id, found.error().text()));
    file = std::move(*found);
  } else {
    auto loaded = load_selectors(state_dir, id);
    if (!loaded) return loaded.err();
    auto found = sessions::find_endpoint_session(*loaded, *args.session_id);
    if (!found) return Err(failure(id, found.error()));
    file = std::move(*found);
    selectors = std::move(*loaded);
  }

  if (!file) return Err(judge_context_delta(id, EMPTY_CONTEXT_DELTA));
  auto tail = read_transcript_file_tail(*file);
  if (!tail) return Err(failure(id, "transcript unreadable (" + display(*file) + "): " + tail.error().message));
  return Transcript{std::move(*tail), std::move(selectors)};
}

// Starts the agent in its workspace, in this process's environment with the endpoint's selectors
// applied once more, and captures its answer.
SysResult<AgentCapture> run_summarizer(const stdfs::path& executable, const snapshot::Selectors& selectors,
                                       const TurnPaths& paths) {
  auto args = agent_arguments(paths);
  if (!args) return args.err();
  process::Command command;
  command.program = executable;
  command.args = std::move(*args);
  command.cwd = paths.workspace;
  snapshot::apply_selectors_to_command(selectors, command);
  omp::RunLimits limits;
  limits.stdout_bytes = DELTA_BYTE_LIMIT;
  limits.stderr_bytes = STDERR_BYTE_LIMIT;
  auto run = omp::run_agent(std::move(command), limits);
  if (!run) return Err(std::move(run).error().error);
  return std::move(*run);
}

Verdict run_turn(std::span<const std::string> raw_args) {
  const CorvaneArgs args = parse_corvane_args(raw_args);
  const std::string id = args.id.value_or("");
  if (id.empty() || args.session_id.value_or("").empty()) return failure(id, "need --id and --session-id");

  auto state_dir = snapshot::resolve_state_directory();
  if (!state_dir) return failure(id, "endpoint state directory unavailable: " + state_dir.error());

  auto transcript = choose_transcript(args, *state_dir);
  if (!transcript) return std::move(transcript).error();
  if (text::is_blank(transcript->text)) return judge_context_delta(id, EMPTY_CONTEXT_DELTA);
  // From here a request to end the tool waits until the agent's tree and the turn's temporary
  // objects are gone, and then ends the tool before any verdict is delivered.
  termination::Deferral deferral;

  // Loaded now only when finding the transcript did not need them.
  auto selectors = transcript->selectors ? Result<snapshot::Selectors, Verdict>(std::move(*transcript->selectors))
                                         : load_selectors(*state_dir, id);
  if (!selectors) return std::move(selectors).error();
  // The executable resolution and the agent must see the endpoint's environment, not the daemon's.
  if (auto applied = snapshot::apply_selectors_to_process(*selectors); !applied) {
    return failure(id, "endpoint environment unavailable: " + applied.error());
  }
  auto executable = omp::resolve_omp_executable();
  if (!executable) return failure(id, "omp resolution failed: " + executable.error());
  auto temp_root = resolve_temp_root();
  if (!temp_root) return failure(id, "temporary root resolution failed: " + temp_root.error().message);

  const std::string transcript_prompt = wrap_untrusted_transcript(transcript->text);
  std::optional<AgentCapture> capture;
  auto turn = run_in_isolated_turn(*temp_root, SUMMARIZER_SYSTEM_PROMPT, transcript_prompt,
                                   [&](const TurnPaths& paths) -> SysResult<void> {
                                     auto captured = run_summarizer(*executable, *selectors, paths);
                                     if (!captured) return captured.err();
                                     capture = std::move(*captured);
                                     return {};
                                   });
  if (!turn) {
    const bool lifecycle = turn.error().kind == TurnFailure::Kind::kLifecycleFailed;
    return failure(
        id, (lifecycle ? "secure prompt lifecycle failed: " : "omp spawn failed: ") + turn.error().error.message);
  }
  return judge_capture(id, *capture);
}

}  // namespace

int corvane_omp(std::span<const std::string> args) {
  const auto id = [&args] { return parse_corvane_args(args).id.value_or(""); };
  return within_memory([&] { return deliver(run_turn(args), id()); },
                       [&](std::string_view reason) { return deliver(failure(id(), reason), id()); });
}

}  // namespace vantle::corvane
