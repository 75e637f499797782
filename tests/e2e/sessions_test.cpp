// After a launch, the daemon asks for the endpoint's session by id alone, from its own
// environment: the tool finds the log through the endpoint's snapshot and streams it verbatim
// (history) or maps it to digest records (digest).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "support/cli.h"
#include "support/fake_agent.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

// As the agent writes it: a header, a user line ending in CR LF with a non-ASCII letter, an
// assistant text with a tool call, and a tool result that the digest leaves out.
const std::string LOG =
    R"({"type":"session","version":3,"id":"sid-42","timestamp":"2025-06-01T10:00:00Z","cwd":"/src/app"}
{"type":"message","timestamp":"2025-06-01T10:00:01Z","message":{"role":"user","content":"Résumé it"}})"
    "\r\n"
    R"({"type":"message","timestamp":"2025-06-01T10:00:02Z","message":{"role":"assistant","content":[{"type":"text","text":"Reading."},{"type":"toolCall","name":"read","arguments":{"path":"CMakeLists.txt"}}]}}
{"type":"message","message":{"role":"toolResult","content":[{"type":"text","text":"cmake 3.25"}]}}
)";
const std::string RECORDS = R"({"role":"input","text":"Résumé it","ts":"2025-06-01T10:00:01Z"}
{"role":"agent","text":"Reading.","ts":"2025-06-01T10:00:02Z"}
{"role":"tool","tool":{"arg":"CMakeLists.txt","name":"read"},"ts":"2025-06-01T10:00:02Z"}
)";

TEST(Sessions, TheLaunchedEndpointsLogIsFoundByIdAndStreamedOrDigested) {
  // A project folder with a long name puts the log's path past 300 characters, which Windows
  // allows only in the long form of the path.
  for (const std::string& project_folder : {std::string("project"), std::string(240, 'p')}) {
    SCOPED_TRACE(project_folder.size());
    // The endpoint runs with a home of its own, and its agent writes the session log into that
    // home's sessions directory, in a folder per project.
    ScopedTempDir tmp;
    const stdfs::path state = tmp / "state", sessions = tmp / "endpoint-home" / ".omp" / "agent" / "sessions";
    const stdfs::path log = sessions / project_folder / "2025-06-01T10-00-00-000Z_sid-42.jsonl";
    stdfs::create_directories(log.parent_path());
    stdfs::create_directories(tmp / "project");
    install_fake_agent(tmp / "endpoint-home" / ".bun" / "bin",
                       "write " + scenario_path(log) + "|" + scenario_value(LOG) + "\n");
    ASSERT_EQ(Cli({"launch-omp", "--id", "ep", "--extension", "ext"})
                  .env("HOME", display(tmp / "endpoint-home"))
                  .env("VANTLE_STATE_DIR", display(state))
                  .cwd(tmp / "project")
                  .run(),
              exited(0, "", ""));
    ASSERT_EQ(read_file(log), LOG);

    const std::string not_found =
        "HISTORY_FAIL: no omp session file for 'sid-7' across endpoint environment "
        "snapshots under " +
        display(state / ".vantle" / "vantle-env-v1") + "\n";
    struct Case {
      std::vector<std::string> args;
      CliResult expected;
    };
    const Case cases[] = {
        {{"history-omp", "--session", "sid-42", "--project-dir", display(tmp / "project")}, exited(0, LOG, "")},
        {{"history-omp", "--session", "sid-42", "--session-dir", display(sessions)}, exited(0, LOG, "")},
        {{"history-omp", "--session", "sid-7"}, exited(1, "", not_found)},
        {{"digest-omp", "--session", "sid-42"}, exited(0, RECORDS, "")},
        {{"digest-omp", "--session", "sid-42", "--session-dir", display(sessions)}, exited(0, RECORDS, "")},
        {{"digest-omp", "--in", display(log)}, exited(0, RECORDS, "")},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(describe_args(c.args));
      // The daemon's environment: its home is not the endpoint's.
      EXPECT_EQ(Cli(c.args)
                    .env("VANTLE_STATE_DIR", display(state))
                    .env("HOME", display(tmp / "daemon-home"))
                    .cwd(tmp.path())
                    .run(),
                c.expected);
    }
  }
}

}  // namespace
}  // namespace vantle::testing
