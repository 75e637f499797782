// POSIX half of process.h: posix_spawn with every signal reset to its default, an empty mask,
// and no descriptor beyond the three standard streams. A child that owns its tree is started by a
// guardian (guardian_posix.h), which the Child then stands for: ending the guardian ends the tree.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/command_line.h"
#include "platform/env.h"
#include "platform/fd_posix.h"
#include "platform/guardian_posix.h"
#include "platform/process.h"
#include "platform/wait_posix.h"

namespace vantle::process {

SysResult<std::size_t> ReadPipe::read(char* buffer, std::size_t size) {
  return posix::read_fd(handle_.get(), buffer, size);
}

SysResult<void> WritePipe::write_all(std::string_view bytes) { return posix::write_all_fd(handle_.get(), bytes); }

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
  if (command.new_session) flags |= POSIX_SPAWN_SETSID;  // a new session is a new group too
  posix_spawnattr_setflags(&parts.attr, flags);

  const auto start = [&](pid_t& pid) {
    return ::posix_spawn(&pid, program.c_str(), &parts.actions, &parts.attr, argv.data(), envp.data());
  };
  Child child;
  if (command.own_tree) {
    // Should the guardian be killed, the agent's orphans come back here rather than to init, and
    // are ended when the guardian is seen dead (settle below).
    static const bool subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    (void)subreaper;
    // The agent joins the group its guardian leads.
    auto guardian = posix::start_guardian(start, !command.new_session);
    if (!guardian) return guardian.err();
    child.pid_ = static_cast<std::uint32_t>(guardian->pid);
    child.handles_.guardian_report.reset(guardian->report_fd);
  } else {
    pid_t pid = 0;
    if (const int rc = start(pid); rc != 0) return Err(os_error(rc));
    child.pid_ = static_cast<std::uint32_t>(pid);
  }
  const auto ours = [&parts](int end) { return OwnedHandle(std::exchange(parts.fds[end], -1)); };
  if (modes[0] == Stdio::kPipe) child.stdin_.emplace(ours(1));
  if (modes[1] == Stdio::kPipe) child.stdout_.emplace(ours(2));
  if (modes[2] == Stdio::kPipe) child.stderr_.emplace(ours(4));
  return child;
}

void Child::end_tree() {
  // The guardian, even one that has ended unreaped, cannot have had its pid reused yet.
  if (handles_.guardian_report && !status_ && pid_ != 0) ::kill(static_cast<pid_t>(pid_), SIGTERM);
}

namespace {

// The status of a child that has ended and been reaped as `reaped`: for a guardian, the agent's.
// A guardian that died before it reported (killed: it only ever reports and exits) left the
// agent's tree behind: its group is killed, and what left the group came back to this process as
// a child subreaper and is killed too. That is a failure of its own, not the agent's end.
SysResult<ExitStatus> settle(pid_t pid, OwnedHandle& guardian_report, const ExitStatus& reaped) {
  if (!guardian_report) return reaped;
  const auto raw = posix::guardian_report(guardian_report.get());
  guardian_report.reset();
  if (raw) return posix::exit_status_of(*raw);
  ::kill(-pid, SIGKILL);
  posix::kill_all_descendants();
  return Err(custom_error(ErrorKind::kOther, "the agent's guardian died (" + exit_status_text(reaped) + ")"));
}

}  // namespace

SysResult<std::optional<ExitStatus>> Child::try_wait() {
  if (status_) return status_;
  auto ended = posix::has_ended(static_cast<pid_t>(pid_), false);
  if (!ended) return ended.err();
  if (!*ended) return std::optional<ExitStatus>();
  auto status = posix::reap(static_cast<pid_t>(pid_));
  if (!status) return status.err();
  status_ = *status;
  auto settled = settle(static_cast<pid_t>(pid_), handles_.guardian_report, *status);
  if (!settled) return settled.err();
  status_ = *settled;
  return status_;
}

SysResult<ExitStatus> Child::wait() {
  if (status_) return *status_;
  stdin_.reset();  // a child waiting for input would otherwise never end
  auto status = posix::reap(static_cast<pid_t>(pid_));
  if (!status) return status.err();
  status_ = *status;
  auto settled = settle(static_cast<pid_t>(pid_), handles_.guardian_report, *status);
  if (!settled) return settled.err();
  status_ = *settled;
  return *status_;
}

SysResult<void> Child::kill() {
  // Without a pid (a moved-from child) kill(0) would signal this whole process group.
  if (status_ || pid_ == 0) return {};
  if (handles_.guardian_report) {
    end_tree();
    return {};
  }
  if (::kill(static_cast<pid_t>(pid_), SIGKILL) != 0 && errno != ESRCH) return Err(last_os_error());
  return {};
}

// Dropping an owned tree ends it and reaps its guardian, so that nothing of the run is left.
void Child::release() {
  if (!handles_.guardian_report) return;
  if (!status_ && pid_ != 0) {
    end_tree();
    (void)posix::reap(static_cast<pid_t>(pid_));
  }
  handles_.guardian_report.reset();
}

}  // namespace vantle::process
