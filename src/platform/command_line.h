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

// Splits a command line into its arguments as CommandLineToArgvW does, in any code unit type (the
// tool reads its own wide command line with it: the system's function lives in shell32.dll, whose
// loading would be a large share of every start-up). The program comes first, with no escapes: up
// to the next quote when it starts with one, else up to the first space or tab. Each argument
// after it ends at a space or tab outside quotes; a run of backslashes before a quote gives half as
// many, and an odd run makes that quote literal; two quotes inside quotes give one literal quote
// and end the quoting. An empty line gives no arguments at all (the system gives the program's
// path).
template <class Char>
std::vector<std::basic_string<Char>> split_windows_command_line(std::basic_string_view<Char> line) {
  std::vector<std::basic_string<Char>> args;
  if (line.empty()) return args;
  const auto blank = [](Char c) { return c == Char(' ') || c == Char('\t'); };
  std::size_t i = 0;
  std::basic_string<Char> program;
  if (line[0] == Char('"')) {
    for (++i; i < line.size() && line[i] != Char('"'); ++i) program.push_back(line[i]);
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !blank(line[i]); ++i) program.push_back(line[i]);
  }
  args.push_back(std::move(program));
  while (true) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) return args;
    std::basic_string<Char> arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      if (line[i] == Char('\\')) {
        const std::size_t from = i;
        while (i < line.size() && line[i] == Char('\\')) ++i;
        const std::size_t run = i - from;
        const bool before_quote = i < line.size() && line[i] == Char('"');
        arg.append(before_quote ? run / 2 : run, Char('\\'));
        if (before_quote && run % 2 == 1) {
          arg.push_back(Char('"'));
          ++i;
        }
      } else if (line[i] == Char('"')) {
        if (quoted && i + 1 < line.size() && line[i + 1] == Char('"')) {
          arg.push_back(Char('"'));
          ++i;
        }
        quoted = !quoted;
        ++i;
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
}

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
