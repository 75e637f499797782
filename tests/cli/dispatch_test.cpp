// The entry point seen from outside: which first arguments print the usage, which are refused,
// and which reach a driver.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "support/cli.h"

namespace vantle::testing {
namespace {

// Spelled out here rather than taken from the program's constant, so a typo there is caught.
const std::string USAGE =
    "vantle <subcommand> [args]\n"
    "\n"
    "subcommands:\n"
    "  digest-omp        map an OMP session JSONL to digest NDJSON\n"
    "  history-omp       stream an OMP session JSONL verbatim\n"
    "  thymel-omp        run one ephemeral OMP Thymel turn\n"
    "  corvane-omp bounded end-of-session summarizer over an OMP transcript\n"
    "  launch-omp        spawn native OMP in the broker PTY\n";

std::string unknown(const std::string& arg) { return "vantle: unknown subcommand: " + arg + "\n" + USAGE; }

TEST(Dispatch, HelpPrintsUsageOnStderrWhateverFollows) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-h"},
      {"-h", "x"},
      {"--help"},
      {"--help", "digest-omp"},
      {"-h", "--help", ""},
      {"--help", "launch-omp", "--id", "e1"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(Cli(args).run(), exited(0, "", USAGE));
  }
}

TEST(Dispatch, UnknownSubcommandShowsTheArgumentAsTyped) {
  const std::vector<std::vector<std::string>> cases = {
      {""},
      {"", "digest-omp"},
      {"DIGEST-OMP"},
      {"Digest-omp"},
      {"digest"},
      {"digest-"},
      {"digest-omp-"},
      {" digest-omp"},
      {"digest-omp "},
      {"digest_omp"},
      {"-H"},
      {"-help"},
      {"--h"},
      {"help"},
      {"-"},
      {"--"},
      {"--", "-h"},
      {"x", "--help"},
      {"--version"},
      // Beyond ASCII: two and four bytes, the last scalar value, a byte order mark.
      {"d\xC3\xAFgest-omp"},
      {"\xF0\x9F\x98\x80"},
      {"\xF4\x8F\xBF\xBF"},
      {"\xEF\xBB\xBF"
       "digest-omp"},
      {"two words"},
      {"say \"hi\""},
      {"trailing\\"},
      {"back\\\\\"slash"},
      {"50% & | < > ^ !"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(describe_args(args));
    EXPECT_EQ(Cli(args).run(), exited(2, "", unknown(args[0])));
  }
  // Control characters are shown escaped, so the report stays one line.
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(Cli({"digest-omp" + c.raw}).run(), exited(2, "", unknown("digest-omp" + c.shown)));
  }
}

TEST(Dispatch, LongUnknownSubcommandComesBackWhole) {
  // Larger than a pipe's buffer, so the harness must read stderr while the child writes it. A
  // Windows command line holds at most 32767 characters.
  const std::string arg(sys::is_windows() ? 30000 : 120000, 'x');
  EXPECT_EQ(Cli({arg}).run(), exited(2, "", unknown(arg)));
}

TEST(Dispatch, InputTheToolDoesNotReadIsIgnored) {
  EXPECT_EQ(Cli({"--help"}).input(std::string(1 << 20, 'i')).run(), exited(0, "", USAGE));
}

}  // namespace
}  // namespace vantle::testing
