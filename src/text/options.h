// The lenient option grammar that history-omp, digest-omp and corvane-omp share.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantle {

// A value option and where its value goes.
struct ValueOption {
  std::string_view name;
  std::optional<std::string>* value;
};

// Reads `args` left to right. A named option takes the next argument as its value, whatever it
// looks like; a later occurrence replaces an earlier one, and one that is the last argument
// becomes unset. Any other argument beginning with "--" swallows the argument after it; every
// other argument is ignored. With `help_flags`, "-h" or "--help" stops the reading at once and
// the result is true.
bool parse_value_options(std::span<const std::string> args, std::initializer_list<ValueOption> options,
                         bool help_flags);

}  // namespace vantle
