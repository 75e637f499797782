// Windows-only checks of renames and deletions: files another process holds for a moment, and
// the long-path declaration of the tool.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/stdio.h"
#include "support/child_modes.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::fs {
namespace {

namespace stdfs = std::filesystem;
using vantle::testing::ScopedTempDir;
using vantle::testing::write_file;

// Child mode: opens PATH without sharing delete, as a virus scanner does, prints "held", and
// closes it MS milliseconds later.
int hold_unshared(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const HANDLE h = ::CreateFileW(OsString::from_utf8(args[0]).native().c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  if (!stdio::write_out("held")) return 1;
  ::Sleep(static_cast<DWORD>(std::stoul(args[1])));
  ::CloseHandle(h);
  return 0;
}
[[maybe_unused]] const bool HOLD_REGISTERED = vantle::testing::add_child_mode("hold-unshared", &hold_unshared);

// Starts a holder of `path` for 300 ms and returns once it holds the file.
std::optional<process::Child> hold_for_a_moment(const stdfs::path& path) {
  process::Command command = vantle::testing::child_command("hold-unshared", {display(path), "300"});
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  auto child = process::spawn(command);
  EXPECT_TRUE(child.ok()) << child.error().message;
  if (!child) return std::nullopt;
  auto out = child->take_stdout();
  std::string got;
  char buffer[16];
  while (got.size() < 4) {
    auto n = out->read(buffer, sizeof buffer);
    if (!n || *n == 0) break;
    got.append(buffer, *n);
  }
  EXPECT_EQ(got, "held");
  if (got != "held") (void)child->kill();
  return std::move(*child);
}

TEST(FileSharingWindows, RenamesAndDeletionsWaitForAHolderThatLetsGo) {
  struct Case {
    const char* name;
    const char* held;  // relative to the test's directory
    std::function<SysResult<void>(const stdfs::path& dir)> run;
    std::function<bool(const stdfs::path& dir)> done;
  };
  const Case cases[] = {
      {"rename over a held file", "target",
       [](const stdfs::path& dir) { return rename_replace(dir / "new", dir / "target"); },
       [](const stdfs::path& dir) { return vantle::testing::read_file(dir / "target") == "new" && !fs::exists(dir / "new"); }},
      {"delete a held file", "target", [](const stdfs::path& dir) { return remove_file(dir / "target"); },
       [](const stdfs::path& dir) { return !fs::exists(dir / "target"); }},
      {"remove a tree holding a held file", "tree/sub/target",
       [](const stdfs::path& dir) { return remove_tree(dir / "tree"); },
       [](const stdfs::path& dir) { return !fs::exists(dir / "tree"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir tmp;
    write_file(tmp / c.held, "old");
    write_file(tmp / "new", "new");
    auto holder = hold_for_a_moment(tmp / c.held);
    ASSERT_TRUE(holder.has_value());
    const auto outcome = c.run(tmp.path());
    EXPECT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_TRUE(c.done(tmp.path()));
    auto status = holder->wait();
    ASSERT_TRUE(status.ok());
    EXPECT_TRUE(status->success());
  }
}

TEST(LongPathsWindows, TheToolDeclaresLongPathAwareness) {
  const HMODULE exe = ::LoadLibraryExW(vantle::testing::vantle_binary().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr) << ::GetLastError();
  const HRSRC found = ::FindResourceW(exe, MAKEINTRESOURCEW(1), RT_MANIFEST);
  std::string manifest;
  if (found != nullptr) {
    const HGLOBAL loaded = ::LoadResource(exe, found);
    if (loaded != nullptr) manifest.assign(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(exe, found));
  }
  ::FreeLibrary(exe);
  EXPECT_NE(manifest.find("longPathAware>true</"), std::string::npos) << manifest;
}

}  // namespace
}  // namespace vantle::fs
