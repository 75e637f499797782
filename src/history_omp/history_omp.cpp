#include "history_omp/history_omp.h"

#include "cli/options.h"
#include "cli/out_of_memory.h"
#include "platform/big_buffer.h"
#include "platform/file.h"
#include "platform/os_string.h"
#include "platform/stdio.h"
#include "sessions/lookup.h"
#include "sessions/session_log.h"

namespace vantle::history {
namespace {

// How much of the log is read (or decompressed), then written, at a time: little enough to stay in
// the processor's cache between the read and the write. 1 MiB was measured slower to /dev/null
// than cat's 128 KiB, and 128 KiB slower than this into a pipe.
constexpr std::size_t HISTORY_CHUNK = 256 * 1024;

int fail(int code, std::string_view message) {
  (void)stdio::write_report("HISTORY_FAIL: " + std::string(message));
  return code;
}

// Copies the log's bytes to stdout as they are read. Every byte written is a copy of what the file
// held when it was read: a plain log cut short fails the read at its end, a damaged archive at the
// damage, each after the bytes before. stdout is unbuffered, so nothing is left to flush. A failed
// write is not reported: the only place to report it is gone or broken.
int stream(const std::filesystem::path& file, const fs::ByteSource& source) {
  auto buffer = BigBuffer::allocate(HISTORY_CHUNK);
  if (!buffer) return fail(1, OUT_OF_MEMORY);
  while (true) {
    auto got = source(buffer->data(), HISTORY_CHUNK);
    if (!got) return fail(1, "cannot read " + display(file) + ": " + got.error().message);
    if (*got == 0) return 0;
    if (!stdio::write_out_large(std::string_view(buffer->data(), *got))) return 1;
  }
}

int run_history(std::span<const std::string> args) {
  const SessionLogArgs parsed = parse_session_log_args(args);
  if (parsed.help) {
    (void)stdio::write_out(HISTORY_USAGE);
    return 0;
  }
  if (!parsed.session || parsed.session->empty()) return fail(1, "need --session <id>");

  auto file = sessions::choose_session_file(parsed.session_dir, *parsed.session);
  if (!file) return fail(file.error().kind == sessions::SessionFileError::Kind::kUsage ? 2 : 1, file.error().message);
  // An archive is decompressed as it is written out, so memory stays bounded whatever it holds.
  auto log = sessions::open_session_log(*file, sessions::is_archived_session(*file));
  if (!log) return fail(1, "cannot read " + display(*file) + ": " + log.error().message);
  return stream(*file, std::move(*log).bytes());
}

}  // namespace

int history_omp(std::span<const std::string> args) {
  // The read buffer reports a failed allocation as a value; this catches the lookup's.
  return within_memory([&] { return run_history(args); }, [](std::string_view reason) { return fail(1, reason); });
}

}  // namespace vantle::history
