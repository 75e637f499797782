#include "corvane_omp/workspace.h"

#include <exception>
#include <optional>
#include <vector>

#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/random.h"
#include "platform/temp.h"

namespace vantle::corvane {
namespace {

namespace stdfs = std::filesystem;

Result<void, TurnFailure> lifecycle_failed(SysError error) {
  return Err(TurnFailure{TurnFailure::Kind::kLifecycleFailed, std::move(error)});
}

// The turn's result once its clean-up has run: the lifecycle error or the provisional result when
// everything went, else the clean-up failures, after the lifecycle error that came first.
Result<void, TurnFailure> after_cleanup(std::optional<SysError> prompt_error,
                                        const std::vector<std::string>& cleanup_failures,
                                        Result<void, TurnFailure> provisional) {
  if (cleanup_failures.empty()) {
    if (prompt_error) return lifecycle_failed(std::move(*prompt_error));
    return provisional;
  }
  std::string joined;
  for (const auto& text : cleanup_failures) {
    if (!joined.empty()) joined += "; ";
    joined += text;
  }
  if (prompt_error) {
    return lifecycle_failed(custom_error(ErrorKind::kOther, "prompt cleanup failed (" + prompt_error->message +
                                                                "); turn cleanup failed (" + joined + ")"));
  }
  return lifecycle_failed(custom_error(ErrorKind::kOther, "turn cleanup failed (" + joined + ")"));
}

// Closes a prompt file and deletes it by the path recorded at creation.
SysResult<void> remove_prompt_file(SecurePromptFile& file, const WorkspaceOps& ops) {
  file.file.close();
  return ops.remove_file(file.path);
}

// Removes an object the turn created when an exception (memory running out) ends the turn before
// its own clean-up has run. Declared right after the object, so that it goes before the object.
template <class Remove>
class RemovedOnUnwind {
 public:
  explicit RemovedOnUnwind(Remove remove) : remove_(std::move(remove)) {}
  RemovedOnUnwind(const RemovedOnUnwind&) = delete;
  RemovedOnUnwind& operator=(const RemovedOnUnwind&) = delete;
  ~RemovedOnUnwind() {
    if (std::uncaught_exceptions() == exceptions_) return;
    try {
      remove_();
    } catch (...) {
      // Out of memory again: what is left is left, and the turn still reports its failure.
    }
  }

 private:
  Remove remove_;
  const int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

SysResult<stdfs::path> temp_root_from(const stdfs::path& reported) {
  auto root = reported.empty() ? fs::current_dir() : fs::make_absolute(reported);
  if (!root) return root.err();
  if (!root->is_absolute()) {
    return Err(
        custom_error(ErrorKind::kOther, "temporary root did not resolve to an absolute path: " + display(*root)));
  }
  return root;
}

SysResult<stdfs::path> resolve_temp_root() {
  auto reported = fs::temp_directory();
  if (!reported) return reported.err();
  return temp_root_from(*reported);
}

std::string temp_name(std::string_view kind, std::span<const unsigned char, RANDOM_NAME_BYTES> random) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string name = "vantle-corvane-";
  name += kind;
  name += '-';
  for (const unsigned char byte : random) {
    name += HEX[byte >> 4];
    name += HEX[byte & 0x0F];
  }
  name += ".tmp";
  return name;
}

SysResult<std::string> unique_temp_name(std::string_view kind) {
  std::array<unsigned char, RANDOM_NAME_BYTES> random;
  if (auto filled = sys::random_bytes(random); !filled) return filled.err();
  return temp_name(kind, random);
}

WorkspaceOps system_workspace_ops() {
  WorkspaceOps ops;
  ops.name = unique_temp_name;
  ops.create_dir = [](const stdfs::path& path) { return fs::create_dir(path, fs::Access::kPrivate); };
  ops.create_file = [](const stdfs::path& path) { return fs::File::create_new(path, fs::Access::kPrivate); };
  ops.write = [](fs::File& file, std::string_view bytes) { return file.write_all(bytes); };
  ops.remove_file = fs::remove_file;
  ops.remove_tree = fs::remove_tree;
  return ops;
}

SysResult<stdfs::path> create_isolated_workspace(const stdfs::path& root, const WorkspaceOps& ops) {
  for (int attempt = 0; attempt < UNIQUE_NAME_ATTEMPTS; ++attempt) {
    auto name = ops.name(KIND_WORKSPACE);
    if (!name) return name.err();
    stdfs::path path = root / path_from_utf8(*name);
    auto created = ops.create_dir(path);
    if (created) return path;
    if (created.error().kind != ErrorKind::kAlreadyExists) return created.err();
  }
  return Err(custom_error(ErrorKind::kAlreadyExists,
                          "cannot create a unique secure " + std::string(KIND_WORKSPACE) + " temporary directory"));
}

SysResult<SecurePromptFile> create_secure_prompt_file(const stdfs::path& root, std::string_view kind,
                                                      std::string_view content, const WorkspaceOps& ops) {
  for (int attempt = 0; attempt < UNIQUE_NAME_ATTEMPTS; ++attempt) {
    auto name = ops.name(kind);
    if (!name) return name.err();
    SecurePromptFile prompt{fs::File(), root / path_from_utf8(*name)};
    auto file = ops.create_file(prompt.path);
    if (!file) {
      if (file.error().kind == ErrorKind::kAlreadyExists) continue;
      return file.err();
    }
    prompt.file = std::move(*file);
    if (auto written = ops.write(prompt.file, content); !written) {
      (void)remove_prompt_file(prompt, ops);
      return written.err();
    }
    return prompt;
  }
  return Err(custom_error(ErrorKind::kAlreadyExists,
                          "cannot create a unique secure " + std::string(kind) + " prompt tempfile"));
}

Result<void, TurnFailure> run_in_isolated_turn(const stdfs::path& root, std::string_view system_prompt,
                                               std::string_view transcript_prompt, const TurnRun& run,
                                               const WorkspaceOps& ops) {
  auto workspace = create_isolated_workspace(root, ops);
  if (!workspace) return lifecycle_failed(std::move(workspace).error());
  const RemovedOnUnwind workspace_guard([&] { (void)ops.remove_tree(*workspace); });
  auto config = create_secure_prompt_file(root, KIND_CONFIG, CONFIG_OVERLAY, ops);
  if (!config) {
    // A workspace that cannot be removed is left behind, and that is said, as at the end of a turn.
    std::vector<std::string> cleanup_failures;
    if (auto removed = ops.remove_tree(*workspace); !removed) {
      cleanup_failures.push_back("isolated workspace: " + removed.error().message);
    }
    return after_cleanup(std::move(config).error(), cleanup_failures, {});
  }
  const RemovedOnUnwind config_guard([&] { (void)remove_prompt_file(*config, ops); });

  // The run's outcome, replaced by any lifecycle error that follows it.
  Result<void, TurnFailure> provisional;
  std::optional<SysError> prompt_error;
  auto system_file = create_secure_prompt_file(root, KIND_SYSTEM, system_prompt, ops);
  if (!system_file) {
    prompt_error = std::move(system_file).error();
  } else {
    const RemovedOnUnwind system_guard([&] { (void)remove_prompt_file(*system_file, ops); });
    auto transcript_file = create_secure_prompt_file(root, KIND_TRANSCRIPT, transcript_prompt, ops);
    if (!transcript_file) {
      (void)remove_prompt_file(*system_file, ops);
      prompt_error = std::move(transcript_file).error();
    } else {
      const RemovedOnUnwind transcript_guard([&] { (void)remove_prompt_file(*transcript_file, ops); });
      auto ran = run(TurnPaths{*workspace, config->path, system_file->path, transcript_file->path});
      if (!ran) provisional = Err(TurnFailure{TurnFailure::Kind::kRunFailed, std::move(ran).error()});

      auto transcript_removed = remove_prompt_file(*transcript_file, ops);
      auto system_removed = remove_prompt_file(*system_file, ops);
      if (!transcript_removed && !system_removed) {
        prompt_error =
            custom_error(ErrorKind::kOther, "cannot remove transcript prompt (" + transcript_removed.error().message +
                                                ") or system prompt (" + system_removed.error().message + ")");
      } else if (!transcript_removed) {
        prompt_error = std::move(transcript_removed).error();
      } else if (!system_removed) {
        prompt_error = std::move(system_removed).error();
      }
    }
  }

  std::vector<std::string> cleanup_failures;
  if (auto removed = remove_prompt_file(*config, ops); !removed) {
    cleanup_failures.push_back("config overlay: " + removed.error().message);
  }
  if (auto removed = ops.remove_tree(*workspace); !removed) {
    cleanup_failures.push_back("isolated workspace: " + removed.error().message);
  }

  return after_cleanup(std::move(prompt_error), cleanup_failures, std::move(provisional));
}

}  // namespace vantle::corvane
