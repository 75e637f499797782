#include "digest_omp/digest_omp.h"

#include <filesystem>
#include <optional>
#include <utility>

#include "cli/options.h"
#include "cli/out_of_memory.h"
#include "digest_omp/mapping.h"
#include "digest_omp/prescan.h"
#include "platform/file.h"
#include "platform/os_string.h"
#include "platform/stdio.h"
#include "sessions/lookup.h"
#include "sessions/session_log.h"
#include "text/utf8.h"
#include "text/whitespace.h"

namespace vantle::digest {
namespace {

int fail(int code, std::string_view message) {
  (void)stdio::write_report("vantle digest-omp: " + std::string(message));
  return code;
}

// Reports a failed session-file choice. A miss in --session-dir has the digest's own wording,
// which names no agent.
int fail_choice(const sessions::SessionFileError& error, const SessionLogArgs& args) {
  using Kind = sessions::SessionFileError::Kind;
  if (error.kind == Kind::kNoneInDir) {
    return fail(1, "no session file for '" + *args.session + "' under " + *args.session_dir);
  }
  return fail(error.kind == Kind::kUsage ? 2 : 1, error.message);
}

}  // namespace

Result<void> digest_lines(LineReader& lines, OutputBuffer& out, Prescan prescan) {
  while (true) {
    auto line = lines.next();
    if (!line) return Err(std::move(line).error().message);
    if (!*line) return {};
    // Trimming takes off whole white-space characters only, so the rest is UTF-8 exactly when the
    // line is.
    const std::string_view trimmed = text::trim(**line);
    if (prescan == Prescan::kOn) {
      const std::optional<LineCheck> known = lines.known_check();
      const LineCheck check = known ? *known : check_line(trimmed);
      if (!check.utf8) return Err(std::string(text::NOT_UTF8));
      if (!check.may_yield) continue;
    } else {
      if (!text::is_utf8(trimmed)) return Err(std::string(text::NOT_UTF8));
      if (trimmed.empty()) continue;
    }
    map_line(trimmed, out);
    if (out.failure()) return Err(out.failure()->message);
  }
}

namespace {

// A line may be longer than the memory there is: the reader gathers it whole and the mapping
// parses it whole. Running out is a read failure like any other, after the records before it.
Result<void> digest_lines_within_memory(LineReader& lines, OutputBuffer& out) {
  return within_memory([&] { return digest_lines(lines, out); },
                       [](std::string_view reason) -> Result<void> { return Err(std::string(reason)); });
}

// The decompressed bytes of an archived log, its failures naming the archive: a plain log's
// read errors are the system's, an archive's mostly zlib's, which say nothing of where.
ByteSource naming_archive(ByteSource archive, const std::string& shown) {
  return [archive = std::move(archive), &shown](char* buffer, std::size_t size) -> SysResult<std::size_t> {
    auto got = archive(buffer, size);
    if (!got) return Err(custom_error(got.error().kind, "cannot read " + shown + ": " + got.error().message));
    return got;
  };
}

// Ends a run whose lines were all read (or failed): what is buffered goes out, then the report.
int finish(Result<void> streamed, OutputBuffer& out) {
  if (streamed) {
    auto flushed = out.flush();
    if (flushed) return 0;
    streamed = Err(flushed.error().message);
  }
  // What is still buffered goes out before the report; if that fails too, the report still does.
  (void)out.flush();
  return fail(1, streamed.error());
}

int run_digest(std::span<const std::string> args) {
  const SessionLogArgs parsed = parse_session_log_args(args);
  if (parsed.help) {
    (void)stdio::write_out(DIGEST_USAGE);
    return 0;
  }
  std::filesystem::path path;
  std::string shown;  // how messages name the file
  if (parsed.in) {
    path = path_from_utf8(*parsed.in);
    shown = *parsed.in;
  } else {
    if (!parsed.session || parsed.session->empty()) return fail(2, "need --session <id> or --in <logfile>");
    auto found = sessions::choose_session_file(parsed.session_dir, *parsed.session);
    if (!found) return fail_choice(found.error(), parsed);
    path = std::move(*found);
    shown = display(path);
  }

  OutputBuffer out([](std::string_view bytes) { return stdio::write_out(bytes); });
  // --in names a log, whatever its name.
  const bool archived = !parsed.in && sessions::is_archived_session(path);
  auto log = sessions::open_session_log(path, archived);
  if (!log) return fail(1, "cannot open " + shown + ": " + log.error().message);
  ByteSource bytes = std::move(*log).bytes();
  LineReader lines(archived ? naming_archive(std::move(bytes), shown) : std::move(bytes));
  return finish(digest_lines_within_memory(lines, out), out);
}

}  // namespace

int digest_omp(std::span<const std::string> args) {
  return within_memory([&] { return run_digest(args); }, [](std::string_view reason) { return fail(1, reason); });
}

}  // namespace vantle::digest
