#include "snapshot/selectors.h"

#include <gtest/gtest.h>

#include "platform/env.h"
#include "support/fake_agent.h"

namespace vantle::snapshot {
namespace {

std::optional<OsString> os(std::string_view s) { return OsString::from_utf8(s); }

TEST(SelectOmpProfile, Rules) {
  struct Case {
    std::optional<std::string> omp_profile;
    std::optional<std::string> pi_profile;
    // The profile chosen, "" for none, or the failure message after "!".
    std::string outcome;
  };
  const std::string k64(64, 'a');
  const std::string k65(65, 'a');
  const Case cases[] = {
      {std::nullopt, std::nullopt, ""},
      {"", "work", ""},  // a present but empty OMP_PROFILE hides PI_PROFILE
      {std::nullopt, "work", "work"},
      {"home", "work", "home"},
      {"  default\t", std::nullopt, ""},
      {" \xE3\x80\x80 ", std::nullopt, ""},
      {" Work ", std::nullopt, "!invalid OMP profile 'Work'"},
      {"console", std::nullopt, "console"},
      {"com10", std::nullopt, "com10"},
      {"a.b_c-d", std::nullopt, "a.b_c-d"},
      {"7up", std::nullopt, "7up"},
      {"conx.y", std::nullopt, "conx.y"},
      {k64, std::nullopt, k64},
      {k65, std::nullopt, "!invalid OMP profile '" + k65 + "'"},
      {"con", std::nullopt, "!invalid OMP profile 'con'"},
      {"prn", std::nullopt, "!invalid OMP profile 'prn'"},
      {"aux.txt", std::nullopt, "!invalid OMP profile 'aux.txt'"},
      {"nul.txt", std::nullopt, "!invalid OMP profile 'nul.txt'"},
      {"com1", std::nullopt, "!invalid OMP profile 'com1'"},
      {"com0", std::nullopt, "!invalid OMP profile 'com0'"},
      {"lpt9.old", std::nullopt, "!invalid OMP profile 'lpt9.old'"},
      {"a.", std::nullopt, "!invalid OMP profile 'a.'"},
      {"-a", std::nullopt, "!invalid OMP profile '-a'"},
      {"_a", std::nullopt, "!invalid OMP profile '_a'"},
      {".", std::nullopt, "!invalid OMP profile '.'"},
      {"..", std::nullopt, "!invalid OMP profile '..'"},
      {"a/b", std::nullopt, "!invalid OMP profile 'a/b'"},
      {"a\\b", std::nullopt, "!invalid OMP profile 'a\\b'"},
      {"a b", std::nullopt, "!invalid OMP profile 'a b'"},
      {"caf\xC3\xA9", std::nullopt, "!invalid OMP profile 'caf\xC3\xA9'"},
  };
  for (const auto& c : cases) {
    Selectors s;
    if (c.omp_profile) s[Selector::kOmpProfile] = os(*c.omp_profile);
    if (c.pi_profile) s[Selector::kPiProfile] = os(*c.pi_profile);
    const auto r = select_omp_profile(s);
    const std::string got = r ? r->value_or("") : "!" + r.error();
    EXPECT_EQ(got, c.outcome) << c.omp_profile.value_or("<absent>") << " / " << c.pi_profile.value_or("<absent>");
  }
}

TEST(SelectOmpProfile, InvalidUnicodeIsRefused) {
  Selectors s;
  // An unpaired surrogate on Windows, a stray byte elsewhere: either way not Unicode.
  NativeString bad;
  bad.push_back(static_cast<NativeString::value_type>(sizeof(NativeString::value_type) == 1 ? 0xFF : 0xD800));
  s[Selector::kPiProfile] = OsString(bad);
  const auto r = select_omp_profile(s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "OMP profile is not valid Unicode");
}

TEST(Selectors, CaptureReadsSevenVariablesAndTakesTheExecutable) {
  testing::ScopedEnv env;
  env.clear_tool_variables().set("HOME", "/h").set("PI_PROFILE", "").set("VANTLE_OMP_BIN", "/ignored");
  const Selectors s = capture_selectors(path_from_utf8("/bin/omp"));
  EXPECT_EQ(s[Selector::kHome], os("/h"));
  EXPECT_EQ(s[Selector::kPiProfile], os(""));
  EXPECT_EQ(s[Selector::kUserProfile], std::nullopt);
  EXPECT_EQ(s[Selector::kXdgDataHome], std::nullopt);
  EXPECT_EQ(s[Selector::kVantleOmpBin], OsString::from_path(path_from_utf8("/bin/omp")));
}

TEST(Selectors, ApplyToProcessSetsAndRemovesExactlyTheEight) {
  testing::ScopedEnv env;
  env.clear_tool_variables().set("HOME", "/old").set("PI_CONFIG_DIR", "x").set("UNRELATED_VANTLE_TEST", "kept");
  Selectors s;
  s[Selector::kUserProfile] = os("");
  s[Selector::kOmpProfile] = os("w\xC3\xA9rk");
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  ASSERT_TRUE(apply_selectors_to_process(s));
  EXPECT_EQ(env::get("HOME"), std::nullopt);
  EXPECT_EQ(env::get("PI_CONFIG_DIR"), std::nullopt);
  EXPECT_EQ(env::get("USERPROFILE"), os(""));
  EXPECT_EQ(env::get("OMP_PROFILE"), os("w\xC3\xA9rk"));
  EXPECT_EQ(env::get("VANTLE_OMP_BIN"), os("/bin/omp"));
  EXPECT_EQ(env::get("UNRELATED_VANTLE_TEST"), os("kept"));
  env.unset("UNRELATED_VANTLE_TEST");
}

TEST(Selectors, ApplyToProcessRefusesANulInsteadOfCrashing) {
  testing::ScopedEnv env;
  env.clear_tool_variables();
  Selectors s;
  s[Selector::kHome] = os(std::string_view("a\0b", 3));
  const auto r = apply_selectors_to_process(s);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("HOME"), std::string::npos) << r.error();
}

TEST(Selectors, ApplyToCommandListsEveryKeyInOrder) {
  Selectors s;
  s[Selector::kHome] = os("/h");
  s[Selector::kVantleOmpBin] = os("");
  process::Command command;
  apply_selectors_to_command(s, command);
  ASSERT_EQ(command.env.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(command.env[i].first, SELECTOR_KEYS[i]);
  EXPECT_EQ(command.env[0].second, os("/h"));
  EXPECT_EQ(command.env[1].second, std::nullopt);
  EXPECT_EQ(command.env[7].second, os(""));
}

}  // namespace
}  // namespace vantle::snapshot
