// launch-omp against the stand-in agent: the argument grammar, what the agent receives, the
// snapshot written before it starts, and exit codes passed through.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/fs.h"
#include "platform/system.h"
#include "snapshot/snapshot.h"
#include "support/agent_record.h"
#include "support/cli.h"
#include "support/fake_agent.h"
#include "support/temp_dir.h"

namespace vantle::testing {
namespace {

namespace stdfs = std::filesystem;

class Launch : public ::testing::Test {
 protected:
  void SetUp() override { install(""); }

  // Installs the stand-in agent with `extra` scenario lines; it records every invocation.
  void install(const std::string& extra) {
    agent_ = install_fake_agent(tmp_ / "bin", "record " + scenario_path(record_path()) + "\nobserve " +
                                                  scenario_path(snapshot_of("ep")) + "\n" + extra);
  }
  stdfs::path record_path() { return tmp_ / "record.jsonl"; }
  stdfs::path state() { return tmp_ / "state"; }
  stdfs::path snapshot_of(const std::string& id) { return *snapshot::snapshot_path(state(), id); }

  Cli launch(std::vector<std::string> args) {
    args.insert(args.begin(), "launch-omp");
    return Cli(std::move(args)).env("VANTLE_OMP_BIN", OsString::from_path(agent_)).env("VANTLE_STATE_DIR", OsString::from_path(state()));
  }

  // The agent's runs other than the --version probes, as recorded.
  std::vector<nlohmann::json> turns() { return agent_runs(record_path()); }

  ScopedTempDir tmp_;
  stdfs::path agent_;
};

const std::string PREFIX = "vantle launch-omp: ";

TEST_F(Launch, BadArgumentsStartNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "missing --id"},
      {{"--extension", "x"}, "missing --id"},
      {{"--id", "a"}, "missing --extension"},
      {{"--id", "a", "--id", "b", "--extension", "x"}, "duplicate arg: --id"},
      {{"--id", "a", "--extension", "x", "--extension", "x"}, "duplicate arg: --extension"},
      {{"--bogus"}, "--bogus expects a value"},
      {{"--bogus", "1", "--id", "a"}, "unknown arg: --bogus"},
      {{"--id", "a", "--extension"}, "--extension expects a value"},
      {{"--ID", "a", "--extension", "x"}, "unknown arg: --ID"},
      {{"--id=a", "--extension", "x"}, "unknown arg: --id=a"},
      {{"-h"}, "-h expects a value"},
      {{"--id", "a.b", "--extension", "x"},
       "cannot preserve endpoint environment: invalid endpoint id 'a.b' for environment snapshot"},
      {{"--id", "", "--extension", "x"}, "cannot preserve endpoint environment: invalid endpoint id '' for environment snapshot"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    EXPECT_EQ(launch(c.args).run(), exited(2, "", PREFIX + c.message + "\n"));
  }
  // Arguments and ids echoed back stay inside the one line.
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(launch({"--b" + c.raw, "1", "--id", "a"}).run(),
              exited(2, "", PREFIX + "unknown arg: --b" + c.shown + "\n"));
    EXPECT_EQ(launch({"--id", "a", "x" + c.raw}).run(), exited(2, "", PREFIX + "x" + c.shown + " expects a value\n"));
    EXPECT_EQ(launch({"--id", "a" + c.raw, "--extension", "x"}).run(),
              exited(2, "",
                     PREFIX + "cannot preserve endpoint environment: invalid endpoint id 'a" + c.shown +
                         "' for environment snapshot\n"));
  }
  EXPECT_TRUE(turns().empty());
  EXPECT_FALSE(fs::exists(snapshot::snapshot_directory(state()) / "a.json"));
}

TEST_F(Launch, InvalidProfileStopsBeforeTheAgent) {
  EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).env("OMP_PROFILE", "Work").run(),
            exited(2, "", PREFIX + "cannot preserve endpoint environment: invalid OMP profile 'Work'\n"));
  // An environment value holding control characters (inside it, where trimming leaves them).
  for (const auto& c : control_characters()) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).env("OMP_PROFILE", "wo" + c.raw + "rk").run(),
              exited(2, "",
                     PREFIX + "cannot preserve endpoint environment: invalid OMP profile 'wo" + c.shown + "rk'\n"));
  }
  EXPECT_TRUE(turns().empty());
  EXPECT_FALSE(fs::exists(snapshot_of("ep")));
}

TEST_F(Launch, PreparationFailures) {
  EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).unset("VANTLE_OMP_BIN").run(),
            exited(2, "",
                   PREFIX + "Oh My Pi executable not found in known install locations or on PATH; set VANTLE_OMP_BIN to "
                             "its full path\n"));
  EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).unset("VANTLE_STATE_DIR").run(),
            exited(2, "",
                   PREFIX + "cannot resolve endpoint state directory: cannot resolve a durable state directory for "
                             "endpoint snapshots (set VANTLE_STATE_DIR, XDG_STATE_HOME, or HOME)\n"));
  EXPECT_TRUE(turns().empty());
}

TEST_F(Launch, TheAgentGetsItsArgumentsEnvironmentAndSnapshot) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> agent_argv;
    std::optional<std::string> node;  // VANTLE_NODE as the agent sees it
    nlohmann::json launch_session;
  };
  const Case cases[] = {
      {{"--id", "ep", "--extension", "X"}, {"--extension", "X"}, std::nullopt, nullptr},
      {{"--extension", " X ", "--resume", "s1", "--id", "ep"}, {"-r", "s1", "--extension", " X "}, std::nullopt, "s1"},
      {{"--id", "ep", "--extension", "--x", "--node", " edge-a\t"}, {"--extension", "--x"}, "edge-a", nullptr},
      {{"--id", "ep", "--extension", "X", "--node", "{node}"}, {"--extension", "X"}, std::nullopt, nullptr},
      {{"--id", "ep", "--extension", "X", "--node", "   "}, {"--extension", "X"}, std::nullopt, nullptr},
      {{"--id", "ep", "--extension", "X", "--resume", ""}, {"-r", "", "--extension", "X"}, std::nullopt, ""},
  };
  const auto project = tmp_ / "my project";
  stdfs::create_directories(project);
  for (const auto& c : cases) {
    SCOPED_TRACE(describe_args(c.args));
    stdfs::remove(record_path());
    EXPECT_EQ(launch(c.args).cwd(project).env("HOME", "/home/dev").run(), exited(0, "", ""));
    const auto runs = turns();
    ASSERT_EQ(runs.size(), 1u);
    const auto& run = runs[0];
    EXPECT_EQ(run["argv"], nlohmann::json(c.agent_argv));
    const auto& env = run["env"];
    EXPECT_EQ(env.value("VANTLE_NODE", "<unset>"), c.node.value_or("<unset>"));
    EXPECT_EQ(env.value("VANTLE_PROJECT", "<unset>"), "my project");
    EXPECT_EQ(env.value("PI_RPC_EMIT_TITLE", "<unset>"), "1");
    EXPECT_EQ(env.value("VANTLE_OMP_BIN", "<unset>"), display(agent_));
    EXPECT_EQ(env.value("HOME", "<unset>"), "/home/dev");
    EXPECT_EQ(run["cwd"], display(*fs::make_absolute(project)));
    // The snapshot was on disk when the agent started.
    const auto& seen = run["observed"][display(snapshot_of("ep"))];
    ASSERT_TRUE(seen.is_string()) << run.dump();
    const auto doc = nlohmann::json::parse(seen.get<std::string>());
    EXPECT_EQ(doc["launch_session_id"], c.launch_session);
    EXPECT_EQ(doc["selectors"]["HOME"], "/home/dev");
    EXPECT_EQ(doc["selectors"]["VANTLE_OMP_BIN"], display(agent_));
  }
}

TEST_F(Launch, AnIdThatLooksLikeAFlagIsAnId) {
  EXPECT_EQ(launch({"--id", "--node", "--extension", "x"}).run(), exited(0, "", ""));
  EXPECT_TRUE(fs::is_regular_file(snapshot_of("--node")));
}

TEST_F(Launch, UnsetNodeAndProjectPassThroughFromTheEnvironment) {
  const auto root = *fs::make_absolute(tmp_.path().root_path());
  EXPECT_EQ(launch({"--id", "ep", "--extension", "x", "--node", "{node}"})
                .cwd(root)
                .env("VANTLE_NODE", "outer")
                .env("VANTLE_PROJECT", "outer-project")
                .run(),
            exited(0, "", ""));
  const auto runs = turns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["env"].value("VANTLE_NODE", "<unset>"), "outer");
  EXPECT_EQ(runs[0]["env"].value("VANTLE_PROJECT", "<unset>"), "outer-project");
}

TEST_F(Launch, ExitCodesPassThrough) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> codes = {{0, 0}, {3, 3}, {255, 255}};
  // Only a Windows process can end with a code the process exit of the tool cannot carry.
  if (sys::is_windows()) codes.insert(codes.end(), {{256, 1}, {3221225477u, 1}});
  for (const auto& [agent_code, tool_code] : codes) {
    SCOPED_TRACE(agent_code);
    install("exit " + std::to_string(agent_code) + "\n");
    EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).run(), exited(tool_code, "", ""));
  }
}

TEST_F(Launch, AnAgentThatCannotStartIsReported) {
  // The agent passes its --version probe, then moves itself away before the launch starts it.
  install("version.vanish 1\n");
  const auto result = launch({"--id", "ep", "--extension", "x"}).run();
  EXPECT_EQ(result.status, ExitStatus::exited(1));
  EXPECT_EQ(result.out, "");
  const std::string head = PREFIX + "failed to spawn `" + display(agent_) + "`: ";
  EXPECT_EQ(result.err.substr(0, head.size()), head) << result.err;
  EXPECT_NE(result.err.find("(os error "), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  // The snapshot written before the start stays for later turns.
  EXPECT_TRUE(fs::is_regular_file(snapshot_of("ep")));
}

// A report quotes the probe's output; a line break in it is written visibly, so that the report
// stays one line.
TEST_F(Launch, AMultiLineProbeOutputStaysOnTheReportLine) {
  install("version.stderr first\\nsecond\\tthird\\n\nversion.exit 3\n");
  EXPECT_EQ(launch({"--id", "ep", "--extension", "x"}).run(),
            exited(2, "",
                   PREFIX + "VANTLE_OMP_BIN points to `" + display(agent_) +
                       "`, but it failed Oh My Pi validation (`--version` exited exit code: 3: first\\nsecond\\tthird); "
                       "refusing to launch the invalid explicit override\n"));
}

// The one test that waits out the real limit: an agent whose --version never answers is given up
// after 15 seconds, and nothing is started.
TEST_F(Launch, AProbeThatNeverAnswersIsGivenUpAfterFifteenSeconds) {
  install("version.sleep_ms 60000\n");
  const auto start = std::chrono::steady_clock::now();
  const auto result = launch({"--id", "ep", "--extension", "x"}).run();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, exited(2, "",
                           PREFIX + "VANTLE_OMP_BIN points to `" + display(agent_) +
                               "`, but it failed Oh My Pi validation (`--version` did not exit within 15 seconds); "
                               "refusing to launch the invalid explicit override\n"));
  EXPECT_GE(elapsed, std::chrono::seconds(15));
  EXPECT_LT(elapsed, std::chrono::seconds(25));
  EXPECT_TRUE(turns().empty());
}

}  // namespace
}  // namespace vantle::testing
