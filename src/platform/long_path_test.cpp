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

const std::wstring LONG = names(300);

TEST(LongPath, FullPathsPastTheLimitTakeTheVerbatimForm) {
  struct Case {
    std::wstring full;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"C:\\" + LONG, L"\\\\?\\C:\\" + LONG},
      {L"z:\\" + LONG + L"\\", L"\\\\?\\z:\\" + LONG + L"\\"},
      {L"\\\\server\\share\\" + LONG, L"\\\\?\\UNC\\server\\share\\" + LONG},
      // Just under the limit the path is left alone; at the limit it is not.
      {L"C:\\" + names(LEGACY_PATH_LIMIT - 4), L"C:\\" + names(LEGACY_PATH_LIMIT - 4)},
      {L"C:\\" + names(LEGACY_PATH_LIMIT - 3), L"\\\\?\\C:\\" + names(LEGACY_PATH_LIMIT - 3)},
      // Already verbatim, NT or device paths.
      {L"\\\\?\\C:\\" + LONG, L"\\\\?\\C:\\" + LONG},
      {L"\\\\?\\UNC\\server\\share\\" + LONG, L"\\\\?\\UNC\\server\\share\\" + LONG},
      {L"\\??\\C:\\" + LONG, L"\\??\\C:\\" + LONG},
      {L"\\\\.\\pipe\\" + LONG, L"\\\\.\\pipe\\" + LONG},
      // Not full paths: relative, drive-relative, rooted without a drive, an incomplete share.
      {LONG, LONG},
      {L"C:" + LONG, L"C:" + LONG},
      {L"\\" + LONG, L"\\" + LONG},
      {L"\\\\" + std::wstring(300, L's'), L"\\\\" + std::wstring(300, L's')},
      {L"\\\\server\\\\" + LONG, L"\\\\server\\\\" + LONG},
      // Text a verbatim path would take literally where the system would normalise it.
      {L"C:/" + LONG, L"C:/" + LONG},
      {L"C:\\" + LONG + L"/x", L"C:\\" + LONG + L"/x"},
      {L"C:\\a\\..\\" + LONG, L"C:\\a\\..\\" + LONG},
      {L"C:\\.\\" + LONG, L"C:\\.\\" + LONG},
      {L"C:\\a\\\\" + LONG, L"C:\\a\\\\" + LONG},
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
      {L"C:\\" + LONG, true},
      {L"C:/" + LONG, true},
      {L"\\\\server\\share\\" + LONG, true},
      // The current directory may itself be long.
      {L"file.jsonl", true},
      {L"..\\sessions", true},
      {L"C:relative", true},
      {L"\\rooted", true},
      {L"\\\\?\\C:\\" + LONG, false},
      {L"\\??\\C:\\" + LONG, false},
      {L"\\\\.\\NUL", false},
      {L"", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(wants_full_path(cases[i].path), cases[i].wanted) << "case " << i;
  }
}

}  // namespace
}  // namespace vantle::fs
