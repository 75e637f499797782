#include "sessions/places.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/system.h"

namespace vantle::sessions {
namespace {

using snapshot::Selector;
namespace stdfs = std::filesystem;

// Absolute paths in the spelling of the platform under test; the agent's host (its home rule and
// whether its XDG rule runs) is a separate axis, so both hosts run on both platforms.
struct Style {
  std::string home, other, account, xdg, agent, absolute_config, appended_config;
};
const Style STYLE =
    sys::is_windows()
        ? Style{"C:\\Users\\u", "C:\\Users\\o", "C:\\Users\\acct", "C:\\xdg", "D:\\a", "\\abs\\cfg", "abs\\cfg"}
        : Style{"/home/u", "/home/o", "/home/acct", "/xdg", "/d/a", "/abs/cfg", "abs/cfg"};

std::string expand(const std::string& part) {
  if (part == "$HOME") return STYLE.home;
  if (part == "$OTHER") return STYLE.other;
  if (part == "$ACCT") return STYLE.account;
  if (part == "$XDG") return STYLE.xdg;
  if (part == "$AGENT") return STYLE.agent;
  if (part == "$ABS") return STYLE.absolute_config;
  if (part == "$APPENDED") return STYLE.appended_config;
  return part;
}

// "$HOME/.omp/agent/sessions" joined by the platform's rules.
stdfs::path place(const std::string& pattern) {
  stdfs::path out;
  std::size_t start = 0;
  while (start <= pattern.size()) {
    const std::size_t slash = std::min(pattern.find('/', start), pattern.size());
    out /= path_from_utf8(expand(pattern.substr(start, slash - start)));
    start = slash + 1;
  }
  return out;
}

struct Case {
  std::string name;
  std::vector<std::pair<Selector, std::string>> set;
  std::string sessions_dir;                 // a place, or the message when it starts with "!"
  std::vector<std::string> posix, windows;  // the agent's places on each host
  bool account = true;                      // whether the account database gives a home
};

const std::string NO_HOME = "!cannot resolve OMP sessions: HOME and USERPROFILE are unset";

const std::vector<Case> CASES = {
    {"nothing but homes",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$HOME"}},
     "$HOME/.omp/agent/sessions",
     {},
     {}},
    {"XDG data folder",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$HOME"}, {Selector::kXdgDataHome, "$XDG"}},
     "$HOME/.omp/agent/sessions",
     {"$XDG/omp/sessions"},
     {}},
    {"XDG data folder with a profile",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kXdgDataHome, "$XDG"},
      {Selector::kOmpProfile, "work"}},
     "$HOME/.omp/profiles/work/agent/sessions",
     {"$XDG/omp/profiles/work/sessions"},
     {}},
    {"XDG with a configuration folder of its own",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kXdgDataHome, "$XDG"},
      {Selector::kPiConfigDir, ".pi"}},
     "$HOME/.pi/agent/sessions",
     {"$XDG/omp/sessions"},
     {}},
    {"relative XDG is not followed",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$HOME"}, {Selector::kXdgDataHome, "data"}},
     "$HOME/.omp/agent/sessions",
     {},
     {}},
    {"absolute PI_CONFIG_DIR is appended to home",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$HOME"}, {Selector::kPiConfigDir, "$ABS"}},
     "$HOME/$ABS/agent/sessions",
     {"$HOME/$APPENDED/agent/sessions"},
     {"$HOME/$APPENDED/agent/sessions"}},
    {"absolute PI_CONFIG_DIR with a profile",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiConfigDir, "$ABS"},
      {Selector::kPiProfile, "w"}},
     "$HOME/$ABS/profiles/w/agent/sessions",
     {"$HOME/$APPENDED/profiles/w/agent/sessions"},
     {"$HOME/$APPENDED/profiles/w/agent/sessions"}},
    {"HOME and USERPROFILE differ",
     {{Selector::kHome, "$HOME"}, {Selector::kUserProfile, "$OTHER"}},
     "$HOME/.omp/agent/sessions",
     {},
     {"$OTHER/.omp/agent/sessions"}},
    {"HOME alone", {{Selector::kHome, "$HOME"}}, "$HOME/.omp/agent/sessions", {}, {"$ACCT/.omp/agent/sessions"}},
    {"USERPROFILE alone",
     {{Selector::kUserProfile, "$OTHER"}},
     "$OTHER/.omp/agent/sessions",
     {"$ACCT/.omp/agent/sessions"},
     {}},
    {"no home in the selectors",
     {{Selector::kXdgDataHome, "$XDG"}},
     NO_HOME,
     {"$XDG/omp/sessions", "$ACCT/.omp/agent/sessions"},
     {"$ACCT/.omp/agent/sessions"}},
    {"no home anywhere", {{Selector::kXdgDataHome, "$XDG"}}, NO_HOME, {}, {}, false},
    {"empty HOME is no home",
     {{Selector::kHome, ""}, {Selector::kUserProfile, ""}},
     NO_HOME,
     {"$ACCT/.omp/agent/sessions"},
     {"$ACCT/.omp/agent/sessions"}},
    {"agent dir: the agent writes where the tool looks",
     {{Selector::kHome, "$HOME"}, {Selector::kPiCodingAgentDir, "$AGENT"}, {Selector::kXdgDataHome, "$XDG"}},
     "$AGENT/sessions",
     {},
     {}},
    {"relative agent dir is not followed", {{Selector::kPiCodingAgentDir, "rel"}}, "rel/sessions", {}, {}},
    {"a profile overrides the agent dir",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$AGENT"},
      {Selector::kXdgDataHome, "$XDG"},
      {Selector::kOmpProfile, "work"}},
     "$HOME/.omp/profiles/work/agent/sessions",
     {"$XDG/omp/profiles/work/sessions"},
     {}},
    {"agent dir naming the default keeps the XDG place",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$HOME/.omp/agent"},
      {Selector::kXdgDataHome, "$XDG"}},
     "$HOME/.omp/agent/sessions",
     {"$XDG/omp/sessions"},
     {}},
    {"agent dir naming the default, resolved as the agent resolves it",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$HOME/.pi/x/../agent/"},
      {Selector::kPiConfigDir, ".pi"},
      {Selector::kXdgDataHome, "$XDG"}},
     "$HOME/.pi/x/../agent/sessions",
     {"$XDG/omp/sessions", "$HOME/.pi/agent/sessions"},
     {"$HOME/.pi/agent/sessions"}},
    {"agent dir naming the default of another home",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$OTHER/.omp/agent"},
      {Selector::kXdgDataHome, "$XDG"}},
     "$OTHER/.omp/agent/sessions",
     {},
     {}},
    {"agent dir of a profile that OMP_PROFILE bypassed",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$HOME/.omp/profiles/work/agent"},
      {Selector::kOmpProfile, ""},
      {Selector::kPiProfile, "work"},
      {Selector::kXdgDataHome, "$XDG"}},
     "$HOME/.omp/profiles/work/agent/sessions",
     {"$XDG/omp/sessions", "$HOME/.omp/agent/sessions"},
     {"$HOME/.omp/agent/sessions"}},
    {"agent dir of a bypassed profile, spelt otherwise, is the agent's",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$HOME/.omp/profiles/work/agent/"},
      {Selector::kOmpProfile, "default"},
      {Selector::kPiProfile, "work"}},
     "$HOME/.omp/profiles/work/agent/sessions",
     {},
     {}},
    {"agent dir of a profile PI_PROFILE does not name",
     {{Selector::kHome, "$HOME"},
      {Selector::kUserProfile, "$HOME"},
      {Selector::kPiCodingAgentDir, "$HOME/.omp/profiles/work/agent"},
      {Selector::kOmpProfile, ""},
      {Selector::kPiProfile, "play"}},
     "$HOME/.omp/profiles/work/agent/sessions",
     {},
     {}},
    {"a bad profile leaves only its message",
     {{Selector::kHome, "$HOME"}, {Selector::kXdgDataHome, "$XDG"}, {Selector::kOmpProfile, "Work"}},
     "!invalid OMP profile 'Work'",
     {},
     {}},
};

TEST(SessionPlaces, TheSessionsDirectoryThenTheAgentsOwnPlaces) {
  for (const auto& c : CASES) {
    snapshot::Selectors selectors;
    for (const auto& [key, value] : c.set) selectors[key] = OsString::from_path(place(value));
    for (const bool windows : {false, true}) {
      SCOPED_TRACE(c.name + (windows ? " (Windows host)" : " (POSIX host)"));
      const AgentHost host{windows, c.account ? std::optional(place("$ACCT")) : std::nullopt};
      const SessionPlaces got = session_places(selectors, host);
      if (c.sessions_dir.starts_with("!")) {
        ASSERT_FALSE(got.sessions_dir.ok()) << display(*got.sessions_dir);
        EXPECT_EQ(got.sessions_dir.error(), c.sessions_dir.substr(1));
      } else {
        ASSERT_TRUE(got.sessions_dir.ok()) << got.sessions_dir.error();
        EXPECT_EQ(display(*got.sessions_dir), display(place(c.sessions_dir)));
      }
      std::vector<std::string> agent;
      for (const auto& p : got.agent) agent.push_back(display(p));
      std::vector<std::string> expected;
      for (const auto& p : windows ? c.windows : c.posix) expected.push_back(display(place(p)));
      EXPECT_EQ(agent, expected);
    }
  }
}

TEST(SessionPlaces, ADriveInPiConfigDirGivesNoPlaceOfTheAgents) {
  if (!sys::is_windows()) GTEST_SKIP() << "only Windows paths name drives";
  snapshot::Selectors selectors;
  selectors[Selector::kUserProfile] = OsString::from_utf8("C:\\Users\\u");
  selectors[Selector::kPiConfigDir] = OsString::from_utf8("D:\\cfg");
  const SessionPlaces got = session_places(selectors, AgentHost{true, std::nullopt});
  EXPECT_EQ(display(got.sessions_dir.value()), "D:\\cfg\\agent\\sessions");
  EXPECT_TRUE(got.agent.empty());
}

TEST(SessionPlaces, ArchivesLieBesideTheSessionsDirectory) {
  EXPECT_EQ(display(archive_dir(place("$HOME/.omp/agent/sessions"))),
            display(place("$HOME/.omp/agent/archive/sessions")));
  EXPECT_EQ(display(archive_dir(place("$XDG/omp/sessions/"))), display(place("$XDG/omp/archive/sessions")));
  EXPECT_EQ(display(archive_dir(path_from_utf8("sessions"))), display(place("archive/sessions")));
}

}  // namespace
}  // namespace vantle::sessions
