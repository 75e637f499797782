#include "platform/env.h"

#include <gtest/gtest.h>

#include "platform/system.h"

namespace vantle::env {
namespace {

std::vector<std::filesystem::path> paths(const std::vector<std::string>& texts) {
  std::vector<std::filesystem::path> out;
  for (const auto& text : texts) out.push_back(path_from_utf8(text));
  return out;
}

TEST(SplitPaths, FollowsThePlatformRules) {
  struct Case {
    std::string value;
    std::vector<std::string> entries;
  };
  const std::vector<Case> windows = {
      {R"(C:\a;D:\b)", {R"(C:\a)", R"(D:\b)"}},
      {R"(C:\a;;D:\b)", {R"(C:\a)", "", R"(D:\b)"}},
      {R"("C:\x;y";D:\)", {R"(C:\x;y)", R"(D:\)"}},
      {R"(C:\"two words"\bin)", {R"(C:\two words\bin)"}},
      {R"("C:\unclosed;x)", {R"(C:\unclosed;x)"}},
      {"", {""}},
      {";", {"", ""}},
      {R"(C:\a;)", {R"(C:\a)", ""}},
      {"/a:/b", {"/a:/b"}},
  };
  const std::vector<Case> posix = {
      {"/a:/b", {"/a", "/b"}},
      {"/a::/b", {"/a", "", "/b"}},
      {R"("/x:y")", {R"("/x)", R"(y")"}},
      {"", {""}},
      {":", {"", ""}},
      {"/a:", {"/a", ""}},
      {"/a;/b", {"/a;/b"}},
  };
  for (const auto& c : sys::is_windows() ? windows : posix) {
    EXPECT_EQ(split_paths(OsString::from_utf8(c.value)), paths(c.entries)) << c.value;
  }
}

TEST(Env, SetGetRemoveRoundTrip) {
  const std::string name = "VANTLE_ENV_TEST_ROUND_TRIP";
  const OsString value = OsString::from_utf8("h\xC3\xA9 = x;y");
  ASSERT_TRUE(set(name, value).ok());
  EXPECT_EQ(get(name), value);
  bool listed = false;
  for (const auto& [n, v] : all()) listed = listed || (n == OsString::from_utf8(name) && v == value);
  EXPECT_TRUE(listed);
  // Windows names ignore case; POSIX names do not.
  EXPECT_EQ(get("vantle_env_test_round_trip").has_value(), names_ignore_case());

  ASSERT_TRUE(set(name, OsString()).ok());
  EXPECT_EQ(get(name), OsString());  // set but empty is not unset

  ASSERT_TRUE(remove(name).ok());
  EXPECT_EQ(get(name), std::nullopt);
  EXPECT_TRUE(remove(name).ok());  // removing what is not there is no error
}

TEST(Env, RefusesAValueWithNul) {
  const auto r = set("VANTLE_ENV_TEST_NUL", OsString::from_utf8(std::string_view("a\0b", 3)));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::kInvalidInput);
  EXPECT_EQ(get("VANTLE_ENV_TEST_NUL"), std::nullopt);
}

}  // namespace
}  // namespace vantle::env
