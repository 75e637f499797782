// Finding the one session log that belongs to a session id: inside one sessions directory, or
// across the sessions directories of every endpoint environment snapshot. An id that fits more
// than one file is an error that names them all; the id is only ever compared with file names,
// never joined into a path, so no id reaches outside the searched directories.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/dir.h"
#include "platform/error.h"
#include "sessions/places.h"
#include "snapshot/selectors.h"

namespace vantle::sessions {

// A directory listing that failed for a reason other than the directory's absence.
struct ScanError {
  std::filesystem::path dir;
  SysError error;
  // "cannot scan <dir>: <system text> (os error N)"
  std::string text() const;
};

// Several session files fit one id.
struct AmbiguousError {
  std::string id;
  std::vector<std::filesystem::path> paths;  // in path order, without duplicates
  // "ambiguous omp session id '<id>':" followed by " <path>" for each path, on one line.
  std::string text() const;
};

// Why a search inside one sessions directory gave no answer: a listing failed (kScan) or the id
// fits several files (kAmbiguous). Only the member that `kind` names is filled in.
struct SessionLookupError {
  enum class Kind { kScan, kAmbiguous };
  Kind kind = Kind::kScan;
  ScanError scan;
  AmbiguousError ambiguous;

  std::string text() const { return kind == Kind::kScan ? scan.text() : ambiguous.text(); }
};

// The entries of a directory in path order. A directory that does not exist is empty; any other
// failure, while opening or while reading, is a ScanError for this directory.
Result<std::vector<fs::DirEntry>, ScanError> list_dir_sorted(const std::filesystem::path& dir);

// The session file for `id` directly in `sessions_dir` or in one of its immediate subdirectories.
// Only regular files (after following links) with valid Unicode names ending in ".jsonl" count.
// Names ending in "_<id>.jsonl" (exact matches) win; only when there is none are names whose last
// "_"-separated part starts with the id (prefix matches) considered. No file: an empty optional.
Result<std::optional<std::filesystem::path>, SessionLookupError> find_session_in_dir(
    const std::filesystem::path& sessions_dir, std::string_view id);

// The session file for `id` across the sessions directories of all snapshots under `state_dir`,
// read in path order. Any bad snapshot, unresolvable sessions directory or failed search ends the
// lookup with its message. An exact match anywhere beats every prefix match; the same file found
// through several snapshots counts once; distinct files are an ambiguity naming each file with
// the endpoint (and launch session) it was found through.
// Only when the sessions directories hold no match are the agent's own places of each snapshot
// (places.h) searched the same way, and only when those hold none either, the archives beside all
// of them (a found archive ends in ".jsonl.gz"). A snapshot whose sessions directory cannot be
// resolved for want of a home still ends the lookup with its message unless the places the agent's
// home rule gives it hold the session.
// `host` is this machine's (this_host()), looked up only when the lookup needs it, unless given.
Result<std::filesystem::path> find_session_across_snapshots(const std::filesystem::path& state_dir,
                                                            std::string_view id,
                                                            std::optional<AgentHost> host = std::nullopt);

// The session file for `id` among the places of one endpoint, by the same rules and in the same
// order: its sessions directory, then the agent's own places, then the archives beside them. A
// sessions directory that cannot be resolved gives its message, unless the agent's home rule
// finds the session; several files in one stage give the ambiguity message of AmbiguousError.
Result<std::optional<std::filesystem::path>> find_endpoint_session(const snapshot::Selectors& selectors,
                                                                   std::string_view id,
                                                                   std::optional<AgentHost> host = std::nullopt);

// Whether a found session file is an archive (gzip) rather than the log itself.
bool is_archived_session(const std::filesystem::path& path);

// Why no session file was chosen, so that each driver can map the failure to its exit code.
struct SessionFileError {
  enum class Kind {
    kUsage,      // nowhere to look: an empty --session-dir, or no state directory
    kLookup,     // a search failed, was ambiguous, or found nothing across the snapshots
    kNoneInDir,  // nothing in the --session-dir directory fits the id
  };
  Kind kind = Kind::kLookup;
  std::string message;  // for kNoneInDir: "no omp session file for '<id>' under <session_dir>"
};

// The session file for `id`: searched in `session_dir` (UTF-8, as given on the command line) when
// it is given, else across the snapshots of the state directory.
Result<std::filesystem::path, SessionFileError> choose_session_file(const std::optional<std::string>& session_dir,
                                                                    std::string_view id);

}  // namespace vantle::sessions
