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

TEST(RefusalCategory, NamesAreTheReportedTexts) {
  EXPECT_EQ(refusal_category_name(RefusalCategory::kUsageLimit), "usage-limit");
  EXPECT_EQ(refusal_category_name(RefusalCategory::kCredential), "credential");
}

// What providers and the agent print when an account is refused or throttled, as the agent
// relays it: each phrase the reference names appears in one message here, so a phrase missing
// from the classifier, or misspelt there, fails its message.
TEST(ClassifyAccountRefusal, ProviderMessages) {
  struct Case {
    std::string text;
    std::string_view expected;
  };
  const Case cases[] = {
      // Rate limits clear by themselves, whatever else the message says.
      {R"(429 {"type":"error","error":{"type":"rate_limit_error","message":"This request would exceed the rate )"
       R"(limit for your organization of 50,000 input tokens per minute."}})",
       NONE},
      {"Error: Rate limit reached: 5 requests per second; check your billing plan to raise it", NONE},
      {"HTTP 429 Too Many Requests (insufficient_quota)", NONE},
      {R"(529 {"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})", NONE},
      {"Quota exceeded for quota metric 'Generate Content API requests per minute' and limit 'GenerateContent "
       "request limit per minute for a region' of service 'generativelanguage.googleapis.com'",
       NONE},
      // OpenAI says "per min", which is no rate-limit phrase, and names no account fault.
      {"Rate limit reached for gpt-4o in organization org-abc on tokens per min (TPM): Limit 30000, Used 29800", NONE},
      // Usage limits.
      {"Claude AI usage limit reached|1767225600", USAGE},
      {R"({"error":{"type":"usage_limit_reached","message":"Try again later","resets_in_seconds":3600}})", USAGE},
      {"Error: usage-limit hit for this subscription tier", USAGE},
      {R"({"detail":{"code":"usage_not_included","message":"Upgrade to Plus to continue using Codex."}})", USAGE},
      {R"({"error":{"message":"You exceeded your current quota.","type":"insufficient_quota","code":null}})", USAGE},
      {"Insufficient quota for model deepseek-chat", USAGE},
      {R"({"error":{"message":"Insufficient Balance","type":"unknown_error","param":null,"code":"invalid_request_error"}})",
       USAGE},
      {R"({"error":{"code":"insufficient_balance","message":"Your account is suspended owing to low funds"}})", USAGE},
      {"OpenRouter: Insufficient credits. Add more using https://openrouter.ai/settings", USAGE},
      {"Quota exceeded for quota metric 'Generate Content API requests per day'", USAGE},
      {R"({"error":{"code":"quota_exceeded","message":"Monthly token allowance used up"}})", USAGE},
      {"Daily quota reached for this model. Try again tomorrow.", USAGE},
      {"Free tier quota exhausted for gemini-2.5-pro", USAGE},
      {"You have used all requests in this plan. Your quota will reset on 2026-01-01.", USAGE},
      {R"({"error":{"code":429,"message":"You exceeded your current quota.","status":"RESOURCE_EXHAUSTED"}})", USAGE},
      {"rpc error: code = 8 desc = Resource exhausted for project my-project", USAGE},
      {"You have exhausted your capacity on this model. Your quota resets tomorrow.", USAGE},
      {"All credits exhausted for this month", USAGE},
      {R"(400 {"type":"error","error":{"type":"invalid_request_error","message":"Your credit balance is too low to )"
       R"(access the Anthropic API."}})",
       USAGE},
      {"You are out of credits. Top up at https://console.x.ai", USAGE},
      {"Not enough credits to complete this request", USAGE},
      {"This request requires more than your available credits", USAGE},
      {"You have reached your spend limit for this workspace", USAGE},
      {"Monthly spending limit reached for project p-1", USAGE},
      {R"({"error":{"code":"spend_limit_exceeded"}})", USAGE},
      {"Please check your plan and billing details.", USAGE},
      {"Payment Required", USAGE},
      {R"({"error":{"type":"payment_required"}})", USAGE},
      {R"(402 {"error":{"message":"Add a payment method to continue","code":402}})", USAGE},
      // Credentials.
      {"Error: Invalid API key. Please check your configuration.", CRED},
      {R"({"error":{"message":"Incorrect API key provided: sk-abc***xyz.","type":"invalid_request_error",)"
       R"("code":"invalid_api_key"}})",
       CRED},
      {"No API key found for provider anthropic. Run /login or set ANTHROPIC_API_KEY.", CRED},
      {"Unauthorized", CRED},
      {"Authentication failed: the session was signed out", CRED},
      {"GoogleGenerativeAI Error: Authentication Error", CRED},
      {R"({"error":{"code":"auth_unavailable","message":"sign in again"}})", CRED},
      {"No auth available for provider openai-codex", CRED},
      {"Your access token expired; log in again", CRED},
      {"Could not load the default credentials. Browse to https://cloud.google.com/docs/authentication", CRED},
      {"This key was revoked by the workspace admin", CRED},
      {"OAuth session ended; run `omp login`", CRED},
      {R"(401 {"type":"error","error":{"type":"authentication_error","message":"invalid x-api-key"}})", CRED},
      {R"(403 {"error":{"message":"Project does not have access to model gpt-5"}})", CRED},
  };
  for (const auto& c : cases) EXPECT_EQ(verdict_at_every_edge(c.text), c.expected) << c.text;
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
