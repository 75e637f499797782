// The Win32 calls the Windows seam (call_seam_windows.cpp) stands in for, each named once: CMake
// reads the names from here for the fault tool's link options (--wrap=__imp_<name>), and the seam
// includes this list for the declarations of the real import slots and the wrappers.
//
//   SEAM_CALL(name, kind, result, failure, (parameters), (arguments))
//       a wrapper that fails the call as the seam's `kind` (returning `failure` with the last
//       error set) or makes it;
//   SEAM_CALL_OWN(name)
//       a call whose wrapper the seam writes itself: its kind or its way of failing depends on
//       what it is asked.
SEAM_CALL_OWN(CreateFileW)
SEAM_CALL(ReadFile, kRead, BOOL, FALSE, (HANDLE h, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped),
          (h, buffer, size, got, overlapped))
SEAM_CALL_OWN(WriteFile)
SEAM_CALL(GetOverlappedResult, kRead, BOOL, FALSE, (HANDLE h, LPOVERLAPPED overlapped, LPDWORD got, BOOL wait),
          (h, overlapped, got, wait))
SEAM_CALL(SetFilePointerEx, kSeek, BOOL, FALSE, (HANDLE h, LARGE_INTEGER distance, PLARGE_INTEGER at, DWORD from),
          (h, distance, at, from))
SEAM_CALL(GetFileSizeEx, kStat, BOOL, FALSE, (HANDLE h, PLARGE_INTEGER size), (h, size))
SEAM_CALL(FlushFileBuffers, kFlush, BOOL, FALSE, (HANDLE h), (h))
SEAM_CALL(MoveFileExW, kRename, BOOL, FALSE, (LPCWSTR from, LPCWSTR to, DWORD flags), (from, to, flags))
SEAM_CALL(DeleteFileW, kUnlink, BOOL, FALSE, (LPCWSTR name), (name))
SEAM_CALL(RemoveDirectoryW, kUnlink, BOOL, FALSE, (LPCWSTR name), (name))
SEAM_CALL(CreateDirectoryW, kMkdir, BOOL, FALSE, (LPCWSTR name, LPSECURITY_ATTRIBUTES security), (name, security))
SEAM_CALL(FindFirstFileW, kOpendir, HANDLE, INVALID_HANDLE_VALUE, (LPCWSTR pattern, LPWIN32_FIND_DATAW data),
          (pattern, data))
SEAM_CALL(FindFirstFileExW, kOpendir, HANDLE, INVALID_HANDLE_VALUE,
          (LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags),
          (pattern, level, data, search, filter, flags))
SEAM_CALL(FindNextFileW, kReaddir, BOOL, FALSE, (HANDLE find, LPWIN32_FIND_DATAW data), (find, data))
SEAM_CALL(GetFileAttributesW, kStat, DWORD, INVALID_FILE_ATTRIBUTES, (LPCWSTR name), (name))
SEAM_CALL(GetFileInformationByHandle, kStat, BOOL, FALSE, (HANDLE h, LPBY_HANDLE_FILE_INFORMATION info), (h, info))
SEAM_CALL(CreatePipe, kPipe, BOOL, FALSE, (PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES security, DWORD size),
          (read, write, security, size))
SEAM_CALL(CreateNamedPipeW, kPipe, HANDLE, INVALID_HANDLE_VALUE,
          (LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD instances, DWORD out_size, DWORD in_size,
           DWORD timeout, LPSECURITY_ATTRIBUTES security),
          (name, open_mode, pipe_mode, instances, out_size, in_size, timeout, security))
SEAM_CALL(CreateEventW, kEvent, HANDLE, nullptr, (LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name),
          (security, manual, initial, name))
SEAM_CALL_OWN(DuplicateHandle)
SEAM_CALL(CreateProcessW, kSpawn, BOOL, FALSE,
          (LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process_security,
           LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR cwd,
           LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info),
          (application, line, process_security, thread_security, inherit, flags, environment, cwd, startup, info))
SEAM_CALL(CreateJobObjectW, kJob, HANDLE, nullptr, (LPSECURITY_ATTRIBUTES security, LPCWSTR name), (security, name))
SEAM_CALL(SetInformationJobObject, kJob, BOOL, FALSE, (HANDLE job, JOBOBJECTINFOCLASS type, LPVOID info, DWORD size),
          (job, type, info, size))
SEAM_CALL(AssignProcessToJobObject, kJob, BOOL, FALSE, (HANDLE job, HANDLE process), (job, process))
SEAM_CALL(WaitForSingleObject, kWait, DWORD, WAIT_FAILED, (HANDLE h, DWORD milliseconds), (h, milliseconds))
SEAM_CALL(WaitForMultipleObjects, kWait, DWORD, WAIT_FAILED, (DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds),
          (count, handles, all, milliseconds))
SEAM_CALL_OWN(BCryptGenRandom)
