#include "corvane_omp/delta.h"

#include <array>

#include "platform/stdio.h"
#include "text/utf8.h"
#include "text/visible.h"
#include "text/whitespace.h"

namespace vantle::corvane {
namespace {

constexpr std::string_view NESTED_TAGS = "omp delta contains nested or duplicate context tags";

bool is_tag_delimiter(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '/' || c == '>'; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` at `pos` spells `name` with ASCII letters in any case.
bool names_at(std::string_view text, std::size_t pos, std::string_view name) {
  if (text.size() - pos < name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (ascii_lower(text[pos + i]) != name[i]) return false;
  }
  return true;
}

}  // namespace

text::ReportLine corvane_fail_line(std::string_view endpoint_id, std::string_view message, std::string_view relayed) {
  text::ReportLine line{{"CORVANE_FAIL:" + std::string(endpoint_id) + ": " + std::string(message)}};
  if (!relayed.empty()) line.push_back({std::string(relayed), true});
  return line;
}

Verdict failure(std::string_view endpoint_id, std::string_view message, std::string_view relayed) {
  return Verdict{1, "", corvane_fail_line(endpoint_id, message, relayed)};
}

bool contains_context_tag(std::string_view body) {
  static constexpr std::array<std::string_view, 2> kNames = {"project-context", "live-context"};
  for (std::size_t lt = body.find('<'); lt != std::string_view::npos; lt = body.find('<', lt + 1)) {
    std::size_t name_at = lt + 1;
    if (name_at < body.size() && body[name_at] == '/') ++name_at;
    for (const auto name : kNames) {
      if (!names_at(body, name_at, name)) continue;
      const std::size_t after = name_at + name.size();
      if (after == body.size() || is_tag_delimiter(body[after])) return true;
    }
  }
  return false;
}

Result<std::string_view> validate_context_delta(std::string_view answer) {
  if (answer.size() > DELTA_BYTE_LIMIT) {
    return Err("omp delta exceeded " + std::to_string(DELTA_BYTE_LIMIT) + " byte limit (" +
               std::to_string(answer.size()) + " bytes)");
  }
  if (const auto bad = text::check_utf8(answer)) return Err("omp delta is not UTF-8: " + text::describe(*bad));
  const std::string_view delta = text::trim(answer);
  if (!delta.starts_with(PROJECT_OPEN)) return Err("omp delta must start with " + std::string(PROJECT_OPEN));

  std::string_view rest = delta.substr(PROJECT_OPEN.size());
  const std::size_t project_end = rest.find(PROJECT_CLOSE);
  if (project_end == std::string_view::npos) return Err("omp delta is missing " + std::string(PROJECT_CLOSE));
  if (contains_context_tag(rest.substr(0, project_end))) return Err(std::string(NESTED_TAGS));

  rest = text::trim_start(rest.substr(project_end + PROJECT_CLOSE.size()));
  if (!rest.starts_with(LIVE_OPEN)) {
    return Err("omp delta must contain one " + std::string(LIVE_OPEN) + " block after project-context");
  }
  rest = rest.substr(LIVE_OPEN.size());
  const std::size_t live_end = rest.find(LIVE_CLOSE);
  if (live_end == std::string_view::npos) return Err("omp delta is missing " + std::string(LIVE_CLOSE));
  if (contains_context_tag(rest.substr(0, live_end))) return Err(std::string(NESTED_TAGS));

  if (!text::is_blank(rest.substr(live_end + LIVE_CLOSE.size()))) {
    return Err("omp delta contains text or duplicate blocks after live-context");
  }
  return delta;
}

Verdict judge_context_delta(std::string_view endpoint_id, std::string_view answer) {
  auto delta = validate_context_delta(answer);
  if (!delta) return failure(endpoint_id, delta.error());
  return Verdict{0, std::string(*delta), {}};
}

int deliver(const Verdict& verdict, std::string_view endpoint_id) {
  if (!verdict.out.empty()) {
    if (auto written = stdio::write_out(verdict.out); !written) {
      (void)stdio::write_report(corvane_fail_line(endpoint_id, "cannot write the context delta: " + written.error().message));
      return verdict.code == 0 ? 1 : verdict.code;
    }
  }
  if (!verdict.err.empty()) (void)stdio::write_report(verdict.err);
  return verdict.code;
}

}  // namespace vantle::corvane
