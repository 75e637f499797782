#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace vantle::process {
namespace {

TEST(QuoteWindowsArgument, FollowsTheRuntimeRules) {
  struct Case {
    std::string arg;
    std::string quoted;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"", R"("")"},
      {"two words", R"("two words")"},
      {"tab\there", "\"tab\there\""},
      {"new\nline", "\"new\nline\""},
      {R"(a"b)", R"("a\"b")"},
      {R"(")", R"("\"")"},
      {R"(back\slash)", R"(back\slash)"},            // backslashes are literal unless a quote follows
      {R"(\\server\share\)", R"(\\server\share\)"},  // nothing to quote, so nothing doubled
      {R"(a\"b)", R"("a\\\"b")"},
      {R"(a\\"b)", R"("a\\\\\"b")"},
      {R"(with space\)", R"("with space\\")"},  // doubled before the closing quote
      {R"(with space\\)", R"("with space\\\\")"},
      {"h\xC3\xA9", "h\xC3\xA9"},
      {"%PATH%&|<>^", "%PATH%&|<>^"},  // not the C runtime's business
  };
  for (const auto& c : cases) EXPECT_EQ(quote_windows_argument(c.arg), c.quoted) << c.arg;
}

TEST(SplitWindowsCommandLine, FollowsTheSystemRules) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", {}},
      {"a.exe", {"a.exe"}},
      {R"("C:\Program Files\a.exe" x)", {R"(C:\Program Files\a.exe)", "x"}},
      // The program has no escapes: backslashes and quotes inside it are kept as they are.
      {R"(C:\a\"b c)", {R"(C:\a\"b)", "c"}},
      {R"("a\"b c)", {R"(a\)", "b", "c"}},
      {R"("a"b c)", {"a", "b", "c"}},
      {"\"unclosed program", {"unclosed program"}},
      {"a.exe\x01" "x \x02y", {"a.exe\x01" "x", "\x02y"}},
      {"a.exe  \t ", {"a.exe"}},
      {"a.exe \"\"", {"a.exe", ""}},
      {"a.exe \"two words\" \"tab\there\"", {"a.exe", "two words", "tab\there"}},
      {"a.exe x\"y z\"w", {"a.exe", "xy zw"}},
      {R"(a.exe a\"b)", {"a.exe", R"(a"b)"}},
      {R"(a.exe a\\"b c")", {"a.exe", R"(a\b c)"}},
      {R"(a.exe a\\\"b)", {"a.exe", R"(a\"b)"}},
      {R"(a.exe back\slash \\server\share\)", {"a.exe", R"(back\slash)", R"(\\server\share\)"}},
      {R"(a.exe "with space\\")", {"a.exe", R"(with space\)"}},
      // Two quotes inside quotes: one literal quote, and the quoting ends.
      {R"(a.exe "a""b" c)", {"a.exe", R"(a"b c)"}},
      {R"(a.exe """a b""" c)", {"a.exe", R"("a)", R"(b")", "c"}},
      {"a.exe \"unclosed arg", {"a.exe", "unclosed arg"}},
      {"a.exe h\xC3\xA9 \xF0\x9F\x98\x80", {"a.exe", "h\xC3\xA9", "\xF0\x9F\x98\x80"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_windows_command_line(std::string_view(c.line)), c.args) << c.line;
  // Whatever the quoting gives back is what was quoted.
  const std::vector<std::string> args = {"", "x y", R"(a\"b)", R"(c:\dir\)", R"(q"")", "\t"};
  auto line = windows_command_line(R"(C:\Program Files\a.exe)", args);
  auto back = split_windows_command_line(std::string_view(line));
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(std::vector<std::string>(back.begin() + 1, back.end()), args);
}

TEST(WindowsCommandLine, QuotesTheProgramAndEachArgument) {
  EXPECT_EQ(windows_command_line(R"(C:\Program Files\a.exe)", {"x y", "", "z"}),
            R"("C:\Program Files\a.exe" "x y" "" z)");
  EXPECT_EQ(windows_command_line(R"(C:\a.exe)", {}), R"("C:\a.exe")");
}

TEST(IsBatchFile, MatchesBatAndCmdInAnyCase) {
  struct Case {
    std::string program;
    bool batch;
  };
  const Case cases[] = {
      {R"(C:\x\run.bat)", true}, {"RUN.CMD", true},        {"run.Bat", true}, {"run.bat.", true},
      {"run.cmd . ", true},      {"run.exe", false},       {"bat", false},    {"run.bat.exe", false},
      {"run.batch", false},      {R"(C:\x.bat\y)", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_batch_file(c.program), c.batch) << c.program;
}

constexpr std::string_view CMD = R"(C:\Windows\system32\cmd.exe)";
const std::string PREFIX = R"("C:\Windows\system32\cmd.exe" /e:ON /v:OFF /d /c ""C:\s\run.cmd")";

TEST(BatchCommandLine, QuotesAndDefusesEveryMetacharacter) {
  struct Case {
    std::vector<std::string> args;
    std::string tail;  // what follows the script, before the closing quote
  };
  const Case cases[] = {
      {{}, ""},
      {{"plain", "a.b-c_d:/x@y?z*w+$#"}, " plain a.b-c_d:/x@y?z*w+$#"},
      {{R"(x\y)"}, R"( x\y)"},
      {{""}, R"( "")"},
      {{"two words"}, R"( "two words")"},
      {{"tab\tx"}, " \"tab\tx\""},
      {{"a&b"}, R"( "a&b")"},
      {{"a|b"}, R"( "a|b")"},
      {{"<in"}, R"( "<in")"},
      {{">out"}, R"( ">out")"},
      {{"^x"}, R"( "^x")"},
      {{"!x!"}, R"( "!x!")"},
      {{"(x)"}, " \"(x)\""},
      {{"a,b;c=d"}, R"( "a,b;c=d")"},
      {{"%PATH%"}, R"( "%%cd:~,%PATH%%cd:~,%")"},
      {{R"(a"b)"}, R"( "a""b")"},
      {{R"(")"}, R"( """")"},
      {{R"(a\"b)"}, R"( "a\\""b")"},
      {{R"(trailing\)"}, R"( "trailing\\")"},
      {{R"(a b\\)"}, R"( "a b\\\\")"},
      {{"h\xC3\xA9"}, " h\xC3\xA9"},
      {{"& calc", "x"}, R"( "& calc" x)"},
  };
  for (const auto& c : cases) {
    auto line = batch_command_line(CMD, R"(C:\s\run.cmd)", c.args);
    ASSERT_TRUE(line.ok()) << line.error();
    EXPECT_EQ(*line, PREFIX + c.tail + "\"") << c.tail;
  }
}

TEST(BatchCommandLine, DefusesPercentInTheScriptPath) {
  auto line = batch_command_line(CMD, R"(C:\100%\run.cmd)", {});
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(*line, R"("C:\Windows\system32\cmd.exe" /e:ON /v:OFF /d /c ""C:\100%%cd:~,%\run.cmd"")");
}

TEST(BatchCommandLine, RefusesWhatCmdCannotCarry) {
  const std::vector<std::string> bad_args[] = {
      {"a\nb"},
      {"a\rb"},
      {"ok", std::string("a\0b", 3)},
      {"\r\n"},
  };
  for (const auto& args : bad_args) EXPECT_FALSE(batch_command_line(CMD, R"(C:\s\run.cmd)", args).ok());
  EXPECT_FALSE(batch_command_line(CMD, R"(C:\s"\run.cmd)", {}).ok());
  EXPECT_FALSE(batch_command_line(CMD, R"(C:\s\)", {}).ok());
}

using Env = std::vector<std::pair<OsString, OsString>>;
using Changes = std::vector<std::pair<std::string, std::optional<OsString>>>;

Env make_env(const std::vector<std::pair<std::string, std::string>>& entries) {
  Env out;
  for (const auto& [name, value] : entries) out.emplace_back(OsString::from_utf8(name), OsString::from_utf8(value));
  return out;
}

OsString os(std::string_view text) { return OsString::from_utf8(text); }

TEST(MergeEnvironment, AppliesChangesInOrder) {
  struct Case {
    std::string what;
    Changes changes;
    bool ignore_case;
    std::vector<std::pair<std::string, std::string>> expected;
  };
  const auto base = make_env({{"A", "1"}, {"b", "2"}, {"C", "3"}});
  const Case cases[] = {
      {"nothing", {}, false, {{"A", "1"}, {"b", "2"}, {"C", "3"}}},
      {"set new, case-sensitive", {{"D", os("4")}}, false, {{"A", "1"}, {"b", "2"}, {"C", "3"}, {"D", "4"}}},
      {"set other case, case-sensitive", {{"B", os("20")}}, false, {{"A", "1"}, {"b", "2"}, {"C", "3"}, {"B", "20"}}},
      {"set other case, ignoring case", {{"B", os("20")}}, true, {{"A", "1"}, {"B", "20"}, {"C", "3"}}},
      {"remove other case, case-sensitive", {{"a", std::nullopt}}, false, {{"A", "1"}, {"b", "2"}, {"C", "3"}}},
      {"remove other case, ignoring case", {{"a", std::nullopt}}, true, {{"b", "2"}, {"C", "3"}}},
      {"set then remove", {{"X", os("1")}, {"X", std::nullopt}}, false, {{"A", "1"}, {"b", "2"}, {"C", "3"}}},
      {"remove then set", {{"A", std::nullopt}, {"A", os("9")}}, false, {{"b", "2"}, {"C", "3"}, {"A", "9"}}},
      {"set empty", {{"E", os("")}}, true, {{"A", "1"}, {"b", "2"}, {"C", "3"}, {"E", ""}}},
      {"remove missing", {{"Z", std::nullopt}}, true, {{"A", "1"}, {"b", "2"}, {"C", "3"}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(merge_environment(base, c.changes, c.ignore_case), make_env(c.expected)) << c.what;
}

TEST(MergeEnvironment, SortsByUpperCasedNameWhenIgnoringCase) {
  // Windows wants the block sorted as if names were upper case: "_" (0x5F) sorts after "Z" (0x5A),
  // though it would sort before "z" (0x7A).
  const auto base = make_env({{"z", "1"}, {"_x", "2"}, {"Path", "3"}, {"ab", "4"}, {"AA", "5"}, {"=C:", "C:\\"}});
  EXPECT_EQ(merge_environment(base, {}, true),
            make_env({{"=C:", "C:\\"}, {"AA", "5"}, {"ab", "4"}, {"Path", "3"}, {"z", "1"}, {"_x", "2"}}));
  // Case-sensitive merging keeps the order it was given.
  EXPECT_EQ(merge_environment(base, {}, false), base);
}

}  // namespace
}  // namespace vantle::process
