// The installed binary starts at all and dispatches: the usage on request, a refusal otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/dispatch.h"
#include "support/cli.h"

namespace vantle::testing {
namespace {

// The text itself is spelled out by the CLI tests; here it is the one this source builds, so that
// an installed binary from other sources fails.
const std::string kUsage(USAGE);

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
