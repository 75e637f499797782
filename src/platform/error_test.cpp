#include "platform/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/system.h"

namespace vantle {
namespace {

TEST(OsError, MapsCodesToKindsAndEndsWithTheCode) {
  struct Case {
    int code;
    ErrorKind kind;
  };
  const std::vector<Case> windows = {
      {2, ErrorKind::kNotFound},        {3, ErrorKind::kNotFound},         {80, ErrorKind::kAlreadyExists},
      {183, ErrorKind::kAlreadyExists}, {5, ErrorKind::kPermissionDenied}, {87, ErrorKind::kInvalidInput},
      {6, ErrorKind::kOther},
  };
  const std::vector<Case> posix = {
      {ENOENT, ErrorKind::kNotFound},
      {EEXIST, ErrorKind::kAlreadyExists},
      {EACCES, ErrorKind::kPermissionDenied},
      {EPERM, ErrorKind::kPermissionDenied},
      {EINTR, ErrorKind::kInterrupted},
      {EINVAL, ErrorKind::kInvalidInput},
      {EBADF, ErrorKind::kOther},
  };
  for (const auto& c : sys::is_windows() ? windows : posix) {
    const SysError e = os_error(c.code);
    EXPECT_EQ(e.kind, c.kind) << c.code;
    EXPECT_EQ(e.code, c.code);
    const std::string suffix = " (os error " + std::to_string(c.code) + ")";
    ASSERT_GT(e.message.size(), suffix.size()) << e.message;  // the system's text comes first
    EXPECT_EQ(e.message.substr(e.message.size() - suffix.size()), suffix);
    EXPECT_EQ(e.message.find_first_of("\r\n"), std::string::npos) << e.message;
  }
}

TEST(OsError, CustomErrorsCarryNoCode) {
  const SysError e = custom_error(ErrorKind::kInvalidInput, "bad input");
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.message, "bad input");
}

}  // namespace
}  // namespace vantle
