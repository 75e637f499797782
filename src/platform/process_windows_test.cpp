// Windows-only checks of starting children: the runtime's own parser, handle inheritance, and
// batch files run through the real cmd.exe.
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <gtest/gtest.h>

#include "platform/command_line.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/child_modes.h"
#include "support/temp_dir.h"

namespace vantle::process {
namespace {

using vantle::testing::child_command;
using vantle::testing::split_records;

TEST(WindowsCommandLine, CommandLineToArgvWGivesTheArgumentsBack) {
  const std::vector<std::string> args = {
      "plain", "", "two words", "\"", "\"\"", "a\"b", "a \"b\" c", "\\", "\\\\", "trailing\\", "trailing \\",
      "\\\\server\\share\\", "a\\\"b", "a\\\\\"b", "tab\tx", "\xE4\xB8\xAD \xF0\x9F\x98\x80", "  ", "end\\\\",
  };
  const std::string line = windows_command_line("C:\\dir with space\\prog.exe", args);
  int count = 0;
  wchar_t** parsed = ::CommandLineToArgvW(OsString::from_utf8(line).native().c_str(), &count);
  ASSERT_NE(parsed, nullptr);
  std::vector<std::string> back;
  for (int i = 1; i < count; ++i) back.push_back(OsString(parsed[i]).to_utf8_lossy());
  EXPECT_EQ(OsString(parsed[0]).to_utf8_lossy(), "C:\\dir with space\\prog.exe");
  ::LocalFree(parsed);
  EXPECT_EQ(back, args);
}

TEST(SpawnWindows, ChildGetsNoOtherInheritableHandle) {
  // An inheritable pipe the child is not meant to have: if the child held its write end, our read
  // end could not report the pipe broken after we close our own write end.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(::CreatePipe(&read, &write, &inherit, 0));
  Command command = child_command("cat");
  command.in = Stdio::kPipe;  // keeps the child alive until we close it
  command.out = Stdio::kNull;
  auto child = spawn(command);
  ::CloseHandle(write);
  ASSERT_TRUE(child.ok()) << child.error().message;
  DWORD available = 0;
  const BOOL peeked = ::PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr);
  const DWORD error = ::GetLastError();
  ::CloseHandle(read);
  EXPECT_FALSE(peeked);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(child->try_wait().value(), std::nullopt);  // it was alive while we looked
  EXPECT_TRUE(child->wait()->success());
}

TEST(SpawnWindows, BatchFileReceivesMetacharactersLiterally) {
  vantle::testing::ScopedTempDir tmp;
  auto exe = sys::current_exe();
  ASSERT_TRUE(exe.ok());
  // The script hands its arguments on untouched; the helper then writes what it received.
  const auto script = tmp / "forward 100%.cmd";
  vantle::testing::write_file(script, "@\"" + display(*exe) + "\" %*\r\n");
  const std::vector<std::string> args = {
      "plain", "two words", "", "a&b", "x|y", "<in", ">out.txt", "^caret", "(paren)", "semi;colon", "a,b=c",
      "%PATH%", "%VANTLE_TEST_CHILD%", "100%", "!bang!", "\"quoted\"", "trailing\\", "\xC3\xA9t\xC3\xA9",
      "& echo injected > injected.txt", "\" & echo injected > injected2.txt & \"",
  };
  Command command = child_command("args", args);
  command.program = script;
  command.cwd = tmp.path();
  command.out = Stdio::kPipe;
  auto child = spawn(command);
  ASSERT_TRUE(child.ok()) << child.error().message;
  const std::string out = child->take_stdout()->read_to_end().value();
  EXPECT_TRUE(child->wait()->success());
  EXPECT_EQ(split_records(out), args);
  // Nothing but the script: no redirection or second command ran.
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) files.push_back(display(entry.path().filename()));
  EXPECT_EQ(files, std::vector<std::string>{"forward 100%.cmd"});
}

TEST(SpawnWindows, BatchFileRefusesLineBreaks) {
  vantle::testing::ScopedTempDir tmp;
  vantle::testing::write_file(tmp / "run.bat", "@exit 0\r\n");
  for (const std::string arg : {"a\nb", "a\rb"}) {
    Command command;
    command.program = tmp / "run.bat";
    command.args = {arg};
    auto child = spawn(command);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().kind, ErrorKind::kInvalidInput);
  }
}

}  // namespace
}  // namespace vantle::process
