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
#include <memory>

#include "platform/command_line.h"
#include "platform/env.h"
#include "platform/fd_posix.h"
#include "platform/guardian_posix.h"
#include "platform/process.h"
#include "platform/spawn_posix.h"
#include "platform/wait_posix.h"

namespace vantle::process {

SysResult<std::size_t> ReadPipe::read(char* buffer, std::size_t size) {
  return posix::read_fd(handle_.get(), buffer, size);
}

SysResult<void> WritePipe::write_all(std::string_view bytes) { return posix::write_all_fd(handle_.get(), bytes); }

}  // namespace vantle::process

namespace vantle::posix {

PreparedSpawn::PreparedSpawn() {
  posix_spawn_file_actions_init(&actions_);
  posix_spawnattr_init(&attr_);
}

PreparedSpawn::~PreparedSpawn() {
  posix_spawn_file_actions_destroy(&actions_);
  posix_spawnattr_destroy(&attr_);
}

int PreparedSpawn::start(pid_t& pid) const {
  return ::posix_spawn(&pid, program_.c_str(), &actions_, &attr_, argv_.data(), envp_.data());
}

SysResult<std::unique_ptr<PreparedSpawn>> prepare_spawn(const process::Command& command) {
  auto prepared = std::make_unique<PreparedSpawn>();
  PreparedSpawn& p = *prepared;
  p.program_ = command.program.native();
  p.argv_storage_.reserve(command.args.size() + 1);
  p.argv_storage_.push_back(p.program_);
  for (const auto& arg : command.args) {
    if (arg.find('\0') != std::string::npos) {
      return Err(custom_error(ErrorKind::kInvalidInput, "an argument holds a NUL character"));
    }
    p.argv_storage_.push_back(arg);
  }
  for (const auto& [name, value] : process::merge_environment(env::all(), command.env, false)) {
    if (value.contains_nul()) {
      return Err(custom_error(ErrorKind::kInvalidInput, "environment variable " + name.to_utf8_lossy() +
                                                            " holds a NUL character"));
    }
    p.env_storage_.push_back(name.native() + "=" + value.native());
  }
  for (auto& s : p.argv_storage_) p.argv_.push_back(s.data());
  p.argv_.push_back(nullptr);
  for (auto& s : p.env_storage_) p.envp_.push_back(s.data());
  p.envp_.push_back(nullptr);

  const process::Stdio modes[3] = {command.in, command.out, command.err};
  for (int stream = 0; stream < 3; ++stream) {
    if (modes[stream] == process::Stdio::kPipe) {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) return Err(last_os_error());
      p.pipes_[stream * 2].reset(ends[0]);
      p.pipes_[stream * 2 + 1].reset(ends[1]);
      // For stdin the child reads (end 0); for the outputs it writes (end 1).
      const int child_end = ends[stream == 0 ? 0 : 1];
      posix_spawn_file_actions_adddup2(&p.actions_, child_end, stream);
    } else if (modes[stream] == process::Stdio::kNull) {
      posix_spawn_file_actions_addopen(&p.actions_, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawn_file_actions_addclosefrom_np(&p.actions_, 3);
  if (command.cwd) posix_spawn_file_actions_addchdir_np(&p.actions_, command.cwd->c_str());

  sigset_t all_signals;
  sigset_t no_signals;
  sigfillset(&all_signals);
  sigemptyset(&no_signals);
  posix_spawnattr_setsigdefault(&p.attr_, &all_signals);
  posix_spawnattr_setsigmask(&p.attr_, &no_signals);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (command.new_session) flags |= POSIX_SPAWN_SETSID;  // a new session is a new group too
  posix_spawnattr_setflags(&p.attr_, flags);
  return prepared;
}

}  // namespace vantle::posix

namespace vantle::process {

SysResult<Child> spawn(const Command& command) {
  auto prepared = posix::prepare_spawn(command);
  if (!prepared) return prepared.err();
  const posix::PreparedSpawn& parts = **prepared;
  const auto start = [&parts](pid_t& pid) { return parts.start(pid); };
  Child child;
  if (command.own_tree) {
    // Should the guardian be killed, the agent's orphans come back here rather than to init, and
    // are ended when the guardian is seen dead (settle below).
    static const bool subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    (void)subreaper;
    // The agent joins the group its guardian leads.
    auto guardian = posix::start_guardian(start, !command.new_session && !command.keep_group);
    if (!guardian) return guardian.err();
    child.pid_ = static_cast<std::uint32_t>(guardian->pid);
    child.handles_.guardian_report = std::move(guardian->report);
  } else {
    pid_t pid = 0;
    if (const int rc = start(pid); rc != 0) return Err(os_error(rc));
    child.pid_ = static_cast<std::uint32_t>(pid);
  }
  if (command.in == Stdio::kPipe) child.stdin_.emplace((*prepared)->take_pipe(1));
  if (command.out == Stdio::kPipe) child.stdout_.emplace((*prepared)->take_pipe(2));
  if (command.err == Stdio::kPipe) child.stderr_.emplace((*prepared)->take_pipe(4));
  return child;
}

bool Child::end_tree() {
  // The guardian, even one that has ended unreaped, cannot have had its pid reused yet.
  if (!handles_.guardian_report || status_ || pid_ == 0) return true;
  return ::kill(static_cast<pid_t>(pid_), SIGTERM) == 0 || errno == ESRCH;
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
  if (!raw) {
    // The guardian has ended, and with it, as a rule, the tree; what is left is ended too.
    posix::end_orphaned_tree(pid);
    return raw.err();
  }
  if (*raw) return posix::exit_status_of(**raw);
  posix::end_orphaned_tree(pid);
  return Err(custom_error(ErrorKind::kOther, "the agent's guardian died (" + exit_status_text(reaped) + ")"));
}

// Reaps an ended child into `status`: first the child's own status, so that a guardian found dead
// is not killed again, then the agent's.
SysResult<ExitStatus> reap_and_settle(pid_t pid, OwnedHandle& guardian_report, std::optional<ExitStatus>& status) {
  auto reaped = posix::reap(pid);
  if (!reaped) return reaped.err();
  status = *reaped;
  auto settled = settle(pid, guardian_report, *reaped);
  if (!settled) return settled.err();
  status = *settled;
  return *settled;
}

}  // namespace

SysResult<std::optional<ExitStatus>> Child::try_wait() {
  if (status_) return status_;
  auto ended = posix::has_ended(static_cast<pid_t>(pid_), false);
  if (!ended) return ended.err();
  if (!*ended) return std::optional<ExitStatus>();
  if (auto settled = reap_and_settle(static_cast<pid_t>(pid_), handles_.guardian_report, status_); !settled) {
    return settled.err();
  }
  return status_;
}

SysResult<ExitStatus> Child::wait() {
  if (status_) return *status_;
  stdin_.reset();  // a child waiting for input would otherwise never end
  return reap_and_settle(static_cast<pid_t>(pid_), handles_.guardian_report, status_);
}

SysResult<void> Child::kill() {
  // Without a pid (a moved-from child) kill(0) would signal this whole process group.
  if (status_ || pid_ == 0) return {};
  if (handles_.guardian_report) {
    if (!end_tree()) return Err(last_os_error());
    return {};
  }
  if (::kill(static_cast<pid_t>(pid_), SIGKILL) != 0 && errno != ESRCH) return Err(last_os_error());
  return {};
}

// Dropping an owned tree ends it and reaps its guardian, so that nothing of the run is left.
void Child::release() {
  if (!handles_.guardian_report) return;
  // A guardian that cannot be told to end is not waited for: it ends the tree when this process
  // ends (its parent-death signal).
  if (!status_ && pid_ != 0 && end_tree()) (void)posix::reap(static_cast<pid_t>(pid_));
  handles_.guardian_report.reset();
}

}  // namespace vantle::process
