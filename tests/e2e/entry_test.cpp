// The installed binary starts at all and dispatches: the usage on request, a refusal otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli.h"

namespace vantle::testing {
namespace {

const std::string kUsage =
    "vantle <subcommand> [args]\n"
    "\n"
    "subcommands:\n"
    "  digest-omp        map an OMP session JSONL to digest NDJSON\n"
    "  history-omp       stream an OMP session JSONL verbatim\n"
    "  thymel-omp        run one ephemeral OMP Thymel turn\n"
    "  corvane-omp bounded end-of-session summarizer over an OMP transcript\n"
    "  launch-omp        spawn native OMP in the broker PTY\n";

TEST(Entry, UsageOnRequestAndRefusalOfAnUnknownSubcommand) {
  struct Case {
    std::vector<std::string> args;
    CliResult expected;
  };
  const Case cases[] = {
      {{"--help"}, exited(0, "", kUsage)},
      {{}, exited(0, "", kUsage)},
      {{"launch"}, exited(2, "", "vantle: unknown subcommand: launch\n" + kUsage)},
      {{"Digest-Omp", "--in", "x"}, exited(2, "", "vantle: unknown subcommand: Digest-Omp\n" + kUsage)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(Cli(c.args).run(), c.expected);
  }
}

}  // namespace
}  // namespace vantle::testing
