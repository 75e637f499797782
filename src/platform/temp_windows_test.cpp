#include <gtest/gtest.h>

#include "platform/temp.h"
#include "support/fake_agent.h"

namespace vantle::fs {
namespace {

TEST(TempDirectory, FollowsTmpThenTemp) {
  // Both system calls look at TMP first, then TEMP, and end the path in a backslash.
  vantle::testing::ScopedEnv env;
  env.set("TMP", "C:\\vantle-tmp").set("TEMP", "C:\\vantle-temp");
  auto dir = temp_directory();
  ASSERT_TRUE(dir.ok()) << dir.error().message;
  EXPECT_EQ(dir->native(), L"C:\\vantle-tmp\\");
  env.unset("TMP");
  dir = temp_directory();
  ASSERT_TRUE(dir.ok()) << dir.error().message;
  EXPECT_EQ(dir->native(), L"C:\\vantle-temp\\");
}

}  // namespace
}  // namespace vantle::fs
