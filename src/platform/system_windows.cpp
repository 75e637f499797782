// Windows half of system.h.
#include <windows.h>
// userenv.h below needs the types windows.h declares.
#include <fcntl.h>
#include <io.h>
#include <userenv.h>

#include <string>

#include "platform/command_line.h"
#include "platform/system.h"
#include "platform/system_handles.h"

namespace vantle::sys {

void init_process() {
  // No message boxes for crashes or missing media: a console tool must fail, not wait for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Code that still goes through the CRT must not turn "\n" into "\r\n".
  for (int fd = 0; fd < 3; ++fd) ::_setmode(fd, _O_BINARY);
}

std::vector<OsString> command_line(int, char**) {
  // The narrow argv is in the ANSI code page and already lossy; the wide command line is not.
  std::vector<OsString> out;
  for (auto& arg : process::split_windows_command_line(std::wstring_view(::GetCommandLineW()))) {
    out.push_back(OsString(std::move(arg)));
  }
  if (out.empty()) {
    if (auto self = current_exe()) out.push_back(OsString::from_path(*self));
  }
  return out;
}

bool is_windows() { return true; }

std::optional<std::filesystem::path> account_home() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::nullopt;
  const OwnedHandle token(raw);
  DWORD size = 0;
  ::GetUserProfileDirectoryW(token.get(), nullptr, &size);
  std::wstring folder(size, L'\0');
  if (size == 0 || !::GetUserProfileDirectoryW(token.get(), folder.data(), &size)) return std::nullopt;
  folder.resize(folder.find(L'\0') == std::wstring::npos ? folder.size() : folder.find(L'\0'));
  if (folder.empty()) return std::nullopt;
  return std::filesystem::path(folder);
}

SysResult<std::filesystem::path> current_exe() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return Err(last_os_error());
    // A full buffer means the name was cut short.
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(std::move(buffer));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t current_pid() { return ::GetCurrentProcessId(); }

void exit_process(int code) { ::ExitProcess(static_cast<UINT>(code)); }

}  // namespace vantle::sys
