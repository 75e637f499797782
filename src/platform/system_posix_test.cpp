#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "platform/system.h"

namespace vantle::sys {
namespace {

// The tool reads the passwd file itself; the C library's own lookup is the reference.
TEST(AccountHome, IsWhatTheCLibraryGives) {
  std::vector<char> buffer(1 << 16);
  passwd entry{};
  passwd* found = nullptr;
  ASSERT_EQ(::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found), 0);
  ASSERT_NE(found, nullptr) << "this test's own account has no passwd entry";
  const auto home = account_home();
  ASSERT_TRUE(home.has_value());
  EXPECT_EQ(home->native(), found->pw_dir);
}

}  // namespace
}  // namespace vantle::sys
