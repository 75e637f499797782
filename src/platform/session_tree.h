// Tying the agent's whole process tree to this process's life, and this process to its parent's.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/process.h"
#include "text/exit_status.h"
#include "text/result.h"

namespace vantle::session_tree {

// Arranges that no process started by run_foreground, nor any of its descendants, outlives this
// process, whatever ends it. Windows: this process joins a new job whose only limit is
// kill-on-close. Linux: run_foreground goes through a guardian process (see the POSIX half).
// A failure is a message; the caller may go on without the protection.
Result<void> couple_session_tree();

// Starts a detached thread that waits for this process's parent to end; then it writes `line` to
// standard error and ends the process with `exit_code`. A failure is a message.
Result<void> watch_parent_death(std::string line, int exit_code);

// Runs `command` in the foreground with the standard streams inherited and waits for it. Terminal
// interrupts (Ctrl-C) are the command's to handle: this process does not die of them meanwhile.
SysResult<ExitStatus> run_foreground(const process::Command& command);

}  // namespace vantle::session_tree
