// System-call failure on demand, the Windows counterpart of call_seam_posix.cpp, linked into the
// test build's second tool (vantle_call_faults.exe) alone. A Win32 call reaches its DLL through an
// import slot, __imp_<call>; that tool is linked with -Wl,--wrap=__imp_<call> for every call named
// below, so each reference to the slot, the standard library's included, reads
// __wrap___imp_<call> here instead: a pointer to the seam's function, which makes the call through
// the real slot, __real___imp_<call>.
//
// Read once at start-up from the environment:
//   VANTLE_FAULT_CALL=N          the N-th counted call fails, once; later calls are made as usual.
//   VANTLE_FAULT_CALL_ERROR=E    ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
//                                ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES or
//                                ERROR_IO_DEVICE (ERROR_IO_DEVICE when unset): only calls that can
//                                see E are counted, and the N-th returns its failure value with
//                                SetLastError(E) without being made.
//   VANTLE_FAULT_CALL_MARK=path  when the N-th call is met, "<pid> <call>\n" is appended to it.
//
// The calls are named by what they do, in the words of the POSIX seam (open, read, write, rename,
// unlink, ...), so that a scenario names a failed step once for both systems. Only the main
// thread's calls are counted: the console runs its control handler on a thread of its own, and
// counting that would make the numbering depend on timing. Writes to standard error are never failed: a
// report that cannot be written has no one to be told of it. Nothing here allocates.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/call_seam_mark.h"

extern "C" {
extern decltype(&::CreateFileW) __real___imp_CreateFileW;
extern decltype(&::ReadFile) __real___imp_ReadFile;
extern decltype(&::WriteFile) __real___imp_WriteFile;
extern decltype(&::FlushFileBuffers) __real___imp_FlushFileBuffers;
extern decltype(&::MoveFileExW) __real___imp_MoveFileExW;
extern decltype(&::DeleteFileW) __real___imp_DeleteFileW;
extern decltype(&::RemoveDirectoryW) __real___imp_RemoveDirectoryW;
extern decltype(&::CreateDirectoryW) __real___imp_CreateDirectoryW;
extern decltype(&::FindFirstFileW) __real___imp_FindFirstFileW;
extern decltype(&::FindFirstFileExW) __real___imp_FindFirstFileExW;
extern decltype(&::FindNextFileW) __real___imp_FindNextFileW;
extern decltype(&::GetFileAttributesW) __real___imp_GetFileAttributesW;
extern decltype(&::GetFileInformationByHandle) __real___imp_GetFileInformationByHandle;
extern decltype(&::CreatePipe) __real___imp_CreatePipe;
extern decltype(&::CreateNamedPipeW) __real___imp_CreateNamedPipeW;
extern decltype(&::CreateProcessW) __real___imp_CreateProcessW;
extern decltype(&::CreateJobObjectW) __real___imp_CreateJobObjectW;
extern decltype(&::SetInformationJobObject) __real___imp_SetInformationJobObject;
extern decltype(&::AssignProcessToJobObject) __real___imp_AssignProcessToJobObject;
extern decltype(&::WaitForSingleObject) __real___imp_WaitForSingleObject;
extern decltype(&::WaitForMultipleObjects) __real___imp_WaitForMultipleObjects;
}

namespace {

enum Call { kOpen, kOpenCreate, kStat, kRead, kWrite, kFlush, kRename, kUnlink, kMkdir, kOpendir, kReaddir,
            kPipe, kSpawn, kJob, kWait, kCallCount };

struct CallInfo {
  const char* name;
  DWORD errors[4];  // the errors the call can see, 0 after the last
};

// What each call can meet on a sound system that is short of something: permission, another
// program holding the file (the usual Windows fault), space, memory or kernel resources, a working
// disk.
constexpr CallInfo CALLS[kCallCount] = {
    {"open", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NO_SYSTEM_RESOURCES}},
    {"open", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ERROR_NO_SYSTEM_RESOURCES}},  // may create
    {"stat", {ERROR_ACCESS_DENIED, ERROR_IO_DEVICE}},
    {"read", {ERROR_IO_DEVICE, ERROR_NO_SYSTEM_RESOURCES}},
    {"write", {ERROR_IO_DEVICE, ERROR_DISK_FULL, ERROR_NO_SYSTEM_RESOURCES}},
    {"fsync", {ERROR_IO_DEVICE, ERROR_DISK_FULL}},
    {"rename", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL}},
    {"unlink", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE}},
    {"mkdir", {ERROR_ACCESS_DENIED, ERROR_DISK_FULL}},
    {"opendir", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
    {"readdir", {ERROR_IO_DEVICE}},
    {"pipe", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"spawn", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"job", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"wait", {ERROR_NO_SYSTEM_RESOURCES}},
};

bool g_counting = false;
unsigned long long g_count = 0;
unsigned long long g_fail_at = 0;
DWORD g_error = ERROR_IO_DEVICE;
DWORD g_main_thread = 0;
wchar_t g_mark[4096];  // empty when no mark is wanted

DWORD error_named(const char* name) {
  static constexpr struct {
    const char* name;
    DWORD value;
  } NAMES[] = {{"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
               {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
               {"ERROR_DISK_FULL", ERROR_DISK_FULL},
               {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
               {"ERROR_NO_SYSTEM_RESOURCES", ERROR_NO_SYSTEM_RESOURCES},
               {"ERROR_IO_DEVICE", ERROR_IO_DEVICE}};
  for (const auto& n : NAMES) {
    if (std::strcmp(n.name, name) == 0) return n.value;
  }
  return 0;
}

// Runs before main and the tool's static objects, so that the count starts at the same place in
// every run.
__attribute__((constructor)) void read_environment() {
  const char* n = std::getenv("VANTLE_FAULT_CALL");
  if (n == nullptr) return;
  if (const char* e = std::getenv("VANTLE_FAULT_CALL_ERROR")) g_error = error_named(e);
  if (g_error == 0) {
    static const char message[] = "vantle: unknown VANTLE_FAULT_CALL_ERROR\n";
    DWORD written = 0;
    __real___imp_WriteFile(::GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, nullptr);
    ::ExitProcess(125);
  }
  const DWORD length = ::GetEnvironmentVariableW(L"VANTLE_FAULT_CALL_MARK", g_mark, sizeof g_mark / sizeof g_mark[0]);
  if (length == 0 || length >= sizeof g_mark / sizeof g_mark[0]) g_mark[0] = L'\0';
  g_fail_at = std::strtoull(n, nullptr, 10);
  g_main_thread = ::GetCurrentThreadId();
  g_counting = true;
}

bool can_see(Call call, DWORD error) {
  for (const DWORD e : CALLS[call].errors) {
    if (e == error) return true;
  }
  return false;
}

void note(Call call) {
  if (g_mark[0] == L'\0') return;
  char text[64];
  const std::string_view line =
      vantle::call_seam::mark_line(text, static_cast<unsigned long>(::GetCurrentProcessId()), CALLS[call].name);
  const HANDLE h = __real___imp_CreateFileW(g_mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  __real___imp_WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(h);
}

// Whether this call is the one to fail: the error it returns then, or 0 to make it.
DWORD fault(Call call) {
  if (!g_counting || ::GetCurrentThreadId() != g_main_thread || !can_see(call, g_error)) return 0;
  if (++g_count != g_fail_at) return 0;
  note(call);
  return g_error;
}

template <typename T>
T failed(DWORD error, T value) {
  ::SetLastError(error);
  return value;
}

bool is_pipe_name(LPCWSTR name) { return name != nullptr && std::wcsncmp(name, L"\\\\.\\pipe\\", 9) == 0; }

HANDLE WINAPI seam_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE template_file) {
  // No access rights: a query of what the path names. The other end of a pipe the tool made is
  // part of making that pipe.
  const Call call = access == 0            ? kStat
                    : is_pipe_name(name)   ? kPipe
                    : disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS
                        ? kOpenCreate
                        : kOpen;
  if (const DWORD e = fault(call)) return failed(e, INVALID_HANDLE_VALUE);
  return __real___imp_CreateFileW(name, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI seam_ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped) {
  if (const DWORD e = fault(kRead)) return failed(e, FALSE);
  return __real___imp_ReadFile(h, buffer, size, got, overlapped);
}

BOOL WINAPI seam_WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (h != ::GetStdHandle(STD_ERROR_HANDLE)) {
    if (const DWORD e = fault(kWrite)) return failed(e, FALSE);
  }
  return __real___imp_WriteFile(h, buffer, size, written, overlapped);
}

BOOL WINAPI seam_FlushFileBuffers(HANDLE h) {
  if (const DWORD e = fault(kFlush)) return failed(e, FALSE);
  return __real___imp_FlushFileBuffers(h);
}

BOOL WINAPI seam_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (const DWORD e = fault(kRename)) return failed(e, FALSE);
  return __real___imp_MoveFileExW(from, to, flags);
}

BOOL WINAPI seam_DeleteFileW(LPCWSTR name) {
  if (const DWORD e = fault(kUnlink)) return failed(e, FALSE);
  return __real___imp_DeleteFileW(name);
}

BOOL WINAPI seam_RemoveDirectoryW(LPCWSTR name) {
  if (const DWORD e = fault(kUnlink)) return failed(e, FALSE);
  return __real___imp_RemoveDirectoryW(name);
}

BOOL WINAPI seam_CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
  if (const DWORD e = fault(kMkdir)) return failed(e, FALSE);
  return __real___imp_CreateDirectoryW(name, security);
}

HANDLE WINAPI seam_FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (const DWORD e = fault(kOpendir)) return failed(e, INVALID_HANDLE_VALUE);
  return __real___imp_FindFirstFileW(pattern, data);
}

HANDLE WINAPI seam_FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS search,
                                    LPVOID filter, DWORD flags) {
  if (const DWORD e = fault(kOpendir)) return failed(e, INVALID_HANDLE_VALUE);
  return __real___imp_FindFirstFileExW(pattern, level, data, search, filter, flags);
}

BOOL WINAPI seam_FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  if (const DWORD e = fault(kReaddir)) return failed(e, FALSE);
  return __real___imp_FindNextFileW(find, data);
}

DWORD WINAPI seam_GetFileAttributesW(LPCWSTR name) {
  if (const DWORD e = fault(kStat)) return failed(e, INVALID_FILE_ATTRIBUTES);
  return __real___imp_GetFileAttributesW(name);
}

BOOL WINAPI seam_GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  if (const DWORD e = fault(kStat)) return failed(e, FALSE);
  return __real___imp_GetFileInformationByHandle(h, info);
}

BOOL WINAPI seam_CreatePipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES security, DWORD size) {
  if (const DWORD e = fault(kPipe)) return failed(e, FALSE);
  return __real___imp_CreatePipe(read, write, security, size);
}

HANDLE WINAPI seam_CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD instances, DWORD out_size,
                                    DWORD in_size, DWORD timeout, LPSECURITY_ATTRIBUTES security) {
  if (const DWORD e = fault(kPipe)) return failed(e, INVALID_HANDLE_VALUE);
  return __real___imp_CreateNamedPipeW(name, open_mode, pipe_mode, instances, out_size, in_size, timeout, security);
}

BOOL WINAPI seam_CreateProcessW(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process_security,
                                LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR cwd, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  if (const DWORD e = fault(kSpawn)) return failed(e, FALSE);
  return __real___imp_CreateProcessW(application, line, process_security, thread_security, inherit, flags, environment,
                                     cwd, startup, info);
}

HANDLE WINAPI seam_CreateJobObjectW(LPSECURITY_ATTRIBUTES security, LPCWSTR name) {
  if (const DWORD e = fault(kJob)) return failed<HANDLE>(e, nullptr);
  return __real___imp_CreateJobObjectW(security, name);
}

BOOL WINAPI seam_SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS type, LPVOID info, DWORD size) {
  if (const DWORD e = fault(kJob)) return failed(e, FALSE);
  return __real___imp_SetInformationJobObject(job, type, info, size);
}

BOOL WINAPI seam_AssignProcessToJobObject(HANDLE job, HANDLE process) {
  if (const DWORD e = fault(kJob)) return failed(e, FALSE);
  return __real___imp_AssignProcessToJobObject(job, process);
}

DWORD WINAPI seam_WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  if (const DWORD e = fault(kWait)) return failed(e, WAIT_FAILED);
  return __real___imp_WaitForSingleObject(h, milliseconds);
}

DWORD WINAPI seam_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds) {
  if (const DWORD e = fault(kWait)) return failed(e, WAIT_FAILED);
  return __real___imp_WaitForMultipleObjects(count, handles, all, milliseconds);
}

}  // namespace

// The import slots the tool's references now read.
extern "C" {
decltype(&::CreateFileW) __wrap___imp_CreateFileW = seam_CreateFileW;
decltype(&::ReadFile) __wrap___imp_ReadFile = seam_ReadFile;
decltype(&::WriteFile) __wrap___imp_WriteFile = seam_WriteFile;
decltype(&::FlushFileBuffers) __wrap___imp_FlushFileBuffers = seam_FlushFileBuffers;
decltype(&::MoveFileExW) __wrap___imp_MoveFileExW = seam_MoveFileExW;
decltype(&::DeleteFileW) __wrap___imp_DeleteFileW = seam_DeleteFileW;
decltype(&::RemoveDirectoryW) __wrap___imp_RemoveDirectoryW = seam_RemoveDirectoryW;
decltype(&::CreateDirectoryW) __wrap___imp_CreateDirectoryW = seam_CreateDirectoryW;
decltype(&::FindFirstFileW) __wrap___imp_FindFirstFileW = seam_FindFirstFileW;
decltype(&::FindFirstFileExW) __wrap___imp_FindFirstFileExW = seam_FindFirstFileExW;
decltype(&::FindNextFileW) __wrap___imp_FindNextFileW = seam_FindNextFileW;
decltype(&::GetFileAttributesW) __wrap___imp_GetFileAttributesW = seam_GetFileAttributesW;
decltype(&::GetFileInformationByHandle) __wrap___imp_GetFileInformationByHandle = seam_GetFileInformationByHandle;
decltype(&::CreatePipe) __wrap___imp_CreatePipe = seam_CreatePipe;
decltype(&::CreateNamedPipeW) __wrap___imp_CreateNamedPipeW = seam_CreateNamedPipeW;
decltype(&::CreateProcessW) __wrap___imp_CreateProcessW = seam_CreateProcessW;
decltype(&::CreateJobObjectW) __wrap___imp_CreateJobObjectW = seam_CreateJobObjectW;
decltype(&::SetInformationJobObject) __wrap___imp_SetInformationJobObject = seam_SetInformationJobObject;
decltype(&::AssignProcessToJobObject) __wrap___imp_AssignProcessToJobObject = seam_AssignProcessToJobObject;
decltype(&::WaitForSingleObject) __wrap___imp_WaitForSingleObject = seam_WaitForSingleObject;
decltype(&::WaitForMultipleObjects) __wrap___imp_WaitForMultipleObjects = seam_WaitForMultipleObjects;
}
