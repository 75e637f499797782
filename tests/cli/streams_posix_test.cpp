// A standard stream that a daemon on POSIX may hand over: a pipe in non-blocking mode that a slow
// reader drains. (A full device is a row of the fault tier's start states.)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/cli.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

// Starts the tool with standard input on /dev/null and the outputs on the given descriptors.
pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& env, int out, int err) {
  std::vector<std::string> argv_storage = {display(vantle_binary())};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  CStrings argv(std::move(argv_storage));
  CStrings envp(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv.get()[0], &actions, nullptr, argv.get(), envp.get());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Everything the descriptor yields, read `chunk` bytes at a time with a pause after each.
std::string drain(int fd, std::size_t chunk, std::chrono::milliseconds pause) {
  std::string out;
  std::string buffer(chunk, '\0');
  while (true) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buffer.data(), static_cast<std::size_t>(n));
    std::this_thread::sleep_for(pause);
  }
}

int exit_code(pid_t pid) {
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
}

// A non-blocking pipe that fills up makes the tool wait for its reader, never fail: history and
// digest deliver the same bytes as into an ordinary pipe.
TEST(Streams, HistoryAndDigestWaitForASlowReaderOfANonBlockingPipe) {
  ScopedTempDir tmp;
  std::string log;
  for (int i = 0; log.size() < (std::size_t{3} << 20); ++i) {
    log += R"({"type":"message","message":{"role":"user","content":"line )" + std::to_string(i) + "\"}}\n";
  }
  write_file(tmp / "sessions" / "2024_abc.jsonl", log);
  const std::vector<std::vector<std::string>> runs = {
      {"history-omp", "--session", "abc", "--session-dir", display(tmp / "sessions")},
      {"digest-omp", "--in", display(tmp / "sessions" / "2024_abc.jsonl")},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0]);
    const CliResult expected = Cli(args).run();
    ASSERT_EQ(expected.status, ExitStatus::exited(0)) << expected.err;
    ASSERT_GT(expected.out.size(), std::size_t{1} << 20);  // past what even a grown pipe holds
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
    const pid_t pid = start(args, {}, out[1], 2);
    ::close(out[1]);
    ASSERT_GT(pid, 0);
    const std::string got = drain(out[0], 65536, std::chrono::milliseconds(5));
    ::close(out[0]);
    EXPECT_EQ(exit_code(pid), 0);
    EXPECT_TRUE(got == expected.out) << got.size() << " bytes of " << expected.out.size();
  }
}

}  // namespace
}  // namespace vantle::testing
