#include "main/history_omp.h"

#include <new>
#include <optional>
#include <vector>

#include "gzip/gzip_reader.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/stdio.h"
#include "sessions/lookup.h"
#include "text/options.h"

namespace vantle::history {
namespace {

// How much of an archived log is decompressed before it is written out.
constexpr std::size_t ARCHIVE_CHUNK = 256 * 1024;

struct HistoryArgs {
  std::optional<std::string> session;
  std::optional<std::string> session_dir;
  std::optional<std::string> project_dir;
  bool help = false;
};

HistoryArgs parse(std::span<const std::string> args) {
  HistoryArgs out;
  out.help = parse_value_options(
      args, {{"--session", &out.session}, {"--session-dir", &out.session_dir}, {"--project-dir", &out.project_dir}},
      /*help_flags=*/true);
  return out;
}

int fail(int code, const std::string& message) {
  (void)stdio::write_err("HISTORY_FAIL: " + message + "\n");
  return code;
}

// An archived log is decompressed as it is written out, so that memory stays bounded whatever it
// holds. A damaged or cut archive fails after the bytes before the damage.
int stream_archive(const std::filesystem::path& path) {
  auto archive = gzip::GzipReader::open(path);
  if (!archive) return fail(1, "cannot read " + display(path) + ": " + archive.error().message);
  std::vector<char> buffer(ARCHIVE_CHUNK);
  while (true) {
    auto got = archive->read(buffer.data(), buffer.size());
    if (!got) return fail(1, "cannot read " + display(path) + ": " + got.error().message);
    if (*got == 0) return 0;
    // As for a plain log, a failed write is not reported.
    if (!stdio::write_out(std::string_view(buffer.data(), *got))) return 1;
  }
}

int run_history(std::span<const std::string> args) {
  const HistoryArgs parsed = parse(args);
  if (parsed.help) {
    (void)stdio::write_out(HISTORY_USAGE);
    return 0;
  }
  if (!parsed.session || parsed.session->empty()) return fail(1, "need --session <id>");

  auto file = sessions::choose_session_file(parsed.session_dir, *parsed.session);
  if (!file) return fail(file.error().kind == sessions::SessionFileError::Kind::kUsage ? 2 : 1, file.error().message);
  if (sessions::is_archived_session(*file)) return stream_archive(*file);

  // The whole file is read before anything is written, so a failed read leaves stdout untouched.
  // The bytes are only written, never looked at, so they may be the file's own mapped pages.
  auto bytes = fs::read_into_big_buffer(*file, fs::WholeFileUse::kPassOn);
  if (!bytes) return fail(1, "cannot read " + display(*file) + ": " + bytes.error().message);
  // One write of the whole buffer; stdout is unbuffered, so nothing is left to flush.
  auto written = stdio::write_out_large(bytes->view());
  if (written) return 0;
  // Mapped pages that vanish because the file was cut short are the input's failure, told like a
  // failed read (after what was already written). Any other failed write is not reported: the
  // only place to report it is gone or broken.
  if (written.error().kind == ErrorKind::kSourceGone) {
    return fail(1, "cannot read " + display(*file) + ": " + written.error().message);
  }
  return 1;
}

}  // namespace

int history_omp(std::span<const std::string> args) {
  // The log's own buffer reports a failed allocation as a value; this catches the lookup's.
  try {
    return run_history(args);
  } catch (const std::bad_alloc&) {
    return fail(1, std::string(OUT_OF_MEMORY));
  }
}

}  // namespace vantle::history
