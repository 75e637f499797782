// The isolated workspace of a Corvane turn: an empty working directory for the agent and three
// prompt files beside it in the temporary directory, created exclusively under random names, held
// open while the agent runs, and removed again in reverse order with every failure reported.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/file.h"

namespace vantle::corvane {

// Tries to find a free name for each object, counting the first.
inline constexpr int UNIQUE_NAME_ATTEMPTS = 128;
// Random bytes behind each name, shown as 32 lower-case hexadecimal digits.
inline constexpr std::size_t RANDOM_NAME_BYTES = 16;

// The kind words, in creation order; each goes into its object's name and messages.
inline constexpr std::string_view KIND_WORKSPACE = "workspace";
inline constexpr std::string_view KIND_CONFIG = "config";
inline constexpr std::string_view KIND_SYSTEM = "system";
inline constexpr std::string_view KIND_TRANSCRIPT = "transcript";

// The agent configuration that switches off every source of context the agent would otherwise
// gather on its own. claude-md and mcp-json are listed too: a CLAUDE.md in any parent of the
// shared temporary directory would reach the system prompt, and a project .mcp.json would start
// a server command.
inline constexpr std::string_view CONFIG_OVERLAY =
    "disabledProviders:\n"
    "  - native\n"
    "  - claude\n"
    "  - agents\n"
    "  - codex\n"
    "  - gemini\n"
    "  - opencode\n"
    "  - github\n"
    "  - agents-md\n"
    "  - claude-md\n"
    "  - mcp-json\n";

// The absolute temporary directory the objects go in: the platform's, made absolute against the
// current directory lexically, or the current directory when the platform reports none.
SysResult<std::filesystem::path> resolve_temp_root();
// The same from a directory the platform reported.
SysResult<std::filesystem::path> temp_root_from(const std::filesystem::path& reported);

// "vantle-corvane-{kind}-{32 hex digits}.tmp" for the given random bytes.
std::string temp_name(std::string_view kind, std::span<const unsigned char, RANDOM_NAME_BYTES> random);
// The same with fresh random bytes from the system.
SysResult<std::string> unique_temp_name(std::string_view kind);

// The operations the objects are made and removed with. The defaults use the system (private
// access on POSIX: directory 0700, files 0600); tests replace single ones to make them fail.
struct WorkspaceOps {
  std::function<SysResult<std::string>(std::string_view kind)> name;
  std::function<SysResult<void>(const std::filesystem::path&)> create_dir;
  std::function<SysResult<fs::File>(const std::filesystem::path&)> create_file;
  std::function<SysResult<void>(fs::File&, std::string_view)> write;
  std::function<SysResult<void>(const std::filesystem::path&)> remove_file;
  std::function<SysResult<void>(const std::filesystem::path&)> remove_tree;
};
WorkspaceOps system_workspace_ops();

// A prompt file created by this module, open for reading and writing until it is removed (on
// Windows others may read, write and delete it meanwhile).
struct SecurePromptFile {
  fs::File file;
  std::filesystem::path path;
};

// Creates one empty directory under a fresh name in `root`; gives up after UNIQUE_NAME_ATTEMPTS
// names that exist already, and at once on any other error.
SysResult<std::filesystem::path> create_isolated_workspace(const std::filesystem::path& root,
                                                           const WorkspaceOps& ops = system_workspace_ops());

// Creates a file under a fresh name in `root` (never opening an existing one) and writes
// `content`; on a write failure the file is deleted again.
SysResult<SecurePromptFile> create_secure_prompt_file(const std::filesystem::path& root, std::string_view kind,
                                                      std::string_view content,
                                                      const WorkspaceOps& ops = system_workspace_ops());

// The four absolute paths a turn's agent run receives.
struct TurnPaths {
  std::filesystem::path workspace;
  std::filesystem::path config;
  std::filesystem::path system_prompt;
  std::filesystem::path transcript_prompt;
};

// The agent run. It keeps whatever it captures itself; its error is a run failure.
using TurnRun = std::function<SysResult<void>(const TurnPaths&)>;

// Why an isolated turn did not complete. A lifecycle failure (an object not created or not
// removed) replaces whatever the run produced.
struct TurnFailure {
  enum class Kind { kRunFailed, kLifecycleFailed };
  Kind kind = Kind::kRunFailed;
  SysError error;
};

// Creates the workspace, the configuration overlay, the system prompt file and the transcript
// prompt file, in that order; calls `run` with their paths while all four exist and the files are
// open; then removes them in reverse order, attempting every removal whatever the others did.
Result<void, TurnFailure> run_in_isolated_turn(const std::filesystem::path& root, std::string_view system_prompt,
                                               std::string_view transcript_prompt, const TurnRun& run,
                                               const WorkspaceOps& ops = system_workspace_ops());

}  // namespace vantle::corvane
