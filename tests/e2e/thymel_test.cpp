// Thymel turns as the daemon runs them for a launched endpoint: the reply comes back, a blank
// mind without a stored session asks for a reseed, and an account refusal is told apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/cli.h"
#include "support/fake_agent.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

TEST(Thymel, OneTurnEachWay) {
  const std::string dash = "\xE2\x80\x94";
  const std::string refusal =
      "THYMEL_ACCOUNT_REFUSAL:ep-1: outage, not a fault " + dash +
      " the provider refused the Thymel turn for account reasons (usage-limit). Nothing is broken: the Thymel "
      "session and its stored context are intact and untouched, a retry would succeed on a healthy account, and "
      "only a human can restore it (clear the limit or the credential). Exiting 96 (keep custody; the daemon paces "
      "retries, never reseeds). omp stderr: Error: insufficient_quota; omp stdout: <silent>\n";
  const std::string reseed =
      "THYMEL_SESSION_NOT_FOUND:ep-1: thymel omp session dir holds no prior session " + dash + " exit 95 (reseed)\n";
  struct Case {
    std::string mind;
    std::string scenario;
    CliResult expected;
    std::string prompt;  // the prompt file the agent read; empty when it never ran
  };
  const Case cases[] = {
      {"You are Thymel.\n\n", "stdout the reply\\n\n", exited(0, "the reply\n", ""), "You are Thymel.\n\nWhat next?"},
      {" \n", "stdout the reply\\n\n", exited(95, "", reseed), ""},
      {"You are Thymel.", "stderr Error: insufficient_quota\\n\nexit 1\n",
       exited(96, "", "Error: insufficient_quota\n" + refusal), "You are Thymel.\n\nWhat next?"},
  };
  ScopedTempDir tmp;
  const stdfs::path record = tmp / "record.jsonl";
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    // The first turn's prompt file lies past 260 characters, which Windows allows only in the long
    // form of the path; its folder, the agent's working directory, stays just under 260.
    std::string folder = "work-" + std::to_string(++n);
    const std::size_t base = display(tmp.path()).size() + 1;
    if (n == 1 && base + folder.size() < 250) folder.append(250 - base - folder.size(), 'w');
    const stdfs::path work = tmp / folder, mind = work / "mind.md";
    const stdfs::path prompt_file = work / "omp-sessions" / "turn-prompt.md";
    write_file(mind, c.mind);
    stdfs::remove(record);
    // The agent the endpoint was launched with, recorded in its snapshot.
    const auto agent = install_fake_agent(tmp / "bin", "record " + scenario_path(record) + "\n" + c.scenario);
    write_file(snapshot_file(tmp / "state", "ep-1"), snapshot_document("ep-1", tmp / "endpoint-home", agent));

    EXPECT_EQ(Cli({"thymel-omp", "--id", "ep-1", "--session-id", "s-1", "--thymel-context-file", display(mind)})
                  .env("VANTLE_STATE_DIR", display(tmp / "state"))
                  .env("HOME", display(tmp / "daemon-home"))
                  .cwd(tmp.path())
                  .input("What next?")
                  .run(),
              c.expected);

    const auto runs = agent_runs(record);
    if (c.prompt.empty()) {
      EXPECT_TRUE(runs.empty());
      EXPECT_FALSE(fs::exists(work / "omp-sessions"));
      continue;
    }
    EXPECT_EQ(read_file(prompt_file), c.prompt);
    ASSERT_EQ(runs.size(), 1u);
    const auto argv = runs[0]["argv"].get<std::vector<std::string>>();
    const std::string at_prompt = "@" + display(*fs::make_absolute(prompt_file));
    EXPECT_EQ(argv.back(), at_prompt);
    EXPECT_EQ(std::count(argv.begin(), argv.end(), "-c"), 0);
    EXPECT_EQ(runs[0]["files"].value(at_prompt.substr(1), ""), c.prompt);
    EXPECT_EQ(runs[0]["env"].value("HOME", ""), display(tmp / "endpoint-home"));
  }
}

}  // namespace
}  // namespace vantle::testing
