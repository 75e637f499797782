// The digest-omp driver: maps one Oh My Pi session log to newline-delimited JSON records, one per
// user text, agent text and agent tool call, in one streaming pass.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "digest_omp/buffers.h"

namespace vantle::digest {

inline constexpr std::string_view DIGEST_USAGE =
    "vantle digest-omp --session <id> [--project-dir <dir>] [--session-dir <dir>] [--in <logfile>]\n";

// Whether lines go through the structural pre-scan before the full parse. Off only to check that
// the pre-scan changes nothing.
enum class Prescan { kOn, kOff };

// Maps every line of `lines` into `out`: white space trimmed, blank lines skipped, records of the
// rest appended. Stops at the first read failure (a line that is not UTF-8 included) or output
// failure and returns its message; records mapped before it stay in `out`.
Result<void> digest_lines(LineReader& lines, OutputBuffer& out, Prescan prescan = Prescan::kOn);

// Runs `digest-omp` with the arguments after the subcommand name and returns the exit code: 0
// when the digest was written; 1 for a failed lookup, read or write; 2 for neither --session nor
// --in, an empty --session-dir, or no state directory. Reports go to standard error as one
// "vantle digest-omp: " line.
int digest_omp(std::span<const std::string> args);

}  // namespace vantle::digest
