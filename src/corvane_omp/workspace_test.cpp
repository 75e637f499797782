#include "corvane_omp/workspace.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace vantle::corvane {
namespace {

namespace stdfs = std::filesystem;
using vantle::testing::ScopedTempDir;

const std::regex kNameForm("vantle-corvane-(workspace|config|system|transcript)-[0-9a-f]{32}\\.tmp");

// The kind word inside one of our names.
std::string kind_of(const stdfs::path& path) {
  const std::string name = display(path.filename());
  const std::size_t start = std::string("vantle-corvane-").size();
  return name.substr(start, name.find('-', start) - start);
}

std::set<std::string> entries(const stdfs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(dir)) names.insert(display(entry.path().filename()));
  return names;
}

// System operations that log each call as "<operation> <kind>" and fail the ones a test names.
struct ScriptedOps {
  std::map<std::string, SysError> failures;  // "create_dir workspace", "remove_file system", "write config", ...
  std::vector<std::string> log;

  std::optional<SysError> fails(const std::string& op, const stdfs::path& path) {
    const std::string key = op + " " + kind_of(path);
    log.push_back(key);
    const auto it = failures.find(key);
    if (it == failures.end()) return std::nullopt;
    return it->second;
  }

  WorkspaceOps ops() {
    WorkspaceOps real = system_workspace_ops();
    WorkspaceOps ops = real;
    ops.create_dir = [this, real](const stdfs::path& p) -> SysResult<void> {
      if (auto e = fails("create_dir", p)) return Err(*e);
      return real.create_dir(p);
    };
    ops.create_file = [this, real](const stdfs::path& p) -> SysResult<fs::File> {
      if (auto e = fails("create_file", p)) return Err(*e);
      return real.create_file(p);
    };
    ops.write = [this, real](fs::File& f, std::string_view bytes) -> SysResult<void> {
      // The path is not known here; the file being written is the one created last.
      const std::string kind = log.back().substr(log.back().find(' ') + 1);
      log.push_back("write " + kind);
      if (auto it = failures.find("write " + kind); it != failures.end()) return Err(it->second);
      return real.write(f, bytes);
    };
    ops.remove_file = [this, real](const stdfs::path& p) -> SysResult<void> {
      const bool fail = fails("remove_file", p).has_value();
      auto removed = real.remove_file(p);  // removed for real either way, so nothing is left over
      if (fail) return Err(failures.at("remove_file " + kind_of(p)));
      return removed;
    };
    ops.remove_tree = [this, real](const stdfs::path& p) -> SysResult<void> {
      const bool fail = fails("remove_tree", p).has_value();
      auto removed = real.remove_tree(p);
      if (fail) return Err(failures.at("remove_tree " + kind_of(p)));
      return removed;
    };
    return ops;
  }
};

SysError error(const std::string& text) { return custom_error(ErrorKind::kOther, text); }

TEST(Workspace, ConfigOverlayIsExactly138Bytes) {
  const std::string expected =
      "disabledProviders:\n  - native\n  - claude\n  - agents\n  - codex\n  - gemini\n  - opencode\n  - github\n"
      "  - agents-md\n  - claude-md\n  - mcp-json\n";
  EXPECT_EQ(CONFIG_OVERLAY, expected);
  EXPECT_EQ(CONFIG_OVERLAY.size(), 138u);
}

TEST(Workspace, NamesFollowTheTemplate) {
  std::array<unsigned char, RANDOM_NAME_BYTES> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 17);
  EXPECT_EQ(temp_name("config", bytes), "vantle-corvane-config-00112233445566778899aabbccddeeff.tmp");
  bytes.fill(0xA5);
  EXPECT_EQ(temp_name("workspace", bytes), "vantle-corvane-workspace-a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5.tmp");

  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    auto name = unique_temp_name("system");
    ASSERT_TRUE(name.ok()) << name.error().message;
    EXPECT_TRUE(std::regex_match(*name, kNameForm)) << *name;
    seen.insert(*name);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Workspace, TempRootIsAbsolute) {
  auto cwd = fs::current_dir();
  ASSERT_TRUE(cwd.ok());
  auto empty = temp_root_from("");
  ASSERT_TRUE(empty.ok()) << empty.error().message;
  EXPECT_EQ(*empty, *cwd);
  auto relative = temp_root_from(path_from_utf8("some/where"));
  ASSERT_TRUE(relative.ok()) << relative.error().message;
  EXPECT_TRUE(relative->is_absolute());
  EXPECT_EQ(*relative, *fs::make_absolute(path_from_utf8("some/where")));
  const stdfs::path absolute = *cwd / "x";
  EXPECT_EQ(*temp_root_from(absolute), *fs::make_absolute(absolute));
  auto root = resolve_temp_root();
  ASSERT_TRUE(root.ok()) << root.error().message;
  EXPECT_TRUE(root->is_absolute());
}

TEST(Workspace, AllFourObjectsExistWhileTheRunRunsAndNoneAfter) {
  ScopedTempDir tmp;
  const stdfs::path root = tmp.path();
  int runs = 0;
  auto result = run_in_isolated_turn(root, "system \xE2\x80\x94 text", "transcript text", [&](const TurnPaths& p) {
    ++runs;
    const std::vector<stdfs::path> all = {p.workspace, p.config, p.system_prompt, p.transcript_prompt};
    const std::vector<std::string> kinds = {"workspace", "config", "system", "transcript"};
    std::string digits;
    for (std::size_t i = 0; i < all.size(); ++i) {
      EXPECT_TRUE(all[i].is_absolute());
      EXPECT_EQ(all[i].parent_path(), root);
      EXPECT_TRUE(std::regex_match(display(all[i].filename()), kNameForm)) << display(all[i]);
      EXPECT_EQ(kind_of(all[i]), kinds[i]);
    }
    EXPECT_TRUE(fs::is_directory(p.workspace));
    EXPECT_TRUE(entries(p.workspace).empty());
    EXPECT_EQ(vantle::testing::read_file(p.config), CONFIG_OVERLAY);
    EXPECT_EQ(vantle::testing::read_file(p.system_prompt), "system \xE2\x80\x94 text");
    EXPECT_EQ(vantle::testing::read_file(p.transcript_prompt), "transcript text");
    EXPECT_EQ(entries(root).size(), 4u);
    if (!sys::is_windows()) {
      using stdfs::perms;
      EXPECT_EQ(stdfs::status(p.workspace).permissions() & perms::all, perms::owner_all);
      for (const auto& file : {p.config, p.system_prompt, p.transcript_prompt}) {
        EXPECT_EQ(stdfs::status(file).permissions() & perms::all, perms::owner_read | perms::owner_write);
      }
    }
    // What the agent leaves in its workspace goes with it.
    vantle::testing::write_file(p.workspace / "notes" / "deep.txt", "left behind");
    return SysResult<void>();
  });
  EXPECT_TRUE(result.ok()) << result.error().error.message;
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(entries(root).empty());
}

TEST(Workspace, RunFailureIsReportedAfterCleanup) {
  ScopedTempDir tmp;
  auto result = run_in_isolated_turn(tmp.path(), "s", "t",
                                     [](const TurnPaths&) -> SysResult<void> { return Err(error("could not start")); });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, TurnFailure::Kind::kRunFailed);
  EXPECT_EQ(result.error().error.message, "could not start");
  EXPECT_TRUE(entries(tmp.path()).empty());
}

// The agent removing its own workspace is a failed removal, whatever the system's removal call
// makes of a missing directory.
TEST(Workspace, AWorkspaceAlreadyGoneIsAFailedRemoval) {
  ScopedTempDir tmp;
  auto result = run_in_isolated_turn(tmp.path(), "s", "t", [](const TurnPaths& p) {
    stdfs::remove_all(p.workspace);
    return SysResult<void>();
  });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, TurnFailure::Kind::kLifecycleFailed);
  EXPECT_TRUE(result.error().error.message.starts_with("turn cleanup failed (isolated workspace: ") &&
              result.error().error.message.find("(os error ") != std::string::npos)
      << result.error().error.message;
  EXPECT_TRUE(entries(tmp.path()).empty());
}

TEST(Workspace, LifecycleFailuresCombineAsDocumented) {
  const std::string create_order =
      "create_dir workspace,create_file config,write config,create_file system,"
      "write system,create_file transcript,write transcript,";
  const std::string remove_order = "remove_file transcript,remove_file system,remove_file config,remove_tree workspace";
  struct Case {
    std::string name;
    std::vector<std::string> failing;  // operations that fail with the text "<operation> failed"
    bool run_fails;
    std::string expected;  // empty: success; "run: ..." a run failure; otherwise the lifecycle message
    std::string log;       // the operations in order; empty: create_order + remove_order
  };
  const std::vector<Case> cases = {
      {"all well", {}, false, "", ""},
      {"run failure stands", {}, true, "run: run failed", ""},
      {"workspace not created", {"create_dir workspace"}, false, "create_dir workspace failed", "create_dir workspace"},
      {"config not created: workspace removed",
       {"create_file config"},
       false,
       "create_file config failed",
       "create_dir workspace,create_file config,remove_tree workspace"},
      {"config not created, workspace not removed",
       {"create_file config", "remove_tree workspace"},
       false,
       "prompt cleanup failed (create_file config failed); turn cleanup failed (isolated workspace: remove_tree "
       "workspace failed)",
       "create_dir workspace,create_file config,remove_tree workspace"},
      {"config not written: deleted again",
       {"write config"},
       false,
       "write config failed",
       "create_dir workspace,create_file config,write config,remove_file config,remove_tree workspace"},
      {"system prompt not created",
       {"create_file system"},
       false,
       "create_file system failed",
       "create_dir workspace,create_file config,write config,create_file system,remove_file config,"
       "remove_tree workspace"},
      {"transcript prompt not created: system prompt removed",
       {"create_file transcript", "remove_file system"},
       false,
       "create_file transcript failed",
       "create_dir workspace,create_file config,write config,create_file system,write system,create_file transcript,"
       "remove_file system,remove_file config,remove_tree workspace"},
      {"system prompt not deleted after success", {"remove_file system"}, false, "remove_file system failed", ""},
      {"transcript prompt not deleted after a run failure",
       {"remove_file transcript"},
       true,
       "remove_file transcript failed",
       ""},
      {"neither prompt deleted",
       {"remove_file transcript", "remove_file system"},
       false,
       "cannot remove transcript prompt (remove_file transcript failed) or system prompt (remove_file system failed)",
       ""},
      {"config not deleted",
       {"remove_file config"},
       false,
       "turn cleanup failed (config overlay: remove_file config failed)",
       ""},
      {"workspace not removed discards a run failure",
       {"remove_tree workspace"},
       true,
       "turn cleanup failed (isolated workspace: remove_tree workspace failed)",
       ""},
      {"neither config nor workspace removed",
       {"remove_file config", "remove_tree workspace"},
       false,
       "turn cleanup failed (config overlay: remove_file config failed; isolated workspace: remove_tree workspace "
       "failed)",
       ""},
      {"prompt and turn cleanup both fail",
       {"remove_file system", "remove_tree workspace"},
       false,
       "prompt cleanup failed (remove_file system failed); turn cleanup failed (isolated workspace: remove_tree "
       "workspace failed)",
       ""},
      {"everything fails to go",
       {"remove_file transcript", "remove_file system", "remove_file config", "remove_tree workspace"},
       true,
       "prompt cleanup failed (cannot remove transcript prompt (remove_file transcript failed) or system prompt "
       "(remove_file system failed)); turn cleanup failed (config overlay: remove_file config failed; isolated "
       "workspace: remove_tree workspace failed)",
       ""},
      {"creation failure before a failed turn cleanup",
       {"create_file transcript", "remove_file config"},
       false,
       "prompt cleanup failed (create_file transcript failed); turn cleanup failed (config overlay: remove_file config "
       "failed)",
       "create_dir workspace,create_file config,write config,create_file system,write system,create_file transcript,"
       "remove_file system,remove_file config,remove_tree workspace"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir tmp;
    ScriptedOps scripted;
    for (const auto& op : c.failing) scripted.failures[op] = error(op + " failed");
    int runs = 0;
    auto result = run_in_isolated_turn(
        tmp.path(), "s", "t",
        [&](const TurnPaths&) -> SysResult<void> {
          ++runs;
          scripted.log.push_back("run");
          if (c.run_fails) return Err(error("run failed"));
          return {};
        },
        scripted.ops());
    std::string log;
    for (const auto& entry : scripted.log) {
      if (entry == "run") continue;
      log += (log.empty() ? "" : ",") + entry;
    }
    const bool ran = std::find(scripted.log.begin(), scripted.log.end(), "run") != scripted.log.end();
    EXPECT_EQ(ran, c.log.empty());
    EXPECT_EQ(log, c.log.empty() ? create_order + remove_order : c.log);
    if (c.expected.empty()) {
      EXPECT_TRUE(result.ok());
    } else if (c.expected.starts_with("run: ")) {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, TurnFailure::Kind::kRunFailed);
      EXPECT_EQ(result.error().error.message, c.expected.substr(5));
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, TurnFailure::Kind::kLifecycleFailed);
      EXPECT_EQ(result.error().error.message, c.expected);
    }
    EXPECT_TRUE(entries(tmp.path()).empty());
  }
}

// Names drawn from a list, so a test can occupy them beforehand.
struct NameList {
  std::vector<std::string> names;
  std::size_t next = 0;
  int calls = 0;
  WorkspaceOps ops() {
    WorkspaceOps ops = system_workspace_ops();
    ops.name = [this](std::string_view kind) -> SysResult<std::string> {
      ++calls;
      return std::string("vantle-corvane-") + std::string(kind) + "-" + names.at(next++ % names.size()) + ".tmp";
    };
    return ops;
  }
};

std::vector<std::string> numbered(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    char digits[33];
    std::snprintf(digits, sizeof digits, "%032d", i);
    out.push_back(digits);
  }
  return out;
}

TEST(Workspace, TriesUpTo128NamesPerObject) {
  struct Case {
    std::string kind;
    bool directory;
  };
  for (const Case& c :
       {Case{"workspace", true}, Case{"config", false}, Case{"system", false}, Case{"transcript", false}}) {
    SCOPED_TRACE(c.kind);
    ScopedTempDir tmp;
    NameList list{numbered(128)};
    // The first 127 names are taken: the 128th attempt succeeds.
    for (int i = 0; i < 127; ++i) {
      vantle::testing::write_file(tmp / ("vantle-corvane-" + c.kind + "-" + list.names[i] + ".tmp"), "taken");
    }
    if (c.directory) {
      auto made = create_isolated_workspace(tmp.path(), list.ops());
      ASSERT_TRUE(made.ok()) << made.error().message;
      EXPECT_EQ(display(made->filename()), "vantle-corvane-workspace-" + list.names[127] + ".tmp");
    } else {
      auto made = create_secure_prompt_file(tmp.path(), c.kind, "content", list.ops());
      ASSERT_TRUE(made.ok()) << made.error().message;
      EXPECT_EQ(display(made->path.filename()), "vantle-corvane-" + c.kind + "-" + list.names[127] + ".tmp");
      made->file.close();
      EXPECT_EQ(vantle::testing::read_file(made->path), "content");
    }
    EXPECT_EQ(list.calls, 128);

    // All 128 taken: the collision message names the kind, and nothing existing was changed.
    NameList taken{numbered(127)};
    if (c.directory) {
      auto made = create_isolated_workspace(tmp.path(), taken.ops());
      ASSERT_FALSE(made.ok());
      EXPECT_EQ(made.error().kind, ErrorKind::kAlreadyExists);
      EXPECT_EQ(made.error().message, "cannot create a unique secure workspace temporary directory");
    } else {
      auto made = create_secure_prompt_file(tmp.path(), c.kind, "content", taken.ops());
      ASSERT_FALSE(made.ok());
      EXPECT_EQ(made.error().kind, ErrorKind::kAlreadyExists);
      EXPECT_EQ(made.error().message, "cannot create a unique secure " + c.kind + " prompt tempfile");
    }
    EXPECT_EQ(taken.calls, 128);
    EXPECT_EQ(vantle::testing::read_file(tmp / ("vantle-corvane-" + c.kind + "-" + list.names[0] + ".tmp")), "taken");
  }
}

TEST(Workspace, OtherCreationErrorsAreNotRetried) {
  ScopedTempDir tmp;
  int attempts = 0;
  WorkspaceOps ops = system_workspace_ops();
  ops.create_dir = [&](const stdfs::path&) -> SysResult<void> {
    ++attempts;
    return Err(custom_error(ErrorKind::kPermissionDenied, "Permission denied (os error 13)"));
  };
  auto made = create_isolated_workspace(tmp.path(), ops);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().message, "Permission denied (os error 13)");
  EXPECT_EQ(attempts, 1);

  // A root that does not exist fails at the first attempt too, with the system's error.
  auto missing = create_isolated_workspace(tmp / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
  auto missing_file = create_secure_prompt_file(tmp / "missing", "config", "x");
  ASSERT_FALSE(missing_file.ok());
  EXPECT_EQ(missing_file.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace vantle::corvane
