// The digest of a whole input held in memory, with or without the structural pre-scan, and the
// parsed-tree answer to what the pre-scan decides. The pre-scan's differential test and its fuzz
// target compare the two ways with these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "digest_omp/digest_omp.h"
#include "json/json.h"

namespace vantle::testing {

struct DigestRun {
  std::string out;
  std::string error;
  friend bool operator==(const DigestRun&, const DigestRun&) = default;
};

// Reads at most `max_read` bytes a call, so that short reads can split lines in odd places.
inline DigestRun digest_input(std::string_view input, digest::Prescan prescan,
                              std::size_t max_read = std::numeric_limits<std::size_t>::max()) {
  auto at = std::make_shared<std::size_t>(0);
  digest::LineReader reader([input, at, max_read](char* buffer, std::size_t size) -> SysResult<std::size_t> {
    const std::size_t n = std::min({size, input.size() - *at, max_read});
    std::memcpy(buffer, input.data() + *at, n);
    *at += n;
    return n;
  });
  DigestRun run;
  digest::OutputBuffer out([&run](std::string_view bytes) -> SysResult<void> {
    run.out.append(bytes);
    return {};
  });
  if (auto done = digest::digest_lines(reader, out, prescan); !done) run.error = done.error();
  // The sink above cannot fail, so neither can the flush.
  (void)out.flush();
  return run;
}

// Whether a line could yield a record, decided on the parsed tree: what the pre-scan claims to
// know exactly for valid JSON.
inline bool qualifies(const json::Value& doc) {
  if (!doc.is_object()) return false;
  const auto type = doc.find("type");
  if (type == doc.end() || *type != "message") return false;
  const auto message = doc.find("message");
  if (message == doc.end() || !message->is_object()) return false;
  const auto role = message->find("role");
  return role != message->end() && (*role == "user" || *role == "assistant");
}

}  // namespace vantle::testing
