// The `corvane-omp` driver: one bounded end-of-session summarizer turn. It answers with exactly
// one of a validated context delta on standard output (exit code 0), a CORVANE_FAIL line, or a
// CORVANE_ACCOUNT_REFUSAL line on standard error (exit code 1).
#pragma once

#include <span>
#include <string>

namespace vantle::corvane {

// Runs the turn for the arguments after the subcommand name and returns the exit code.
int corvane_omp(std::span<const std::string> args);

}  // namespace vantle::corvane
