// POSIX half of env.h.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"

extern char** environ;

namespace vantle::env {

std::optional<OsString> get(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return OsString(value);
}

SysResult<void> set(std::string_view name, const OsString& value) {
  if (value.contains_nul()) {
    return Err(custom_error(ErrorKind::kInvalidInput,
                            "cannot set " + std::string(name) + ": the value holds a NUL character"));
  }
  if (::setenv(std::string(name).c_str(), value.native().c_str(), 1) != 0) return Err(last_os_error());
  return {};
}

SysResult<void> remove(std::string_view name) {
  if (::unsetenv(std::string(name).c_str()) != 0) return Err(last_os_error());
  return {};
}

std::vector<std::pair<OsString, OsString>> all() {
  std::vector<std::pair<OsString, OsString>> out;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq == nullptr) continue;
    out.emplace_back(OsString(std::string(*entry, static_cast<std::size_t>(eq - *entry))), OsString(std::string(eq + 1)));
  }
  return out;
}

std::vector<std::filesystem::path> split_paths(const OsString& value) {
  std::vector<std::filesystem::path> out;
  const std::string& s = value.native();
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = s.find(':', start);
    out.emplace_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}

bool names_ignore_case() { return false; }

}  // namespace vantle::env
