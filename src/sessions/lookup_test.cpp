#include "sessions/lookup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "snapshot/snapshot.h"
#include "support/temp_dir.h"

namespace vantle::sessions {
namespace {

namespace stdfs = std::filesystem;
using vantle::testing::ScopedTempDir;
using vantle::testing::write_file;

// `base` joined with each '/'-separated part of `rel`, as the lookup itself builds paths.
stdfs::path under(const stdfs::path& base, std::string_view rel) {
  stdfs::path out = base;
  std::size_t start = 0;
  while (start < rel.size()) {
    const std::size_t slash = std::min(rel.find('/', start), rel.size());
    out /= path_from_utf8(rel.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

// Creates files, or directories for names ending in '/'.
void make_tree(const stdfs::path& root, const std::vector<std::string>& entries) {
  stdfs::create_directories(root);
  for (const auto& e : entries) {
    if (e.ends_with('/')) {
      stdfs::create_directories(under(root, e));
    } else {
      write_file(under(root, e), "{}\n");
    }
  }
}

// A name that is not valid Unicode on this platform (a lone byte 0xFF on POSIX, an unpaired
// surrogate on Windows), around valid UTF-8 text.
NativeString invalid_name(std::string_view before, std::string_view after) {
  using C = NativeString::value_type;
  NativeString out = path_from_utf8(before).native();
  out += sizeof(C) == 1 ? static_cast<C>(0xFF) : static_cast<C>(0xDC00);
  out += path_from_utf8(after).native();
  return out;
}

TEST(ListDirSorted, ListsEveryEntryInPathOrderWithItsType) {
  ScopedTempDir tmp;
  const stdfs::path dir = tmp / "d";
  // No two names differ only in case, which Windows would take for one name.
  make_tree(dir, {"b", "a-b/", "Ab", "a", "\xC3\xA9", "_", "a.jsonl", "z/"});
  auto listed = list_dir_sorted(dir);
  ASSERT_TRUE(listed.ok()) << listed.error().text();
  std::vector<std::string> names;
  for (const auto& e : *listed) {
    names.push_back(display(stdfs::path(e.name)));
    const bool is_dir = e.name == path_from_utf8("a-b").native() || e.name == path_from_utf8("z").native();
    EXPECT_EQ(e.type, is_dir ? fs::EntryType::kDirectory : fs::EntryType::kFile) << display(stdfs::path(e.name));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Ab", "_", "a", "a-b", "a.jsonl", "b", "z", "\xC3\xA9"}));
}

// Nothing at the path: no directory, or a file above it (where the agent could not have written).
TEST(ListDirSorted, MissingDirectoryIsEmpty) {
  ScopedTempDir tmp;
  write_file(tmp / "file", "x");
  for (const char* rel : {"missing", "missing/below", "missing/a/b/c", "file/below", "file/below/deeper"}) {
    auto listed = list_dir_sorted(under(tmp.path(), rel));
    ASSERT_TRUE(listed.ok()) << listed.error().text();
    EXPECT_TRUE(listed->empty()) << rel;
  }
}

TEST(ListDirSorted, EmptyDirectoryIsEmpty) {
  ScopedTempDir tmp;
  auto listed = list_dir_sorted(tmp.path());
  ASSERT_TRUE(listed.ok()) << listed.error().text();
  EXPECT_TRUE(listed->empty());
}

// A regular file where a directory should be exists and cannot be listed: that is a failure to
// report, not an empty directory.
TEST(ListDirSorted, ListingAFileFails) {
  ScopedTempDir tmp;
  write_file(tmp / "file", "x");
  for (const stdfs::path& dir : {tmp / "file", tmp / "file" / ""}) {
    SCOPED_TRACE(display(dir));
    auto listed = list_dir_sorted(dir);
    ASSERT_FALSE(listed.ok());
    EXPECT_EQ(listed.error().dir, dir);
    EXPECT_NE(listed.error().error.kind, ErrorKind::kNotFound);
    EXPECT_EQ(listed.error().text(), "cannot scan " + display(dir) + ": " + listed.error().error.message);
  }
}

struct FindCase {
  std::string name;
  std::vector<std::string> entries;  // under the sessions directory; a trailing '/' makes a directory
  std::string id;
  std::vector<std::string> expected;  // none: no file; one: that file; more: ambiguous, in this order
};

const std::vector<FindCase> FIND_CASES = {
    {"exact beats prefix", {"2024-01-01_abc.jsonl", "2024-01-02_abcdef.jsonl"}, "abc", {"2024-01-01_abc.jsonl"}},
    {"prefix alone", {"2024-01-02_abcdef.jsonl"}, "abc", {"2024-01-02_abcdef.jsonl"}},
    {"two prefixes", {"y_abcxyz.jsonl", "x_abcdef.jsonl"}, "abc", {"x_abcdef.jsonl", "y_abcxyz.jsonl"}},
    {"no underscore", {"abc.jsonl"}, "abc", {"abc.jsonl"}},
    {"no underscore, longer", {"abcdef.jsonl"}, "abc", {"abcdef.jsonl"}},
    {"nothing before the underscore", {"_abc.jsonl"}, "abc", {"_abc.jsonl"}},
    {"last part counts", {"2024_01_abcd.jsonl"}, "abc", {"2024_01_abcd.jsonl"}},
    {"earlier part does not count", {"abc_x.jsonl", "abcd_e.jsonl"}, "abc", {}},
    {"id with underscore, exact", {"x_a_b.jsonl"}, "a_b", {"x_a_b.jsonl"}},
    {"id with underscore never prefix-matches", {"x_a_bc.jsonl"}, "a_b", {}},
    {"stem shorter than the id", {"x_ab.jsonl", "ab.jsonl"}, "abc", {}},
    {"case-sensitive id", {"x_ABC.jsonl"}, "abc", {}},
    {"other extensions",
     {"x_abc.json", "x_abc.JSONL", "x_abc.jsonl.bak", "x_abc", "x_abc.jsonl~", "x_abc.Jsonl", ".jsonl", "jsonl"},
     "abc",
     {}},
    {"one level of subdirectories", {"proj/x_abc.jsonl"}, "abc", {"proj/x_abc.jsonl"}},
    {"sub-subdirectory is not searched", {"proj/deeper/x_abc.jsonl", "proj/deeper/abc.jsonl"}, "abc", {}},
    {"directory named like a session", {"x_abc.jsonl/", "proj/y_abc.jsonl/"}, "abc", {}},
    {"directory named like a session is still searched",
     {"x_abc.jsonl/y_abc.jsonl"},
     "abc",
     {"x_abc.jsonl/y_abc.jsonl"}},
    {"exact below beats prefix on top", {"x_abcdef.jsonl", "proj/y_abc.jsonl"}, "abc", {"proj/y_abc.jsonl"}},
    {"exact on top beats prefix below", {"x_abc.jsonl", "proj/y_abcd.jsonl"}, "abc", {"x_abc.jsonl"}},
    {"two exact matches", {"x_abc.jsonl", "proj/y_abc.jsonl"}, "abc", {"proj/y_abc.jsonl", "x_abc.jsonl"}},
    {"path order across subdirectories",
     {"b/x_abc.jsonl", "a-b/x_abc.jsonl", "a/x_abc.jsonl", "C/x_abc.jsonl"},
     "abc",
     {"C/x_abc.jsonl", "a/x_abc.jsonl", "a-b/x_abc.jsonl", "b/x_abc.jsonl"}},
    {"full name is not an id", {"x_abc.jsonl"}, "x_abc.jsonl", {}},
    {"empty directory", {}, "abc", {}},
    {"beyond ASCII", {"t_\xC3\xA9t\xC3\xA9.jsonl", "t_\xC3\xA9x.jsonl"}, "\xC3\xA9t", {"t_\xC3\xA9t\xC3\xA9.jsonl"}},
};

TEST(FindSessionInDir, MatchesNamesByTheRules) {
  for (const auto& c : FIND_CASES) {
    SCOPED_TRACE(c.name);
    ScopedTempDir tmp;
    const stdfs::path sessions = tmp / "sessions";
    make_tree(sessions, c.entries);
    auto found = find_session_in_dir(sessions, c.id);
    std::vector<stdfs::path> expected;
    for (const auto& rel : c.expected) expected.push_back(under(sessions, rel));
    if (expected.size() <= 1) {
      ASSERT_TRUE(found.ok()) << found.error().text();
      EXPECT_EQ(*found, expected.empty() ? std::nullopt : std::optional<stdfs::path>(expected[0]));
      continue;
    }
    ASSERT_FALSE(found.ok());
    ASSERT_EQ(found.error().kind, SessionLookupError::Kind::kAmbiguous);
    EXPECT_EQ(found.error().ambiguous.paths, expected);
    std::string text = "ambiguous omp session id '" + c.id + "':";
    for (const auto& p : expected) text += " " + display(p);
    EXPECT_EQ(found.error().text(), text);
  }
}

TEST(FindSessionInDir, MissingDirectoryHoldsNothing) {
  ScopedTempDir tmp;
  auto found = find_session_in_dir(tmp / "no/such/sessions", "abc");
  ASSERT_TRUE(found.ok()) << found.error().text();
  EXPECT_FALSE(found->has_value());
}

TEST(FindSessionInDir, UnlistableDirectoryIsAScanError) {
  ScopedTempDir tmp;
  write_file(tmp / "file", "x");
  const stdfs::path sessions = tmp / "file";
  auto found = find_session_in_dir(sessions, "abc");
  ASSERT_FALSE(found.ok());
  ASSERT_EQ(found.error().kind, SessionLookupError::Kind::kScan);
  EXPECT_EQ(found.error().scan.dir, sessions);
  EXPECT_EQ(found.error().text(), "cannot scan " + display(sessions) + ": " + found.error().scan.error.message);
}

// Ids are compared with the ends of names only: separators, parent references and wildcards in an
// id match nothing here, though a file that such an id would name as a path exists.
TEST(FindSessionInDir, IdsNeverReachOutsideTheDirectory) {
  ScopedTempDir tmp;
  const stdfs::path sessions = tmp / "root/sessions";
  make_tree(tmp.path(), {"root/sessions/proj/x_abc.jsonl", "root/x_secret.jsonl",
                         "root/sessions/proj/deep/x_deep.jsonl", "outside/x_secret.jsonl", "x_secret.jsonl"});
  const std::vector<std::string> ids = {
      "../x_secret",
      "..\\x_secret",
      "../../outside/x_secret",
      "..",
      ".",
      "/",
      "\\",
      "../",
      "proj/x_abc",
      "proj\\x_abc",
      "x_abc.jsonl",
      "*",
      "?",
      "*abc",
      "ab?",
      "a*",
      "[a]bc",
      "abc/..",
      "deep/x_deep",
      "x_deep/../abc",
      "\xFF\xFE",
      "abc\n",
      " abc",
      "abc ",
      "C:\\x_secret",
      "secret",
      "%2e%2e",
      "a\x01"
      "bc",
  };
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    auto found = find_session_in_dir(sessions, id);
    ASSERT_TRUE(found.ok()) << found.error().text();
    EXPECT_FALSE(found->has_value()) << display(**found);
  }
}

TEST(FindSessionInDir, NameThatIsNotUnicodeIsSkipped) {
  ScopedTempDir tmp;
  const stdfs::path sessions = tmp / "sessions";
  stdfs::create_directories(sessions / "proj");
  // An exact match but for one unit, and a prefix match beside it.
  if (!std::ofstream(sessions / invalid_name("x", "_abc.jsonl"))) {
    GTEST_SKIP() << "this file system cannot hold a name that is not valid Unicode";
  }
  write_file(sessions / "proj" / invalid_name("x_abc", ".jsonl"), "");
  write_file(sessions / "x_abcdef.jsonl", "");
  auto found = find_session_in_dir(sessions, "abc");
  ASSERT_TRUE(found.ok()) << found.error().text();
  EXPECT_EQ(*found, std::optional<stdfs::path>(sessions / "x_abcdef.jsonl"));
}

// Links are followed: what counts is the kind of thing a link leads to.
TEST(FindSessionInDir, LinksCountAsWhatTheyLeadTo) {
  ScopedTempDir tmp;
  const stdfs::path sessions = tmp / "sessions";
  make_tree(tmp.path(), {"sessions/", "elsewhere/y_abc.jsonl", "target.jsonl"});
  std::error_code ec;
  stdfs::create_symlink(tmp / "target.jsonl", sessions / "a_abc.jsonl", ec);
  if (ec) GTEST_SKIP() << "cannot create symbolic links here: " << ec.message();
  stdfs::create_symlink(tmp / "missing.jsonl", sessions / "b_abc.jsonl", ec);
  ASSERT_FALSE(ec) << ec.message();
  stdfs::create_directory_symlink(tmp / "elsewhere", sessions / "linked", ec);
  ASSERT_FALSE(ec) << ec.message();
  stdfs::create_directory_symlink(tmp / "nowhere", sessions / "dangling", ec);
  ASSERT_FALSE(ec) << ec.message();
  auto found = find_session_in_dir(sessions, "abc");
  ASSERT_FALSE(found.ok());
  ASSERT_EQ(found.error().kind, SessionLookupError::Kind::kAmbiguous);
  // The dangling file link is neither a file nor a directory and is skipped.
  EXPECT_EQ(found.error().ambiguous.paths,
            (std::vector<stdfs::path>{sessions / "a_abc.jsonl", sessions / "linked" / "y_abc.jsonl"}));
}

// A subdirectory whose full path is longer than the system accepts is listed as a directory of
// its parent but cannot be opened: a failure that holds for every user, root included.
TEST(FindSessionInDir, UnlistableSubdirectoryIsAScanError) {
  if (sys::is_windows()) GTEST_SKIP() << "the path limit is reported as a missing path on Windows";
  ScopedTempDir tmp;
  const stdfs::path start = stdfs::current_path();
  // The directory ends at exactly 3,900 bytes whatever the length of the temporary directory's own
  // path: a 250-byte entry below it is then past the 4,096-byte limit, the directory itself is not.
  constexpr std::size_t DEEP = 3900;
  const std::string component(250, 'd');
  stdfs::path deep = tmp.path();
  stdfs::current_path(deep);
  while (deep.native().size() < DEEP - 1) {
    const std::size_t room = DEEP - deep.native().size() - 1;
    const std::string part = room > component.size() + 1 ? component : std::string(room, 'd');
    stdfs::create_directory(part);
    stdfs::current_path(part);
    deep /= part;
  }
  write_file(stdfs::path("a_abc.jsonl"), "");
  stdfs::create_directory(std::string(250, 's'));
  const stdfs::path sub = deep / std::string(250, 's');
  auto found = find_session_in_dir(deep, "abc");
  // Clean up from the bottom, relative to the working directory, before any assertion can return.
  stdfs::remove(std::string(250, 's'));
  stdfs::remove("a_abc.jsonl");
  while (stdfs::current_path() != tmp.path()) {
    const stdfs::path name = stdfs::current_path().filename();
    stdfs::current_path("..");
    stdfs::remove(name);
  }
  stdfs::current_path(start);

  ASSERT_FALSE(found.ok());
  ASSERT_EQ(found.error().kind, SessionLookupError::Kind::kScan);
  EXPECT_EQ(found.error().scan.dir, sub);
  EXPECT_EQ(found.error().text(), "cannot scan " + display(sub) + ": File name too long (os error 36)");
}

// Endpoints for the lookup across snapshots, under one test directory: each snapshot names a home
// directory, whose sessions directory is <home>/.omp/agent/sessions.
class Endpoints {
 public:
  explicit Endpoints(stdfs::path root) : root_(std::move(root)) {}

  stdfs::path state() const { return root_ / "state"; }
  stdfs::path snapshot_dir() const { return snapshot::snapshot_directory(state()); }
  stdfs::path sessions_of(std::string_view home) const {
    return under(root_, std::string(home) + "/.omp/agent/sessions");
  }
  stdfs::path session_path(std::string_view home, std::string_view rel) const { return under(sessions_of(home), rel); }

  // `xdg`, when given, is the endpoint's XDG_DATA_HOME under the test directory.
  stdfs::path snap(std::string_view endpoint, std::optional<std::string> launch, std::optional<std::string> home,
                   std::optional<std::string> xdg = std::nullopt) {
    snapshot::Selectors selectors;
    if (home) selectors[snapshot::Selector::kHome] = OsString::from_path(root_ / path_from_utf8(*home));
    if (xdg) selectors[snapshot::Selector::kXdgDataHome] = OsString::from_path(root_ / path_from_utf8(*xdg));
    selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
    auto written = snapshot::write_snapshot(state(), endpoint, launch, selectors);
    EXPECT_TRUE(written.ok()) << written.error();
    return written.ok() ? *written : stdfs::path();
  }

  void session(std::string_view home, std::string_view rel) const { make_tree(sessions_of(home), {std::string(rel)}); }
  void session(std::string_view home, std::initializer_list<std::string> rels) const {
    make_tree(sessions_of(home), std::vector<std::string>(rels));
  }

  Result<stdfs::path> find(std::string_view id) const { return find_session_across_snapshots(state(), id, host()); }
  // A POSIX host whose account home is "account" under the test directory.
  AgentHost host() const { return AgentHost{false, root_ / "account"}; }
  stdfs::path file(std::string_view rel) const { return under(root_, rel); }

 private:
  stdfs::path root_;
};

// Each lookup in a directory of its own, so that a table's cases never see each other's files.
class FindSessionAcrossSnapshots : public ::testing::Test {
 protected:
  Endpoints fresh() { return Endpoints(tmp / std::to_string(cases_++)); }

 private:
  ScopedTempDir tmp;
  int cases_ = 0;
};

TEST_F(FindSessionAcrossSnapshots, SharedSessionsDirectoryFindsOneFile) {
  Endpoints e = fresh();
  e.snap("e1", std::nullopt, "h");
  e.snap("e2", "L2", "h");
  e.snap("e3", std::nullopt, "h");
  e.session("h", "proj/2024_abc.jsonl");
  for (const char* id : {"abc", "ab"}) {
    SCOPED_TRACE(id);
    auto found = e.find(id);
    ASSERT_TRUE(found.ok()) << found.error();
    EXPECT_EQ(*found, e.session_path("h", "proj/2024_abc.jsonl"));
  }
}

// Matches in two sessions directories are ambiguous, exact ones as prefixes: the files are listed
// in path order, not in the order of the snapshots, each once with the endpoint of the earliest
// snapshot that shares its directory.
TEST_F(FindSessionAcrossSnapshots, MatchesInTwoDirectoriesAreAmbiguous) {
  struct Snap {
    std::string endpoint;
    std::optional<std::string> launch;
    std::string home;
  };
  struct Case {
    std::vector<Snap> snaps;
    std::vector<std::pair<std::string, std::string>> sessions;  // home, file
    std::vector<std::string> listed;  // each file shown as its path and this
  };
  const Case cases[] = {
      {{{"e1", "launch-1", "h1"}, {"e2", std::nullopt, "h2"}, {"e3", "launch-3", "h1"}},
       {{"h1", "p/x_abc.jsonl"}, {"h2", "y_abc.jsonl"}},
       {" (endpoint e1, launch session launch-1)", " (endpoint e2)"}},
      {{{"e1", std::nullopt, "h2"}, {"e2", "s", "h1"}},
       {{"h1", "x_abcd.jsonl"}, {"h2", "y_abce.jsonl"}},
       {" (endpoint e2, launch session s)", " (endpoint e1)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sessions[0].second);
    Endpoints e = fresh();
    for (const Snap& snap : c.snaps) e.snap(snap.endpoint, snap.launch, snap.home);
    std::string expected = "ambiguous omp session id 'abc' across endpoint environment snapshots:";
    for (std::size_t i = 0; i < c.sessions.size(); ++i) {
      e.session(c.sessions[i].first, c.sessions[i].second);
      expected += " " + display(e.session_path(c.sessions[i].first, c.sessions[i].second)) + c.listed[i];
    }
    auto found = e.find("abc");
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error(), expected);
  }
}

TEST_F(FindSessionAcrossSnapshots, ExactMatchAnywhereBeatsPrefixMatches) {
  for (const bool exact_first : {true, false}) {
    SCOPED_TRACE(exact_first ? "exact under the first snapshot" : "exact under the last snapshot");
    Endpoints e = fresh();
    e.snap("e1", std::nullopt, "h1");
    e.snap("e2", std::nullopt, "h2");
    e.snap("e3", std::nullopt, "h3");
    const char* exact_home = exact_first ? "h1" : "h3";
    e.session(exact_home, "q_abc.jsonl");
    e.session("h2", "p_abcdef.jsonl");
    e.session(exact_first ? "h3" : "h1", "r_abcxyz.jsonl");
    auto found = e.find("abc");
    ASSERT_TRUE(found.ok()) << found.error();
    EXPECT_EQ(*found, e.session_path(exact_home, "q_abc.jsonl"));
  }
}

TEST_F(FindSessionAcrossSnapshots, OnlyFilesWithAJsonExtensionAreSnapshots) {
  Endpoints e = fresh();
  const stdfs::path written = e.snap("upper", std::nullopt, "h");
  stdfs::rename(written, e.snapshot_dir() / "upper.JSON");
  e.session("h", "x_abc.jsonl");
  // None of these is read; each would fail the lookup if it were.
  write_file(e.snapshot_dir() / ".upper.123-0.tmp", "garbage");
  write_file(e.snapshot_dir() / "e9.json.tmp", "garbage");
  write_file(e.snapshot_dir() / ".json", "garbage");
  write_file(e.snapshot_dir() / "e9.jsonl", "garbage");
  write_file(e.snapshot_dir() / "e9", "garbage");
  stdfs::create_directories(e.snapshot_dir() / "dir.json");
  auto found = e.find("abc");
  ASSERT_TRUE(found.ok()) << found.error();
  EXPECT_EQ(*found, e.session_path("h", "x_abc.jsonl"));
}

TEST_F(FindSessionAcrossSnapshots, OneBadSnapshotEndsTheLookup) {
  Endpoints e = fresh();
  e.snap("a1", std::nullopt, "h");
  e.snap("z9", std::nullopt, "h");
  e.session("h", "x_abc.jsonl");
  const stdfs::path bad = e.snapshot_dir() / "m5.json";
  for (const char* content : {"", "not json", "{}", "{\"version\":2}"}) {
    SCOPED_TRACE(content);
    write_file(bad, content);
    auto found = e.find("abc");
    ASSERT_FALSE(found.ok()) << display(*found);
    EXPECT_EQ(found.error(), snapshot::read_snapshot(bad).error());
  }
}

TEST_F(FindSessionAcrossSnapshots, SnapshotWithoutAHomeCannotResolveItsSessions) {
  Endpoints e = fresh();
  e.snap("a1", std::nullopt, "h");
  e.session("h", "x_abc.jsonl");
  const stdfs::path homeless = e.snap("b2", std::nullopt, std::nullopt);
  const std::string unresolved = "endpoint environment snapshot " + display(homeless) +
                                 " cannot resolve OMP sessions: cannot resolve OMP sessions: HOME and USERPROFILE "
                                 "are unset";
  EXPECT_EQ(e.find("abc").error(), unresolved);

  // Unless the account's home, which the agent takes without HOME, holds the session.
  const stdfs::path in_account = e.file("account/.omp/agent/sessions/p/y_abc.jsonl");
  write_file(in_account, "");
  EXPECT_EQ(e.find("abc").error(), "ambiguous omp session id 'abc' across endpoint environment snapshots: " +
                                       display(in_account) + " (endpoint b2) " +
                                       display(e.session_path("h", "x_abc.jsonl")) + " (endpoint a1)");
  EXPECT_EQ(e.find("zzz").error(), unresolved);
  stdfs::remove(e.session_path("h", "x_abc.jsonl"));
  EXPECT_EQ(e.find("abc").value(), in_account);
  stdfs::remove(in_account);
  const stdfs::path archived = e.file("account/.omp/agent/archive/sessions/y_abc.jsonl.gz");
  write_file(archived, "");
  EXPECT_EQ(e.find("abc").value(), archived);
}

TEST_F(FindSessionAcrossSnapshots, ErrorsInsideASessionsDirectoryArePassedOn) {
  Endpoints e = fresh();
  e.snap("e1", std::nullopt, "h1");
  e.snap("e2", std::nullopt, "h2");
  e.session("h1", "x_abc.jsonl");
  e.session("h2", {"x_abcd.jsonl", "p/y_abce.jsonl"});
  auto ambiguous = e.find("abc");
  ASSERT_FALSE(ambiguous.ok());
  EXPECT_EQ(ambiguous.error(), "ambiguous omp session id 'abc': " + display(e.session_path("h2", "p/y_abce.jsonl")) +
                                   " " + display(e.session_path("h2", "x_abcd.jsonl")));

  // A sessions directory that is a file cannot be scanned.
  stdfs::remove_all(e.sessions_of("h2"));
  write_file(e.sessions_of("h2"), "x");
  auto scan = e.find("abc");
  ASSERT_FALSE(scan.ok());
  const stdfs::path dir = e.sessions_of("h2");
  EXPECT_TRUE(scan.error().starts_with("cannot scan " + display(dir) + ": ")) << scan.error();
}

TEST_F(FindSessionAcrossSnapshots, NoSnapshotsIsItsOwnMessage) {
  Endpoints e = fresh();
  const std::string message =
      "no omp endpoint environment snapshots under " + display(e.snapshot_dir()) + "; relaunch the endpoint";
  EXPECT_EQ(e.find("abc").error(), message);
  write_file(e.snapshot_dir() / ".e1.1-0.tmp", "{}");
  stdfs::create_directories(e.snapshot_dir() / "sub.json");
  EXPECT_EQ(e.find("abc").error(), message);
}

TEST_F(FindSessionAcrossSnapshots, SnapshotDirectoryThatCannotBeListed) {
  Endpoints e = fresh();
  write_file(e.snapshot_dir(), "a file where the snapshot directory should be");
  auto found = e.find("abc");
  ASSERT_FALSE(found.ok());
  EXPECT_TRUE(found.error().starts_with("cannot scan " + display(e.snapshot_dir()) + ": ")) << found.error();
}

TEST_F(FindSessionAcrossSnapshots, NothingFound) {
  Endpoints e = fresh();
  e.snap("e1", std::nullopt, "h1");
  e.snap("e2", std::nullopt, "missing-home");
  e.session("h1", {"x_abd.jsonl", "p/q/x_abc.jsonl"});
  for (const std::string id : {"abc", "../h1/.omp/agent/sessions/x_abd", "x_abd.jsonl", "*"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(e.find(id).error(), "no omp session file for '" + id + "' across endpoint environment snapshots under " +
                                      display(e.snapshot_dir()));
  }
}

// The sessions directories answer first, whatever they answer; the agent's own places only when
// they hold nothing; the archives beside all of them only when no log is found anywhere.
TEST_F(FindSessionAcrossSnapshots, TheAgentsPlacesThenTheArchivesWhenNothingCameBefore) {
  Endpoints e = fresh();
  e.snap("e1", std::nullopt, "h1", "x1");
  e.snap("e2", "L2", "h2");
  const stdfs::path in_xdg = e.file("x1/omp/sessions/p/q_abc.jsonl");
  write_file(in_xdg, "");
  EXPECT_EQ(e.find("abc").value(), in_xdg);
  e.session("h2", "r_abcdef.jsonl");
  EXPECT_EQ(e.find("abc").value(), e.session_path("h2", "r_abcdef.jsonl"));
  stdfs::remove(e.session_path("h2", "r_abcdef.jsonl"));

  const stdfs::path beside_today = e.file("h2/.omp/agent/archive/sessions/p/z_abc.jsonl.gz");
  write_file(beside_today, "");
  write_file(e.file("h2/.omp/agent/archive/sessions/z_abc.jsonl"), "");  // not an archive: never a match
  EXPECT_EQ(e.find("abc").value(), in_xdg);
  stdfs::remove(in_xdg);
  EXPECT_EQ(e.find("abc").value(), beside_today);
  const stdfs::path beside_xdg = e.file("x1/omp/archive/sessions/w_abc.jsonl.gz");
  write_file(beside_xdg, "");
  EXPECT_EQ(e.find("abc").error(), "ambiguous omp session id 'abc' across endpoint environment snapshots: " +
                                       display(beside_today) + " (endpoint e2, launch session L2) " +
                                       display(beside_xdg) + " (endpoint e1)");

  // A place of the agent's that cannot be listed fails the lookup that reaches it.
  stdfs::remove_all(e.file("x1/omp/sessions"));
  write_file(e.file("x1/omp/sessions"), "a file");
  EXPECT_TRUE(e.find("zzz").error().starts_with("cannot scan " + display(e.file("x1/omp/sessions")) + ": "));
}

// A file where a place's folder, or a folder above it, belongs leaves nothing at the place: the
// agent cannot have written there, so the lookup goes on as for a missing place.
TEST_F(FindSessionAcrossSnapshots, APlaceBelowAFileIsAbsent) {
  struct Case {
    std::string file;   // the file in the way
    std::string found;  // where the session lies, found past the file; empty: nowhere
  };
  const Case cases[] = {
      {"x1/omp", ""},
      {"x1/omp", "h1/.omp/agent/archive/sessions/p/y_abc.jsonl.gz"},
      {"h1/.omp/agent/archive", "x1/omp/archive/sessions/y_abc.jsonl.gz"},
      {"x1/omp/archive", "h1/.omp/agent/archive/sessions/y_abc.jsonl.gz"},
      {"h1/.omp", "x1/omp/sessions/p/y_abc.jsonl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.found);
    Endpoints e = fresh();
    e.snap("e1", std::nullopt, "h1", "x1");
    write_file(e.file(c.file), "a file");
    if (c.found.empty()) {
      EXPECT_EQ(e.find("abc").error(), "no omp session file for 'abc' across endpoint environment snapshots under " +
                                           display(e.snapshot_dir()));
      continue;
    }
    write_file(e.file(c.found), "");
    EXPECT_EQ(e.find("abc").value(), e.file(c.found));
  }
}
}  // namespace
}  // namespace vantle::sessions
