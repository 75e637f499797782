// A separate process that writes or reads one endpoint's snapshot, for the tests that need
// several processes at once, a fresh write counter, or a writer killed at a random point.
//
//   snapshot_worker write STATE ID COUNT SEED   COUNT writes (0: forever) of documents of
//                                               varied size; prints "FAIL <message>" per failure
//   snapshot_worker read STATE ID COUNT         COUNT reads; prints "ok=N missing=M bad=K" and
//                                               "BAD <message>" for a read that found a file
//                                               it could not accept (exit 1 if any)
//   snapshot_worker temp-names STATE ID         the first 128 temporary names taken, then two
//                                               writes; prints each outcome
//   snapshot_worker untouched STATE ID          a good write, then one whose 128 temporary
//                                               names are taken; prints the outcome and the file
#include <random>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/stdio.h"
#include "platform/system.h"
#include "snapshot/snapshot.h"

namespace {

using namespace vantle;
using snapshot::Selector;

void out(const std::string& line) { (void)stdio::write_out(line + "\n"); }

// A document whose HOME length is recorded in PI_CONFIG_DIR, so a mix of two writes shows.
snapshot::Selectors document(std::size_t length, char fill) {
  snapshot::Selectors s;
  s[Selector::kHome] = OsString::from_utf8(std::string(length, fill));
  s[Selector::kPiConfigDir] = OsString::from_utf8("len=" + std::to_string(length));
  s[Selector::kVantleOmpBin] = OsString::from_utf8(std::string("/bin/omp-") + fill);
  return s;
}

bool consistent(const snapshot::EndpointSnapshot& snap) {
  const auto home = snap.selectors[Selector::kHome];
  const auto len = snap.selectors[Selector::kPiConfigDir];
  if (!home || !len) return false;
  const std::string text = home->to_utf8().value_or("");
  if (len->to_utf8() != "len=" + std::to_string(text.size())) return false;
  return text.find_first_not_of(text.empty() ? 'x' : text[0]) == std::string::npos;
}

std::filesystem::path temp_name(const std::filesystem::path& state, const std::string& id, int counter) {
  return snapshot::snapshot_directory(state) /
         path_from_utf8("." + id + "." + std::to_string(sys::current_pid()) + "-" + std::to_string(counter) + ".tmp");
}

// A temporary file as a writer killed before its rename leaves it.
void leftover(const std::filesystem::path& path) {
  (void)fs::create_dir_all(path.parent_path());
  (void)fs::File::create_new(path);
}

void report(const Result<std::filesystem::path>& r) { out(r ? "OK " + display(*r) : "FAIL " + r.error()); }

}  // namespace

int main(int argc, char** argv) {
  sys::init_process();
  const auto args = sys::command_line(argc, argv);
  if (args.size() < 4) return 2;
  const std::string mode = args[1].to_utf8_lossy();
  const std::filesystem::path state = args[2].to_path();
  const std::string id = args[3].to_utf8_lossy();

  if (mode == "write" && args.size() == 6) {
    const long count = std::stol(args[4].to_utf8_lossy());
    std::mt19937 rng(static_cast<unsigned>(std::stoul(args[5].to_utf8_lossy())));
    for (long i = 0; count == 0 || i < count; ++i) {
      const auto r = snapshot::write_snapshot(state, id, std::nullopt,
                                              document(1 + rng() % 20000, static_cast<char>('a' + rng() % 26)));
      if (!r) out("FAIL " + r.error());
    }
    return 0;
  }
  if (mode == "read" && args.size() == 5) {
    const long count = std::stol(args[4].to_utf8_lossy());
    long ok = 0, missing = 0, bad = 0;
    const auto path = *snapshot::snapshot_path(state, id);
    for (long i = 0; i < count; ++i) {
      const auto r = snapshot::read_snapshot(path);
      if (r && consistent(*r)) {
        ++ok;
      } else if (!r && r.error().rfind("cannot read endpoint environment snapshot ", 0) == 0) {
        ++missing;  // only while a replacing writer has deleted the old file (step of last resort)
      } else {
        ++bad;
        out("BAD " + (r ? std::string("inconsistent document") : r.error()));
      }
    }
    out("ok=" + std::to_string(ok) + " missing=" + std::to_string(missing) + " bad=" + std::to_string(bad));
    return bad == 0 ? 0 : 1;
  }
  if (mode == "temp-names") {
    for (int counter = 0; counter < 128; ++counter) leftover(temp_name(state, id, counter));
    report(snapshot::write_snapshot(state, id, std::nullopt, document(3, 'a')));
    report(snapshot::write_snapshot(state, id, std::nullopt, document(3, 'b')));
    return 0;
  }
  if (mode == "untouched") {
    report(snapshot::write_snapshot(state, id, std::nullopt, document(3, 'a')));
    for (int counter = 1; counter <= 128; ++counter) leftover(temp_name(state, id, counter));
    report(snapshot::write_snapshot(state, id, std::nullopt, document(5, 'b')));
    auto text = fs::read_to_string(*snapshot::snapshot_path(state, id));
    out(text ? *text : "unreadable");
    return 0;
  }
  return 2;
}
