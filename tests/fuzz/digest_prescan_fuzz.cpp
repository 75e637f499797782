// Feeds arbitrary bytes to the digest as a session log: the output and the failure must be the
// same with the structural pre-scan as with the full parse alone, and on every line that is valid
// JSON the pre-scan's answer must match what the parsed tree says; the in-place check accepts
// exactly the lines the parser accepts, and maps them to the records the parsed tree gives; the walk
// of a log not yet split into lines agrees with the split and the check on every path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "digest_omp/digest_omp.h"
#include "digest_omp/prescan.h"
#include "json/json.h"
#include "json/reader.h"
#include "json/writer.h"
#include "support/digest_oracle.h"
#include "text/whitespace.h"

namespace {

using namespace vantle;
using namespace vantle::digest;

// Short reads, so that lines also cross the reader's buffer in odd places.
vantle::testing::DigestRun run(std::string_view input, Prescan prescan) {
  return vantle::testing::digest_input(input, prescan, 977);
}

struct Collect final : RecordSink {
  void write(std::string_view bytes) override { text.append(bytes); }
  void write_string(std::string_view s) override { json::append_string(text, s); }
  void write_escaped(std::string_view s) override { json::append_escaped(text, s); }
  std::string text;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto fast = run(input, Prescan::kOn);
  const auto full = run(input, Prescan::kOff);
  if (fast.out != full.out || fast.error != full.error) std::abort();
  // The digest walks on the fastest path only; every other one is walked here.
  (void)vantle::testing::check_walks(input);

  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = text::trim(input.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;
    auto parsed = json::parse(line);
    if (json::is_valid(line) != parsed.ok()) std::abort();
    if (parsed && vantle::testing::prescan_answer(line) != vantle::testing::qualifies(*parsed)) std::abort();
    Collect records;
    map_line(line, records);
    if (records.text != vantle::testing::records_from_tree(line)) std::abort();
  }
  return 0;
}
