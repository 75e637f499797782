// Telling an account refusal by the model provider apart from an ordinary failed agent turn, and
// rendering captured agent output into the short excerpts that turn reports carry.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vantle {

// Why the provider refused a turn. Either way only a human can clear it, so the daemon paces
// retries and keeps the stored session instead of reseeding it.
enum class RefusalCategory { kUsageLimit, kCredential };

// The name that refusal reports quote: "usage-limit" or "credential".
std::string_view refusal_category_name(RefusalCategory category);

// The most characters (Unicode scalar values) of one stream that an excerpt shows.
inline constexpr std::size_t EXCERPT_MAX_CHARS = 1200;

// Classifies the output of an agent that exited with a non-zero status: the captured standard
// error, one "\n", then the captured standard output, both decoded lossily and not shortened.
// Empty means an ordinary failure; a rate-limit wording anywhere vetoes a refusal, and usage-limit
// evidence wins over credential evidence.
std::optional<RefusalCategory> classify_account_refusal(std::string_view text);
// The same for standard error and standard output as they were captured, joined by the "\n"
// without copying either: decoding changes no ASCII byte, and every phrase is ASCII.
std::optional<RefusalCategory> classify_account_refusal(std::string_view err, std::string_view out);

// The classification reads its text in windows of this many bytes, with REFUSAL_SCAN_CONTEXT more on
// either side, so that its memory does not grow with the agent's output. The context is longer than
// every phrase and status token and the byte on either side of one, so that each occurrence lies
// whole, with its neighbours, in the window where it starts.
inline constexpr std::size_t REFUSAL_SCAN_WINDOW = 64 * 1024;
inline constexpr std::size_t REFUSAL_SCAN_CONTEXT = 32;

// One line "{label}: {text}" showing a captured stream: decoded lossily, trimmed, cut to its last
// EXCERPT_MAX_CHARS characters behind "…", line breaks shown as " | ". An empty or all-blank
// stream shows as "{label}: <silent>".
std::string render_stream_excerpt(std::string_view label, std::string_view bytes);

}  // namespace vantle
