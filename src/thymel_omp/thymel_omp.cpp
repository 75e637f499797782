#include "thymel_omp/thymel_omp.h"

#include "cli/out_of_memory.h"
#include "omp/agent_run.h"
#include "omp/omp.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/process.h"
#include "platform/stdio.h"
#include "snapshot/selectors.h"
#include "snapshot/snapshot.h"
#include "text/utf8.h"
#include "text/whitespace.h"
#include "thymel_omp/thymel.h"

namespace vantle::thymel {
namespace {

Result<std::string> read_stdin_utf8() {
  std::string input;
  char buffer[65536];
  while (true) {
    auto n = stdio::read_in(buffer, sizeof buffer);
    if (!n) return Err(n.error().message);
    if (*n == 0) break;
    input.append(buffer, *n);
  }
  if (!text::is_utf8(input)) return Err(std::string(text::NOT_UTF8));
  return input;
}

int fail_turn(const std::string& id, const std::string& reason) {
  (void)stdio::write_report(turn_failure_line(id, reason));
  return EXIT_TURN_FAILED;
}

// A reply the daemon never got is no answer: the turn fails, so that the daemon keeps custody.
int deliver_reply(const std::string& id, std::string_view reply, int exit_code) {
  if (reply.empty()) return exit_code;
  if (auto written = stdio::write_out(reply); !written) {
    return fail_turn(id, "cannot write reply: " + written.error().message);
  }
  return exit_code;
}

// Where the turn goes on once its prompt is written: whether the mind was blank and the sessions
// directory, or the exit code that ended it there.
struct Written {
  std::optional<int> ended;
  bool mind_blank = false;
  std::filesystem::path sessions_dir;
};

Written ended_with(int exit_code) {
  Written out;
  out.ended = exit_code;
  return out;
}

// Reads the mind file and the input and writes the prompt file. The three are let go when it
// returns, so that the agent's outputs never sit in memory beside them.
Written write_turn_prompt(const TurnArgs& parsed) {
  const std::string& id = parsed.endpoint_id;
  const auto fail = [&id](const std::string& reason) { return ended_with(fail_turn(id, reason)); };
  const std::filesystem::path mind_file = path_from_utf8(parsed.mind_file);
  auto mind = read_utf8_file(mind_file);
  if (!mind) return fail("mind file unreadable (" + parsed.mind_file + "): " + mind.error().message);
  auto input = read_stdin_utf8();
  if (!input) return fail("stdin read failed: " + input.error());

  const Prompt prompt = compose_prompt(*mind, *input);
  if (text::is_blank(prompt.text)) return ended_with(deliver_reply(id, ACKNOWLEDGEMENT, EXIT_DONE));
  const auto sessions_dir = sessions_dir_for(mind_file);
  if (!sessions_dir) return fail("mind file path has no parent dir (no session-dir anchor)");
  if (prompt.mind_blank) {
    auto prior = holds_prior_session(*sessions_dir);
    if (!prior) return fail("cannot list session dir " + display(*sessions_dir) + ": " + prior.error().message);
    if (!*prior) {
      (void)stdio::write_report(session_not_found_line(id));
      return ended_with(EXIT_NO_PRIOR_SESSION);
    }
  }
  if (auto made = fs::create_dir_all(*sessions_dir); !made) {
    return fail("cannot create session dir " + display(*sessions_dir) + ": " + made.error().message);
  }
  const std::filesystem::path prompt_file = *sessions_dir / path_from_utf8(PROMPT_FILE_NAME);
  if (auto written = write_prompt_file(prompt_file, prompt.text); !written) {
    return fail("cannot write turn prompt " + display(prompt_file) + ": " + written.error().message);
  }
  return Written{std::nullopt, prompt.mind_blank, *sessions_dir};
}

int run_turn(const TurnArgs& parsed) {
  const std::string& id = parsed.endpoint_id;
  const auto fail = [&id](const std::string& reason) { return fail_turn(id, reason); };

  auto state_dir = snapshot::resolve_state_directory();
  if (!state_dir) return fail("endpoint state directory unavailable: " + state_dir.error());
  auto selectors = snapshot::load_or_rebuild_endpoint_selectors(*state_dir, id);
  if (!selectors) return fail("endpoint environment unavailable: " + selectors.error());
  // From here on the turn, executable resolution included, sees the endpoint's environment.
  if (auto applied = snapshot::apply_selectors_to_process(*selectors); !applied) {
    return fail("endpoint environment unavailable: " + applied.error());
  }
  const Written written = write_turn_prompt(parsed);
  if (written.ended) return *written.ended;

  auto executable = omp::resolve_omp_executable();
  if (!executable) return fail("omp resolution failed: " + executable.error());

  // The agent runs in the mind file's directory, where a relative path of ours would point
  // elsewhere: it gets absolute paths, while messages keep showing the paths as given.
  auto absolute_sessions_dir = fs::make_absolute(written.sessions_dir);
  if (!absolute_sessions_dir) return fail("omp spawn failed: " + absolute_sessions_dir.error().message);
  const std::filesystem::path mind_dir = absolute_sessions_dir->parent_path();
  process::Command command;
  command.program = *executable;
  command.args = agent_arguments(written.mind_blank, *absolute_sessions_dir,
                                         *absolute_sessions_dir / path_from_utf8(PROMPT_FILE_NAME));
  snapshot::apply_selectors_to_command(*selectors, command);
  if (fs::is_directory(mind_dir)) command.cwd = mind_dir;
  // Both outputs whole, with no time or size limit.
  auto run = omp::run_agent(std::move(command), omp::RunLimits{});
  if (!run) return fail("omp spawn failed: " + run.error().error.message);

  const TurnReport report =
      report_agent_result(id, AgentOutput{run->status, std::move(run->out), std::move(run->err)});
  // The line is made before anything is written: running out of memory then ends the turn with its
  // one line, not with the agent's text and another line after it.
  const std::string line = text::report_text(report.line);
  if (!report.agent_err.empty()) (void)stdio::write_err(report.agent_err);
  if (!line.empty()) (void)stdio::write_err(line);
  return deliver_reply(id, report.out, report.exit_code);
}

}  // namespace

int thymel_omp(std::span<const std::string> args) {
  auto parsed = parse_turn_args(args);
  if (!parsed) {
    (void)stdio::write_report("vantle thymel-omp: " + parsed.error());
    return EXIT_USAGE;
  }
  // A mind file, an input or an answer larger than the memory the tool may take is a failed turn.
  return within_memory([&] { return run_turn(*parsed); },
                       [&](std::string_view reason) { return fail_turn(parsed->endpoint_id, std::string(reason)); });
}

}  // namespace vantle::thymel
