// Windows half of process.h: CreateProcessW with a UTF-16 environment block and an explicit list
// of the handles the child inherits.
#include <windows.h>

#include "platform/command_line.h"
#include "platform/env.h"
#include "platform/handle_windows.h"
#include "platform/process.h"

namespace vantle::process {

// The read end is overlapped (see output_pipe): each read waits for its own completion. A writer's
// empty write completes a read with nothing, which is not the end.
SysResult<std::size_t> ReadPipe::read(char* buffer, std::size_t size) {
  while (true) {
    OVERLAPPED overlapped{};
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(size, win::MAX_TRANSFER));
    if (!::ReadFile(handle_.get(), buffer, want, nullptr, &overlapped) && ::GetLastError() != ERROR_IO_PENDING) {
      const DWORD code = ::GetLastError();
      if (win::is_input_end(code)) return std::size_t{0};
      return Err(os_error(static_cast<int>(code)));
    }
    if (!::GetOverlappedResult(handle_.get(), &overlapped, &got, TRUE)) {
      const DWORD code = ::GetLastError();
      if (win::is_input_end(code)) return std::size_t{0};
      return Err(os_error(static_cast<int>(code)));
    }
    if (got != 0 || size == 0) return std::size_t{got};
  }
}

SysResult<void> WritePipe::write_all(std::string_view bytes) { return win::write_all_handle(handle_.get(), bytes); }

// Closing the job's last handle kills whatever is left of the tree (kill-on-close).
void Child::release() {
  handles_.job.reset();
  handles_.process.reset();
}

bool Child::end_tree() { return !handles_.job || ::TerminateJobObject(handles_.job.get(), 1); }

namespace {

SysError invalid(std::string message) { return custom_error(ErrorKind::kInvalidInput, std::move(message)); }

// An inheritable duplicate of one of our standard handles, so that the child gets its own copy
// whatever the inheritance flag of the original.
SysResult<OwnedHandle> inheritable_copy(HANDLE h) {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return Err(last_os_error());
  }
  return OwnedHandle(copy);
}

SysResult<OwnedHandle> open_null(bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE h = ::CreateFileW(L"NUL", child_reads ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Err(last_os_error());
  return win::own(h);
}

// One standard stream of the child: the end it gets, and for a pipe the end we keep.
struct StreamEnds {
  OwnedHandle child;
  OwnedHandle parent;
};

// A pipe from the child whose read end is ours and overlapped, so that a wait can include its
// reads (an anonymous pipe cannot be read that way): a named pipe of one instance, under a name
// no other pipe of this process has had, which its first client (our own open of the write end)
// takes for good.
SysResult<StreamEnds> output_pipe() {
  static LONG serial = 0;
  const std::wstring name = L"\\\\.\\pipe\\vantle-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(::InterlockedIncrement(&serial));
  constexpr DWORD SIZE = 65536;
  DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  HANDLE read = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   mode, 1, SIZE, SIZE, 0, nullptr);
  if (read == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems that predate the flag refuse it.
    mode &= ~static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS);
    read = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                              mode, 1, SIZE, SIZE, 0, nullptr);
  }
  StreamEnds ends;
  ends.parent = win::own(read);
  if (!ends.parent) return Err(last_os_error());
  ends.child = win::own(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!ends.child) return Err(last_os_error());
  return ends;
}

SysResult<StreamEnds> stream_ends(Stdio mode, DWORD std_handle, bool child_reads) {
  StreamEnds ends;
  switch (mode) {
    case Stdio::kInherit: {
      const HANDLE ours = ::GetStdHandle(std_handle);
      if (ours == nullptr || ours == INVALID_HANDLE_VALUE) return ends;  // we have none to pass on
      auto copy = inheritable_copy(ours);
      if (!copy) return copy.err();
      ends.child = std::move(*copy);
      return ends;
    }
    case Stdio::kNull: {
      auto null = open_null(child_reads);
      if (!null) return null.err();
      ends.child = std::move(*null);
      return ends;
    }
    case Stdio::kPipe: {
      // Both ends start private; only the child's end is then made inheritable.
      if (child_reads) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!::CreatePipe(&read, &write, nullptr, 0)) return Err(last_os_error());
        ends.child.reset(read);
        ends.parent.reset(write);
      } else {
        auto pipe = output_pipe();
        if (!pipe) return pipe.err();
        ends = std::move(*pipe);
      }
      if (!::SetHandleInformation(ends.child.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return Err(last_os_error());
      }
      return ends;
    }
  }
  return ends;
}

// The UTF-16 block CreateProcessW takes: "name=value" entries, each ended by NUL, then one more NUL.
SysResult<std::wstring> environment_block(const Command& command) {
  std::wstring block;
  for (const auto& [name, value] : merge_environment(env::all(), command.env, true)) {
    const std::wstring& n = name.native();
    if (n.empty() || n.find(L'=', 1) != std::wstring::npos || name.contains_nul() || value.contains_nul()) {
      return Err(
          invalid("environment variable " + name.to_utf8_lossy() + " cannot be passed to a child"));
    }
    block += n;
    block.push_back(L'=');
    block += value.native();
    block.push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// The program CreateProcessW starts and its command line; a batch file runs through cmd.exe.
struct Invocation {
  std::wstring application;
  std::wstring line;
};

SysResult<Invocation> invocation(const Command& command) {
  const auto program = path_to_utf8(command.program);
  if (!program) return Err(invalid("program path is not valid Unicode: " + display(command.program)));
  for (const auto& arg : command.args) {
    if (arg.find('\0') != std::string::npos) return Err(invalid("an argument holds a NUL character"));
  }
  if (!is_batch_file(*program)) {
    return Invocation{command.program.native(),
                      OsString::from_utf8(windows_command_line(*program, command.args)).native()};
  }
  // CreateProcessW would start cmd.exe for a batch file itself, with a line it does not escape.
  std::wstring system_dir(MAX_PATH, L'\0');
  const UINT n = ::GetSystemDirectoryW(system_dir.data(), static_cast<UINT>(system_dir.size()));
  if (n == 0 || n >= system_dir.size()) return Err(last_os_error());
  system_dir.resize(n);
  const OsString cmd_exe(system_dir + L"\\cmd.exe");
  auto line = batch_command_line(cmd_exe.to_utf8_lossy(), *program, command.args);
  if (!line) return Err(invalid(line.error()));
  return Invocation{cmd_exe.native(), OsString::from_utf8(*line).native()};
}

// The attribute list that names the only handles the child inherits.
class HandleListAttribute {
 public:
  explicit HandleListAttribute(std::vector<HANDLE> handles) : handles_(std::move(handles)) {}
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  ~HandleListAttribute() {
    if (initialized_) ::DeleteProcThreadAttributeList(list());
  }

  SysResult<LPPROC_THREAD_ATTRIBUTE_LIST> build() {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    if (!::InitializeProcThreadAttributeList(list(), 1, 0, &size)) return Err(last_os_error());
    initialized_ = true;
    if (!::UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      return Err(last_os_error());
    }
    return list();
  }

 private:
  LPPROC_THREAD_ATTRIBUTE_LIST list() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()); }

  std::vector<HANDLE> handles_;  // must outlive the list, which points into it
  std::vector<char> storage_;
  bool initialized_ = false;
};

// The longest working directory a process can be started in: with the backslash Windows appends
// and the terminating NUL it must fit MAX_PATH, whatever the long-path setting; a longer one is
// refused here, with a message that says so, rather than by the start.
constexpr std::size_t MAX_WORKING_DIRECTORY = MAX_PATH - 2;

SysResult<void> check_working_directory(const std::filesystem::path& cwd) {
  std::wstring text = cwd.native();
  while (text.size() > 3 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
  if (text.size() <= MAX_WORKING_DIRECTORY) return {};
  return Err(invalid("working directory " + display(cwd) + " is too long for Windows (" +
                     std::to_string(text.size()) + " characters, at most " + std::to_string(MAX_WORKING_DIRECTORY) +
                     ")"));
}

// A kill-on-close job for one child's tree. Without it the tree could outlive the run, so a child
// that owns its tree is not started without one.
SysResult<OwnedHandle> tree_job() {
  OwnedHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return Err(last_os_error());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return Err(last_os_error());
  }
  return job;
}

}  // namespace

SysResult<Child> spawn(const Command& command) {
  if (command.cwd) {
    if (auto usable = check_working_directory(*command.cwd); !usable) return usable.err();
  }
  auto call = invocation(command);
  if (!call) return call.err();
  auto block = environment_block(command);
  if (!block) return block.err();

  StreamEnds streams[3];
  const Stdio modes[3] = {command.in, command.out, command.err};
  const DWORD std_handles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  std::vector<HANDLE> inherited;
  for (int i = 0; i < 3; ++i) {
    auto ends = stream_ends(modes[i], std_handles[i], i == 0);
    if (!ends) return ends.err();
    streams[i] = std::move(*ends);
    if (streams[i].child) inherited.push_back(streams[i].child.get());
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = streams[0].child.get();
  startup.StartupInfo.hStdOutput = streams[1].child.get();
  startup.StartupInfo.hStdError = streams[2].child.get();
  // Without the list the child would inherit every inheritable handle of ours, not only its three.
  HandleListAttribute attribute(inherited);
  if (!inherited.empty()) {
    auto list = attribute.build();
    if (!list) return list.err();
    startup.lpAttributeList = *list;
  }

  // The child starts suspended while it joins its job, so that nothing it starts escapes the job.
  OwnedHandle job;
  if (command.own_tree) {
    auto made = tree_job();
    if (!made) return made.err();
    job = std::move(*made);
  }
  const bool in_job = command.own_tree;
  PROCESS_INFORMATION info{};
  const std::wstring* cwd = command.cwd ? &command.cwd->native() : nullptr;
  if (!::CreateProcessW(call->application.c_str(), call->line.data(), nullptr, nullptr, !inherited.empty(),
                        CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT |
                            (command.new_session ? CREATE_NEW_PROCESS_GROUP : 0u) | (in_job ? CREATE_SUSPENDED : 0u),
                        block->data(), cwd ? cwd->c_str() : nullptr, &startup.StartupInfo, &info)) {
    return Err(last_os_error());
  }
  OwnedHandle process(info.hProcess);
  const OwnedHandle thread(info.hThread);
  if (in_job && !::AssignProcessToJobObject(job.get(), process.get())) {
    // Still suspended: it has run nothing and started nothing.
    const SysError error = last_os_error();
    ::TerminateProcess(process.get(), 1);
    return Err(error);
  }
  if (in_job) ::ResumeThread(thread.get());

  Child child;
  child.pid_ = info.dwProcessId;
  child.handles_.process = std::move(process);
  child.handles_.job = std::move(job);
  if (streams[0].parent) child.stdin_.emplace(std::move(streams[0].parent));
  if (streams[1].parent) child.stdout_.emplace(std::move(streams[1].parent));
  if (streams[2].parent) child.stderr_.emplace(std::move(streams[2].parent));
  return child;
}

SysResult<std::optional<ExitStatus>> Child::try_wait() {
  if (status_) return status_;
  const DWORD r = ::WaitForSingleObject(handles_.process.get(), 0);
  if (r == WAIT_TIMEOUT) return std::optional<ExitStatus>();
  if (r != WAIT_OBJECT_0) return Err(last_os_error());
  end_tree();
  DWORD code = 0;
  if (!::GetExitCodeProcess(handles_.process.get(), &code)) return Err(last_os_error());
  status_ = ExitStatus::exited(code);
  return status_;
}

SysResult<ExitStatus> Child::wait() {
  if (status_) return *status_;
  stdin_.reset();  // a child waiting for input would otherwise never end
  if (::WaitForSingleObject(handles_.process.get(), INFINITE) != WAIT_OBJECT_0) return Err(last_os_error());
  end_tree();
  DWORD code = 0;
  if (!::GetExitCodeProcess(handles_.process.get(), &code)) return Err(last_os_error());
  status_ = ExitStatus::exited(code);
  return *status_;
}

SysResult<void> Child::kill() {
  if (status_ || pid_ == 0) return {};  // ended, or moved from: nothing to end
  if (handles_.job && ::TerminateJobObject(handles_.job.get(), 1)) return {};
  if (!::TerminateProcess(handles_.process.get(), 1)) {
    // Terminating a process that has already ended fails with "access denied".
    const SysError error = last_os_error();
    if (::WaitForSingleObject(handles_.process.get(), 0) == WAIT_OBJECT_0) return {};
    return Err(error);
  }
  return {};
}

}  // namespace vantle::process
