// The pieces of a Thymel turn that hold no process or stream of their own: the command line, the
// prompt, the sessions directory beside the mind file and its prior-session check, the agent's
// argument list, and the lines the turn reports.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/exit_status.h"
#include "base/result.h"
#include "platform/error.h"
#include "platform/process.h"
#include "refusal/refusal.h"
#include "text/visible.h"

namespace vantle::thymel {

// The exit statuses the daemon acts on: 1 retry later, 95 reseed the Thymel session, 96 pace
// retries after an account refusal (the session is intact).
inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_TURN_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_NO_PRIOR_SESSION = 95;
inline constexpr int EXIT_ACCOUNT_REFUSAL = 96;

// What a turn prints instead of a reply when there is nothing to answer.
inline constexpr std::string_view ACKNOWLEDGEMENT = "<thymel-ack/>\n";
inline constexpr std::string_view SESSIONS_DIR_NAME = "omp-sessions";
inline constexpr std::string_view PROMPT_FILE_NAME = "turn-prompt.md";

struct TurnArgs {
  std::string endpoint_id;
  std::string session_id;  // required by the daemon's contract; the turn does not use it
  std::string mind_file;   // as given, so messages can quote it unchanged
  std::optional<std::string> project_dir;
};

// Every argument in an option position must name an option, which takes the next argument as its
// value; a repeated one keeps its last value. The message (without prefix) is for
// "vantle thymel-omp: {}" and exit status 2.
Result<TurnArgs> parse_turn_args(std::span<const std::string> args);

struct Prompt {
  std::string text;
  // A blank mind (white space only) means: continue the stored session instead of starting one.
  bool mind_blank = false;
};

// The mind text with its trailing white space removed, two line feeds, then the input as read; a
// blank mind contributes nothing, not even the line feeds.
Prompt compose_prompt(std::string_view mind, std::string_view input);

// `omp-sessions` beside the mind file, or nothing when the path names no directory to anchor it
// (a bare file name).
std::optional<std::filesystem::path> sessions_dir_for(const std::filesystem::path& mind_file);

// Whether a directory entry's name has the extension `jsonl` in any ASCII letter case. A name
// whose only full stop is its first character (".jsonl") has no extension.
bool is_session_log_name(const std::filesystem::path& name);

// Whether the sessions directory holds a session log among its immediate entries. A directory
// that does not exist holds none; any other failure to list it is an error, so that an I/O fault
// never passes for a missing session (which would make the daemon throw the session away).
SysResult<bool> holds_prior_session(const std::filesystem::path& sessions_dir);

// Reads a whole file that must be UTF-8 text.
SysResult<std::string> read_utf8_file(const std::filesystem::path& path);

// Writes the prompt file, replacing what was there.
SysResult<void> write_prompt_file(const std::filesystem::path& path, std::string_view prompt);

// The agent's arguments for one turn, `-c` only when continuing. The paths are passed as given,
// so the caller makes them absolute: the agent runs in another working directory.
std::vector<std::string> agent_arguments(bool continue_session, const std::filesystem::path& sessions_dir,
                                         const std::filesystem::path& prompt_file);

struct AgentOutput {
  ExitStatus status;
  std::string out;
  std::string err;
};

// What the turn writes and returns for a finished agent: on standard error the agent's own text
// relayed when not blank, then the refusal line (96) or the turn-failure line (1); on standard
// output the reply or acknowledgement (status 0). The agent's outputs are taken, not copied: a
// reply that is UTF-8 is held once.
struct TurnReport {
  int exit_code = EXIT_DONE;
  std::string out;
  std::string agent_err;
  text::ReportLine line;
};
TurnReport report_agent_result(std::string_view endpoint_id, AgentOutput result);

// The report lines. A turn failure's reason may end in the agent's stream excerpts, `relayed`.
text::ReportLine turn_failure_line(std::string_view endpoint_id, std::string_view reason,
                                   std::string_view relayed = {});
text::ReportLine session_not_found_line(std::string_view endpoint_id);
text::ReportLine refusal_line(std::string_view endpoint_id, RefusalCategory category, std::string_view err_bytes,
                              std::string_view out_bytes);

}  // namespace vantle::thymel
