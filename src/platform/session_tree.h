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
  OwnedHandle handle;       // what signals the parent's end: a pidfd, a SYNCHRONIZE process handle
  std::string unavailable;  // why no handle could be had; the watch reports it
};

// Takes the parent's identity. Call it first thing, before anything slow.
Parent identify_parent();

// Arranges that no process started by run_foreground, nor any of its descendants, outlives this
// process, whatever ends it. Windows: this process joins a new job whose only limit is
// kill-on-close. Linux: run_foreground goes through a guardian process (see the POSIX half).
// A failure is a message; the caller may go on without the protection.
Result<void> couple_session_tree();

// Arms the watch on `parent`: once it has ended, `line` goes to standard error and the process
// ends with `exit_code`, at once if the parent is gone already. A failure is a message.
Result<void> watch_parent_death(Parent parent, std::string line, int exit_code);

// Why run_foreground has no status of the agent to give.
struct ForegroundError {
  enum class Kind { kStart, kGuardianDied };
  Kind kind;
  SysError error;
};

// Runs `command` in the foreground with the standard streams inherited and waits for it. Terminal
// interrupts (Ctrl-C) are the command's to handle: this process does not die of them meanwhile.
Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command);

}  // namespace vantle::session_tree
