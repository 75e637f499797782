#include "platform/command_line.h"

#include <algorithm>
#include <cctype>

namespace vantle::process {

std::string quote_windows_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // Backslashes before a quote are doubled, and the quote itself is escaped.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // Backslashes before the closing quote are doubled so that they do not escape it.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string windows_command_line(std::string_view program, const std::vector<std::string>& args) {
  // The program name is parsed by simpler rules (no escapes), and a path cannot hold a quote.
  std::string line = "\"" + std::string(program) + "\"";
  for (const auto& arg : args) {
    line.push_back(' ');
    line += quote_windows_argument(arg);
  }
  return line;
}

namespace {

bool ends_with_ignore_case(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), s.end() - suffix.size(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

}  // namespace

bool is_batch_file(std::string_view program) {
  // Windows drops trailing dots and spaces from file names, so "run.bat. " still names run.bat.
  program = program.substr(0, program.find_last_not_of(". ") + 1);
  return ends_with_ignore_case(program, ".bat") || ends_with_ignore_case(program, ".cmd");
}

namespace {

// Written before each "%". cmd.exe keeps the first "%" of "%%" on a command line, and "%cd:~,%"
// (closed by the original "%") expands to nothing, so no "%" is left to start a %VAR%.
constexpr std::string_view DEFUSE_PERCENT = "%%cd:~,";

}  // namespace

Result<std::string> batch_command_line(std::string_view cmd_exe, std::string_view script,
                                       const std::vector<std::string>& args) {
  if (script.find('"') != std::string_view::npos || (!script.empty() && script.back() == '\\')) {
    return Err(std::string("batch file path cannot be passed to cmd.exe safely: ") + std::string(script));
  }
  // /d skips AutoRun commands, /e:ON enables the substring syntax used to defuse "%",
  // /v:OFF keeps "!" literal. The whole command after /c sits inside one extra pair of quotes.
  std::string line = "\"" + std::string(cmd_exe) + "\" /e:ON /v:OFF /d /c \"\"";
  for (char c : script) {
    if (c == '%') line += DEFUSE_PERCENT;
    line.push_back(c);
  }
  line.push_back('"');
  for (const auto& arg : args) {
    if (arg.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      return Err(std::string("argument cannot be passed to a batch file safely (it holds a line break or NUL): ") +
                 arg);
    }
    bool quote = arg.empty() || arg.back() == '\\';
    for (unsigned char c : arg) {
      const bool safe = std::isalnum(c) || c >= 0x80 ||
                        std::string_view("#$*+-./:?@\\_").find(static_cast<char>(c)) != std::string_view::npos;
      if (!safe) quote = true;
    }
    line.push_back(' ');
    if (quote) line.push_back('"');
    std::size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        line.push_back(c);
        continue;
      }
      if (c == '"') {
        // Inside quotes cmd.exe sees "" as a quote that keeps the quoted state; the C runtime of
        // the script's programs reads it as one literal quote.
        line.append(backslashes, '\\');
        line.push_back('"');
      } else if (c == '%') {
        line += DEFUSE_PERCENT;
      }
      backslashes = 0;
      line.push_back(c);
    }
    if (quote) {
      line.append(backslashes, '\\');
      line.push_back('"');
    }
  }
  line.push_back('"');
  return line;
}

namespace {

using Unit = NativeString::value_type;

Unit fold(Unit c) { return (c >= 'a' && c <= 'z') ? static_cast<Unit>(c - 'a' + 'A') : c; }

bool names_equal(const NativeString& a, const NativeString& b, bool ignore_case) {
  if (!ignore_case) return a == b;
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](Unit x, Unit y) { return fold(x) == fold(y); });
}

}  // namespace

std::vector<std::pair<OsString, OsString>> merge_environment(
    std::vector<std::pair<OsString, OsString>> base,
    const std::vector<std::pair<std::string, std::optional<OsString>>>& changes, bool ignore_case) {
  for (const auto& [name_utf8, value] : changes) {
    const OsString name = OsString::from_utf8(name_utf8);
    std::erase_if(base,
                  [&](const auto& entry) { return names_equal(entry.first.native(), name.native(), ignore_case); });
    if (value) base.emplace_back(name, *value);
  }
  if (ignore_case) {
    std::stable_sort(base.begin(), base.end(), [](const auto& a, const auto& b) {
      const NativeString& x = a.first.native();
      const NativeString& y = b.first.native();
      return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                          [](Unit l, Unit r) { return fold(l) < fold(r); });
    });
  }
  return base;
}

}  // namespace vantle::process
