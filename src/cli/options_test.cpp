#include "cli/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace vantle {
namespace {

TEST(ParseOptions, LenientGrammar) {
  struct Case {
    std::vector<std::string> args;
    bool help_flags;
    bool help;
    std::optional<std::string> a;
    std::optional<std::string> b;
  };
  const Case cases[] = {
      {{}, true, false, std::nullopt, std::nullopt},
      {{"--a", "1", "--b", "-2"}, true, false, "1", "-2"},
      {{"--a", "1", "--a", "3"}, true, false, "3", std::nullopt},      // a later one replaces
      {{"--a", "1", "--a"}, true, false, std::nullopt, std::nullopt},  // trailing unsets
      {{"--a", "--b", "x"}, true, false, "--b", std::nullopt},         // a value is any argument
      {{"--x", "--a", "1"}, true, false, std::nullopt, std::nullopt},  // unknown swallows the next
      {{"--x", "v", "--a", "1"}, true, false, "1", std::nullopt},
      {{"--", "--a", "--b", "2"}, true, false, std::nullopt, "2"},
      {{"word", "-a", "--b", "2"}, true, false, std::nullopt, "2"},    // other words ignored
      {{"--bogus", "--help"}, true, false, std::nullopt, std::nullopt},  // swallowed, not help
      {{"--a", "1", "-h", "--b", "2"}, true, true, "1", std::nullopt},
      {{"--b", "2", "--help"}, true, true, std::nullopt, "2"},
      {{"--a", "--help"}, true, false, "--help", std::nullopt},
      {{"-h", "--a", "1"}, false, false, "1", std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<std::string> a, b;
    const auto help = parse_options(c.args, {{"--a", &a}, {"--b", &b}}, {.help_flags = c.help_flags});
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ASSERT_TRUE(help.ok());
    EXPECT_EQ(*help, c.help);
    EXPECT_EQ(a, c.a);
    EXPECT_EQ(b, c.b);
  }
}

}  // namespace
}  // namespace vantle
