// System-call failure on demand, linked into the tool only in the fault build (option
// VANTLE_FAULT_INJECTION), which links it with -Wl,--wrap=<call> for every call named in CALLS
// below: each reference to open, write, ... in the tool, the standard library included, reaches
// __wrap_<call> here, and the C library's own function stays reachable as __real_<call>.
//
// Read once at start-up from the environment:
//   VANTLE_FAULT_CALL=N          the N-th counted call fails, once; later calls are made as usual.
//   VANTLE_FAULT_CALL_ERROR=E    EIO, ENOSPC, EACCES, EMFILE, EINTR, EAGAIN or EPERM (EIO when
//                                unset): only calls that can see E are counted, and the N-th
//                                returns E without being made. Or `pause`: every call is counted,
//                                and the N-th waits until the file <mark>.go exists, then is made.
//   VANTLE_FAULT_CALL_MARK=path  when the N-th call is met, "<pid> <call>\n" is appended to it.
//
// The count lives in memory shared with forked copies of the tool, so that N names one call in the
// whole run. A copy (the guardian that starts the agent) counts only its start of the agent, which
// the tool waits for; its other calls run beside the tool's and would make the numbering depend on
// timing. Writes to standard error are never counted: a report that cannot be written has no one
// to be told of it. Everything here is async-signal-safe: calls are made from signal handlers and
// from forked copies.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
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

#include "platform/call_seam_mark.h"

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_openat(int dir, const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t size);
ssize_t __real_write(int fd, const void* buffer, size_t size);
int __real_rename(const char* from, const char* to);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
int __real_link(const char* from, const char* to);
int __real_unlink(const char* path);
int __real_unlinkat(int dir, const char* path, int flags);
int __real_mkdir(const char* path, mode_t mode);
DIR* __real_opendir(const char* path);
DIR* __real_fdopendir(int fd);
dirent* __real_readdir(DIR* dir);
int __real_pipe2(int fds[2], int flags);
pid_t __real_fork();
int __real_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
pid_t __real_waitpid(pid_t pid, int* status, int options);
int __real_waitid(idtype_t type, id_t id, siginfo_t* info, int options);
int __real_kill(pid_t pid, int sig);
int __real_poll(pollfd* fds, nfds_t n, int timeout);
int __real_ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask);
int __real_fsync(int fd);
int __real_stat(const char* path, struct stat* st);
int __real_lstat(const char* path, struct stat* st);
}

namespace {

enum Call {
  kOpen, kOpenCreate, kRead, kWrite, kRename, kLink, kUnlink, kMkdir, kOpendir, kFdopendir, kReaddir,
  kPipe, kFork, kSpawn, kWait, kKill, kPoll, kFsync, kStat, kCallCount
};

struct CallInfo {
  const char* name;
  int errors[4];  // the errors the call can see, 0 after the last
};

// What each call can meet on a sound system that is short of something: space, descriptors,
// permission, a working disk, processes; and an interrupting signal where the call can block.
constexpr CallInfo CALLS[kCallCount] = {
    {"open", {EACCES, EMFILE, EINTR}},
    {"open", {EACCES, EMFILE, EINTR, ENOSPC}},  // an open that may create the file
    {"read", {EIO, EINTR}},
    {"write", {EIO, ENOSPC, EINTR}},
    {"rename", {EACCES, ENOSPC}},
    {"link", {EACCES, ENOSPC}},
    {"unlink", {EACCES, EIO}},
    {"mkdir", {EACCES, ENOSPC}},
    {"opendir", {EACCES, EMFILE}},
    {"fdopendir", {}},
    {"readdir", {EIO}},
    {"pipe", {EMFILE}},
    {"fork", {EAGAIN}},
    {"spawn", {EACCES, EAGAIN}},
    {"wait", {EINTR}},
    {"kill", {EPERM}},
    {"poll", {EINTR}},
    {"fsync", {EIO, ENOSPC}},
    {"stat", {EACCES, EIO}},
};

constexpr int kPause = -1;

struct Shared {
  std::atomic<std::uint64_t> count;
};

Shared* g_shared = nullptr;  // null while counting is off
std::uint64_t g_fail_at = 0;
int g_error = EIO;
pid_t g_tool = 0;
const char* g_mark = nullptr;
char g_go[4096];

int error_named(const char* name) {
  static constexpr struct {
    const char* name;
    int value;
  } NAMES[] = {{"EIO", EIO},   {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EMFILE", EMFILE},
               {"EINTR", EINTR}, {"EAGAIN", EAGAIN}, {"EPERM", EPERM},   {"pause", kPause}};
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
  void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  g_shared = new (memory) Shared{};
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
  while (::stat(g_go, &st) != 0) {
    const timespec pause{0, 2'000'000};
    ::nanosleep(&pause, nullptr);  // a signal cuts it short; its handler has run, the wait goes on
  }
}

// Whether this call is the one to fail: the error it returns then, or 0 to make it (after the
// pause, for `pause`).
int fault(Call call) {
  if (g_shared == nullptr) return 0;
  if (::getpid() != g_tool && call != kSpawn) return 0;
  if (g_error != kPause && !can_see(call, g_error)) return 0;
  if (g_shared->count.fetch_add(1, std::memory_order_relaxed) + 1 != g_fail_at) return 0;
  // The call is made as if nothing had come between: readdir, for one, tells the end of a
  // directory from a failure by errno alone.
  const int saved = errno;
  note(call);
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

ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  if (const int e = fault(kRead)) return failed<ssize_t>(e, -1);
  return __real_read(fd, buffer, size);
}

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  if (fd != STDERR_FILENO) {
    if (const int e = fault(kWrite)) return failed<ssize_t>(e, -1);
  }
  return __real_write(fd, buffer, size);
}

int __wrap_rename(const char* from, const char* to) {
  if (const int e = fault(kRename)) return failed(e, -1);
  return __real_rename(from, to);
}

int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if (const int e = fault(kRename)) return failed(e, -1);
  return __real_renameat2(from_dir, from, to_dir, to, flags);
}

int __wrap_link(const char* from, const char* to) {
  if (const int e = fault(kLink)) return failed(e, -1);
  return __real_link(from, to);
}

int __wrap_unlink(const char* path) {
  if (const int e = fault(kUnlink)) return failed(e, -1);
  return __real_unlink(path);
}

int __wrap_unlinkat(int dir, const char* path, int flags) {
  if (const int e = fault(kUnlink)) return failed(e, -1);
  return __real_unlinkat(dir, path, flags);
}

int __wrap_mkdir(const char* path, mode_t mode) {
  if (const int e = fault(kMkdir)) return failed(e, -1);
  return __real_mkdir(path, mode);
}

DIR* __wrap_opendir(const char* path) {
  if (const int e = fault(kOpendir)) return failed<DIR*>(e, nullptr);
  return __real_opendir(path);
}

DIR* __wrap_fdopendir(int fd) {
  if (const int e = fault(kFdopendir)) return failed<DIR*>(e, nullptr);
  return __real_fdopendir(fd);
}

dirent* __wrap_readdir(DIR* dir) {
  if (const int e = fault(kReaddir)) return failed<dirent*>(e, nullptr);
  return __real_readdir(dir);
}

int __wrap_pipe2(int fds[2], int flags) {
  if (const int e = fault(kPipe)) return failed(e, -1);
  return __real_pipe2(fds, flags);
}

pid_t __wrap_fork() {
  if (const int e = fault(kFork)) return failed(e, -1);
  return __real_fork();
}

int __wrap_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  // posix_spawn reports its error as its result.
  if (const int e = fault(kSpawn)) return e;
  return __real_posix_spawn(pid, path, actions, attr, argv, envp);
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
  if (const int e = fault(kWait)) return failed(e, -1);
  return __real_waitpid(pid, status, options);
}

int __wrap_waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  if (const int e = fault(kWait)) return failed(e, -1);
  return __real_waitid(type, id, info, options);
}

int __wrap_kill(pid_t pid, int sig) {
  if (const int e = fault(kKill)) return failed(e, -1);
  return __real_kill(pid, sig);
}

int __wrap_poll(pollfd* fds, nfds_t n, int timeout) {
  if (const int e = fault(kPoll)) return failed(e, -1);
  return __real_poll(fds, n, timeout);
}

int __wrap_ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
  if (const int e = fault(kPoll)) return failed(e, -1);
  return __real_ppoll(fds, n, timeout, mask);
}

int __wrap_fsync(int fd) {
  if (const int e = fault(kFsync)) return failed(e, -1);
  return __real_fsync(fd);
}

int __wrap_stat(const char* path, struct stat* st) {
  if (const int e = fault(kStat)) return failed(e, -1);
  return __real_stat(path, st);
}

int __wrap_lstat(const char* path, struct stat* st) {
  if (const int e = fault(kStat)) return failed(e, -1);
  return __real_lstat(path, st);
}

}  // extern "C"
