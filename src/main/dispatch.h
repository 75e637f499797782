// The entry point's subcommand table and top-level usage text.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace vantle {

// A subcommand driver: takes the arguments after the subcommand name, returns the exit code.
using Driver = int (*)(std::span<const std::string> args);

struct Subcommand {
  std::string_view name;
  Driver driver;
};

inline constexpr std::string_view USAGE =
    "vantle <subcommand> [args]\n"
    "\n"
    "subcommands:\n"
    "  digest-omp        map an OMP session JSONL to digest NDJSON\n"
    "  history-omp       stream an OMP session JSONL verbatim\n"
    "  thymel-omp        run one ephemeral OMP Thymel turn\n"
    "  corvane-omp bounded end-of-session summarizer over an OMP transcript\n"
    "  launch-omp        spawn native OMP in the broker PTY\n";

// Runs the subcommand named by args[0] (the arguments after the program name) and returns the
// process exit code.
int dispatch(std::span<const std::string> args);

// The process entry: converts the OS arguments and dispatches. Arguments that are not valid
// Unicode are refused with a message and exit code 2.
int run_main(int argc, char** argv);

}  // namespace vantle
