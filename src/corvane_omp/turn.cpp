#include "corvane_omp/turn.h"

#include "base/exit_status.h"
#include "cli/options.h"
#include "platform/os_string.h"
#include "refusal/refusal.h"
#include "text/utf8.h"

namespace vantle::corvane {
namespace {

SysResult<std::string> path_argument(const std::filesystem::path& path) {
  auto text = path_to_utf8(path);
  if (!text) return Err(custom_error(ErrorKind::kInvalidInput, "path is not valid Unicode: " + display(path)));
  return std::move(*text);
}

}  // namespace

CorvaneArgs parse_corvane_args(std::span<const std::string> args) {
  CorvaneArgs parsed;
  // The lenient grammar refuses nothing.
  (void)parse_options(args,
                      {{"--id", &parsed.id},
                       {"--session-id", &parsed.session_id},
                       {"--session-dir", &parsed.session_dir},
                       {"--project-dir", &parsed.project_dir}},
                      {});
  return parsed;
}

SysResult<std::vector<std::string>> agent_arguments(const TurnPaths& paths) {
  auto workspace = path_argument(paths.workspace);
  if (!workspace) return workspace.err();
  auto config = path_argument(paths.config);
  if (!config) return config.err();
  auto system_prompt = path_argument(paths.system_prompt);
  if (!system_prompt) return system_prompt.err();
  auto transcript_prompt = path_argument(paths.transcript_prompt);
  if (!transcript_prompt) return transcript_prompt.err();

  std::vector<std::string> args(FIXED_AGENT_ARGS.begin(), FIXED_AGENT_ARGS.end());
  args.insert(args.end(), {"--cwd", *workspace, "--config", *config, "--system-prompt", *system_prompt,
                           "--append-system-prompt", *system_prompt, "@" + *transcript_prompt});
  return args;
}

Verdict judge_capture(std::string_view endpoint_id, const AgentCapture& capture) {
  if (capture.out_overflowed) {
    return failure(endpoint_id, "omp delta exceeded " + std::to_string(DELTA_BYTE_LIMIT) + " byte limit");
  }
  if (capture.err_overflowed) {
    return failure(endpoint_id, "omp stderr exceeded " + std::to_string(STDERR_BYTE_LIMIT) + " byte limit");
  }
  if (capture.status.success()) return judge_context_delta(endpoint_id, capture.out);

  const std::string status = exit_status_text(capture.status);
  const std::string detail =
      render_stream_excerpt("omp stderr", capture.err) + "; " + render_stream_excerpt("omp stdout", capture.out);
  const auto category = classify_account_refusal(capture.err, capture.out);
  if (!category) return failure(endpoint_id, "omp exited " + status + "; ", detail);
  return Verdict{1,
                 "",
                 {{"CORVANE_ACCOUNT_REFUSAL:" + std::string(endpoint_id) +
                   ": outage, not a fault \xE2\x80\x94 the provider refused the summarizer turn for account reasons (" +
                   std::string(refusal_category_name(*category)) +
                   "); nothing is broken, the transcript is intact, and only a human can restore the account. omp "
                   "exited " +
                   status + "; "},
                  {detail, true}}};
}

}  // namespace vantle::corvane
