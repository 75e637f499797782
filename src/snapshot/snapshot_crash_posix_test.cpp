// A writer killed with SIGKILL at random points never leaves a partial snapshot behind.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "snapshot/snapshot.h"
#include "support/temp_dir.h"
#include "support/worker.h"

namespace vantle::snapshot {
namespace {

TEST(SnapshotCrash, KilledWriterLeavesTheOldOrTheNewDocument) {
  testing::ScopedTempDir tmp;
  const auto state = tmp.path() / "state";
  Selectors first;
  first[Selector::kHome] = OsString::from_utf8("q");
  first[Selector::kPiConfigDir] = OsString::from_utf8("len=1");
  first[Selector::kVantleOmpBin] = OsString::from_utf8("/bin/omp-q");
  ASSERT_TRUE(write_snapshot(state, "ep", std::nullopt, first));
  const auto target = *snapshot_path(state, "ep");

  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    process::Command command;
    command.program = VANTLE_SNAPSHOT_WORKER;
    command.args = {"write", display(state), "ep", "0", std::to_string(round + 7)};
    command.in = command.out = command.err = process::Stdio::kNull;
    auto child = process::spawn(command);
    ASSERT_TRUE(child) << child.error().message;
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 15000));
    ASSERT_TRUE(child->kill());
    const auto status = child->wait();
    ASSERT_TRUE(status);
    ASSERT_EQ(status->kind, ExitStatus::Kind::kSignaled);

    const auto read = read_snapshot(target);
    ASSERT_TRUE(read) << "round " << round << ": " << read.error();
    const std::string home = read->selectors[Selector::kHome]->to_utf8().value_or("");
    EXPECT_EQ(read->selectors[Selector::kPiConfigDir], OsString::from_utf8("len=" + std::to_string(home.size())));
  }
}

}  // namespace
}  // namespace vantle::snapshot
