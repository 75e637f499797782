// Feeds arbitrary bytes to the digest as a session log: the output and the failure must be the
// same with the structural pre-scan as with the full parse alone, and on every line that is valid
// JSON the pre-scan's answer must match what the parsed tree says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "digest_omp/digest_omp.h"
#include "digest_omp/prescan.h"
#include "json/json.h"
#include "text/whitespace.h"

namespace {

using namespace vantle;
using namespace vantle::digest;

struct Digest {
  std::string out;
  std::string error;
};

Digest run(std::string_view input, Prescan prescan) {
  auto at = std::make_shared<std::size_t>(0);
  LineReader reader([input, at](char* buffer, std::size_t size) -> SysResult<std::size_t> {
    // Short reads, so that lines also cross the reader's buffer in odd places.
    const std::size_t n = std::min({size, input.size() - *at, std::size_t{977}});
    std::memcpy(buffer, input.data() + *at, n);
    *at += n;
    return n;
  });
  Digest d;
  OutputBuffer out([&d](std::string_view bytes) -> SysResult<void> {
    d.out.append(bytes);
    return {};
  });
  auto done = digest_lines(reader, out, prescan);
  if (!done) d.error = done.error();
  if (!out.flush()) std::abort();
  return d;
}

bool qualifies(const json::Value& doc) {
  if (!doc.is_object()) return false;
  const auto type = doc.find("type");
  if (type == doc.end() || *type != "message") return false;
  const auto message = doc.find("message");
  if (message == doc.end() || !message->is_object()) return false;
  const auto role = message->find("role");
  return role != message->end() && (*role == "user" || *role == "assistant");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Digest fast = run(input, Prescan::kOn);
  const Digest full = run(input, Prescan::kOff);
  if (fast.out != full.out || fast.error != full.error) std::abort();

  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = text::trim(input.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;
    auto parsed = json::parse(line);
    if (parsed && may_yield_record(line) != qualifies(*parsed)) std::abort();
  }
  return 0;
}
