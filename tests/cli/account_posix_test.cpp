// The tool run by an account that the passwd file does not hold (one from a directory service,
// or a service's dynamic user). The tool is linked statically, and a static C library that loads
// the system's other account sources crashes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "snapshot/snapshot.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

TEST(Account, NotInThePasswdFileIsLookedUpWithoutACrash) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run the tool as another account";
  const std::string uid = "3999123";
  if (read_file("/etc/passwd").find(":" + uid + ":") != std::string::npos) GTEST_SKIP() << uid << " is in use";
  const ScopedTempDir tmp;
  snapshot::Selectors selectors;
  selectors[snapshot::Selector::kHome] = OsString::from_path(tmp / "home");
  selectors[snapshot::Selector::kVantleOmpBin] = OsString::from_utf8("omp-bin");
  ASSERT_TRUE(snapshot::write_snapshot(tmp / "state", "e1", std::nullopt, selectors).ok());
  // A copy the account can run wherever the build tree is.
  const stdfs::path copy = tmp / "vantle";
  stdfs::copy_file(vantle_binary(), copy);
  for (const auto& entry : stdfs::recursive_directory_iterator(tmp.path())) {
    stdfs::permissions(entry.path(), stdfs::perms::others_read | stdfs::perms::others_exec, stdfs::perm_options::add);
  }

  // The session is missing, so the lookup goes on to the agent's own places under the home.
  const CliResult result = Cli({"--reuid=" + uid, "--regid=" + uid, "--clear-groups", display(copy), "history-omp",
                                "--session", "zz"})
                               .program("/usr/bin/setpriv")
                               .env("VANTLE_STATE_DIR", display(tmp / "state"))
                               .run();
  EXPECT_EQ(result, exited(1, "",
                           "HISTORY_FAIL: no omp session file for 'zz' across endpoint environment snapshots under " +
                               display(snapshot::snapshot_directory(tmp / "state")) + "\n"));
}

}  // namespace
}  // namespace vantle::testing
