#include "sessions/path_order.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vantle::sessions {
namespace {

std::filesystem::path P(std::string_view utf8) { return path_from_utf8(utf8); }

TEST(PathOrder, ComparesComponentByComponent) {
  struct Case {
    std::string a, b;
    int expected;  // sign of compare_paths(a, b)
  };
  const std::vector<Case> cases = {
      // A plain string comparison puts "a-b/c" first ('-' is below '/'); components do not.
      {"a/b", "a-b/c", -1},
      {"s/x_abc.jsonl", "s-old/x_abc.jsonl", -1},
      {"a", "a/b", -1},
      {"a/b", "a/b/c", -1},
      {"abc", "abd", -1},
      {"ab", "abc", -1},
      // Case-sensitive: upper-case letters are smaller bytes.
      {"B", "a", -1},
      {"Abc", "abc", -1},
      {"a/B/z", "a/b/a", -1},
      // Bytes beyond ASCII sort after it, and by code point among themselves: U+FF5E is below
      // U+1F600, though in UTF-16 units the surrogate pair of the latter is smaller.
      {"z", "\xC3\xA9", -1},
      {"\xEF\xBD\x9E", "\xF0\x9F\x98\x80", -1},
      {"\xC3\xA9", "\xEF\xBD\x9E", -1},
      // Spellings of the same path.
      {"a/b", "a/b", 0},
      {"a//b", "a/b", 0},
      {"a/./b", "a/b", 0},
      {"a/b/", "a/b", 0},
      {"./a", "./a", 0},
      {"/a/b", "/a/b", 0},
      {"", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    const int forward = compare_paths(P(c.a), P(c.b));
    const int backward = compare_paths(P(c.b), P(c.a));
    EXPECT_EQ((forward > 0) - (forward < 0), c.expected);
    EXPECT_EQ((backward > 0) - (backward < 0), -c.expected);
  }
}

TEST(PathOrder, ComponentsCompareAsByteStrings) {
  struct Case {
    std::string a, b;
    int expected;
  };
  const std::vector<Case> cases = {
      {"", "a", -1},         {"a", "a", 0},     {"a", "a_", -1},          {"A", "_", -1},         {"_", "a", -1},
      {"x.jsonl", "x_", -1}, {"~", "\x7F", -1}, {"\x7F", "\xC2\x80", -1}, {"a\xC3\xA9", "az", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    const int got = compare_component(P(c.a).native(), P(c.b).native());
    EXPECT_EQ((got > 0) - (got < 0), c.expected);
  }
}

TEST(PathOrder, SortIsStableAndKeepsTheFirstOfEqualPaths) {
  std::vector<std::pair<std::filesystem::path, int>> items = {
      {P("b/x"), 1}, {P("a/x"), 2}, {P("b//x"), 3}, {P("a-b/x"), 4}, {P("a/x"), 5}, {P("b/x"), 6}, {P("A/x"), 7},
  };
  sort_dedup_by_path(items, [](const auto& item) -> const std::filesystem::path& { return item.first; });
  std::vector<int> order;
  for (const auto& item : items) order.push_back(item.second);
  EXPECT_EQ(order, (std::vector<int>{7, 2, 4, 1}));
}

}  // namespace
}  // namespace vantle::sessions
