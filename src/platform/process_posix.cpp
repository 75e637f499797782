// POSIX half of process.h: posix_spawn with every signal reset to its default, an empty mask,
// and no descriptor beyond the three standard streams.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/command_line.h"
#include "platform/env.h"
#include "platform/fd_posix.h"
#include "platform/process.h"
#include "platform/wait_posix.h"

namespace vantle::process {

SysResult<std::size_t> ReadPipe::read(char* buffer, std::size_t size) {
  return posix::read_fd(static_cast<int>(raw_), buffer, size);
}

SysResult<bool> ReadPipe::wait_readable(std::chrono::milliseconds timeout) {
  pollfd p{static_cast<int>(raw_), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int n = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (n > 0) return true;  // bytes, the end (POLLHUP) or an error the read will report
    if (n == 0) return false;
    if (errno != EINTR) return Err(last_os_error());
  }
}

void ReadPipe::close() {
  if (raw_ != -1) ::close(static_cast<int>(std::exchange(raw_, -1)));
}

SysResult<void> WritePipe::write_all(std::string_view bytes) {
  return posix::write_all_fd(static_cast<int>(raw_), bytes);
}

void WritePipe::close() {
  if (raw_ != -1) ::close(static_cast<int>(std::exchange(raw_, -1)));
}

namespace {

// Owns the descriptors and spawn objects of one start, whatever path it leaves by.
struct SpawnParts {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int fds[6] = {-1, -1, -1, -1, -1, -1};  // read/write ends of the stdin, stdout, stderr pipes
  SpawnParts() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnParts() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int fd : fds)
      if (fd != -1) ::close(fd);
  }
};

}  // namespace

SysResult<Child> spawn(const Command& command) {
  const std::string program = command.program.native();
  std::vector<std::string> argv_storage;
  argv_storage.reserve(command.args.size() + 1);
  argv_storage.push_back(program);
  for (const auto& arg : command.args) {
    if (arg.find('\0') != std::string::npos) {
      return Err(custom_error(ErrorKind::kInvalidInput, "an argument holds a NUL character"));
    }
    argv_storage.push_back(arg);
  }
  std::vector<std::string> env_storage;
  for (const auto& [name, value] : merge_environment(env::all(), command.env, false)) {
    if (value.contains_nul()) {
      return Err(custom_error(ErrorKind::kInvalidInput,
                              "environment variable " + name.to_utf8_lossy() + " holds a NUL character"));
    }
    env_storage.push_back(name.native() + "=" + value.native());
  }
  std::vector<char*> argv;
  for (auto& s : argv_storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& s : env_storage) envp.push_back(s.data());
  envp.push_back(nullptr);

  SpawnParts parts;
  const Stdio modes[3] = {command.in, command.out, command.err};
  for (int stream = 0; stream < 3; ++stream) {
    if (modes[stream] == Stdio::kPipe) {
      if (::pipe2(&parts.fds[stream * 2], O_CLOEXEC) != 0) return Err(last_os_error());
      // For stdin the child reads (end 0); for the outputs it writes (end 1).
      const int child_end = parts.fds[stream * 2 + (stream == 0 ? 0 : 1)];
      posix_spawn_file_actions_adddup2(&parts.actions, child_end, stream);
    } else if (modes[stream] == Stdio::kNull) {
      posix_spawn_file_actions_addopen(&parts.actions, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&parts.actions, 3);
  if (command.cwd) posix_spawn_file_actions_addchdir_np(&parts.actions, command.cwd->c_str());

  sigset_t all_signals;
  sigset_t no_signals;
  sigfillset(&all_signals);
  sigemptyset(&no_signals);
  posix_spawnattr_setsigdefault(&parts.attr, &all_signals);
  posix_spawnattr_setsigmask(&parts.attr, &no_signals);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (command.new_session) {
    flags |= POSIX_SPAWN_SETSID;  // a new session is a new group too
  } else if (command.own_tree) {
    posix_spawnattr_setpgroup(&parts.attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&parts.attr, flags);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &parts.actions, &parts.attr, argv.data(), envp.data());
  if (rc != 0) return Err(os_error(rc));

  Child child;
  child.pid_ = static_cast<std::uint32_t>(pid);
  if (command.own_tree) child.tree_ = 1;
  if (modes[0] == Stdio::kPipe) child.stdin_.emplace(std::exchange(parts.fds[1], -1));
  if (modes[1] == Stdio::kPipe) child.stdout_.emplace(std::exchange(parts.fds[2], -1));
  if (modes[2] == Stdio::kPipe) child.stderr_.emplace(std::exchange(parts.fds[4], -1));
  return child;
}

void Child::end_tree() {
  // A group lives while any member does (the unreaped leader counts), so its id cannot have been
  // taken by another group yet.
  if (tree_ != -1 && !status_ && pid_ != 0) ::kill(-static_cast<pid_t>(pid_), SIGKILL);
}

// An owned tree's leader is seen to end unreaped, and reaped only once its group has been killed.
SysResult<std::optional<ExitStatus>> Child::try_wait() {
  if (status_) return status_;
  auto ended = posix::has_ended(static_cast<pid_t>(pid_), false);
  if (!ended) return ended.err();
  if (!*ended) return std::optional<ExitStatus>();
  end_tree();
  auto status = posix::reap(static_cast<pid_t>(pid_));
  if (!status) return status.err();
  status_ = *status;
  return status_;
}

SysResult<ExitStatus> Child::wait() {
  if (status_) return *status_;
  stdin_.reset();  // a child waiting for input would otherwise never end
  if (tree_ != -1) {
    auto ended = posix::has_ended(static_cast<pid_t>(pid_), true);
    if (!ended) return ended.err();
    end_tree();
  }
  auto status = posix::reap(static_cast<pid_t>(pid_));
  if (!status) return status.err();
  status_ = *status;
  return *status_;
}

SysResult<void> Child::kill() {
  if (status_) return {};
  if (tree_ != -1) {
    end_tree();
    return {};
  }
  if (::kill(static_cast<pid_t>(pid_), SIGKILL) != 0 && errno != ESRCH) return Err(last_os_error());
  return {};
}

// Dropping an owned tree ends it and reaps its leader, so that nothing of the run is left.
void Child::release() {
  if (tree_ == -1 || status_ || pid_ == 0) return;
  end_tree();
  (void)posix::reap(static_cast<pid_t>(pid_));
}

}  // namespace vantle::process
