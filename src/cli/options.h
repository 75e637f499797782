// The one command-line grammar of the subcommands: options that each take the next argument as
// their value, whatever it looks like. Subcommands differ only in what they forgive.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace vantle {

// A value option, where its value goes, and whether the command line must give it.
struct ValueOption {
  std::string_view name;
  std::optional<std::string>* value;
  bool required = false;
};

// What the reading does with an argument that names no option, and with an option that is the
// last argument.
enum class Strictness {
  // Another argument beginning with "--" is skipped with the argument after it; every other one
  // is ignored. An option that is the last argument becomes unset. Nothing fails.
  kLenient,
  // Each argument must name an option (checked first, so a stray last argument is "unknown"),
  // and the option must have a value after it.
  kNamed,
  // Arguments are option-value pairs: a last argument without a value fails first, whatever it
  // is; then it must name an option.
  kPairs,
};

// An option given again replaces the earlier value, or fails the reading.
enum class Repeats { kLastWins, kRefused };

struct Grammar {
  Strictness strictness = Strictness::kLenient;
  Repeats repeats = Repeats::kLastWins;
  // "-h" or "--help" where an option could stand stops the reading at once and asks for help.
  bool help_flags = false;
};

// Reads `args` left to right into the options' values; true when help was asked. The failures,
// without prefix: "unknown arg: {arg}", "{option} expects a value", "duplicate arg: {option}",
// then "missing {option}" for the first required option left unset, in the order listed.
Result<bool> parse_options(std::span<const std::string> args, std::initializer_list<ValueOption> options,
                           Grammar grammar);

// The options of the drivers that read one session log, history-omp and digest-omp: read leniently,
// with help flags. `--in` is digest-omp's own; history-omp ignores it, which reads the arguments
// exactly as skipping it as an unknown option with the argument after it would.
struct SessionLogArgs {
  std::optional<std::string> in;
  std::optional<std::string> session;
  std::optional<std::string> session_dir;
  std::optional<std::string> project_dir;
  bool help = false;
};
SessionLogArgs parse_session_log_args(std::span<const std::string> args);

}  // namespace vantle
