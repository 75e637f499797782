// Corvane turns as the daemon runs them at the end of a session: the agent's context delta comes
// back, a refusal is reported as one, and the turn leaves nothing in the temporary directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "support/cli.h"
#include "support/fake_agent.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

TEST(Corvane, ATurnOverAnEndedSession) {
  const std::string delta = "<project-context>decided X</project-context>\n\n<live-context>I am ep-1</live-context>";
  const std::string refusal =
      "CORVANE_ACCOUNT_REFUSAL:ep-1: outage, not a fault \xE2\x80\x94 the provider refused the summarizer turn for "
      "account reasons (usage-limit); nothing is broken, the transcript is intact, and only a human can restore the "
      "account. omp exited exit code: 1; omp stderr: Error: You have exhausted your capacity on this model; omp "
      "stdout: <silent>\n";
  struct Case {
    std::string scenario;
    CliResult expected;
  };
  const Case cases[] = {
      {"stdout \\n " + scenario_value(delta) + "\\n\n", exited(0, delta, "")},
      {"stderr Error: You have exhausted your capacity on this model\nexit 1\n", exited(1, "", refusal)},
  };
  ScopedTempDir tmp;
  const stdfs::path temp = tmp / "temp", record = tmp / "record.jsonl";
  stdfs::create_directories(temp);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    stdfs::remove(record);
    const auto agent = install_fake_agent(tmp / "bin", "record " + scenario_path(record) + "\n" + c.scenario);
    write_file(snapshot_file(tmp / "state", "ep-1"), snapshot_document("ep-1", tmp / "endpoint-home", agent));
    Cli turn({"corvane-omp", "--id", "ep-1", "--session-id", "s-1", "--project-dir", display(tmp / "project")});
    turn.env("VANTLE_STATE_DIR", display(tmp / "state"))
        .env("HOME", display(tmp / "daemon-home"))
        .env("TEMP", display(temp))
        .env("TMP", display(temp))
        .cwd(tmp.path())
        .input("user: fix <the> build\nagent: done\n");
    // Wine itself needs TMPDIR to be a Linux directory that exists; the Windows build reads TEMP.
    if (!sys::is_windows()) turn.env("TMPDIR", display(temp));

    EXPECT_EQ(turn.run(), c.expected);

    // The agent worked inside the temporary directory on the escaped transcript, and nothing it
    // or the turn made there is left.
    const auto runs = agent_runs(record);
    ASSERT_EQ(runs.size(), 1u);
    const auto argv = runs[0]["argv"].get<std::vector<std::string>>();
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(display(path_from_utf8(runs[0]["cwd"].get<std::string>()).parent_path()),
              display(*fs::make_absolute(temp)));
    const std::string prompt = runs[0]["files"].value(argv.back().substr(1), "");
    EXPECT_NE(prompt.find("\nuser: fix &lt;the&gt; build\nagent: done\n\n</untrusted-transcript>"), std::string::npos)
        << prompt;
    EXPECT_TRUE(stdfs::is_empty(temp)) << display(temp);
  }
}

}  // namespace
}  // namespace vantle::testing
