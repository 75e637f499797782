#include "platform/long_path.h"

#include <gtest/gtest.h>

#include <iterator>

namespace vantle::fs {
namespace {

// A run of path components `n` characters long in all.
std::wstring names(std::size_t n) {
  std::wstring text;
  while (text.size() < n) text += L"deep-directory\\";
  text.resize(n);
  if (text.back() == L'\\') text.back() = L'x';
  return text;
}

const std::wstring kLong = names(300);

TEST(LongPath, FullPathsPastTheLimitTakeTheVerbatimForm) {
  struct Case {
    std::wstring full;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"C:\\" + kLong, L"\\\\?\\C:\\" + kLong},
      {L"z:\\" + kLong + L"\\", L"\\\\?\\z:\\" + kLong + L"\\"},
      {L"\\\\server\\share\\" + kLong, L"\\\\?\\UNC\\server\\share\\" + kLong},
      // Just under the limit the path is left alone; at the limit it is not.
      {L"C:\\" + names(LEGACY_PATH_LIMIT - 4), L"C:\\" + names(LEGACY_PATH_LIMIT - 4)},
      {L"C:\\" + names(LEGACY_PATH_LIMIT - 3), L"\\\\?\\C:\\" + names(LEGACY_PATH_LIMIT - 3)},
      // Already verbatim, NT or device paths.
      {L"\\\\?\\C:\\" + kLong, L"\\\\?\\C:\\" + kLong},
      {L"\\\\?\\UNC\\server\\share\\" + kLong, L"\\\\?\\UNC\\server\\share\\" + kLong},
      {L"\\??\\C:\\" + kLong, L"\\??\\C:\\" + kLong},
      {L"\\\\.\\pipe\\" + kLong, L"\\\\.\\pipe\\" + kLong},
      // Not full paths: relative, drive-relative, rooted without a drive, an incomplete share.
      {kLong, kLong},
      {L"C:" + kLong, L"C:" + kLong},
      {L"\\" + kLong, L"\\" + kLong},
      {L"\\\\" + std::wstring(300, L's'), L"\\\\" + std::wstring(300, L's')},
      {L"\\\\server\\\\" + kLong, L"\\\\server\\\\" + kLong},
      // Text a verbatim path would take literally where the system would normalise it.
      {L"C:/" + kLong, L"C:/" + kLong},
      {L"C:\\" + kLong + L"/x", L"C:\\" + kLong + L"/x"},
      {L"C:\\a\\..\\" + kLong, L"C:\\a\\..\\" + kLong},
      {L"C:\\.\\" + kLong, L"C:\\.\\" + kLong},
      {L"C:\\a\\\\" + kLong, L"C:\\a\\\\" + kLong},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(long_form(cases[i].full), cases[i].expected) << "case " << i;
  }
}

TEST(LongPath, RelativeAndLongPathsAreMadeFullFirst) {
  struct Case {
    std::wstring path;
    bool wanted;
  };
  const Case cases[] = {
      {L"C:\\short\\path", false},
      {L"\\\\server\\share\\file", false},
      {L"C:\\" + kLong, true},
      {L"C:/" + kLong, true},
      {L"\\\\server\\share\\" + kLong, true},
      // The current directory may itself be long.
      {L"file.jsonl", true},
      {L"..\\sessions", true},
      {L"C:relative", true},
      {L"\\rooted", true},
      {L"\\\\?\\C:\\" + kLong, false},
      {L"\\??\\C:\\" + kLong, false},
      {L"\\\\.\\NUL", false},
      {L"", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(wants_full_path(cases[i].path), cases[i].wanted) << "case " << i;
  }
}

}  // namespace
}  // namespace vantle::fs
