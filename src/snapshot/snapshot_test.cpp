#include "snapshot/snapshot.h"

#include <gtest/gtest.h>

#include "json/json.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::snapshot {
namespace {

namespace stdfs = std::filesystem;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::write_file;

std::optional<OsString> os(std::string_view s) { return OsString::from_utf8(s); }

TEST(ResolveStateDirectory, FirstSetRuleWins) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> env;
    std::optional<stdfs::path> expected;  // nothing: the failure message
  };
  const stdfs::path v = "v", l = "l", x = "x", h = "h", u = "u";
  const Case cases[] = {
      {{{"VANTLE_STATE_DIR", "v"}, {"LOCALAPPDATA", "l"}}, v},
      {{{"VANTLE_STATE_DIR", ""}, {"LOCALAPPDATA", "l"}}, l / "vantle"},
      {{{"LOCALAPPDATA", ""}, {"XDG_STATE_HOME", "x"}, {"HOME", "h"}}, x / "vantle"},
      {{{"XDG_STATE_HOME", ""}, {"HOME", "h"}, {"USERPROFILE", "u"}}, h / ".local" / "state" / "vantle"},
      {{{"HOME", ""}, {"USERPROFILE", "u"}}, u / ".local" / "state" / "vantle"},
      {{{"HOME", ""}, {"USERPROFILE", ""}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.clear_tool_variables();
    for (const auto& [name, value] : c.env) env.set(name, value);
    const auto r = resolve_state_directory();
    if (c.expected) {
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(*r, *c.expected);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(),
                "cannot resolve a durable state directory for endpoint snapshots (set VANTLE_STATE_DIR, "
                "XDG_STATE_HOME, or HOME)");
    }
  }
}

TEST(SnapshotPath, EndpointIdRule) {
  const stdfs::path state = "state";
  for (const char* id : {"ep_1-A", "7", "--node", "Z", "a-b_c"}) {
    const auto r = snapshot_path(state, id);
    ASSERT_TRUE(r) << id;
    EXPECT_EQ(*r, state / ".vantle" / "vantle-env-v1" / (std::string(id) + ".json"));
  }
  for (const char* id : {"", "a.b", "a b", "caf\xC3\xA9", "a/b", "a\\b", ".."}) {
    const auto r = snapshot_path(state, id);
    ASSERT_FALSE(r) << id;
    EXPECT_EQ(r.error(), "invalid endpoint id '" + std::string(id) + "' for environment snapshot");
  }
}

class SnapshotFiles : public ::testing::Test {
 protected:
  stdfs::path path_of(const std::string& id) { return *snapshot_path(state(), id); }
  stdfs::path state() { return tmp_.path() / "state"; }
  std::vector<std::string> snapshot_dir_names() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : stdfs::directory_iterator(snapshot_directory(state()), ec)) names.push_back(display(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
  ScopedTempDir tmp_;
};

TEST_F(SnapshotFiles, WritesTheDocumentByteForByte) {
  Selectors s;
  s[Selector::kUserProfile] = os("C:\\Users\\dev");
  s[Selector::kVantleOmpBin] = os("C:\\Users\\dev\\.bun\\bin\\omp.exe");
  const auto written = write_snapshot(state(), "ep-7", std::nullopt, s);
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(*written, path_of("ep-7"));
  EXPECT_EQ(testing::read_file(*written),
            R"({"endpoint_id":"ep-7","launch_session_id":null,"selectors":{"HOME":null,"OMP_PROFILE":null,)"
            R"("PI_CODING_AGENT_DIR":null,"PI_CONFIG_DIR":null,"PI_PROFILE":null,"USERPROFILE":"C:\\Users\\dev",)"
            R"("VANTLE_OMP_BIN":"C:\\Users\\dev\\.bun\\bin\\omp.exe","XDG_DATA_HOME":null},"version":1})");
  EXPECT_EQ(snapshot_dir_names(), std::vector<std::string>{"ep-7.json"});
}

TEST_F(SnapshotFiles, RoundTripsEverySelectorState) {
  Selectors s;
  s[Selector::kHome] = os("/home/d\xC3\xA9v \"q\"\\");   // non-ASCII, quote, backslash
  s[Selector::kUserProfile] = os("");                    // present but empty
  s[Selector::kPiConfigDir] = os("\xE2\x9C\x93\t\n");     // control characters escape and return
  s[Selector::kOmpProfile] = os(" work ");
  s[Selector::kXdgDataHome] = os("\xF0\x9F\x98\x80");
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  for (const std::optional<std::string>& session : {std::optional<std::string>(), std::optional<std::string>("s-1")}) {
    ASSERT_TRUE(write_snapshot(state(), "ep", session, s));
    const auto read = read_snapshot(path_of("ep"));
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->endpoint_id, "ep");
    EXPECT_EQ(read->launch_session_id, session);
    EXPECT_EQ(read->selectors, s);
  }
  EXPECT_EQ(snapshot_dir_names(), std::vector<std::string>{"ep.json"});
}

TEST_F(SnapshotFiles, ProfileAndIdAreCheckedBeforeAnythingIsWritten) {
  Selectors s;
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  s[Selector::kOmpProfile] = os("Work");
  auto r = write_snapshot(state(), "ep", std::nullopt, s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "invalid OMP profile 'Work'");
  s[Selector::kOmpProfile].reset();
  r = write_snapshot(state(), "a.b", std::nullopt, s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "invalid endpoint id 'a.b' for environment snapshot");
  EXPECT_FALSE(fs::exists(state()));
}

TEST_F(SnapshotFiles, NonUnicodeSelectorStopsTheWriteNamingTheFirstKeyConverted) {
  NativeString bad;
  bad.push_back(static_cast<NativeString::value_type>(sizeof(NativeString::value_type) == 1 ? 0xFF : 0xDC00));
  Selectors s;
  s[Selector::kHome] = OsString(bad);
  s[Selector::kVantleOmpBin] = OsString(bad);
  s[Selector::kPiCodingAgentDir] = OsString(bad);
  auto r = write_snapshot(state(), "ep", std::nullopt, s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "PI_CODING_AGENT_DIR is not valid Unicode and cannot be snapshotted");
  s[Selector::kPiCodingAgentDir].reset();
  s[Selector::kHome].reset();
  r = write_snapshot(state(), "ep", std::nullopt, s);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "VANTLE_OMP_BIN is not valid Unicode and cannot be snapshotted");
  EXPECT_EQ(snapshot_dir_names(), std::vector<std::string>{});
}

TEST_F(SnapshotFiles, FailedInstallLeavesNoTemporaryFile) {
  // A non-empty directory at the target cannot be renamed over nor deleted as a file.
  write_file(path_of("ep") / "keep", "x");
  Selectors s;
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  const auto r = write_snapshot(state(), "ep", std::nullopt, s);
  ASSERT_FALSE(r);
  const std::string head = "cannot install endpoint environment snapshot " + display(path_of("ep")) + ": ";
  EXPECT_EQ(r.error().substr(0, head.size()), head) << r.error();
  EXPECT_EQ(snapshot_dir_names(), std::vector<std::string>{"ep.json"});
  EXPECT_EQ(testing::read_file(path_of("ep") / "keep"), "x");
}

TEST_F(SnapshotFiles, ReplacesAnEarlierSnapshot) {
  Selectors s;
  s[Selector::kVantleOmpBin] = os("/bin/omp-1");
  ASSERT_TRUE(write_snapshot(state(), "ep", "a", s));
  s[Selector::kVantleOmpBin] = os("/bin/omp-2");
  ASSERT_TRUE(write_snapshot(state(), "ep", std::nullopt, s));
  const auto read = read_snapshot(path_of("ep"));
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->selectors[Selector::kVantleOmpBin], os("/bin/omp-2"));
  EXPECT_EQ(read->launch_session_id, std::nullopt);
}

TEST_F(SnapshotFiles, ReadValidatesInOrder) {
  const std::string good_selectors = R"({"VANTLE_OMP_BIN":"/bin/omp"})";
  const auto doc = [&](const std::string& fields) { return "{" + fields + "}"; };
  const std::string base = R"("endpoint_id":"ep","version":1,"selectors":)" + good_selectors;
  struct Case {
    std::string bytes;
    std::string message_after_path;  // empty: accepted
  };
  const Case cases[] = {
      {doc(base), ""},
      {" \n" + doc(base) + " \r\n\t", ""},
      {doc(base + R"(,"extra":[1,2],"launch_session_id":null)"), ""},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b"},"version":1)"), ""},
      // Keys are compared decoded, and the last of duplicate keys wins at every level.
      {doc(R"("\u0065ndpoint_id":"ep","vers\u0069on":1,"selectors":{"VANTLE_OMP_BIN":"\/b"})"), ""},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b"},"version":2)"),
       " has unsupported version"},
      {doc(R"("endpoint_id":"x.y","version":1,"selectors":{"VANTLE_OMP_BIN":"/b"},"endpoint_id":"ep")"), ""},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b","HOME":7,"HOME":"/h"})"), ""},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b"},"selectors":{"HOME":"/h"})"),
       " has no validated OMP executable"},
      {doc(base + R"(,"launch_session_id":"s","launch_session_id":null)"), ""},
      // Whatever else the document holds is skipped, however deep or large.
      {doc(base + R"(,"x":[[[{"k":[1e308,-0,"\u00e9\ud83d\ude00"]}]]],"y":{"version":2,"selectors":null})"), ""},
      {doc(R"("endpoint_id":"ep","version":-0,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":10,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(base + R"(,"x":1e999)"), ": "},
      {doc(base + R"(,"x":)" + std::string(128, '[') + std::string(128, ']')), ": "},
      {doc(base + R"(,"x":"\ud800")"), ": "},
      {"", ": "},
      {doc(base) + "x", ": "},
      {"\xEF\xBB\xBF" + doc(base), ": "},
      {"[1]", " must be a JSON object"},
      {"\"text\"", " must be a JSON object"},
      {doc(R"("endpoint_id":"ep","selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":1.0,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":1e0,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":2,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":-1,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("endpoint_id":"ep","version":"1","selectors":{"VANTLE_OMP_BIN":"/b"})"), " has unsupported version"},
      {doc(R"("version":1,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has invalid endpoint_id"},
      {doc(R"("endpoint_id":"a.b","version":1,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has invalid endpoint_id"},
      {doc(R"("endpoint_id":7,"version":1,"selectors":{"VANTLE_OMP_BIN":"/b"})"), " has invalid endpoint_id"},
      {doc(base + R"(,"launch_session_id":"")"), " has invalid launch_session_id"},
      {doc(base + R"(,"launch_session_id":5)"), " has invalid launch_session_id"},
      {doc(base + R"(,"launch_session_id":false)"), " has invalid launch_session_id"},
      {doc(base + R"(,"launch_session_id":["s"])"), " has invalid launch_session_id"},
      {doc(R"("endpoint_id":"ep","version":1)"), " has no selectors object"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":null)"), " has no selectors object"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":[])"), " has no selectors object"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"HOME":5,"VANTLE_OMP_BIN":"/b"})"), " has non-string selector HOME"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"PI_PROFILE":true,"HOME":{}})"), " has non-string selector HOME"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"XDG_DATA_HOME":1,"VANTLE_OMP_BIN":"/b"})"),
       " has non-string selector XDG_DATA_HOME"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"XDG_DATA_HOME":"/d\u0000x","VANTLE_OMP_BIN":"/b"})"),
       " has selector XDG_DATA_HOME with a NUL character"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"HOME":"\u0000","XDG_DATA_HOME":7})"),
       " has selector HOME with a NUL character"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"HOME":"/h"})"), " has no validated OMP executable"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":""})"), " has no validated OMP executable"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":null})"), " has no validated OMP executable"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b","OMP_PROFILE":"Work"})"),
       " is invalid: invalid OMP profile 'Work'"},
      {doc(R"("endpoint_id":"ep","version":1,"selectors":{"VANTLE_OMP_BIN":"/b","PI_PROFILE":"con"})"),
       " is invalid: invalid OMP profile 'con'"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const auto path = tmp_ / ("case" + std::to_string(n++) + ".json");
    write_file(path, c.bytes);
    const auto r = read_snapshot(path);
    if (c.message_after_path.empty()) {
      EXPECT_TRUE(r) << c.bytes << " -> " << r.error();
      continue;
    }
    ASSERT_FALSE(r) << c.bytes;
    if (c.message_after_path == ": ") {
      // The parser's own words follow, as it gives them.
      const auto parsed = json::parse(c.bytes);
      ASSERT_FALSE(parsed) << c.bytes;
      EXPECT_EQ(r.error(), "invalid endpoint environment snapshot " + display(path) + ": " + parsed.error());
    } else {
      EXPECT_EQ(r.error(), "endpoint environment snapshot " + display(path) + c.message_after_path) << c.bytes;
    }
  }
}

TEST_F(SnapshotFiles, ReadAcceptsAMissingXdgDataHomeAsAbsent) {
  const auto path = tmp_ / "s.json";
  write_file(path, R"({"endpoint_id":"ep","version":1,"selectors":{"HOME":"","VANTLE_OMP_BIN":"/b"}})");
  const auto r = read_snapshot(path);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->selectors[Selector::kXdgDataHome], std::nullopt);
  EXPECT_EQ(r->selectors[Selector::kHome], os(""));
}

TEST_F(SnapshotFiles, ReadOfAMissingFileNamesThePath) {
  const auto r = read_snapshot(tmp_ / "none.json");
  ASSERT_FALSE(r);
  const std::string head = "cannot read endpoint environment snapshot " + display(tmp_ / "none.json") + ": ";
  EXPECT_EQ(r.error().substr(0, head.size()), head);
  EXPECT_NE(r.error().find("(os error "), std::string::npos);
}

TEST_F(SnapshotFiles, EmptyLaunchSessionIsWrittenButRefusedOnRead) {
  Selectors s;
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  ASSERT_TRUE(write_snapshot(state(), "ep", std::string(), s));
  const auto r = read_snapshot(path_of("ep"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "endpoint environment snapshot " + display(path_of("ep")) + " has invalid launch_session_id");
}

class LoadOrRebuildSelectors : public SnapshotFiles {
 protected:
  void SetUp() override { env_.clear_tool_variables(); }
  ScopedEnv env_;
};

TEST_F(LoadOrRebuildSelectors, ReturnsTheStoredSelectors) {
  Selectors s;
  s[Selector::kHome] = os("/h");
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  ASSERT_TRUE(write_snapshot(state(), "ep", "s1", s));
  const auto r = load_or_rebuild_endpoint_selectors(state(), "ep");
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(*r, s);
}

TEST_F(LoadOrRebuildSelectors, AFileMovedToAnotherNameBelongsToItsStoredId) {
  Selectors s;
  s[Selector::kVantleOmpBin] = os("/bin/omp");
  ASSERT_TRUE(write_snapshot(state(), "a", std::nullopt, s));
  stdfs::rename(path_of("a"), path_of("b"));
  const auto r = load_or_rebuild_endpoint_selectors(state(), "b");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "endpoint environment snapshot " + display(path_of("b")) + " belongs to 'a', not 'b'");
}

TEST_F(LoadOrRebuildSelectors, SomethingBadAtThePathIsReportedNotRebuilt) {
  const auto agent = testing::install_fake_agent(tmp_ / "bin");
  env_.set_os("VANTLE_OMP_BIN", OsString::from_path(agent));
  stdfs::create_directories(path_of("dir"));
  auto r = load_or_rebuild_endpoint_selectors(state(), "dir");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().rfind("cannot read endpoint environment snapshot " + display(path_of("dir")) + ": ", 0), 0u)
      << r.error();
  EXPECT_TRUE(fs::is_directory(path_of("dir")));

  write_file(path_of("bad"), "{}");
  r = load_or_rebuild_endpoint_selectors(state(), "bad");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "endpoint environment snapshot " + display(path_of("bad")) + " has unsupported version");
  EXPECT_EQ(testing::read_file(path_of("bad")), "{}");
}

TEST_F(LoadOrRebuildSelectors, AMissingSnapshotIsRebuiltFromTheEnvironment) {
  const auto agent = testing::install_fake_agent(tmp_ / "bin");
  env_.set_os("VANTLE_OMP_BIN", OsString::from_path(agent)).set("HOME", "/h").set("OMP_PROFILE", "");
  const auto r = load_or_rebuild_endpoint_selectors(state(), "ep");
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ((*r)[Selector::kHome], os("/h"));
  EXPECT_EQ((*r)[Selector::kOmpProfile], os(""));
  EXPECT_EQ((*r)[Selector::kVantleOmpBin], OsString::from_path(agent));
  const auto stored = read_snapshot(path_of("ep"));
  ASSERT_TRUE(stored) << stored.error();
  EXPECT_EQ(stored->selectors, *r);
  EXPECT_EQ(stored->launch_session_id, std::nullopt);
}

TEST_F(LoadOrRebuildSelectors, AMissingSnapshotWithoutAnAgentCannotBeRebuilt) {
  const auto r = load_or_rebuild_endpoint_selectors(state(), "ep");
  ASSERT_FALSE(r);
  const auto read = read_snapshot(path_of("ep"));
  ASSERT_FALSE(read);
  EXPECT_EQ(r.error(), "endpoint environment snapshot is missing (" + read.error() +
                           ") and cannot be rebuilt: Oh My Pi executable not found in known install locations or on "
                           "PATH; set VANTLE_OMP_BIN to its full path");
  EXPECT_FALSE(fs::exists(path_of("ep")));
}

TEST_F(LoadOrRebuildSelectors, AnInvalidIdFailsFirst) {
  const auto r = load_or_rebuild_endpoint_selectors(state(), "a b");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "invalid endpoint id 'a b' for environment snapshot");
}

}  // namespace
}  // namespace vantle::snapshot
