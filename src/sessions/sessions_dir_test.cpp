#include "sessions/sessions_dir.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/system.h"

namespace vantle::sessions {
namespace {

using snapshot::Selector;
using snapshot::Selectors;

// A value that is not valid Unicode on this platform: a lone byte 0xFF on POSIX, an unpaired
// surrogate on Windows. A template, so that only the platform's branch is compiled.
template <class S = NativeString>
OsString invalid_unicode() {
  using C = typename S::value_type;
  return OsString(S(1, sizeof(C) == 1 ? static_cast<C>(0xFF) : static_cast<C>(0xD800)));
}

// Paths in the style of the platform under test; the rules and fixed names are the same on both.
struct Style {
  std::string home, other_home, agent_dir, absolute_config;
};
const Style POSIX = {"/home/u", "/home/other", "/d/a", "/cfg"};
const Style WINDOWS = {"C:\\Users\\u", "C:\\Users\\other", "D:\\a", "D:\\cfg"};

struct Case {
  std::string name;
  std::vector<std::pair<Selector, std::string>> set;  // values as UTF-8; "$HOME" etc. name a Style path
  std::optional<std::string> explicit_dir;
  std::string expected;  // the path, from Style placeholders joined by '/', or the message
  bool fails = false;
};

std::string expand(const std::string& text, const Style& style) {
  if (text == "$HOME") return style.home;
  if (text == "$OTHER") return style.other_home;
  if (text == "$AGENT") return style.agent_dir;
  if (text == "$CFG") return style.absolute_config;
  return text;
}

// Joins "$HOME/.omp/agent/sessions" the way the platform joins paths.
std::filesystem::path expected_path(const std::string& pattern, const Style& style) {
  std::filesystem::path out;
  std::size_t start = 0;
  while (start <= pattern.size()) {
    const std::size_t slash = std::min(pattern.find('/', start), pattern.size());
    out /= path_from_utf8(expand(pattern.substr(start, slash - start), style));
    start = slash + 1;
  }
  return out;
}

const std::vector<Case> CASES = {
    // The worked examples, home directory $HOME.
    {"defaults", {{Selector::kHome, "$HOME"}}, {}, "$HOME/.omp/agent/sessions"},
    {"config dir", {{Selector::kHome, "$HOME"}, {Selector::kPiConfigDir, ".pi"}}, {}, "$HOME/.pi/agent/sessions"},
    {"profile",
     {{Selector::kHome, "$HOME"}, {Selector::kOmpProfile, "work"}},
     {},
     "$HOME/.omp/profiles/work/agent/sessions"},
    {"agent dir", {{Selector::kHome, "$HOME"}, {Selector::kPiCodingAgentDir, "$AGENT"}}, {}, "$AGENT/sessions"},
    {"profile beats agent dir",
     {{Selector::kHome, "$HOME"}, {Selector::kPiCodingAgentDir, "$AGENT"}, {Selector::kOmpProfile, "work"}},
     {},
     "$HOME/.omp/profiles/work/agent/sessions"},
    {"default profile is no profile",
     {{Selector::kHome, "$HOME"}, {Selector::kOmpProfile, "default"}, {Selector::kPiCodingAgentDir, "$AGENT"}},
     {},
     "$AGENT/sessions"},
    // Joined by the platform's rules: where the value is absolute, it replaces the home directory.
    {"absolute config dir",
     {{Selector::kHome, "$HOME"}, {Selector::kPiConfigDir, "$CFG"}},
     {},
     "$HOME/$CFG/agent/sessions"},
    // Which home, and empty values.
    {"empty HOME falls to USERPROFILE",
     {{Selector::kHome, ""}, {Selector::kUserProfile, "$OTHER"}},
     {},
     "$OTHER/.omp/agent/sessions"},
    {"HOME before USERPROFILE",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$OTHER"}},
     {},
     "$HOME/.omp/agent/sessions"},
    {"USERPROFILE alone", {{Selector::kUserProfile, "$OTHER"}}, {}, "$OTHER/.omp/agent/sessions"},
    {"empty config dir means .omp",
     {{Selector::kHome, "$HOME"}, {Selector::kPiConfigDir, ""}},
     {},
     "$HOME/.omp/agent/sessions"},
    {"empty agent dir is unset",
     {{Selector::kHome, "$HOME"}, {Selector::kPiCodingAgentDir, ""}},
     {},
     "$HOME/.omp/agent/sessions"},
    {"agent dir needs no home", {{Selector::kPiCodingAgentDir, "$AGENT"}}, {}, "$AGENT/sessions"},
    {"config dir and profile",
     {{Selector::kHome, "$HOME"}, {Selector::kPiConfigDir, ".pi"}, {Selector::kPiProfile, "w.2_x-y"}},
     {},
     "$HOME/.pi/profiles/w.2_x-y/agent/sessions"},
    {"blank OMP_PROFILE hides PI_PROFILE",
     {{Selector::kHome, "$HOME"}, {Selector::kOmpProfile, " "}, {Selector::kPiProfile, "work"}},
     {},
     "$HOME/.omp/agent/sessions"},
    {"irrelevant selectors",
     {{Selector::kHome, "$HOME"}, {Selector::kXdgDataHome, "$CFG"}, {Selector::kVantleOmpBin, "$AGENT"}},
     {},
     "$HOME/.omp/agent/sessions"},
    // Failures and their order.
    {"no home and a profile",
     {{Selector::kPiCodingAgentDir, "$AGENT"}, {Selector::kOmpProfile, "work"}},
     {},
     "cannot resolve OMP sessions: HOME and USERPROFILE are unset",
     true},
    {"nothing at all", {}, {}, "cannot resolve OMP sessions: HOME and USERPROFILE are unset", true},
    {"empty homes",
     {{Selector::kHome, ""}, {Selector::kUserProfile, ""}},
     {},
     "cannot resolve OMP sessions: HOME and USERPROFILE are unset",
     true},
    {"bad profile beats agent dir",
     {{Selector::kHome, "$HOME"}, {Selector::kPiCodingAgentDir, "$AGENT"}, {Selector::kOmpProfile, "Work"}},
     {},
     "invalid OMP profile 'Work'",
     true},
    // An explicit directory wins over everything and is returned as given.
    {"explicit", {{Selector::kHome, "$HOME"}}, "$AGENT/missing", "$AGENT/missing"},
    {"explicit relative", {}, "rel/dir", "rel/dir"},
    {"explicit beats bad profile", {{Selector::kOmpProfile, "../x"}}, "$AGENT", "$AGENT"},
    {"explicit empty", {{Selector::kOmpProfile, "../x"}}, "", "--session-dir cannot be empty", true},
};

void run_cases(const Style& style) {
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    Selectors selectors;
    for (const auto& [key, value] : c.set) selectors[key] = OsString::from_utf8(expand(value, style));
    std::optional<std::filesystem::path> explicit_dir;
    if (c.explicit_dir) explicit_dir = expected_path(*c.explicit_dir, style);
    if (c.explicit_dir && c.explicit_dir->empty()) explicit_dir = std::filesystem::path();
    const auto got = resolve_sessions_dir(explicit_dir, selectors);
    if (c.fails) {
      ASSERT_FALSE(got.ok()) << display(*got);
      EXPECT_EQ(got.error(), c.expected);
    } else {
      ASSERT_TRUE(got.ok()) << got.error();
      EXPECT_EQ(display(*got), display(expected_path(c.expected, style)));
    }
  }
}

// Both spellings run on both platforms; each platform joins them by its own rules.
TEST(ResolveSessionsDir, FollowsTheRulesInOrder) {
  {
    SCOPED_TRACE("posix paths");
    run_cases(POSIX);
  }
  {
    SCOPED_TRACE("windows paths");
    run_cases(WINDOWS);
  }
}

// The native spelling, written out, so that a join that went wrong cannot hide in both sides.
TEST(ResolveSessionsDir, JoinsByThePlatformsRules) {
  const bool windows = sys::is_windows();
  const Style& style = windows ? WINDOWS : POSIX;
  struct Case {
    std::vector<std::pair<Selector, std::string>> set;
    std::string posix, windows;
  };
  const std::vector<Case> cases = {
      {{{Selector::kHome, "$HOME"}, {Selector::kOmpProfile, "work"}},
       "/home/u/.omp/profiles/work/agent/sessions",
       "C:\\Users\\u\\.omp\\profiles\\work\\agent\\sessions"},
      {{{Selector::kHome, "$HOME"}, {Selector::kPiConfigDir, "$CFG"}},
       "/cfg/agent/sessions",
       "D:\\cfg\\agent\\sessions"},
      {{{Selector::kPiCodingAgentDir, "$AGENT"}}, "/d/a/sessions", "D:\\a\\sessions"},
  };
  for (const auto& c : cases) {
    Selectors selectors;
    for (const auto& [key, value] : c.set) selectors[key] = OsString::from_utf8(expand(value, style));
    const auto got = resolve_sessions_dir(std::nullopt, selectors);
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(display(*got), windows ? c.windows : c.posix);
  }
}

TEST(ResolveSessionsDir, ProfileThatIsNotUnicodeIsReportedEvenWithAnAgentDir) {
  for (Selector key : {Selector::kOmpProfile, Selector::kPiProfile}) {
    Selectors selectors;
    selectors[Selector::kHome] = OsString::from_utf8("h");
    selectors[Selector::kPiCodingAgentDir] = OsString::from_utf8("a");
    selectors[key] = invalid_unicode();
    const auto got = resolve_sessions_dir(std::nullopt, selectors);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), "OMP profile is not valid Unicode");
    EXPECT_EQ(resolve_sessions_dir(path_from_utf8("x"), selectors).value(), path_from_utf8("x"));
  }
}

}  // namespace
}  // namespace vantle::sessions
