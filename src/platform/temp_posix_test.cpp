#include <gtest/gtest.h>

#include "platform/temp.h"
#include "support/fake_agent.h"

namespace vantle::fs {
namespace {

TEST(TempDirectory, IsTmpdirElseSlashTmp) {
  struct Case {
    std::optional<std::string> tmpdir;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, "/tmp"},
      {"/var/tmp/x", "/var/tmp/x"},
      {"relative/dir", "relative/dir"},
      // Set but empty is reported as it is; the caller then uses the current directory.
      {"", ""},
      {"/odd\xFFname", "/odd\xFFname"},
  };
  for (const auto& c : cases) {
    vantle::testing::ScopedEnv env;
    if (c.tmpdir) {
      env.set_os("TMPDIR", OsString(*c.tmpdir));
    } else {
      env.unset("TMPDIR");
    }
    auto dir = temp_directory();
    ASSERT_TRUE(dir.ok()) << dir.error().message;
    EXPECT_EQ(dir->native(), c.expected);
  }
}

}  // namespace
}  // namespace vantle::fs
