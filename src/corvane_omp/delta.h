// The answer side of a Corvane turn: checking the agent's output against the context-delta
// grammar (one <project-context> block, then one <live-context> block, nothing else) and the
// lines that report a turn.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "text/visible.h"

namespace vantle::corvane {

// The largest agent answer accepted, inclusive.
inline constexpr std::size_t DELTA_BYTE_LIMIT = 49152;
// The answer when there is nothing to summarize.
inline constexpr std::string_view EMPTY_CONTEXT_DELTA =
    "<project-context></project-context><live-context></live-context>";

// The block tags, matched exactly and case-sensitively.
inline constexpr std::string_view PROJECT_OPEN = "<project-context>";
inline constexpr std::string_view PROJECT_CLOSE = "</project-context>";
inline constexpr std::string_view LIVE_OPEN = "<live-context>";
inline constexpr std::string_view LIVE_CLOSE = "</live-context>";

// What a turn prints and the exit code it ends with. Built without side effects so that every
// report can be checked byte for byte; the driver writes it.
struct Verdict {
  int code = 0;
  std::string out;
  text::ReportLine err;
};

// "CORVANE_FAIL:{id}: {message}{relayed}", `relayed` the agent's stream excerpts, if any.
text::ReportLine corvane_fail_line(std::string_view endpoint_id, std::string_view message,
                                   std::string_view relayed = {});
// A turn that ends with that line and exit code 1, printing nothing on standard output.
Verdict failure(std::string_view endpoint_id, std::string_view message, std::string_view relayed = {});

// Whether a block body holds a project-context or live-context tag: "<", an optional "/", the
// name in any ASCII letter case, then the end of the body or one of TAB, LF, CR, SPACE, "/", ">".
bool contains_context_tag(std::string_view body);

// Checks an answer: size, UTF-8, then the grammar on the answer trimmed of Unicode white space.
// Gives the trimmed delta (a view into `answer`) or the failure message.
Result<std::string_view> validate_context_delta(std::string_view answer);

// The delta on standard output with exit code 0, or the failure line with exit code 1.
Verdict judge_context_delta(std::string_view endpoint_id, std::string_view answer);

// Writes a verdict to the standard streams. A delta that cannot be written turns the success into
// exit code 1 and a failure line of endpoint `endpoint_id`: a daemon that got no delta must not
// take the turn for done. A failure line that cannot be written is not retried.
int deliver(const Verdict& verdict, std::string_view endpoint_id);

}  // namespace vantle::corvane
