// The line the system-call seams (call_seam_posix.cpp, call_seam_windows.cpp) append to the mark
// file when they fail a call, built without allocating: the POSIX seam runs in signal handlers and
// forked copies.
#pragma once

#include <cstring>
#include <string_view>

namespace vantle::call_seam {

// "<pid> <call>\n", written into the end of `text`.
inline std::string_view mark_line(char (&text)[64], unsigned long pid, const char* call) {
  char* p = text + sizeof text;
  const std::size_t length = std::strlen(call);
  *--p = '\n';
  p -= length;
  std::memcpy(p, call, length);
  *--p = ' ';
  for (; *p == ' ' || pid != 0; pid /= 10) *--p = static_cast<char>('0' + pid % 10);
  return std::string_view(p, static_cast<std::size_t>(text + sizeof text - p));
}

}  // namespace vantle::call_seam
