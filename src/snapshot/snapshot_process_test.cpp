// Snapshot writes seen from other processes: fresh write counters, leftover temporary files and
// concurrent writers.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fs.h"
#include "platform/system.h"
#include "snapshot/snapshot.h"
#include "support/temp_dir.h"
#include "support/worker.h"

namespace vantle::snapshot {
namespace {

namespace stdfs = std::filesystem;
using testing::finish_worker;
using testing::start_worker;

const stdfs::path WORKER = VANTLE_SNAPSHOT_WORKER;

std::vector<std::string> names_in(const stdfs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : stdfs::directory_iterator(dir, ec)) names.push_back(display(e.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

bool starts_with(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

class SnapshotProcesses : public ::testing::Test {
 protected:
  stdfs::path state() { return tmp_.path() / "state"; }
  stdfs::path temp_of(std::uint32_t pid, int counter) {
    return snapshot_directory(state()) /
           path_from_utf8(".ep." + std::to_string(pid) + "-" + std::to_string(counter) + ".tmp");
  }
  testing::ScopedTempDir tmp_;
};

// A taken temporary name (a writer killed before its rename, under a process id that came back)
// makes the write take the next one; it gives up after 128 names, counted from zero per process.
TEST_F(SnapshotProcesses, TakenTemporaryNamesAreSkippedUpTo128) {
  auto child = start_worker(WORKER, {"temp-names", display(state()), "ep"});
  const std::uint32_t pid = child.id();
  const auto out = finish_worker(child);
  ASSERT_EQ(out.lines.size(), 2u);
  const std::string head = "FAIL cannot write endpoint environment snapshot " + display(temp_of(pid, 127)) + ": ";
  EXPECT_TRUE(starts_with(out.lines[0], head)) << out.lines[0];
  EXPECT_NE(out.lines[0].find("(os error "), std::string::npos);
  EXPECT_EQ(out.lines[1], "OK " + display(*snapshot_path(state(), "ep")));
}

TEST_F(SnapshotProcesses, AFailedWriteLeavesThePreviousSnapshotAndNoTemporaryFile) {
  auto child = start_worker(WORKER, {"untouched", display(state()), "ep"});
  const std::uint32_t pid = child.id();
  const auto out = finish_worker(child);
  ASSERT_EQ(out.lines.size(), 3u);
  EXPECT_TRUE(starts_with(out.lines[0], "OK "));
  EXPECT_TRUE(starts_with(out.lines[1], "FAIL cannot write endpoint environment snapshot " + display(temp_of(pid, 128))));
  EXPECT_EQ(out.lines[2],
            R"({"endpoint_id":"ep","launch_session_id":null,"selectors":{"HOME":"aaa","OMP_PROFILE":null,)"
            R"("PI_CODING_AGENT_DIR":null,"PI_CONFIG_DIR":"len=3","PI_PROFILE":null,"USERPROFILE":null,)"
            R"("VANTLE_OMP_BIN":"/bin/omp-a","XDG_DATA_HOME":null},"version":1})");
  // Only the snapshot and the leftovers that blocked the second write remain.
  std::vector<std::string> expected = {"ep.json"};
  for (int counter = 1; counter <= 128; ++counter) {
    expected.push_back(".ep." + std::to_string(pid) + "-" + std::to_string(counter) + ".tmp");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(snapshot_directory(state())), expected);
}

// Writers replace the file while readers read it in a loop: a reader never sees a partial or
// mixed document. Where a rename cannot replace a file that a reader holds open (Windows), a
// writer falls back to delete-then-rename and may fail or leave a reader a moment without a file.
TEST_F(SnapshotProcesses, ConcurrentWritersNeverExposeAPartialDocument) {
  std::vector<process::Child> writers;
  std::vector<process::Child> readers;
  ASSERT_TRUE(write_snapshot(state(), "ep", std::nullopt, [] {
    Selectors s;
    s[Selector::kHome] = OsString::from_utf8("z");
    s[Selector::kPiConfigDir] = OsString::from_utf8("len=1");
    s[Selector::kVantleOmpBin] = OsString::from_utf8("/bin/omp-z");
    return s;
  }()));
  for (int i = 0; i < 3; ++i) writers.push_back(start_worker(WORKER, {"write", display(state()), "ep", "60", std::to_string(i + 1)}));
  for (int i = 0; i < 2; ++i) readers.push_back(start_worker(WORKER, {"read", display(state()), "ep", "300"}));

  for (auto& reader : readers) {
    const auto out = finish_worker(reader);
    EXPECT_TRUE(out.status.success()) << (out.lines.empty() ? "" : out.lines.front());
    ASSERT_FALSE(out.lines.empty());
    EXPECT_TRUE(starts_with(out.lines.back(), "ok=")) << out.lines.back();
    if (!sys::is_windows()) {
      EXPECT_NE(out.lines.back().find(" missing=0 bad=0"), std::string::npos) << out.lines.back();
    }
  }
  for (auto& writer : writers) {
    const auto out = finish_worker(writer);
    EXPECT_TRUE(out.status.success());
    for (const auto& line : out.lines) {
      if (!sys::is_windows()) {
        ADD_FAILURE() << line;
      } else {
        EXPECT_TRUE(starts_with(line, "FAIL cannot install endpoint environment snapshot ") ||
                    starts_with(line, "FAIL cannot replace endpoint environment snapshot "))
            << line;
      }
    }
  }
  // Whatever the last writer did, a write with nobody reading installs a document, and no
  // temporary file is left from any failure path.
  ASSERT_TRUE(write_snapshot(state(), "ep", std::nullopt, [] {
    Selectors s;
    s[Selector::kVantleOmpBin] = OsString::from_utf8("/bin/omp");
    return s;
  }()));
  EXPECT_EQ(names_in(snapshot_directory(state())), std::vector<std::string>{"ep.json"});
}

}  // namespace
}  // namespace vantle::snapshot
