#include "refusal/refusal.h"

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

// True when some occurrence of `token` has no ASCII letter or digit directly on either side.
// Bytes of non-ASCII characters are never letters here, so they count as boundaries.
bool contains_status_token(std::string_view text, std::string_view token) {
  for (std::size_t at = text.find(token); at != std::string_view::npos; at = text.find(token, at + 1)) {
    const std::size_t end = at + token.size();
    const bool free_before = at == 0 || !is_ascii_alnum(text[at - 1]);
    const bool free_after = end == text.size() || !is_ascii_alnum(text[end]);
    if (free_before && free_after) return true;
  }
  return false;
}

std::string fold_ascii_case(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
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

std::optional<RefusalCategory> classify_account_refusal(std::string_view text) {
  const std::string folded = fold_ascii_case(text);
  if (contains_any(folded, TRANSIENT_PHRASES)) return std::nullopt;
  if (contains_any(folded, USAGE_LIMIT_PHRASES)) return RefusalCategory::kUsageLimit;
  if (contains_status_token(folded, USAGE_LIMIT_STATUS)) return RefusalCategory::kUsageLimit;
  if (contains_any(folded, CREDENTIAL_PHRASES)) return RefusalCategory::kCredential;
  for (const std::string_view status : CREDENTIAL_STATUSES) {
    if (contains_status_token(folded, status)) return RefusalCategory::kCredential;
  }
  return std::nullopt;
}

std::string render_stream_excerpt(std::string_view label, std::string_view bytes) {
  const std::string decoded = text::utf8_lossy(bytes);
  std::string_view shown = text::trim(decoded);

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
