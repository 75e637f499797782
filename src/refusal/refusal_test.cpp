#include "refusal/refusal.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace vantle {
namespace {

// Verdicts as text, so a failure shows which category came out.
constexpr std::string_view NONE = "(none)";
constexpr std::string_view USAGE = "usage-limit";
constexpr std::string_view CRED = "credential";

std::string name_of(std::optional<RefusalCategory> category) {
  return std::string(category ? refusal_category_name(*category) : NONE);
}

std::string verdict(std::string_view text) { return name_of(classify_account_refusal(text)); }

// The verdict on `text`, which must be the same wherever the text falls against the edges of the
// windows the classification reads (where the second window's context starts, where the first
// window ends, where the first window's context ends; blanks around it change no verdict), and,
// split at its first line feed, for the two streams apart.
std::string verdict_at_every_edge(std::string_view text) {
  const std::string alone = verdict(text);
  const std::size_t n = text.size();
  for (const std::size_t edge : {REFUSAL_SCAN_WINDOW - REFUSAL_SCAN_CONTEXT, REFUSAL_SCAN_WINDOW,
                                 REFUSAL_SCAN_WINDOW + REFUSAL_SCAN_CONTEXT}) {
    for (const std::size_t before : {std::size_t{0}, std::size_t{1}, n / 2, n, n + 1}) {
      const std::string padded = std::string(edge - before, ' ') + std::string(text) + std::string(40, ' ');
      EXPECT_EQ(verdict(padded), alone) << text << ": " << before << " bytes of it before byte " << edge;
    }
  }
  if (const std::size_t lf = text.find('\n'); lf != std::string_view::npos) {
    EXPECT_EQ(name_of(classify_account_refusal(text.substr(0, lf), text.substr(lf + 1))), alone) << "as two streams";
  }
  return alone;
}

std::string upper_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// `n` ASCII characters cycling through "abcdefghij", so a cut in the wrong place shows.
std::string cycling(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += static_cast<char>('a' + i % 10);
  return out;
}

// Written out independently of the classifier's own tables, so a typo in either one fails here.
const std::vector<std::string_view> TRANSIENT = {"per minute", "per second", "too many requests", "overloaded"};
const std::vector<std::string_view> USAGE_LIMIT = {
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
const std::vector<std::string_view> CREDENTIAL = {
    "invalid api key",       "invalid_api_key",      "no api key",       "unauthorized",
    "authentication failed", "authentication error", "auth_unavailable", "no auth available",
    "token expired",         "credential",           "revoked",          "oauth",
};

TEST(RefusalCategory, NamesAreTheReportedTexts) {
  EXPECT_EQ(refusal_category_name(RefusalCategory::kUsageLimit), "usage-limit");
  EXPECT_EQ(refusal_category_name(RefusalCategory::kCredential), "credential");
}

TEST(ClassifyAccountRefusal, EachPhraseAloneInsideAWordAndInCapitals) {
  struct Table {
    const std::vector<std::string_view>* phrases;
    std::string_view expected;
  };
  const Table tables[] = {{&TRANSIENT, NONE}, {&USAGE_LIMIT, USAGE}, {&CREDENTIAL, CRED}};
  for (const auto& table : tables) {
    for (const std::string_view phrase : *table.phrases) {
      const std::string alone(phrase);
      EXPECT_EQ(verdict(alone), table.expected) << alone;
      const std::string inside = "pre" + alone + "post";
      EXPECT_EQ(verdict(inside), table.expected) << inside;
      const std::string capitals = "Error: " + upper_ascii(alone) + "!";
      EXPECT_EQ(verdict(capitals), table.expected) << capitals;
    }
  }
}

TEST(ClassifyAccountRefusal, TransientPhraseVetoesEveryKindOfEvidence) {
  const std::string_view evidence[] = {"quota exceeded", "HTTP 402",      "unauthorized",
                                       "status 401",     "403 forbidden", "billing and credential"};
  for (const std::string_view transient : TRANSIENT) {
    for (const std::string_view other : evidence) {
      const std::string before = std::string(transient) + "; " + std::string(other);
      EXPECT_EQ(verdict(before), NONE) << before;
      const std::string after = std::string(other) + "\n" + upper_ascii(transient);
      EXPECT_EQ(verdict(after), NONE) << after;
    }
  }
}

TEST(ClassifyAccountRefusal, Cases) {
  struct Case {
    std::string text;
    std::string_view expected;
  };
  const Case cases[] = {
      {"", NONE},
      {"error: something went wrong\nexit 1", NONE},
      // The veto wins across the joint of the two streams.
      {"HTTP 429 Too Many Requests\nquota exceeded", NONE},
      {"Rate limit: 20 requests PER MINUTE; insufficient_quota", NONE},
      {"Anthropic API is Overloaded (529)", NONE},
      {"YOU HAVE HIT YOUR USAGE LIMIT", USAGE},
      {"Quota Will Reset at 12:00 UTC", USAGE},
      {"Error: Invalid API Key provided", CRED},
      {"OAuth token was revoked", CRED},
      {"Your Token Expired, log in again", CRED},
      // Substrings count, even inside longer words.
      {"loading stored credentials from disk", CRED},
      {"starting oauth2 flow", CRED},
      {"no billing_account set", USAGE},
      // Usage-limit evidence beats credential evidence, whatever the order in the text.
      {"401 Unauthorized (see billing)", USAGE},
      {"unauthorized: HTTP 402", USAGE},
      {"403 forbidden\nspend limit hit", USAGE},
      {"invalid api key; credit balance too low", USAGE},
      {"HTTP 401 then HTTP 402", USAGE},
      // A phrase split by the joint between standard error and standard output does not match.
      {"usage\nlimit", NONE},
      {"invalid api\nkey", NONE},
      {"too many\nrequests; quota exceeded", USAGE},
      // Only ASCII letters fold: with a KELVIN SIGN for the k, "token expired" is not there.
      {"to\xE2\x84\xAA"
       "en expired",
       NONE},
      {"\xC3\x9CSAGE LIMIT", NONE},  // leading U+00DC
      // Phrases are compared after folding, never near-misses.
      {"usage  limit", NONE},
      {"quota exceed", NONE},
      {"bill ing", NONE},
  };
  for (const auto& c : cases) EXPECT_EQ(verdict_at_every_edge(c.text), c.expected) << c.text;
}

TEST(ClassifyAccountRefusal, StatusTokensCountOnlyWhole) {
  struct Case {
    std::string text;
    std::string_view expected;
  };
  const Case cases[] = {
      {"402", USAGE},
      {"402 Payment", USAGE},
      {"HTTP 402", USAGE},
      {"HTTP/1.1 402", USAGE},
      {"status=402,", USAGE},
      {"_402_", USAGE},
      {"(402)", USAGE},
      {"-402-", USAGE},
      {"\n402\n", USAGE},
      {"\xC3\xA9"
       "402",
       USAGE},                 // U+00E9 before
      {"402\xC3\xA9", USAGE},  // U+00E9 after
      {"\xE2\x80\xA6"
       "402\xE2\x80\xA6",
       USAGE},  // U+2026 on both sides
      {"x402", NONE},
      {"X402", NONE},
      {"402x", NONE},
      {"4020", NONE},
      {"1402", NONE},
      {"40402", NONE},
      {"x402x", NONE},
      {"code4021", NONE},
      // Every occurrence is examined until one stands alone.
      {"x402 and 402", USAGE},
      {"x402 4020 a402b (402)", USAGE},
      {"x402 4020 a402b", NONE},
      {"401", CRED},
      {"403", CRED},
      {"401 Unauthorized", CRED},
      {"HTTP 403", CRED},
      {"status=401,", CRED},
      {"_403_", CRED},
      {"\xC3\xA9"
       "401",
       CRED},
      {"x401", NONE},
      {"4031", NONE},
      {"401x403", NONE},
      {"a401 403b and 403", CRED},
      {"x401 then 403", CRED},
      {"403 then x401", CRED},
      // Credential statuses lose to a whole 402 but not to a glued one.
      {"403 and 402", USAGE},
      {"403 and x402", CRED},
      // Neighbouring status-like numbers that are not tokens.
      {"400", NONE},
      {"404 not found", NONE},
      {"429", NONE},
      {"40 2", NONE},
  };
  for (const auto& c : cases) EXPECT_EQ(verdict_at_every_edge(c.text), c.expected) << c.text;
}

TEST(RenderStreamExcerpt, Cases) {
  const std::string ellipsis = "\xE2\x80\xA6";
  const std::string e_acute = "\xC3\xA9";
  const std::string replacement = "\xEF\xBF\xBD";
  const std::string long_text = cycling(1500);
  struct Case {
    std::string label;
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      // Silent streams.
      {"omp stderr", "", "omp stderr: <silent>"},
      {"omp stderr", "   ", "omp stderr: <silent>"},
      {"omp stdout", "\r\n\t ", "omp stdout: <silent>"},
      {"omp stdout", "\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", "omp stdout: <silent>"},  // U+00A0, U+3000, U+2028
      // Short streams, trimmed at both ends only.
      {"omp stdout", "hello", "omp stdout: hello"},
      {"omp stdout", " \t hello  world \n", "omp stdout: hello  world"},
      {"omp stderr", "\xEF\xBB\xBFx", "omp stderr: \xEF\xBB\xBFx"},  // U+FEFF is not white space
      // Line breaks.
      {"omp stdout", "a\r\nb\nc", "omp stdout: a | b | c"},
      {"omp stdout", "a\rb", "omp stdout: a\rb"},
      {"omp stdout", "a\r\r\nb", "omp stdout: a\r | b"},
      {"omp stdout", "a\n\nb", "omp stdout: a |  | b"},
      {"omp stdout", "a\n\r\nb", "omp stdout: a |  | b"},
      {"omp stdout", "a\r\n\nb", "omp stdout: a |  | b"},
      {"omp stdout",
       "a\xE2\x80\xA8"
       "b",
       "omp stdout: a\xE2\x80\xA8"
       "b"},  // U+2028 inside is kept
      // Invalid UTF-8.
      {"omp stderr", "ok\xFFok", "omp stderr: ok" + replacement + "ok"},
      {"omp stderr", "\xF0\x9F\x98", "omp stderr: " + replacement},
      // Length: exactly the limit is shown whole; more keeps the last 1200 characters.
      {"omp stdout", cycling(1200), "omp stdout: " + cycling(1200)},
      {"omp stdout", cycling(1201), "omp stdout: " + ellipsis + cycling(1201).substr(1)},
      {"omp stdout", long_text, "omp stdout: " + ellipsis + long_text.substr(300)},
      // Characters, not bytes.
      {"omp stdout", repeat(e_acute, 1200), "omp stdout: " + repeat(e_acute, 1200)},
      {"omp stdout", repeat(e_acute, 1500), "omp stdout: " + ellipsis + repeat(e_acute, 1200)},
      {"omp stdout", repeat("a" + e_acute, 650), "omp stdout: " + ellipsis + repeat("a" + e_acute, 600)},
      {"omp stdout", repeat("\xE2\x82\xAC", 300) + cycling(1200), "omp stdout: " + ellipsis + cycling(1200)},
      {"omp stdout", cycling(1199) + "\xF0\x9F\x98\x80", "omp stdout: " + cycling(1199) + "\xF0\x9F\x98\x80"},
      {"omp stdout", "x" + cycling(1199) + "\xF0\x9F\x98\x80",
       "omp stdout: " + ellipsis + cycling(1199) + "\xF0\x9F\x98\x80"},
      {"omp stderr", repeat("\xFF", 1201), "omp stderr: " + ellipsis + repeat(replacement, 1200)},
      // Trimming comes before the cut.
      {"omp stdout", "  \n" + cycling(1200) + "\r\n  ", "omp stdout: " + cycling(1200)},
      {"omp stdout", repeat("\xE3\x80\x80", 50) + cycling(1200) + repeat(" ", 50), "omp stdout: " + cycling(1200)},
      // The cut counts the raw text, before line breaks become " | ".
      {"omp stdout", "x" + cycling(1198) + "\nb", "omp stdout: " + ellipsis + cycling(1198) + " | b"},
      {"omp stdout", "a" + repeat("\n", 1198) + "b", "omp stdout: a" + repeat(" | ", 1198) + "b"},
      // A "\r\n" split by the cut leaves only its "\n".
      {"omp stdout", "x\r\n" + cycling(1199), "omp stdout: " + ellipsis + " | " + cycling(1199)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(render_stream_excerpt(c.label, c.bytes), c.expected) << c.bytes.substr(0, 40);
  }
}

}  // namespace
}  // namespace vantle
