#include "sessions/lookup.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>

#include "platform/os_string.h"
#include "sessions/path_order.h"
#include "sessions/places.h"
#include "sessions/sessions_dir.h"
#include "snapshot/snapshot.h"

namespace vantle::sessions {
namespace stdfs = std::filesystem;
namespace {

constexpr std::string_view JSONL = ".jsonl";
constexpr std::string_view GZ = ".gz";

std::string_view without_gz(std::string_view name) {
  return name.ends_with(GZ) ? name.substr(0, name.size() - GZ.size()) : name;
}

// What a searched folder holds: session logs, or the gzip archives `omp gc` makes of them.
enum class Kind { kPlain, kArchived };

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

  // Whether a found file is an exact match, judged by its name alone (an archive's less ".gz").
  bool is_exact(const stdfs::path& path) const {
    const auto name = OsString::from_path(path.filename()).to_utf8();
    return name && without_gz(*name).ends_with(suffix_);
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

// Classifies an entry of the directory `dir`.
void classify(const stdfs::path& dir, const fs::DirEntry& entry, const SessionMatcher& matcher, Kind kind,
              Matches& matches) {
  if (entry.type != fs::EntryType::kFile) return;
  const auto name = OsString(entry.name).to_utf8();
  if (!name) return;
  // An archive is matched by the name of the log it holds.
  if (kind == Kind::kArchived && !name->ends_with(GZ)) return;
  switch (matcher.match(kind == Kind::kArchived ? without_gz(*name) : std::string_view(*name))) {
    case Match::kExact:
      matches.exact.push_back(dir / entry.name);
      break;
    case Match::kPrefix:
      matches.prefix.push_back(dir / entry.name);
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
                                                                 const SessionMatcher& matcher,
                                                                 Kind kind = Kind::kPlain) {
  auto top = list_dir_sorted(sessions_dir);
  if (!top) return scan_failure(top.error());
  Matches matches;
  for (const auto& entry : *top) classify(sessions_dir, entry, matcher, kind, matches);
  for (const auto& entry : *top) {
    if (entry.type != fs::EntryType::kDirectory) continue;
    const stdfs::path folder = sessions_dir / entry.name;
    auto sub = list_dir_sorted(folder);
    if (!sub) return scan_failure(sub.error());
    for (const auto& inner : *sub) classify(folder, inner, matcher, kind, matches);
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
  const snapshot::EndpointSnapshot* snapshot;  // null outside the lookup across snapshots
};

// The files one stage of a lookup found. Exact matches beat prefix matches; a file found twice
// counts once, with the snapshot it was found through first.
struct Found {
  std::vector<Candidate> exact, prefix;

  void add(const SessionMatcher& matcher, stdfs::path path, const snapshot::EndpointSnapshot* snap) {
    (matcher.is_exact(path) ? exact : prefix).push_back(Candidate{std::move(path), snap});
  }
  bool empty() const { return exact.empty() && prefix.empty(); }
  void take(Found&& other) {
    exact.insert(exact.end(), other.exact.begin(), other.exact.end());
    prefix.insert(prefix.end(), other.prefix.begin(), other.prefix.end());
  }
  // The candidates that count, in path order without duplicates; empty when there are none.
  std::vector<Candidate> settle() {
    for (auto* list : {&exact, &prefix}) {
      sort_dedup_by_path(*list, [](const Candidate& c) -> const stdfs::path& { return c.path; });
      if (!list->empty()) return std::move(*list);
    }
    return {};
  }
};

// Searches folders for one id. Endpoints commonly share one sessions directory; within one lookup
// the same folder gives the same answer, so each is searched once and its answer reused. A search
// that fails ends the lookup anyway, so only answers need remembering.
class Searcher {
 public:
  explicit Searcher(std::string_view id) : matcher_(id) {}
  const SessionMatcher& matcher() const { return matcher_; }

  // The file for the id in the sessions directory `root` (kPlain) or among the archives beside it
  // (kArchived).
  Result<std::optional<stdfs::path>, SessionLookupError> search(const stdfs::path& root, Kind kind) {
    const stdfs::path dir = kind == Kind::kPlain ? root : archive_dir(root);
    auto& known = kind == Kind::kPlain ? plain_ : archived_;
    auto at = known.find(dir.native());
    if (at == known.end()) {
      auto found = search_dir(dir, matcher_, kind);
      if (!found) return found.err();
      at = known.emplace(dir.native(), std::move(found).value()).first;
    }
    return at->second;
  }

  // search() on each root in turn, gathering what they hold into `found`.
  Result<void, SessionLookupError> search_all(const std::vector<stdfs::path>& roots, Kind kind,
                                              const snapshot::EndpointSnapshot* snap, Found& found) {
    for (const auto& root : roots) {
      auto one = search(root, kind);
      if (!one) return one.err();
      if (*one) found.add(matcher_, std::move(**one), snap);
    }
    return {};
  }

 private:
  SessionMatcher matcher_;
  std::map<NativeString, std::optional<stdfs::path>> plain_, archived_;
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

// This machine's agent host, looked up only when a lookup goes past the sessions directories.
class LazyHost {
 public:
  explicit LazyHost(std::optional<AgentHost> given) : host_(std::move(given)) {}
  const AgentHost& get() {
    if (!host_) host_ = this_host();
    return *host_;
  }

 private:
  std::optional<AgentHost> host_;
};

// The stages of every lookup, in order; a stage is searched only when those before it found
// nothing, and the first that finds anything answers.
enum class Stage {
  kSessionsDirs,  // each sessions directory
  kAgentPlaces,   // the agent's own places (places.h)
  kArchives,      // the archives beside all of those
};
constexpr Stage STAGES[] = {Stage::kSessionsDirs, Stage::kAgentPlaces, Stage::kArchives};

// One endpoint's places: its sessions directory, or, when that could not be resolved, the message
// that says so; and the agent's own places, looked up only once a stage needs them.
struct Endpoint {
  const snapshot::Selectors* selectors;
  const snapshot::EndpointSnapshot* snap;  // null outside the lookup across snapshots
  std::optional<stdfs::path> sessions_dir;
  std::string unresolved;
  std::optional<std::vector<stdfs::path>> agent;

  const std::vector<stdfs::path>& agent_places(LazyHost& host) {
    if (!agent) agent = session_places(*selectors, host.get()).agent;
    return *agent;
  }

  // The folders searched in `stage`. Without a sessions directory (for want of a home), the
  // places the agent's home rule gives stand in for it.
  std::vector<stdfs::path> roots(Stage stage, LazyHost& host) {
    switch (stage) {
      case Stage::kSessionsDirs:
        if (!sessions_dir) return agent_places(host);
        return {*sessions_dir};
      case Stage::kAgentPlaces:
        if (!sessions_dir) return {};
        return agent_places(host);
      case Stage::kArchives:
        break;
    }
    std::vector<stdfs::path> out = agent_places(host);
    if (sessions_dir) out.insert(out.begin(), *sessions_dir);
    return out;
  }
};

// `unresolved_prefix` goes before the message of a sessions directory that cannot be resolved.
Endpoint endpoint_of(const snapshot::Selectors& selectors, const snapshot::EndpointSnapshot* snap,
                     const std::string& unresolved_prefix) {
  Endpoint out{&selectors, snap, std::nullopt, "", std::nullopt};
  auto dir = resolve_sessions_dir(std::nullopt, selectors);
  if (dir) {
    out.sessions_dir = std::move(*dir);
  } else {
    out.unresolved = unresolved_prefix + dir.error();
  }
  return out;
}

// The i-th of a lookup's endpoints, made when first asked for (in order, in the first stage); a
// failure to make it (a bad snapshot) ends the lookup there.
using EndpointAt = std::function<Result<Endpoint*>(std::size_t)>;

// Walks the stages over `count` endpoints: the candidates of the first stage that finds any,
// settled; none when no stage does. A failed search ends the walk with its message. An endpoint
// without a sessions directory ends it with its own message, at its turn in the first stage,
// unless its places or their archives hold a match.
Result<std::vector<Candidate>> walk_stages(std::size_t count, const EndpointAt& endpoint_at, Searcher& searcher,
                                           LazyHost& host) {
  for (const Stage stage : STAGES) {
    const Kind kind = stage == Stage::kArchives ? Kind::kArchived : Kind::kPlain;
    Found found;
    for (std::size_t i = 0; i < count; ++i) {
      auto made = endpoint_at(i);
      if (!made) return made.err();
      Endpoint& e = **made;
      Found own;
      if (auto searched = searcher.search_all(e.roots(stage, host), kind, e.snap, own); !searched) {
        return Err(searched.error().text());
      }
      if (stage == Stage::kSessionsDirs && !e.sessions_dir && own.empty()) {
        Found archived;
        if (auto searched = searcher.search_all(e.roots(Stage::kArchives, host), Kind::kArchived, e.snap, archived);
            !searched) {
          return Err(searched.error().text());
        }
        if (archived.empty()) return Err(e.unresolved);
      }
      found.take(std::move(own));
    }
    if (auto chosen = found.settle(); !chosen.empty()) return chosen;
  }
  return std::vector<Candidate>();
}

}  // namespace

std::string ScanError::text() const { return "cannot scan " + display(dir) + ": " + error.message; }

std::string AmbiguousError::text() const {
  std::string out = "ambiguous omp session id '" + std::string(id) + "':";
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

Result<stdfs::path> find_session_across_snapshots(const stdfs::path& state_dir, std::string_view id,
                                                  std::optional<AgentHost> host) {
  const stdfs::path snapshot_dir = snapshot::snapshot_directory(state_dir);
  auto listed = list_dir_sorted(snapshot_dir);
  if (!listed) return Err(listed.error().text());
  std::vector<stdfs::path> snapshot_files;
  for (const auto& entry : *listed) {
    if (entry.type == fs::EntryType::kFile && has_json_extension(entry.name)) snapshot_files.push_back(snapshot_dir / entry.name);
  }
  if (snapshot_files.empty()) {
    return Err("no omp endpoint environment snapshots under " + display(snapshot_dir) + "; relaunch the endpoint");
  }

  Searcher searcher(id);
  LazyHost agent_host(std::move(host));
  // Candidates point at the snapshot they were found through, endpoints at their selectors; deques
  // keep those pointers valid.
  std::deque<snapshot::EndpointSnapshot> snapshots;
  std::deque<Endpoint> endpoints;
  const auto endpoint_at = [&](std::size_t i) -> Result<Endpoint*> {
    if (i < endpoints.size()) return &endpoints[i];
    const stdfs::path& file = snapshot_files[i];
    auto read = snapshot::read_snapshot(file);
    if (!read) return read.err();
    snapshots.push_back(std::move(read).value());
    const std::string unresolved = "endpoint environment snapshot " + display(file) + " cannot resolve OMP sessions: ";
    endpoints.push_back(endpoint_of(snapshots.back().selectors, &snapshots.back(), unresolved));
    return &endpoints.back();
  };
  auto chosen = walk_stages(snapshot_files.size(), endpoint_at, searcher, agent_host);
  if (!chosen) return chosen.err();
  if (chosen->size() == 1) return std::move(chosen->front().path);
  if (!chosen->empty()) return Err(ambiguity_across(id, *chosen));
  return Err("no omp session file for '" + std::string(id) + "' across endpoint environment snapshots under " +
             display(snapshot_dir));
}

Result<std::optional<stdfs::path>> find_endpoint_session(const snapshot::Selectors& selectors, std::string_view id,
                                                         std::optional<AgentHost> host) {
  Searcher searcher(id);
  LazyHost agent_host(std::move(host));
  Endpoint endpoint = endpoint_of(selectors, nullptr, "");
  auto chosen = walk_stages(
      1, [&endpoint](std::size_t) -> Result<Endpoint*> { return &endpoint; }, searcher, agent_host);
  if (!chosen) return chosen.err();
  if (chosen->empty()) return std::optional<stdfs::path>();
  if (chosen->size() == 1) return std::optional<stdfs::path>(std::move(chosen->front().path));
  AmbiguousError ambiguous{std::string(id), {}};
  for (auto& c : *chosen) ambiguous.paths.push_back(std::move(c.path));
  return Err(ambiguous.text());
}

bool is_archived_session(const stdfs::path& path) {
  return OsString::from_path(path.filename()).to_utf8_lossy().ends_with(GZ);
}

Result<stdfs::path, SessionFileError> choose_session_file(const std::optional<std::string>& session_dir,
                                                         std::string_view id) {
  using Kind = SessionFileError::Kind;
  if (session_dir) {
    auto dir = resolve_sessions_dir(path_from_utf8(*session_dir), {});
    if (!dir) return Err(SessionFileError{Kind::kUsage, std::move(dir).error()});
    auto found = find_session_in_dir(*dir, id);
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
