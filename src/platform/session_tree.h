// Tying the agent's whole process tree to this process's life, and this process to its parent's.
#pragma once

#include <cstdint>
#include <string>

#include "base/exit_status.h"
#include "base/result.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/system_handles.h"

namespace vantle::session_tree {

// The parent process as it was when this process started: a daemon that exits at once is still
// the one watched, not whoever adopts this process afterwards.
struct Parent {
  std::uint32_t pid = 0;
  // What signals the parent's end: a pidfd, a SYNCHRONIZE process handle; none on a Linux kernel
  // without pidfd_open, where the parent pid is compared instead.
  OwnedHandle handle;
  std::string unavailable;  // why the parent cannot be watched; the watch reports it
};

// Takes the parent's identity. Call it first thing, before anything slow.
Parent identify_parent();

// Whether `parent` has ended, without blocking.
bool has_ended(const Parent& parent);

// Arranges that no process started by run_foreground, nor any of its descendants, outlives this
// process, whatever ends it. Windows: this process joins a new job whose only limit is
// kill-on-close. Linux: run_foreground goes through a guardian process (see the POSIX half).
// A failure is a message; the caller may go on without the protection.
Result<void> couple_session_tree();

// Arms the watch on `parent`: once it has ended, report line `line` is written and the process
// ends with `exit_code`, at once if the parent is gone already. A failure is a message.
Result<void> watch_parent_death(Parent parent, std::string line, int exit_code);

// Why run_foreground has no status of the agent to give.
struct ForegroundError {
  enum class Kind { kStart, kGuardianDied };
  Kind kind;
  SysError error;
};

// Runs `command` in the foreground with the standard streams inherited and waits for it, and for
// the armed watch's parent in the same wait. Terminal interrupts (Ctrl-C) are the command's to
// handle: this process does not die of them meanwhile.
Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command);

// The wait of run_foreground, which each system's half calls: until `child` has ended, ending this
// process the moment the watched parent does; then the child's status.
SysResult<ExitStatus> wait_foreground(process::Child& child);

}  // namespace vantle::session_tree
