// The system calls the POSIX seam (call_seam_posix.cpp) stands in for, each named once: CMake
// reads the names from here for the fault tool's link options (--wrap=<name>), and the seam
// includes this list for the declarations of __real_<name> and the wrappers.
//
//   SEAM_CALL(name, kind, result, failure, (parameters), (arguments))
//       a wrapper that fails the call as the seam's `kind` (returning `failure` with errno set)
//       or makes it;
//   SEAM_CALL_OWN(name, result, (parameters))
//       a call whose wrapper the seam writes itself: its kind or its way of failing depends on
//       what it is asked.
SEAM_CALL_OWN(open, int, (const char* path, int flags, ...))
SEAM_CALL_OWN(openat, int, (int dir, const char* path, int flags, ...))
SEAM_CALL(read, kRead, ssize_t, -1, (int fd, void* buffer, size_t size), (fd, buffer, size))
SEAM_CALL_OWN(write, ssize_t, (int fd, const void* buffer, size_t size))
SEAM_CALL(lseek, kSeek, off_t, -1, (int fd, off_t offset, int whence), (fd, offset, whence))
SEAM_CALL(fstat, kFstat, int, -1, (int fd, struct stat* st), (fd, st))
SEAM_CALL(stat, kStat, int, -1, (const char* path, struct stat* st), (path, st))
SEAM_CALL(lstat, kStat, int, -1, (const char* path, struct stat* st), (path, st))
SEAM_CALL(fstatat, kStat, int, -1, (int dir, const char* path, struct stat* st, int flags), (dir, path, st, flags))
SEAM_CALL(fsync, kFsync, int, -1, (int fd), (fd))
SEAM_CALL(rename, kRename, int, -1, (const char* from, const char* to), (from, to))
SEAM_CALL(renameat2, kRename, int, -1, (int from_dir, const char* from, int to_dir, const char* to, unsigned flags),
          (from_dir, from, to_dir, to, flags))
SEAM_CALL(link, kLink, int, -1, (const char* from, const char* to), (from, to))
SEAM_CALL(unlink, kUnlink, int, -1, (const char* path), (path))
SEAM_CALL(unlinkat, kUnlink, int, -1, (int dir, const char* path, int flags), (dir, path, flags))
SEAM_CALL(mkdir, kMkdir, int, -1, (const char* path, mode_t mode), (path, mode))
SEAM_CALL(opendir, kOpendir, DIR*, nullptr, (const char* path), (path))
SEAM_CALL(fdopendir, kFdopendir, DIR*, nullptr, (int fd), (fd))
SEAM_CALL(readdir, kReaddir, dirent*, nullptr, (DIR* dir), (dir))
SEAM_CALL(pipe2, kPipe, int, -1, (int fds[2], int flags), (fds, flags))
SEAM_CALL(mmap, kMap, void*, MAP_FAILED, (void* at, size_t size, int protection, int flags, int fd, off_t offset),
          (at, size, protection, flags, fd, offset))
SEAM_CALL(getrandom, kRandom, ssize_t, -1, (void* buffer, size_t size, unsigned flags), (buffer, size, flags))
SEAM_CALL(fork, kFork, pid_t, -1, (), ())
SEAM_CALL_OWN(posix_spawn, int, (pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]))
SEAM_CALL(pidfd_open, kPidfd, int, -1, (pid_t pid, unsigned flags), (pid, flags))
SEAM_CALL(waitpid, kWait, pid_t, -1, (pid_t pid, int* status, int options), (pid, status, options))
SEAM_CALL(waitid, kWait, int, -1, (idtype_t type, id_t id, siginfo_t* info, int options), (type, id, info, options))
SEAM_CALL(kill, kKill, int, -1, (pid_t pid, int sig), (pid, sig))
SEAM_CALL(poll, kPoll, int, -1, (pollfd* fds, nfds_t n, int timeout), (fds, n, timeout))
SEAM_CALL(ppoll, kPoll, int, -1, (pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask),
          (fds, n, timeout, mask))
