// System-call failure on demand, linked into the tool only in the fault build (option
// VANTLE_FAULT_INJECTION), which links it with -Wl,--wrap=<call> for every call seam_calls_posix.h
// names: each reference to open, write, ... in the tool, the standard library included, reaches
// __wrap_<call> here, and the C library's own function stays reachable as __real_<call>.
//
// Read once at start-up from the environment:
//   VANTLE_FAULT_CALL=N          the N-th counted call fails, once; later calls are made as usual.
//   VANTLE_FAULT_CALL_ERROR=E    EIO, ENOSPC, EACCES, EMFILE, ENOMEM, EINTR, EAGAIN or EPERM (EIO
//                                when unset): only calls that can see E are counted, and the N-th
//                                returns E without being made. Or `pause`: every call is counted,
//                                and the N-th waits until the file <mark>.go exists, then is made.
//   VANTLE_FAULT_CALL_PERSIST=1  the fault stays, as a full disk or a full table of descriptors
//                                does: every later call of the N-th call's kind fails with E too.
//   VANTLE_FAULT_CALL_MARK=path  when the N-th call is met, "<pid> <call>\n" is appended to it.
//
// The count lives in memory shared with forked copies of the tool, so that N names one call in the
// whole run. A copy (the guardian that starts the agent) counts only its start of the agent, which
// the tool waits for; its other calls run beside the tool's and would make the numbering depend on
// timing (a persisting fault reaches them all the same: the system is short for every process).
// Writes to standard error are never counted: a report that cannot be written has no one to be
// told of it. Everything here is async-signal-safe: calls are made from signal handlers and from
// forked copies.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
// This C library's header declares its calls without C linkage.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "call_seam_mark.h"

extern "C" {
#define SEAM_CALL(name, kind, result, failure, parameters, arguments) result __real_##name parameters;
#define SEAM_CALL_OWN(name, result, parameters) result __real_##name parameters;
#include "seam_calls_posix.h"
#undef SEAM_CALL
#undef SEAM_CALL_OWN
}

namespace {

enum Call {
  kOpen, kOpenCreate, kRead, kWrite, kSeek, kFstat, kStat, kFsync, kRename, kLink, kUnlink, kMkdir, kOpendir,
  kFdopendir, kReaddir, kPipe, kMap, kRandom, kPrctl, kFork, kSpawn, kPidfd, kWait, kKill, kPoll, kCallCount
};

struct CallInfo {
  const char* name;
  int errors[4];  // the errors the call can see, 0 after the last
};

// What each call can meet on a sound system that is short of something: space, descriptors,
// memory, permission, a working disk, processes; and an interrupting signal where the call can
// block.
constexpr CallInfo CALLS[kCallCount] = {
    {"open", {EACCES, EMFILE, EINTR}},
    {"open", {EACCES, EMFILE, EINTR, ENOSPC}},  // an open that may create the file
    {"read", {EIO, EINTR}},
    {"write", {EIO, ENOSPC, EINTR}},
    {"lseek", {EIO}},  // a file system in user space answers what its server says
    {"fstat", {EIO, ENOMEM}},
    {"stat", {EACCES, EIO, ENOMEM}},
    {"fsync", {EIO, ENOSPC}},
    {"rename", {EACCES, ENOSPC}},
    {"link", {EACCES, ENOSPC}},
    {"unlink", {EACCES, EIO}},
    {"mkdir", {EACCES, ENOSPC}},
    {"opendir", {EACCES, EMFILE, ENOMEM}},
    {"fdopendir", {ENOMEM}},
    {"readdir", {EIO}},
    {"pipe", {EMFILE}},
    {"mmap", {ENOMEM}},
    {"getrandom", {EINTR}},
    // prctl is not failed: a launch that cannot become a subreaper leaves the agent's tree to outlive
    // it, as its warning says, and that tree would write into the later runs of a loop.
    {"prctl", {}},
    {"fork", {EAGAIN, ENOMEM}},
    {"spawn", {EACCES, EAGAIN, ENOMEM}},
    {"pidfd_open", {EMFILE}},
    {"wait", {EINTR}},
    {"kill", {EPERM}},
    {"poll", {EINTR}},
};

constexpr int kPause = -1;

struct Shared {
  std::atomic<std::uint64_t> count;
  std::atomic<int> stuck;  // the kind a persisting fault holds, kCallCount before it is met
};

Shared* g_shared = nullptr;  // null while counting is off
std::uint64_t g_fail_at = 0;
int g_error = EIO;
bool g_persist = false;
pid_t g_tool = 0;
const char* g_mark = nullptr;
char g_go[4096];

int error_named(const char* name) {
  static constexpr struct {
    const char* name;
    int value;
  } NAMES[] = {{"EIO", EIO},   {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EMFILE", EMFILE},
               {"ENOMEM", ENOMEM}, {"EINTR", EINTR}, {"EAGAIN", EAGAIN}, {"EPERM", EPERM},   {"pause", kPause}};
  for (const auto& n : NAMES) {
    if (std::strcmp(n.name, name) == 0) return n.value;
  }
  return 0;
}

// Runs before main and the tool's static objects, so that the count starts at the same place in
// every run.
__attribute__((constructor(101))) void read_environment() {
  const char* n = std::getenv("VANTLE_FAULT_CALL");
  if (n == nullptr) return;
  if (const char* e = std::getenv("VANTLE_FAULT_CALL_ERROR")) g_error = error_named(e);
  if (g_error == 0) {
    static const char message[] = "vantle: unknown VANTLE_FAULT_CALL_ERROR\n";
    (void)!__real_write(2, message, sizeof message - 1);
    std::_Exit(125);
  }
  g_mark = std::getenv("VANTLE_FAULT_CALL_MARK");
  if (g_mark != nullptr && std::strlen(g_mark) + 4 < sizeof g_go) {
    std::strcpy(g_go, g_mark);
    std::strcat(g_go, ".go");
  }
  const char* persist = std::getenv("VANTLE_FAULT_CALL_PERSIST");
  g_persist = persist != nullptr && std::strcmp(persist, "1") == 0 && g_error != kPause;
  void* memory = __real_mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  g_shared = new (memory) Shared{};
  g_shared->stuck.store(kCallCount);
  g_fail_at = std::strtoull(n, nullptr, 10);
  g_tool = ::getpid();
}

bool can_see(Call call, int error) {
  for (const int e : CALLS[call].errors) {
    if (e == error) return true;
  }
  return false;
}

void note(Call call) {
  if (g_mark == nullptr) return;
  char text[64];
  const std::string_view line =
      vantle::call_seam::mark_line(text, static_cast<unsigned long>(::getpid()), CALLS[call].name);
  const int fd = __real_open(g_mark, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!__real_write(fd, line.data(), line.size());
  ::close(fd);
}

void wait_for_go() {
  struct stat st;
  while (__real_stat(g_go, &st) != 0) {
    const timespec pause{0, 2'000'000};
    ::nanosleep(&pause, nullptr);  // a signal cuts it short; its handler has run, the wait goes on
  }
}

// Whether this call is the one to fail: the error it returns then, or 0 to make it (after the
// pause, for `pause`).
int fault(Call call) {
  if (g_shared == nullptr) return 0;
  if (g_persist && g_shared->stuck.load(std::memory_order_relaxed) == call) return g_error;
  if (::getpid() != g_tool && call != kSpawn) return 0;
  if (g_error != kPause && !can_see(call, g_error)) return 0;
  if (g_shared->count.fetch_add(1, std::memory_order_relaxed) + 1 != g_fail_at) return 0;
  // The call is made as if nothing had come between: readdir, for one, tells the end of a
  // directory from a failure by errno alone.
  const int saved = errno;
  note(call);
  if (g_persist) g_shared->stuck.store(call, std::memory_order_relaxed);
  if (g_error != kPause) return g_error;
  if (g_go[0] != '\0') wait_for_go();
  errno = saved;
  return 0;
}

template <typename T>
T failed(int error, T value) {
  errno = error;
  return value;
}

}  // namespace

extern "C" {

#define SEAM_CALL(name, kind, result, failure, parameters, arguments) \
  result __wrap_##name parameters {                                   \
    if (const int e = fault(kind)) return failed<result>(e, failure); \
    return __real_##name arguments;                                   \
  }
#define SEAM_CALL_OWN(name, result, parameters)
#include "seam_calls_posix.h"
#undef SEAM_CALL
#undef SEAM_CALL_OWN

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (const int e = fault((flags & O_CREAT) != 0 ? kOpenCreate : kOpen)) return failed(e, -1);
  return __real_open(path, flags, mode);
}

int __wrap_openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (const int e = fault((flags & O_CREAT) != 0 ? kOpenCreate : kOpen)) return failed(e, -1);
  return __real_openat(dir, path, flags, mode);
}

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  if (fd != STDERR_FILENO) {
    if (const int e = fault(kWrite)) return failed<ssize_t>(e, -1);
  }
  return __real_write(fd, buffer, size);
}

int __wrap_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  // posix_spawn reports its error as its result.
  if (const int e = fault(kSpawn)) return e;
  return __real_posix_spawn(pid, path, actions, attr, argv, envp);
}

}  // extern "C"
