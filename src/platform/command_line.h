// Pure pieces of starting a Windows child, kept here so that every build tests them: argument
// quoting by the MSVC runtime rules, the cmd.exe line for batch files, and the environment merge.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "platform/os_string.h"

namespace vantle::process {

// Quotes one argument so that the MSVC runtime's CommandLineToArgvW rules give it back unchanged.
std::string quote_windows_argument(std::string_view arg);

// The command line of an ordinary program: the program in quotes, then each argument quoted.
std::string windows_command_line(std::string_view program, const std::vector<std::string>& args);

// True when the program is a batch file (.bat or .cmd, any case), which only cmd.exe can run.
bool is_batch_file(std::string_view program);

// The command line that runs a batch file through `cmd.exe` (whose path is given) so that every
// argument reaches the script as one literal argument: quotes where any character other than
// letters, digits and #$*+-./:?@\_ appears, doubled quotes, and "%" defused so that no variable
// expands. Line breaks and NUL cannot be passed through cmd.exe safely: such an argument is
// refused with a message.
Result<std::string> batch_command_line(std::string_view cmd_exe, std::string_view script,
                                       const std::vector<std::string>& args);

// Applies `changes` (set or remove, in order) to `base`. With `ignore_case` (Windows) names match
// without regard to ASCII case and the result is sorted as Windows requires an environment block
// to be: by upper-cased name.
std::vector<std::pair<OsString, OsString>> merge_environment(
    std::vector<std::pair<OsString, OsString>> base,
    const std::vector<std::pair<std::string, std::optional<OsString>>>& changes, bool ignore_case);

}  // namespace vantle::process
