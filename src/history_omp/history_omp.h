// The history-omp driver: finds one session log by id and copies its bytes to standard output.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace vantle::history {

inline constexpr std::string_view HISTORY_USAGE =
    "vantle history-omp --session <id> [--project-dir <dir>] [--session-dir <dir>]\n";

// Runs `history-omp` with the arguments after the subcommand name and returns the exit code: 0
// when the file was streamed; 1 for a missing id, a failed lookup or read, or an output that
// cannot be written (the last without a message); 2 for an empty --session-dir or no state
// directory. Reports go to standard error as one "HISTORY_FAIL: " line.
int history_omp(std::span<const std::string> args);

}  // namespace vantle::history
