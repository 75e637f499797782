// Windows-only checks of starting children: the runtime's own parser, handle inheritance, and
// batch files run through the real cmd.exe.
#include <windows.h>
// shellapi.h below needs the types windows.h declares.
#include <gtest/gtest.h>
#include <shellapi.h>

#include <chrono>
#include <string>

#include "platform/child_watch.h"
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
      "plain",  "",           "two words",   "\"",
      "\"\"",   "a\"b",       "a \"b\" c",   "\\",
      "\\\\",   "trailing\\", "trailing \\", "\\\\server\\share\\",
      "a\\\"b", "a\\\\\"b",   "tab\tx",      "\xE4\xB8\xAD \xF0\x9F\x98\x80",
      "  ",     "end\\\\",
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

// The tool splits its own command line; whatever the system's function makes of a line, so must it.
TEST(WindowsCommandLine, SplitLikeCommandLineToArgvW) {
  const std::vector<std::string> lines = {
      "a.exe",
      R"("C:\Program Files\a.exe" x)",
      R"(C:\a\"b c)",
      R"("a\"b c)",
      R"("a"b c)",
      "\"unclosed program",
      "a.exe\x01x \x02y",
      "a.exe  \t ",
      "a.exe \"\"",
      "a.exe \"two words\" \"tab\there\"",
      "a.exe x\"y z\"w",
      R"(a.exe a\"b a\\"b c" a\\\"b)",
      R"(a.exe back\slash \\server\share\ "with space\\")",
      R"(a.exe "a""b" c)",
      R"(a.exe "a"""b" c)",
      R"(a.exe """a b""" c)",
      R"(a.exe a""b "" "")",
      "a.exe \"unclosed arg",
      "a.exe h\xC3\xA9 \xF0\x9F\x98\x80",
  };
  for (const std::string& line : lines) {
    const std::wstring wide = OsString::from_utf8(line).native();
    int count = 0;
    wchar_t** parsed = ::CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    const std::vector<std::wstring> system(parsed, parsed + count);
    ::LocalFree(parsed);
    EXPECT_EQ(split_windows_command_line(std::wstring_view(wide)), system) << line;
  }
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

// Writes N empty messages to standard output, then "done".
int empty_writes(const std::vector<std::string>& args) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  for (unsigned long i = std::stoul(args.at(0)); i > 0; --i) {
    if (!::WriteFile(out, "", 0, &written, nullptr)) return 1;
  }
  return ::WriteFile(out, "done", 4, &written, nullptr) ? 0 : 1;
}

[[maybe_unused]] const bool EMPTY_WRITES_REGISTERED = vantle::testing::add_child_mode("empty-writes", &empty_writes);

// On Windows each empty message completes a read with nothing; the watch reads on without growing
// its stack (20,000 nested waits would overflow it). Wine 8 completes no read for an empty write.
TEST(ChildWatchWindows, EmptyMessagesInALoopAreReadPast) {
  Command command = child_command("empty-writes", {"20000"});
  command.out = Stdio::kPipe;
  command.err = Stdio::kNull;
  auto child = spawn(command);
  ASSERT_TRUE(child.ok()) << child.error().message;
  ChildWatch watch(*child);
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (watch.is_open(0)) {
    auto event = watch.next(deadline);
    ASSERT_TRUE(event.ok()) << event.error().message;
    ASSERT_NE(event->kind, ChildWatch::Event::Kind::kDeadline);
    if (event->kind == ChildWatch::Event::Kind::kOutput) out += event->bytes;
  }
  EXPECT_EQ(out, "done");
  EXPECT_TRUE(child->wait()->success());
}

// Wine's cmd.exe expands variables again in the text that %* puts into a batch line; Windows does
// not. Under Wine a "%" therefore cannot pass through a batch file unchanged.
bool under_wine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Runs `args` through a batch file that hands them on with %* to this program in "args" mode, and
// returns what the program received. Anything a second command or a redirection would leave
// behind lands in the working directory, which must hold nothing but the script afterwards.
std::vector<std::string> through_batch_file(const std::vector<std::string>& args) {
  vantle::testing::ScopedTempDir tmp;
  auto exe = sys::current_exe();
  EXPECT_TRUE(exe.ok());
  if (!exe) return {};
  const auto script = tmp / "forward 100%.cmd";
  vantle::testing::write_file(script, "@\"" + display(*exe) + "\" %*\r\n");
  Command command = child_command("args", args);
  command.program = script;
  command.cwd = tmp.path();
  command.out = Stdio::kPipe;
  auto child = spawn(command);
  EXPECT_TRUE(child.ok()) << child.error().message;
  if (!child) return {};
  const std::string out = child->take_stdout()->read_to_end().value();
  EXPECT_TRUE(child->wait()->success());
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) {
    files.push_back(display(entry.path().filename()));
  }
  EXPECT_EQ(files, std::vector<std::string>{"forward 100%.cmd"});
  return split_records(out);
}

TEST(SpawnWindows, BatchFileReceivesMetacharactersLiterally) {
  std::vector<std::string> args = {"plain",
                                   "two words",
                                   "",
                                   "a&b",
                                   "x|y",
                                   "<in",
                                   ">out.txt",
                                   "^caret",
                                   "(paren)",
                                   "a,b=c",
                                   "semi;colon",
                                   "!bang!",
                                   "\"quoted\"",
                                   "trailing\\",
                                   "a\\b",
                                   "\xC3\xA9t\xC3\xA9",
                                   "tab\tx",
                                   "& echo injected > injected.txt",
                                   "| echo piped"};
  if (!under_wine()) args.insert(args.end(), {"%PATH%", "%VANTLE_TEST_CHILD%", "100%", "%%", "%cd:~,%"});
  EXPECT_EQ(through_batch_file(args), args);
}

TEST(SpawnWindows, BatchFileRunsNoSecondCommandWhateverTheQuotes) {
  // Inside quotes a quote reaches cmd.exe doubled. The current C runtime reads "" there as one quote,
  // but CommandLineToArgvW (like the old msvcrt parser) leaves the quoted stretch and may split or
  // change the argument: a limit of batch files, which must still never start a second command.
  const auto received = through_batch_file(
      {"\" & echo injected > injected.txt & \"", "x \"& echo injected2 >x\"", "a\"&\"b", "\"\"&\"\""});
  EXPECT_FALSE(received.empty());
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
