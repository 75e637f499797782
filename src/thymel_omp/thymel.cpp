#include "thymel_omp/thymel.h"

#include <algorithm>

#include "cli/options.h"
#include "platform/dir.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "text/utf8.h"
#include "text/visible.h"
#include "text/whitespace.h"

namespace vantle::thymel {
namespace {

constexpr std::string_view EM_DASH = "\xE2\x80\x94";

bool equals_ascii_nocase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

// The agent's bytes as text: the bytes themselves when they are UTF-8 already.
std::string decoded(std::string bytes) {
  if (text::is_utf8(bytes)) return bytes;
  return text::utf8_lossy(bytes);
}

std::string excerpts(std::string_view err_bytes, std::string_view out_bytes) {
  return render_stream_excerpt("omp stderr", err_bytes) + "; " + render_stream_excerpt("omp stdout", out_bytes);
}

}  // namespace

Result<TurnArgs> parse_turn_args(std::span<const std::string> args) {
  std::optional<std::string> id;
  std::optional<std::string> session;
  std::optional<std::string> mind;
  std::optional<std::string> project;
  auto parsed = parse_options(args,
                              {{"--id", &id, true},
                               {"--session-id", &session, true},
                               {"--thymel-context-file", &mind, true},
                               {"--project-dir", &project}},
                              {Strictness::kNamed, Repeats::kLastWins});
  if (!parsed) return parsed.err();
  return TurnArgs{std::move(*id), std::move(*session), std::move(*mind), std::move(project)};
}

Prompt compose_prompt(std::string_view mind, std::string_view input) {
  if (text::is_blank(mind)) return {std::string(input), true};
  const std::string_view kept = text::trim_end(mind);
  std::string prompt;
  prompt.reserve(kept.size() + 2 + input.size());
  prompt += kept;
  prompt += "\n\n";
  prompt += input;
  return {std::move(prompt), false};
}

std::optional<std::filesystem::path> sessions_dir_for(const std::filesystem::path& mind_file) {
  const std::filesystem::path parent = mind_file.parent_path();
  if (parent.empty()) return std::nullopt;
  return parent / path_from_utf8(SESSIONS_DIR_NAME);
}

bool is_session_log_name(const std::filesystem::path& name) {
  const std::string text = path_to_utf8_lossy(name);
  const std::size_t dot = text.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  return equals_ascii_nocase(std::string_view(text).substr(dot + 1), "jsonl");
}

SysResult<bool> holds_prior_session(const std::filesystem::path& sessions_dir) {
  auto entries = fs::list_entries(sessions_dir);
  if (!entries) {
    // Windows also answers "not found" for a file that stands where the directory should be;
    // only nothing at all there counts as missing.
    if (entries.error().kind == ErrorKind::kNotFound && !fs::exists(sessions_dir)) return false;
    return entries.err();
  }
  return std::any_of(entries->begin(), entries->end(),
                     [](const fs::DirEntry& entry) { return is_session_log_name(std::filesystem::path(entry.name)); });
}

SysResult<std::string> read_utf8_file(const std::filesystem::path& path) {
  auto bytes = fs::read_to_string(path);
  if (!bytes) return bytes.err();
  if (!text::is_utf8(*bytes)) return Err(custom_error(ErrorKind::kInvalidInput, std::string(text::NOT_UTF8)));
  return bytes;
}

SysResult<void> write_prompt_file(const std::filesystem::path& path, std::string_view prompt) {
  // Written whole and renamed into place: the agent of a turn running beside this one reads one
  // complete prompt, and a link planted at the name is replaced, never written through. The agent
  // reads it at once, so it need not reach stable storage first.
  auto written = fs::write_file_whole(path, PROMPT_FILE_NAME, prompt, fs::Durability::kVisible);
  if (!written) return Err(std::move(written).error().error);
  return {};
}

std::vector<std::string> agent_arguments(bool continue_session, const std::filesystem::path& sessions_dir,
                                         const std::filesystem::path& prompt_file) {
  std::vector<std::string> args = {"-p"};
  if (continue_session) args.emplace_back("-c");
  for (std::string arg : {std::string("--session-dir"), path_to_utf8_lossy(sessions_dir), std::string("--tools"),
                          std::string("read,write,edit"), std::string("--auto-approve"), std::string("--thinking"),
                          std::string("off"), std::string("--no-title"), std::string("--no-extensions"),
                          std::string("--no-skills"), std::string("--no-rules"),
                          "@" + path_to_utf8_lossy(prompt_file)}) {
    args.push_back(std::move(arg));
  }
  return args;
}

TurnReport report_agent_result(std::string_view endpoint_id, AgentOutput result) {
  TurnReport report;
  std::string err = decoded(std::move(result.err));
  if (result.status.success()) {
    std::string out = decoded(std::move(result.out));
    report.out = text::is_blank(out) ? std::string(ACKNOWLEDGEMENT) : std::move(out);
  } else if (const auto category = classify_account_refusal(err, result.out)) {
    // Both read the decoded standard error and the raw standard output: decoding again, or
    // decoding ASCII phrases, changes nothing.
    report.exit_code = EXIT_ACCOUNT_REFUSAL;
    report.line = refusal_line(endpoint_id, *category, err, result.out);
  } else {
    report.exit_code = EXIT_TURN_FAILED;
    report.line = turn_failure_line(endpoint_id, "omp exited " + exit_status_text(result.status) + "; ",
                                    excerpts(err, result.out));
  }
  if (!text::is_blank(err)) report.agent_err = std::move(err);
  return report;
}

text::ReportLine turn_failure_line(std::string_view endpoint_id, std::string_view reason, std::string_view relayed) {
  return {{"THYMEL_TURN_FAIL:" + std::string(endpoint_id) + ": " + std::string(reason)},
          {std::string(relayed), true},
          {" " + std::string(EM_DASH) + " exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)"}};
}

text::ReportLine session_not_found_line(std::string_view endpoint_id) {
  return {{"THYMEL_SESSION_NOT_FOUND:" + std::string(endpoint_id) + ": thymel omp session dir holds no prior session " +
           std::string(EM_DASH) + " exit " + std::to_string(EXIT_NO_PRIOR_SESSION) + " (reseed)"}};
}

text::ReportLine refusal_line(std::string_view endpoint_id, RefusalCategory category, std::string_view err_bytes,
                              std::string_view out_bytes) {
  return {{"THYMEL_ACCOUNT_REFUSAL:" + std::string(endpoint_id) + ": outage, not a fault " + std::string(EM_DASH) +
         " the provider refused the Thymel turn for account reasons (" + std::string(refusal_category_name(category)) +
         "). Nothing is broken: the Thymel session and its stored context are intact and untouched, a retry would "
         "succeed on a healthy account, and only a human can restore it (clear the limit or the credential). "
         "Exiting " +
           std::to_string(EXIT_ACCOUNT_REFUSAL) + " (keep custody; the daemon paces retries, never reseeds). "},
          {excerpts(err_bytes, out_bytes), true}};
}

}  // namespace vantle::thymel
