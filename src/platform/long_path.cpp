#include "platform/long_path.h"

namespace vantle::fs {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool is_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool is_verbatim_or_device(std::wstring_view path) {
  return path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\") || path.starts_with(L"\\\\.\\");
}

bool is_drive_absolute(std::wstring_view path) {
  return path.size() >= 3 && is_letter(path[0]) && path[1] == L':' && is_separator(path[2]);
}

bool is_unc(std::wstring_view path) {
  return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]) && !is_verbatim_or_device(path);
}

// True when every component is a plain name: no "/", no empty, "." or ".." component.
bool is_normal(std::wstring_view components) {
  if (components.find(L'/') != std::wstring_view::npos) return false;
  while (true) {
    const std::size_t end = components.find(L'\\');
    const std::wstring_view name = components.substr(0, end);
    if (name == L"." || name == L"..") return false;
    if (end == std::wstring_view::npos) return true;
    // An empty name is allowed only after the trailing separator of a directory.
    if (name.empty()) return false;
    components.remove_prefix(end + 1);
  }
}

}  // namespace

bool wants_full_path(std::wstring_view path) {
  if (path.empty() || is_verbatim_or_device(path)) return false;
  if (is_drive_absolute(path) || is_unc(path)) return path.size() >= LEGACY_PATH_LIMIT;
  return true;
}

std::wstring long_form(std::wstring_view full) {
  if (full.size() < LEGACY_PATH_LIMIT) return std::wstring(full);
  if (is_drive_absolute(full) && full[2] == L'\\' && is_normal(full.substr(3))) {
    return L"\\\\?\\" + std::wstring(full);
  }
  if (is_unc(full) && full[0] == L'\\' && full[1] == L'\\') {
    const std::wstring_view rest = full.substr(2);
    // Both the server and the share must be named for the UNC form.
    const std::size_t server_end = rest.find(L'\\');
    if (server_end != 0 && server_end != std::wstring_view::npos && server_end + 1 < rest.size() &&
        rest[server_end + 1] != L'\\' && is_normal(rest)) {
      return L"\\\\?\\UNC\\" + std::wstring(rest);
    }
  }
  return std::wstring(full);
}

}  // namespace vantle::fs
