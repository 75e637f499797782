#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/passwd_posix.h"
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

TEST(AccountHome, ReadFromPasswdLines) {
  struct Case {
    std::string lines;
    std::optional<std::string> home;
  };
  const Case cases[] = {
      {"root:x:0:0:root:/root:/bin/bash\nme:x:1000:1000:Me,,,:/home/me:/bin/sh\n", "/home/me"},
      // The uid field is matched whole, not as a prefix or in another field.
      {"a:x:10000:1000::/wrong:/bin/sh\nb:x:100:1000::/wrong:/bin/sh\nc:x:1:1000::/wrong:/bin/sh\n", std::nullopt},
      // The first line that names the account counts, even with an empty directory.
      {"me:x:1000:1000::/first:/bin/sh\nagain:x:1000:1000::/second:/bin/sh", "/first"},
      {"me:x:1000:1000:::/bin/sh\nagain:x:1000:1000::/second:/bin/sh\n", std::nullopt},
      // getent prints one line, without a line feed after it here.
      {"me:*:1000:1000:Me:/home/me:/bin/sh", "/home/me"},
      // Lines short of a directory, NIS markers and blank lines name no account.
      {"me:x:1000:1000:/home/me\n+::::::\n\n#x:1000\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    const auto home = posix::home_in_passwd(c.lines, 1000);
    EXPECT_EQ(home ? std::optional<std::string>(home->native()) : std::nullopt, c.home);
  }
}

}  // namespace
}  // namespace vantle::sys
