// Arguments that are not UTF-8 can only be passed on POSIX (a Windows command line is UTF-16).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli.h"

namespace vantle::testing {
namespace {

const std::string REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

TEST(Arguments, NotUtf8IsRefusedWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string r = REPLACEMENT;
  const Case cases[] = {
      {{"\xFF"}, "vantle: argument 1 is not valid Unicode: " + r + "\n"},
      {{"caf\xE9"}, "vantle: argument 1 is not valid Unicode: caf" + r + "\n"},
      // Each maximal invalid subpart shows as one replacement character.
      {{"\xC0\xAF"}, "vantle: argument 1 is not valid Unicode: " + r + r + "\n"},
      {{"\xED\xA0\x80"}, "vantle: argument 1 is not valid Unicode: " + r + r + r + "\n"},
      {{"\xF4\x90\x80\x80"}, "vantle: argument 1 is not valid Unicode: " + r + r + r + r + "\n"},
      {{"ab\xE2\x82"}, "vantle: argument 1 is not valid Unicode: ab" + r + "\n"},
      {{"digest-omp", "--session", "x\xF0\x9F\x98"}, "vantle: argument 3 is not valid Unicode: x" + r + "\n"},
      {{"history-omp", "\x80"}, "vantle: argument 2 is not valid Unicode: " + r + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(Cli(c.args).run(), exited(2, "", c.err));
  }
}

// Only the first argument counts when it names no driver: what follows is never read.
TEST(Arguments, NotUtf8AfterHelpOrAnUnknownSubcommandIsIgnored) {
  const std::string usage =
      "vantle <subcommand> [args]\n\nsubcommands:\n"
      "  digest-omp        map an OMP session JSONL to digest NDJSON\n"
      "  history-omp       stream an OMP session JSONL verbatim\n"
      "  thymel-omp        run one ephemeral OMP Thymel turn\n"
      "  corvane-omp bounded end-of-session summarizer over an OMP transcript\n"
      "  launch-omp        spawn native OMP in the broker PTY\n";
  EXPECT_EQ(Cli({"-h", "\xFF"}).run(), exited(0, "", usage));
  EXPECT_EQ(Cli({"--help", "a", "\xC0"}).run(), exited(0, "", usage));
  EXPECT_EQ(Cli({"DIGEST-OMP", "\x80"}).run(), exited(2, "", "vantle: unknown subcommand: DIGEST-OMP\n" + usage));
}

}  // namespace
}  // namespace vantle::testing
