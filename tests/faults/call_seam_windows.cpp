// System-call failure on demand, the Windows counterpart of call_seam_posix.cpp, linked into the
// test build's second tool (vantle_faults.exe) alone. A Win32 call reaches its DLL through an
// import slot, __imp_<call>; that tool is linked with -Wl,--wrap=__imp_<call> for every call
// seam_calls_windows.h names, so each reference to the slot, the standard library's included, reads
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
//   VANTLE_FAULT_CALL_PERSIST=1  the fault stays: every later call of the N-th call's kind fails
//                                with E too.
//   VANTLE_FAULT_CALL_MARK=path  when the N-th call is met, "<pid> <call>\n" is appended to it.
//
// The calls are named by what they do, in the words of the POSIX seam (open, read, write, rename,
// unlink, ...), so that a scenario names a failed step once for both systems. Only the main
// thread's calls are counted: a call of another thread runs beside the main thread's, and counting
// it would make the numbering depend on timing. Writes to standard error are never failed: a
// report that cannot be written has no one to be told of it. Nothing here allocates.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "call_seam_mark.h"

extern "C" {
#define SEAM_CALL(name, kind, result, failure, parameters, arguments) extern decltype(&::name) __real___imp_##name;
#define SEAM_CALL_OWN(name) extern decltype(&::name) __real___imp_##name;
#include "seam_calls_windows.h"
#undef SEAM_CALL
#undef SEAM_CALL_OWN
}

namespace {

enum Call { kOpen, kOpenCreate, kStat, kRead, kWrite, kSeek, kFlush, kRename, kUnlink, kMkdir, kOpendir, kReaddir,
            kPipe, kEvent, kDuplicate, kSpawn, kJob, kWait, kRandom, kCallCount };

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
    {"lseek", {ERROR_IO_DEVICE}},
    {"fsync", {ERROR_IO_DEVICE, ERROR_DISK_FULL}},
    {"rename", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL}},
    {"unlink", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_IO_DEVICE}},
    {"mkdir", {ERROR_ACCESS_DENIED, ERROR_DISK_FULL}},
    {"opendir", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
    {"readdir", {ERROR_IO_DEVICE}},
    {"pipe", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"event", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"dup", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"spawn", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"job", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_SYSTEM_RESOURCES}},
    {"wait", {ERROR_NO_SYSTEM_RESOURCES}},
    {"random", {ERROR_NOT_ENOUGH_MEMORY}},
};

bool g_counting = false;
bool g_persist = false;
std::atomic<int> g_stuck{kCallCount};  // the kind a persisting fault holds
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
  const char* persist = std::getenv("VANTLE_FAULT_CALL_PERSIST");
  g_persist = persist != nullptr && std::strcmp(persist, "1") == 0;
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
  if (!g_counting) return 0;
  if (g_stuck == call) return g_error;  // every thread's: the system is short for all of them
  if (::GetCurrentThreadId() != g_main_thread || !can_see(call, g_error)) return 0;
  if (++g_count != g_fail_at) return 0;
  note(call);
  if (g_persist) g_stuck = call;
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

BOOL WINAPI seam_WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (h != ::GetStdHandle(STD_ERROR_HANDLE)) {
    if (const DWORD e = fault(kWrite)) return failed(e, FALSE);
  }
  return __real___imp_WriteFile(h, buffer, size, written, overlapped);
}

// The thread library duplicates the current thread's pseudo-handle the first time a thread asks
// for its own identity, and aborts when that fails: a call of the runtime's, not the tool's.
BOOL WINAPI seam_DuplicateHandle(HANDLE from_process, HANDLE h, HANDLE to_process, LPHANDLE copy, DWORD access,
                                 BOOL inherit, DWORD options) {
  if (h != ::GetCurrentThread()) {
    if (const DWORD e = fault(kDuplicate)) return failed(e, FALSE);
  }
  return __real___imp_DuplicateHandle(from_process, h, to_process, copy, access, inherit, options);
}

// Reports its failure as a status rather than as the last error.
NTSTATUS WINAPI seam_BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG size, ULONG flags) {
  if (fault(kRandom) != 0) return static_cast<NTSTATUS>(0xC0000017L);  // STATUS_NO_MEMORY
  return __real___imp_BCryptGenRandom(algorithm, buffer, size, flags);
}

#define SEAM_CALL(name, kind, result, failure, parameters, arguments) \
  result WINAPI seam_##name parameters {                              \
    if (const DWORD e = fault(kind)) return failed<result>(e, failure); \
    return __real___imp_##name arguments;                             \
  }
#define SEAM_CALL_OWN(name)
#include "seam_calls_windows.h"
#undef SEAM_CALL
#undef SEAM_CALL_OWN

}  // namespace

// The import slots the tool's references now read.
extern "C" {
#define SEAM_CALL(name, kind, result, failure, parameters, arguments) decltype(&::name) __wrap___imp_##name = seam_##name;
#define SEAM_CALL_OWN(name) decltype(&::name) __wrap___imp_##name = seam_##name;
#include "seam_calls_windows.h"
#undef SEAM_CALL
#undef SEAM_CALL_OWN
}
