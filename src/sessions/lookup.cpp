#include "sessions/lookup.h"

#include <algorithm>
#include <deque>
#include <map>

#include "platform/os_string.h"
#include "sessions/path_order.h"
#include "sessions/sessions_dir.h"
#include "snapshot/snapshot.h"

namespace vantle::sessions {
namespace stdfs = std::filesystem;
namespace {

constexpr std::string_view JSONL = ".jsonl";

enum class Match { kNone, kExact, kPrefix };

// The rules that tie a file name to an id; the suffix "_<id>.jsonl" is formed once per lookup.
class SessionMatcher {
 public:
  explicit SessionMatcher(std::string_view id) : id_(id), suffix_("_" + std::string(id) + std::string(JSONL)) {}

  Match match(std::string_view name) const {
    if (name.size() < JSONL.size() || !name.ends_with(JSONL)) return Match::kNone;
    if (name.ends_with(suffix_)) return Match::kExact;
    const std::size_t underscore = name.rfind('_');
    const std::string_view part = underscore == std::string_view::npos ? name : name.substr(underscore + 1);
    if (part.size() < JSONL.size() || !part.ends_with(JSONL)) return Match::kNone;
    const std::string_view stem = part.substr(0, part.size() - JSONL.size());
    if (stem.size() < id_.size() || !stem.starts_with(id_)) return Match::kNone;
    return Match::kPrefix;
  }

  // Whether a found file is an exact match, judged by its name alone.
  bool is_exact(const stdfs::path& path) const {
    const auto name = OsString::from_path(path.filename()).to_utf8();
    return name && name->ends_with(suffix_);
  }

  const std::string& id() const { return id_; }

 private:
  std::string id_;
  std::string suffix_;
};

struct Matches {
  std::vector<stdfs::path> exact;
  std::vector<stdfs::path> prefix;
};

void classify(const fs::DirEntry& entry, const SessionMatcher& matcher, Matches& matches) {
  if (entry.type != fs::EntryType::kFile) return;
  const auto name = OsString(entry.name).to_utf8();
  if (!name) return;
  switch (matcher.match(*name)) {
    case Match::kExact:
      matches.exact.push_back(entry.path);
      break;
    case Match::kPrefix:
      matches.prefix.push_back(entry.path);
      break;
    case Match::kNone:
      break;
  }
}

Err<SessionLookupError> scan_failure(const ScanError& error) {
  SessionLookupError out;
  out.kind = SessionLookupError::Kind::kScan;
  out.scan = error;
  return Err(std::move(out));
}

Result<std::optional<stdfs::path>, SessionLookupError> search_dir(const stdfs::path& sessions_dir,
                                                                 const SessionMatcher& matcher) {
  auto top = list_dir_sorted(sessions_dir);
  if (!top) return scan_failure(top.error());
  Matches matches;
  for (const auto& entry : *top) classify(entry, matcher, matches);
  for (const auto& entry : *top) {
    if (entry.type != fs::EntryType::kDirectory) continue;
    auto sub = list_dir_sorted(entry.path);
    if (!sub) return scan_failure(sub.error());
    for (const auto& inner : *sub) classify(inner, matcher, matches);
  }
  std::vector<stdfs::path>& chosen = matches.exact.empty() ? matches.prefix : matches.exact;
  sort_dedup_by_path(chosen, [](const stdfs::path& p) -> const stdfs::path& { return p; });
  if (chosen.empty()) return std::optional<stdfs::path>();
  if (chosen.size() == 1) return std::optional<stdfs::path>(std::move(chosen.front()));
  SessionLookupError out;
  out.kind = SessionLookupError::Kind::kAmbiguous;
  out.ambiguous = AmbiguousError{matcher.id(), std::move(chosen)};
  return Err(std::move(out));
}

// The extension after the name's last dot, compared without ASCII case; a name whose only dot
// leads it (".json") has none.
bool has_json_extension(const NativeString& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == NativeString::npos || dot == 0 || name.size() - dot - 1 != 4) return false;
  constexpr std::string_view JSON = "json";
  for (std::size_t i = 0; i < 4; ++i) {
    auto c = name[dot + 1 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<decltype(c)>(c - 'A' + 'a');
    if (c != static_cast<decltype(c)>(JSON[i])) return false;
  }
  return true;
}

struct Candidate {
  stdfs::path path;
  const snapshot::EndpointSnapshot* snapshot;
};

std::string ambiguity_across(std::string_view id, const std::vector<Candidate>& candidates) {
  std::string text = "ambiguous omp session id '" + std::string(id) + "' across endpoint environment snapshots:";
  for (const auto& c : candidates) {
    text += " " + display(c.path) + " (endpoint " + c.snapshot->endpoint_id;
    if (c.snapshot->launch_session_id) text += ", launch session " + *c.snapshot->launch_session_id;
    text += ")";
  }
  return text;
}

}  // namespace

std::string ScanError::text() const { return "cannot scan " + display(dir) + ": " + error.message; }

std::string AmbiguousError::text() const {
  std::string out = "ambiguous omp session id '" + id + "':";
  for (const auto& p : paths) out += " " + display(p);
  return out;
}

Result<std::vector<fs::DirEntry>, ScanError> list_dir_sorted(const stdfs::path& dir) {
  auto listed = fs::list_entries(dir);
  if (!listed) {
    if (listed.error().kind == ErrorKind::kNotFound) return std::vector<fs::DirEntry>();
    return Err(ScanError{dir, std::move(listed).error()});
  }
  std::vector<fs::DirEntry> entries = std::move(listed).value();
  // Every entry is the listed directory joined with its name, so path order is the order of the
  // names alone; comparing names spares splitting every path into components.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const fs::DirEntry& a, const fs::DirEntry& b) { return compare_component(a.name, b.name) < 0; });
  return entries;
}

Result<std::optional<stdfs::path>, SessionLookupError> find_session_in_dir(const stdfs::path& sessions_dir,
                                                                          std::string_view id) {
  return search_dir(sessions_dir, SessionMatcher(id));
}

Result<stdfs::path> find_session_across_snapshots(const stdfs::path& state_dir, std::string_view id) {
  const stdfs::path snapshot_dir = snapshot::snapshot_directory(state_dir);
  auto listed = list_dir_sorted(snapshot_dir);
  if (!listed) return Err(listed.error().text());
  std::vector<stdfs::path> snapshot_files;
  for (const auto& entry : *listed) {
    if (entry.type == fs::EntryType::kFile && has_json_extension(entry.name)) snapshot_files.push_back(entry.path);
  }
  if (snapshot_files.empty()) {
    return Err("no omp endpoint environment snapshots under " + display(snapshot_dir) + "; relaunch the endpoint");
  }

  const SessionMatcher matcher(id);
  // Candidates point at the snapshot they were found through; a deque keeps those pointers valid.
  std::deque<snapshot::EndpointSnapshot> snapshots;
  // Endpoints commonly share one sessions directory. Within one lookup the same directory gives
  // the same answer, so each is searched once and its answer reused for the other snapshots; a
  // search that fails ends the lookup anyway, so only answers need remembering.
  std::map<NativeString, std::optional<stdfs::path>> searched;
  std::vector<Candidate> exact, prefix;
  for (const auto& file : snapshot_files) {
    auto read = snapshot::read_snapshot(file);
    if (!read) return read.err();
    snapshots.push_back(std::move(read).value());
    const snapshot::EndpointSnapshot& snap = snapshots.back();
    auto dir = resolve_sessions_dir(std::nullopt, snap.selectors);
    if (!dir) {
      return Err("endpoint environment snapshot " + display(file) + " cannot resolve OMP sessions: " + dir.error());
    }
    auto known = searched.find(dir->native());
    if (known == searched.end()) {
      auto found = search_dir(*dir, matcher);
      if (!found) return Err(found.error().text());
      known = searched.emplace(dir->native(), std::move(found).value()).first;
    }
    if (!known->second) continue;
    (matcher.is_exact(*known->second) ? exact : prefix).push_back(Candidate{*known->second, &snap});
  }

  for (auto* list : {&exact, &prefix}) {
    sort_dedup_by_path(*list, [](const Candidate& c) -> const stdfs::path& { return c.path; });
    if (list->size() == 1) return std::move(list->front().path);
    if (list->size() > 1) return Err(ambiguity_across(id, *list));
  }
  return Err("no omp session file for '" + std::string(id) + "' across endpoint environment snapshots under " +
             display(snapshot_dir));
}

Result<stdfs::path, SessionFileError> choose_session_file(const std::optional<std::string>& session_dir,
                                                         std::string_view id) {
  using Kind = SessionFileError::Kind;
  if (session_dir) {
    if (session_dir->empty()) return Err(SessionFileError{Kind::kUsage, "--session-dir cannot be empty"});
    auto found = find_session_in_dir(path_from_utf8(*session_dir), id);
    if (!found) return Err(SessionFileError{Kind::kLookup, found.error().text()});
    if (!*found) {
      return Err(SessionFileError{Kind::kNoneInDir,
                                  "no omp session file for '" + std::string(id) + "' under " + *session_dir});
    }
    return std::move(**found);
  }
  auto state_dir = snapshot::resolve_state_directory();
  if (!state_dir) return Err(SessionFileError{Kind::kUsage, state_dir.error()});
  auto found = find_session_across_snapshots(*state_dir, id);
  if (!found) return Err(SessionFileError{Kind::kLookup, std::move(found).error()});
  return std::move(*found);
}

}  // namespace vantle::sessions
