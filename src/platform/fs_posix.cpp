// POSIX half of fs.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/fd_posix.h"
#include "platform/fs.h"
#include "platform/system_handles.h"

namespace vantle::fs {

bool is_regular_file(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

SysResult<std::filesystem::path> current_dir() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return Err(last_os_error());
    buffer.resize(buffer.size() * 2);
  }
  return std::filesystem::path(buffer.data());
}

SysResult<std::filesystem::path> make_absolute(const std::filesystem::path& path) {
  std::filesystem::path joined = path;
  if (!path.is_absolute()) {
    auto cwd = current_dir();
    if (!cwd) return cwd.err();
    joined = *cwd / path;
  }
  // Lexical normalisation: "." dropped, ".." removes the component before it (never above "/").
  std::vector<std::string> parts;
  for (const auto& component : joined.relative_path()) {
    const std::string& c = component.native();
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(c);
  }
  std::string out = "/";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.push_back('/');
    out += parts[i];
  }
  return std::filesystem::path(out);
}

SysResult<std::string> read_to_string(const std::filesystem::path& path) {
  const OwnedHandle fd = posix::open_fd(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd) return Err(last_os_error());
  std::string data;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char chunk[65536];
  while (true) {
    const auto n = posix::read_fd(fd.get(), chunk, sizeof chunk);
    if (!n) return n.err();
    if (*n == 0) break;
    data.append(chunk, *n);
  }
  return data;
}

}  // namespace vantle::fs
