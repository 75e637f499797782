#include "refusal/refusal.h"

#include <algorithm>
#include <array>

#include "text/utf8.h"
#include "text/whitespace.h"

namespace vantle {
namespace {

// All phrases are lower-case ASCII and match as plain substrings of the folded text, also inside
// longer words.

// Rate limits clear by themselves, so any of these overrides every refusal signal below.
constexpr std::array<std::string_view, 4> TRANSIENT_PHRASES = {
    "per minute",
    "per second",
    "too many requests",
    "overloaded",
};

constexpr std::array<std::string_view, 28> USAGE_LIMIT_PHRASES = {
    "usage limit",
    "usage_limit",
    "usage-limit",
    "usage_not_included",
    "insufficient_quota",
    "insufficient quota",
    "insufficient balance",
    "insufficient_balance",
    "insufficient credits",
    "quota exceeded",
    "quota_exceeded",
    "quota reached",
    "quota exhausted",
    "quota will reset",
    "resource_exhausted",
    "resource exhausted",
    "exhausted your capacity",
    "credits exhausted",
    "credit balance",
    "out of credits",
    "not enough credits",
    "available credits",
    "spend limit",
    "spending limit",
    "spend_limit",
    "billing",
    "payment required",
    "payment_required",
};

constexpr std::array<std::string_view, 12> CREDENTIAL_PHRASES = {
    "invalid api key",       "invalid_api_key",      "no api key",       "unauthorized",
    "authentication failed", "authentication error", "auth_unavailable", "no auth available",
    "token expired",         "credential",           "revoked",          "oauth",
};

constexpr std::string_view USAGE_LIMIT_STATUS = "402";
constexpr std::array<std::string_view, 2> CREDENTIAL_STATUSES = {"401", "403"};

constexpr std::string_view SILENT = "<silent>";
constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6";  // U+2026
constexpr std::string_view LINE_BREAK_SHOWN_AS = " | ";

template <std::size_t N>
bool contains_any(std::string_view text, const std::array<std::string_view, N>& phrases) {
  for (const std::string_view phrase : phrases) {
    if (text.find(phrase) != std::string_view::npos) return true;
  }
  return false;
}

bool is_ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// True when some occurrence of `token` in the window `text` has no ASCII letter or digit directly
// on either side. Bytes of non-ASCII characters are never letters here, so they count as
// boundaries. Where the window is cut from a longer text (`cut_before`, `cut_after`), an
// occurrence at its edge is left to the neighbouring window, which holds its neighbour.
bool contains_status_token(std::string_view text, std::string_view token, bool cut_before, bool cut_after) {
  for (std::size_t at = text.find(token); at != std::string_view::npos; at = text.find(token, at + 1)) {
    const std::size_t end = at + token.size();
    if ((at == 0 && cut_before) || (end == text.size() && cut_after)) continue;
    const bool free_before = at == 0 || !is_ascii_alnum(text[at - 1]);
    const bool free_after = end == text.size() || !is_ascii_alnum(text[end]);
    if (free_before && free_after) return true;
  }
  return false;
}

constexpr std::size_t longest_phrase() {
  std::size_t longest = 0;
  for (const std::string_view p : TRANSIENT_PHRASES) longest = std::max(longest, p.size());
  for (const std::string_view p : USAGE_LIMIT_PHRASES) longest = std::max(longest, p.size());
  for (const std::string_view p : CREDENTIAL_PHRASES) longest = std::max(longest, p.size());
  return longest;
}
static_assert(REFUSAL_SCAN_CONTEXT > longest_phrase() + 1, "a phrase must fit in a window's context");

// The evidence a text holds.
struct Evidence {
  bool transient = false;
  bool usage = false;
  bool credential = false;

  void add(std::string_view folded, bool cut_before, bool cut_after) {
    transient = transient || contains_any(folded, TRANSIENT_PHRASES);
    usage = usage || contains_any(folded, USAGE_LIMIT_PHRASES) ||
            contains_status_token(folded, USAGE_LIMIT_STATUS, cut_before, cut_after);
    credential = credential || contains_any(folded, CREDENTIAL_PHRASES);
    for (const std::string_view status : CREDENTIAL_STATUSES) {
      credential = credential || contains_status_token(folded, status, cut_before, cut_after);
    }
  }
};

// The text that `pieces` make one after another, read in windows of REFUSAL_SCAN_WINDOW bytes with
// REFUSAL_SCAN_CONTEXT more on each side, folded to lower case one window at a time.
std::optional<RefusalCategory> classify_pieces(std::initializer_list<std::string_view> pieces) {
  std::size_t total = 0;
  for (const std::string_view piece : pieces) total += piece.size();
  Evidence evidence;
  std::string folded;
  for (std::size_t pos = 0; pos < total; pos += REFUSAL_SCAN_WINDOW) {
    const std::size_t lo = pos > REFUSAL_SCAN_CONTEXT ? pos - REFUSAL_SCAN_CONTEXT : 0;
    const std::size_t hi = std::min(total, pos + REFUSAL_SCAN_WINDOW + REFUSAL_SCAN_CONTEXT);
    folded.clear();
    std::size_t at = 0;  // where the current piece starts in the whole text
    for (const std::string_view piece : pieces) {
      const std::size_t from = std::max(lo, at);
      const std::size_t to = std::min(hi, at + piece.size());
      if (from < to) folded.append(piece.substr(from - at, to - from));
      at += piece.size();
    }
    for (char& c : folded) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    evidence.add(folded, lo > 0, hi < total);
  }
  if (evidence.transient) return std::nullopt;
  if (evidence.usage) return RefusalCategory::kUsageLimit;
  if (evidence.credential) return RefusalCategory::kCredential;
  return std::nullopt;
}

}  // namespace

std::string_view refusal_category_name(RefusalCategory category) {
  switch (category) {
    case RefusalCategory::kUsageLimit:
      return "usage-limit";
    case RefusalCategory::kCredential:
      return "credential";
  }
  return "credential";
}

std::optional<RefusalCategory> classify_account_refusal(std::string_view text) { return classify_pieces({text}); }

std::optional<RefusalCategory> classify_account_refusal(std::string_view err, std::string_view out) {
  return classify_pieces({err, "\n", out});
}

std::string render_stream_excerpt(std::string_view label, std::string_view bytes) {
  // A stream that is UTF-8 already is shown from its own bytes: it may be the whole of a reply.
  std::string decoded;
  std::string_view text = bytes;
  if (!text::is_utf8(bytes)) {
    decoded = text::utf8_lossy(bytes);
    text = decoded;
  }
  std::string_view shown = text::trim(text);

  std::string out(label);
  out += ": ";
  if (shown.empty()) {
    out += SILENT;
    return out;
  }

  const std::size_t chars = text::count_code_points(shown);
  if (chars > EXCERPT_MAX_CHARS) {
    std::size_t pos = 0;
    for (std::size_t skipped = 0; skipped < chars - EXCERPT_MAX_CHARS; ++skipped) text::next_code_point(shown, pos);
    shown.remove_prefix(pos);
    out += ELLIPSIS;
  }

  // One pass gives the same result as replacing every "\r\n" first and then every remaining "\n":
  // neither replacement can create a line break for the other to find.
  out.reserve(out.size() + shown.size() + 16);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') {
      out += LINE_BREAK_SHOWN_AS;
      ++i;
    } else if (shown[i] == '\n') {
      out += LINE_BREAK_SHOWN_AS;
    } else {
      out += shown[i];
    }
  }
  return out;
}

}  // namespace vantle
