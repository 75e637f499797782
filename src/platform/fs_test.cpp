#include "platform/fs.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace vantle::fs {
namespace {

TEST(Fs, TellsFilesDirectoriesAndNothingApart) {
  vantle::testing::ScopedTempDir tmp;
  vantle::testing::write_file(tmp / "file \xC3\xA9.txt", "x");
  std::filesystem::create_directories(tmp / "dir");
  struct Case {
    std::string name;
    bool regular, directory, exists;
  };
  const Case cases[] = {
      {"file \xC3\xA9.txt", true, false, true},
      {"dir", false, true, true},
      {"missing", false, false, false},
      {"missing/below", false, false, false},
  };
  for (const auto& c : cases) {
    const auto path = tmp / c.name;
    EXPECT_EQ(fs::is_regular_file(path), c.regular) << c.name;
    EXPECT_EQ(fs::is_directory(path), c.directory) << c.name;
    EXPECT_EQ(fs::exists(path), c.exists) << c.name;
  }
}

TEST(Fs, ReadsFilesByteForByte) {
  vantle::testing::ScopedTempDir tmp;
  std::string mixed = "line\r\nnext\n\x1A\xFF";
  mixed.push_back('\0');
  mixed.append(200000, 'q');
  // Both readers, at sizes around the whole-file reader's smallest buffer of 65536 bytes.
  const std::pair<const char*, std::string> files[] = {
      {"empty", ""}, {"mixed", mixed}, {"below", std::string(65535, 'b')},
      {"at", std::string(65536, 'a')}, {"above", std::string(65537, 'c')},
  };
  for (const auto& [name, bytes] : files) {
    vantle::testing::write_file(tmp / name, bytes);
    auto read = read_to_string(tmp / name);
    ASSERT_TRUE(read.ok()) << name << ": " << read.error().message;
    EXPECT_TRUE(*read == bytes) << name;
    auto whole = vantle::testing::read_live(tmp / name);
    ASSERT_TRUE(whole.ok()) << name << ": " << whole.error().message;
    EXPECT_TRUE(*whole == bytes) << name;
  }

  auto missing = read_to_string(tmp / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
  auto missing_whole = File::open_read(tmp / "missing");
  ASSERT_FALSE(missing_whole.ok());
  EXPECT_EQ(missing_whole.error().kind, ErrorKind::kNotFound);
}

TEST(Fs, MakesPathsAbsoluteAgainstTheCurrentDirectory) {
  auto cwd = current_dir();
  ASSERT_TRUE(cwd.ok());
  EXPECT_TRUE(cwd->is_absolute());
  EXPECT_EQ(make_absolute(path_from_utf8("a/./b/../c")).value(), *cwd / "a" / "c");
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> windows = {
      {R"(C:\x\.\y\..\z)", R"(C:\x\z)"},
      {R"(\\?\C:\x\..\y)", R"(\\?\C:\x\..\y)"},  // taken literally by the system, so kept
      {"C:/x/y", R"(C:\x\y)"},
  };
  const std::vector<Case> posix = {
      {"/x/./y/../z", "/x/z"},
      {"/../x", "/x"},
      {"//x//y/", "/x/y"},
  };
  for (const auto& c : sys::is_windows() ? windows : posix) {
    EXPECT_EQ(make_absolute(path_from_utf8(c.in)).value().native(), path_from_utf8(c.out).native()) << c.in;
  }
}

}  // namespace
}  // namespace vantle::fs
