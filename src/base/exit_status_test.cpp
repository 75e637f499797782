#include "base/exit_status.h"

#include <gtest/gtest.h>

namespace vantle {
namespace {

TEST(ExitStatusText, CodesHexAndSignals) {
  EXPECT_EQ(exit_status_text(ExitStatus::exited(0)), "exit code: 0");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(255)), "exit code: 255");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(0x7fffffff)), "exit code: 2147483647");
  EXPECT_EQ(exit_status_text(ExitStatus::exited(3221225477u)), "exit code: 0xc0000005");
  EXPECT_EQ(exit_status_text(ExitStatus::signaled(9, "SIGKILL")), "signal: 9 (SIGKILL)");
}

}  // namespace
}  // namespace vantle
