// Windows half of session_tree.h: a kill-on-close job object holding this process (and so every
// process it starts), and a thread waiting on the parent process, whose handle is opened at start
// from a toolhelp snapshot.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <memory>

#include "platform/handle_windows.h"
#include "platform/session_tree.h"
#include "platform/stdio.h"
#include "platform/system.h"

namespace vantle::session_tree {
namespace {

// Held by the watch thread for as long as this process lives.
struct WatchArgs {
  win::Handle parent;
  std::string line;
  int exit_code;
};

DWORD WINAPI watch_thread(void* raw) {
  auto* args = static_cast<WatchArgs*>(raw);
  // Any result but the parent's end leaves the launch without a watch, silently.
  if (::WaitForSingleObject(args->parent.get(), INFINITE) == WAIT_OBJECT_0) {
    (void)stdio::write_err(args->line);
    sys::exit_process(args->exit_code);
  }
  return 0;
}

void name_thread(HANDLE thread) {
  // SetThreadDescription is missing before Windows 10 1607 (and in some Wine versions).
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  if (set != nullptr) set(thread, L"vantle-parent-watch");
}

}  // namespace

Result<void> couple_session_tree() {
  // The handle is never closed: when this process ends, the system closes it, the job closes,
  // and every process still in it is terminated.
  win::Handle job(::CreateJobObjectW(nullptr, nullptr));
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
  const win::Handle snapshot = win::own(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
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

Result<void> watch_parent_death(Parent parent, std::string line, int exit_code) {
  if (!parent.unavailable.empty()) return Err(parent.unavailable);
  // A daemon that has already gone takes the launch with it, as if it had died a moment later.
  if (::WaitForSingleObject(parent.handle.get(), 0) == WAIT_OBJECT_0) {
    (void)stdio::write_err(line);
    sys::exit_process(exit_code);
  }
  auto args = std::make_unique<WatchArgs>(WatchArgs{std::move(parent.handle), std::move(line), exit_code});
  // Detached: never joined, so its handle is closed at once.
  const win::Handle thread = win::own(::CreateThread(nullptr, 0, &watch_thread, args.get(), 0, nullptr));
  if (!thread) return Err("could not spawn the parent watch thread: " + last_os_error().message);
  (void)args.release();  // the thread's now
  name_thread(thread.get());
  return {};
}

// The job, if any, holds whatever is started here; console interrupts keep their default course.
Result<ExitStatus, ForegroundError> run_foreground(const process::Command& command) {
  const auto failed = [](SysError error) { return Err(ForegroundError{ForegroundError::Kind::kStart, std::move(error)}); };
  auto child = process::spawn(command);
  if (!child) return failed(std::move(child).error());
  auto status = child->wait();
  if (!status) return failed(std::move(status).error());
  return *status;
}

}  // namespace vantle::session_tree
