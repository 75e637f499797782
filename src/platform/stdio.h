// The process's standard streams, in binary mode (no newline translation on Windows).
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/error.h"
#include "text/visible.h"

namespace vantle::stdio {

// Each writes the whole text, retrying partial writes; a closed reader gives an error, never a
// signal death.
SysResult<void> write_out(std::string_view text);
SysResult<void> write_err(std::string_view text);
// Writes one report line of the tool's own, and its line feed, to standard error: the one writer of
// those lines, which makes each one line (text::report_text). A plain `line` is all the tool's own,
// without the line feed.
SysResult<void> write_report(const text::ReportLine& line);
SysResult<void> write_report(std::string_view line);
// As write_out, for large pieces of a whole file: into a pipe smaller than the piece it first grows
// the pipe (Linux), so that writer and reader take turns less often.
SysResult<void> write_out_large(std::string_view bytes);
// Reads up to `size` bytes; 0 means end of input. Interrupted reads are retried.
SysResult<std::size_t> read_in(char* buffer, std::size_t size);

// Whether standard input (0), output (1) or error (2) is a terminal (a console on Windows).
bool is_terminal(int stream);

}  // namespace vantle::stdio
