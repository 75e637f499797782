// Windows half of session_tree.h: a kill-on-close job object holding this process (and so every
// process it starts), and the parent's process handle, opened at start from a toolhelp snapshot.
#include <windows.h>
#include <tlhelp32.h>

#include "platform/handle_windows.h"
#include "platform/session_tree.h"

namespace vantle::session_tree {

Result<void> couple_session_tree() {
  // The handle is never closed: when this process ends, the system closes it, the job closes,
  // and every process still in it is terminated.
  OwnedHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return Err(failed_call("CreateJobObjectW"));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return Err(failed_call("SetInformationJobObject"));
  }
  if (!::AssignProcessToJobObject(job.get(), ::GetCurrentProcess())) return Err(failed_call("AssignProcessToJobObject"));
  (void)job.release();
  return {};
}

Parent identify_parent() {
  Parent parent;
  const DWORD self = ::GetCurrentProcessId();
  const OwnedHandle snapshot = win::own(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    parent.unavailable = failed_call("CreateToolhelp32Snapshot");
    return parent;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self) {
      parent.pid = entry.th32ParentProcessID;
      found = true;
      break;
    }
  }
  if (!found) {
    parent.unavailable = "pid " + std::to_string(self) + " not present in the process snapshot";
    return parent;
  }
  parent.handle.reset(::OpenProcess(SYNCHRONIZE, FALSE, parent.pid));
  if (!parent.handle) {
    parent.unavailable =
        failed_call("OpenProcess(" + std::to_string(parent.pid) + ")") + " \xE2\x80\x94 parent may already be gone";
  }
  return parent;
}

bool has_ended(const Parent& parent) { return ::WaitForSingleObject(parent.handle.get(), 0) == WAIT_OBJECT_0; }

// The job, if any, holds whatever is started here; console interrupts keep their default course.
Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command) {
  const auto failed = [](SysError error) { return Err(ForegroundError{ForegroundError::Kind::kStart, std::move(error)}); };
  auto child = process::spawn(command);
  if (!child) return failed(std::move(child).error());
  auto status = wait_foreground(*child);
  if (!status) return failed(std::move(status).error());
  return *status;
}

}  // namespace vantle::session_tree
