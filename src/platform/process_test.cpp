#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "platform/child_watch.h"
#include "platform/env.h"
#include "platform/system.h"
#include "support/child_modes.h"
#include "support/temp_dir.h"

namespace vantle::process {
namespace {

using vantle::testing::child_command;
using vantle::testing::split_records;

struct Output {
  ExitStatus status;
  std::string out;
  std::string err;
};

// Starts the command with stdout and stderr piped (unless it says otherwise) and collects both.
Output run(Command command) {
  if (command.out == Stdio::kInherit) command.out = Stdio::kPipe;
  if (command.err == Stdio::kInherit) command.err = Stdio::kPipe;
  auto child = spawn(command);
  EXPECT_TRUE(child.ok()) << (child ? "" : child.error().message);
  if (!child) return {};
  Output output;
  // Standard error stays small in these tests, so reading one stream after the other cannot stall.
  if (auto pipe = child->take_stdout()) output.out = pipe->read_to_end().value();
  if (auto pipe = child->take_stderr()) output.err = pipe->read_to_end().value();
  auto status = child->wait();
  EXPECT_TRUE(status.ok());
  if (status) output.status = *status;
  return output;
}

// `cat` reading a pipe of ours, so that it lives until that pipe is closed.
SysResult<Child> spawn_cat(Stdio out) {
  Command command = child_command("cat");
  command.in = Stdio::kPipe;
  command.out = out;
  return spawn(command);
}

TEST(Spawn, ArgumentsReachTheChildUnchanged) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"plain", "two words", "  padded  ", "tab\there", "new\nline"},
      {"\"", "\"quoted\"", "a\"b", "a \"b\" c", "\\\"", "\"\""},
      {"back\\slash", "trailing\\", "trailing\\\\", "\\\\server\\share\\", "space \\", "a\\\\\"b"},
      {""},
      {"", "middle", ""},
      {"h\xC3\xA9 \xF0\x9F\x98\x80", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"*", "?.txt", "%PATH%", "$HOME", "a&b|c<d>e^f", "!bang!", "'single'"},
  };
  for (const auto& args : cases) {
    const Output output = run(child_command("args", args));
    EXPECT_TRUE(output.status.success());
    EXPECT_EQ(split_records(output.out), args);
  }
}

std::vector<std::string> entries_named(const std::string& child_env, std::string_view name) {
  std::vector<std::string> found;
  for (const auto& entry : split_records(child_env)) {
    const std::string entry_name = entry.substr(0, entry.find('=', 1));
    const bool same = env::names_ignore_case()
                          ? std::equal(entry_name.begin(), entry_name.end(), name.begin(), name.end(),
                                       [](char a, char b) { return std::toupper(a) == std::toupper(b); })
                          : entry_name == name;
    if (same) found.push_back(entry);
  }
  return found;
}

TEST(Spawn, EnvironmentChangesApplyOnTopOfOurs) {
  ASSERT_TRUE(env::set("VANTLE_TEST_KEPT", OsString::from_utf8("from parent")).ok());
  ASSERT_TRUE(env::set("VANTLE_TEST_REMOVED", OsString::from_utf8("x")).ok());
  ASSERT_TRUE(env::set("VANTLE_TEST_CASE", OsString::from_utf8("old")).ok());
  Command command = child_command("env");
  command.set_env("VANTLE_TEST_SET", OsString::from_utf8("h\xC3\xA9=x"));
  command.set_env("VANTLE_TEST_EMPTY", OsString());
  command.remove_env("VANTLE_TEST_REMOVED");
  command.set_env("vantle_test_case", OsString::from_utf8("new"));
  const Output output = run(command);
  (void)env::remove("VANTLE_TEST_KEPT");
  (void)env::remove("VANTLE_TEST_REMOVED");
  (void)env::remove("VANTLE_TEST_CASE");

  EXPECT_EQ(entries_named(output.out, "VANTLE_TEST_KEPT"), std::vector<std::string>{"VANTLE_TEST_KEPT=from parent"});
  EXPECT_EQ(entries_named(output.out, "VANTLE_TEST_SET"), std::vector<std::string>{"VANTLE_TEST_SET=h\xC3\xA9=x"});
  EXPECT_EQ(entries_named(output.out, "VANTLE_TEST_EMPTY"), std::vector<std::string>{"VANTLE_TEST_EMPTY="});
  EXPECT_EQ(entries_named(output.out, "VANTLE_TEST_REMOVED"), std::vector<std::string>{});
  // On Windows a change replaces the variable whatever the case of its name.
  const std::vector<std::string> expected_case =
      env::names_ignore_case() ? std::vector<std::string>{"vantle_test_case=new"}
                               : std::vector<std::string>{"VANTLE_TEST_CASE=old", "vantle_test_case=new"};
  auto found_case = entries_named(output.out, "VANTLE_TEST_CASE");
  if (!env::names_ignore_case()) {
    auto lower = entries_named(output.out, "vantle_test_case");
    found_case.insert(found_case.end(), lower.begin(), lower.end());
  }
  EXPECT_EQ(found_case, expected_case);
}

TEST(Spawn, RunsInTheGivenWorkingDirectory) {
  vantle::testing::ScopedTempDir tmp;
  const auto dir = tmp / "w\xC3\xA9rk dir";
  std::filesystem::create_directories(dir);
  Command command = child_command("cwd");
  command.cwd = dir;
  const Output output = run(command);
  EXPECT_TRUE(output.status.success());
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::equivalent(path_from_utf8(output.out), dir, ec)) << output.out;
  EXPECT_EQ(path_from_utf8(output.out).filename(), dir.filename());
}

TEST(Spawn, PipesCarryBytesBothWaysUnchanged) {
  std::string input = "line one\nline two\r\n\x00\xFF binary\x1A\n";
  input.resize(input.size() + 300000, 'z');  // more than any pipe buffer holds
  auto child = spawn_cat(Stdio::kPipe);
  ASSERT_TRUE(child.ok()) << child.error().message;
  auto in = child->take_stdin();
  ASSERT_TRUE(in.has_value());
  std::thread writer([&] {
    EXPECT_TRUE(in->write_all(input).ok());
    in->close();
  });
  auto out = child->take_stdout()->read_to_end();
  writer.join();
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->size(), input.size());
  EXPECT_TRUE(*out == input);
  EXPECT_TRUE(child->wait()->success());
}

TEST(Spawn, SeparatesStdoutFromStderr) {
  const Output output = run(child_command("echo", {"text"}));
  EXPECT_TRUE(output.status.success());
  EXPECT_EQ(output.out, "text");
  EXPECT_EQ(output.err, "err:text");
}

TEST(Spawn, NullStreamsReadEmptyAndSwallowWrites) {
  Command reader = child_command("cat");
  reader.in = Stdio::kNull;
  const Output read = run(reader);
  EXPECT_TRUE(read.status.success());
  EXPECT_EQ(read.out, "");

  Command writer = child_command("echo", {"into the void"});
  writer.out = Stdio::kNull;
  writer.err = Stdio::kNull;
  EXPECT_TRUE(run(writer).status.success());
}

TEST(Spawn, ReportsExitCodes) {
  std::vector<std::uint32_t> codes = {0, 3, 255};
  // A Windows parent sees all 32 bits, such as an access violation's status.
  if (sys::is_windows()) codes.push_back(0xC0000005u);
  for (const std::uint32_t code : codes) {
    const Output output = run(child_command("exit", {std::to_string(code)}));
    EXPECT_EQ(output.status.kind, ExitStatus::Kind::kExited) << code;
    EXPECT_EQ(output.status.code, code);
  }
}

TEST(Spawn, KillsASleepingChild) {
  Command command = child_command("sleep", {"60000"});
  auto spawned = spawn(command);
  ASSERT_TRUE(spawned.ok()) << spawned.error().message;
  // A child moved from has nothing left to kill: killing it neither fails nor ends the process.
  auto child = std::optional<Child>(std::move(*spawned));
  EXPECT_EQ(spawned->id(), 0u);
  EXPECT_TRUE(spawned->kill().ok());
  EXPECT_EQ(child->try_wait().value(), std::nullopt);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(child->kill().ok());
  auto status = child->wait();
  ASSERT_TRUE(status.ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(status->success());
  if (!sys::is_windows()) {
    EXPECT_EQ(status->kind, ExitStatus::Kind::kSignaled);
    EXPECT_EQ(status->signal_name, "SIGKILL");
  }
  EXPECT_TRUE(child->kill().ok());  // already ended: not an error
}

TEST(Spawn, KillingAnEndedButUnwaitedChildIsNoError) {
  Command command = child_command("exit", {"4"});
  command.out = Stdio::kPipe;
  auto child = spawn(command);
  ASSERT_TRUE(child.ok()) << child.error().message;
  // End of file on its output: the child has ended, and nothing has collected its status yet.
  EXPECT_EQ(child->take_stdout()->read_to_end().value(), "");
  EXPECT_TRUE(child->kill().ok());
  EXPECT_EQ(child->wait()->code, 4u);
}

TEST(Spawn, TryWaitSeesTheEndWithoutBlocking) {
  // The child blocks reading its input until we close it, so it is certainly alive at first.
  auto child = spawn_cat(Stdio::kNull);
  ASSERT_TRUE(child.ok()) << child.error().message;
  auto first = child->try_wait();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, std::nullopt);
  child->take_stdin().reset();
  std::optional<ExitStatus> status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!status && std::chrono::steady_clock::now() < deadline) {
    auto polled = child->try_wait();
    ASSERT_TRUE(polled.ok());
    status = *polled;
    if (!status) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->success());
  EXPECT_TRUE(child->try_wait()->has_value());  // the status stays
}

TEST(Spawn, ReadsMegabytesOfOutput) {
  const std::size_t size = 5 * 1024 * 1024 + 7;
  const Output output = run(child_command("fill", {std::to_string(size)}));
  EXPECT_TRUE(output.status.success());
  ASSERT_EQ(output.out.size(), size);
  EXPECT_EQ(output.out.substr(0, 3), "abc");
  EXPECT_EQ(output.out.back(), static_cast<char>('a' + (size - 1) % 26));
}

// Everything the watch reports of `child` until its end and the end of both pipes; stdout's bytes.
// A watch that misses the end runs into the deadline instead.
std::string watch_to_end(Child& child) {
  ChildWatch watch(child);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string out;
  bool ended = false;
  while (!ended || watch.is_open(0) || watch.is_open(1)) {
    auto event = watch.next(deadline);
    EXPECT_TRUE(event.ok()) << (event ? "" : event.error().message);
    if (!event || event->kind == ChildWatch::Event::Kind::kDeadline) {
      ADD_FAILURE() << "no end within a minute";
      break;
    }
    if (event->kind == ChildWatch::Event::Kind::kEnded) ended = true;
    if (event->kind == ChildWatch::Event::Kind::kOutput && event->stream == 0) out += event->bytes;
  }
  return out;
}

TEST(ChildWatch, ReportsTheEndOfEveryChild) {
  for (const bool own_tree : {false, true}) {
    Command command = child_command("echo", {"said"});
    command.out = Stdio::kPipe;
    command.err = Stdio::kPipe;
    command.own_tree = own_tree;
    auto child = spawn(command);
    ASSERT_TRUE(child.ok()) << child.error().message;
    EXPECT_EQ(watch_to_end(*child), "said") << own_tree;
    EXPECT_TRUE(child->wait()->success());
  }
}

TEST(Spawn, MissingProgramIsAnError) {
  vantle::testing::ScopedTempDir tmp;
  Command command;
  command.program = tmp / (sys::is_windows() ? "missing.exe" : "missing");
  auto child = spawn(command);
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(child.error().kind, ErrorKind::kNotFound);
  EXPECT_NE(child.error().message.find(" (os error "), std::string::npos) << child.error().message;
}

TEST(Spawn, RefusesArgumentsWithNul) {
  auto child = spawn(child_command("args", {std::string("a\0b", 3)}));
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(child.error().kind, ErrorKind::kInvalidInput);
}

}  // namespace
}  // namespace vantle::process
