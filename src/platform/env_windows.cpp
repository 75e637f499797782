// Windows half of env.h: the process environment block through the wide API.
#include <windows.h>

#include "platform/env.h"

namespace vantle::env {
namespace {

// A name the environment block cannot hold: empty, or with "=" after its first character (the
// hidden per-drive names such as "=C:" start with one), or with a NUL.
bool bad_name(const std::wstring& name) {
  return name.empty() || name.find(L'=', 1) != std::wstring::npos || name.find(L'\0') != std::wstring::npos;
}

SysError bad_name_error(std::string_view name) {
  return custom_error(ErrorKind::kInvalidInput, "invalid environment variable name: " + std::string(name));
}

}  // namespace

std::optional<OsString> get(std::string_view name) {
  const std::wstring wide = OsString::from_utf8(name).native();
  if (bad_name(wide)) return std::nullopt;
  std::wstring buffer(256, L'\0');
  while (true) {
    // A set but empty variable returns 0 without setting an error; an unset one sets one.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wide.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      if (::GetLastError() != ERROR_SUCCESS) return std::nullopt;
      return OsString();
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      return OsString(std::move(buffer));
    }
    buffer.resize(n);  // n counts the terminating NUL when the buffer was too small
  }
}

SysResult<void> set(std::string_view name, const OsString& value) {
  const std::wstring wide = OsString::from_utf8(name).native();
  if (bad_name(wide)) return Err(bad_name_error(name));
  if (value.contains_nul()) {
    return Err(custom_error(ErrorKind::kInvalidInput,
                            "cannot set " + std::string(name) + ": the value holds a NUL character"));
  }
  if (!::SetEnvironmentVariableW(wide.c_str(), value.native().c_str())) return Err(last_os_error());
  return {};
}

SysResult<void> remove(std::string_view name) {
  const std::wstring wide = OsString::from_utf8(name).native();
  if (bad_name(wide)) return Err(bad_name_error(name));
  if (!::SetEnvironmentVariableW(wide.c_str(), nullptr) && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return Err(last_os_error());
  }
  return {};
}

std::vector<std::pair<OsString, OsString>> all() {
  std::vector<std::pair<OsString, OsString>> out;
  wchar_t* block = ::GetEnvironmentStringsW();
  if (block == nullptr) return out;
  for (const wchar_t* entry = block; *entry != L'\0';) {
    const std::wstring_view text(entry);
    entry += text.size() + 1;
    // The search starts after the first character so that "=C:=C:\dir" keeps its name "=C:".
    const std::size_t eq = text.find(L'=', 1);
    if (eq == std::wstring_view::npos) continue;
    out.emplace_back(OsString(std::wstring(text.substr(0, eq))), OsString(std::wstring(text.substr(eq + 1))));
  }
  ::FreeEnvironmentStringsW(block);
  return out;
}

std::vector<std::filesystem::path> split_paths(const OsString& value) {
  std::vector<std::filesystem::path> out;
  std::wstring current;
  bool quoted = false;
  for (wchar_t c : value.native()) {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      out.emplace_back(std::exchange(current, {}));
    } else {
      current.push_back(c);
    }
  }
  out.emplace_back(std::move(current));
  return out;
}

bool names_ignore_case() { return true; }

}  // namespace vantle::env
