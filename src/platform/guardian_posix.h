// The guardian that holds an agent's whole process tree on Linux, shared by the launch and by every
// run of the agent. Included only by *_posix.cpp files.
//
// A process group does not hold a tree (a descendant may start its own group or session), and a
// tool killed with SIGKILL runs no clean-up. So the tool forks a small guardian that (1) is a
// child subreaper, so every orphan of the agent's tree is re-parented to it instead of to init,
// whatever group or session it moved to, and (2) has PR_SET_PDEATHSIG pointed at SIGTERM, which
// the kernel sends when the tool dies for any reason, kill -9 included. The guardian starts the
// agent and waits; when the agent exits, or the guardian is told to stop (SIGTERM, SIGHUP), or the
// tool dies, it kills every process below it, round after round (each killed process's orphans
// come back to it as children), until it has no child left. Then it reports the agent's wait
// status to the tool and exits with the agent's exit code (1 when a signal ended the agent).
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>

#include "platform/error.h"
#include "platform/system_handles.h"

namespace vantle::posix {

struct Guardian {
  pid_t pid = -1;
  OwnedHandle report;  // the agent's wait status arrives here before the guardian exits
};

// Forks a guardian whose `start` (run in the guardian, a copy of the tool that must not return
// into the tool's code) starts the agent and gives its pid, or an errno value. With `own_group` the
// guardian leads a new process group, which the agent joins, out of reach of the terminal's
// signals. Returns once the agent runs; a failed start is the start's error, the guardian reaped.
// A guardian killed before it reported has what it may have started ended (end_orphaned_tree):
// the caller must be a child subreaper with no other children.
SysResult<Guardian> start_guardian(const std::function<int(pid_t&)>& start, bool own_group);

// The next status the guardian reported (the start's errno, then the agent's wait status); nothing
// when the guardian died first. The error of a failed read names the report.
SysResult<std::optional<int>> guardian_report(int report_fd);

// Kills every descendant of the calling process, which must be a child subreaper, and reaps them.
void kill_all_descendants();

// Ends what a guardian that died without its last report left behind: the process group it led,
// where it led one, and every orphan that came back to the calling process, a child subreaper.
void end_orphaned_tree(pid_t guardian);

}  // namespace vantle::posix
