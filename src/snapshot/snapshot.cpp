#include "snapshot/snapshot.h"

#include <array>
#include <cstdint>
#include <new>

#include "json/json.h"
#include "json/reader.h"
#include "json/writer.h"
#include "omp/omp.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace vantle::snapshot {
namespace stdfs = std::filesystem;
namespace {

bool is_valid_endpoint_id(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// The order in which selectors are converted to text, which decides the key that a failure names.
constexpr Selector CONVERSION_ORDER[] = {Selector::kOmpProfile, Selector::kPiProfile, Selector::kPiCodingAgentDir,
                                         Selector::kPiConfigDir, Selector::kXdgDataHome, Selector::kHome,
                                         Selector::kUserProfile, Selector::kVantleOmpBin};

Result<std::string> encode(std::string_view endpoint_id, const std::optional<std::string>& launch_session_id,
                           const Selectors& selectors) {
  json::Tree doc(json::Value::object());
  json::Value& recorded = doc["selectors"] = json::Value::object();
  for (Selector s : CONVERSION_ORDER) {
    const auto& value = selectors[s];
    if (!value) {
      recorded[std::string(key_of(s))] = nullptr;
      continue;
    }
    auto text = value->to_utf8();
    if (!text) return Err(std::string(key_of(s)) + " is not valid Unicode and cannot be snapshotted");
    recorded[std::string(key_of(s))] = std::move(*text);
  }
  doc["endpoint_id"] = std::string(endpoint_id);
  doc["launch_session_id"] = launch_session_id ? json::Value(*launch_session_id) : json::Value(nullptr);
  doc["version"] = 1;
  return json::to_compact(doc);
}

}  // namespace

Result<stdfs::path> resolve_state_directory() {
  if (auto v = env::get("VANTLE_STATE_DIR"); env::is_set(v)) return v->to_path();
  if (auto v = env::get("LOCALAPPDATA"); env::is_set(v)) return v->to_path() / "vantle";
  if (auto v = env::get("XDG_STATE_HOME"); env::is_set(v)) return v->to_path() / "vantle";
  auto home = env::get("HOME");
  if (!env::is_set(home)) home = env::get("USERPROFILE");
  if (env::is_set(home)) return home->to_path() / ".local" / "state" / "vantle";
  return Err(
      "cannot resolve a durable state directory for endpoint snapshots (set VANTLE_STATE_DIR, XDG_STATE_HOME, or "
      "HOME)");
}

stdfs::path snapshot_directory(const stdfs::path& state_dir) { return state_dir / ".vantle" / "vantle-env-v1"; }

Result<stdfs::path> snapshot_path(const stdfs::path& state_dir, std::string_view endpoint_id) {
  if (!is_valid_endpoint_id(endpoint_id)) {
    return Err("invalid endpoint id '" + std::string(endpoint_id) + "' for environment snapshot");
  }
  return snapshot_directory(state_dir) / path_from_utf8(std::string(endpoint_id) + ".json");
}

namespace {

// Writes the snapshot; with Install::kKeepExisting only where none is yet, and then false when one
// was found there (and is left as it is).
Result<bool> write_snapshot_file(const stdfs::path& state_dir, std::string_view endpoint_id,
                                 const std::optional<std::string>& launch_session_id, const Selectors& selectors,
                                 fs::Install install) {
  if (auto profile = select_omp_profile(selectors); !profile) return profile.err();
  auto target = snapshot_path(state_dir, endpoint_id);
  if (!target) return target.err();
  const stdfs::path dir = target->parent_path();
  if (auto made = fs::create_dir_all(dir); !made) {
    return Err("cannot create snapshot directory " + display(dir) + ": " + made.error().message);
  }
  auto doc = encode(endpoint_id, launch_session_id, selectors);
  if (!doc) return doc.err();

  auto written = fs::write_file_whole(*target, endpoint_id, *doc, fs::Durability::kDurable, install);
  if (!written) {
    const fs::WholeFileFailure& failure = written.error();
    switch (failure.step) {
      case fs::WholeFileFailure::Step::kExists:
        return false;
      case fs::WholeFileFailure::Step::kTemporary:
        return Err("cannot write endpoint environment snapshot " + display(failure.temp) + ": " + failure.error.message);
      case fs::WholeFileFailure::Step::kInstall:
        return Err("cannot install endpoint environment snapshot " + display(*target) + ": " + failure.error.message);
      case fs::WholeFileFailure::Step::kReplace:
        break;
    }
    return Err("cannot replace endpoint environment snapshot " + display(*target) + " after " +
               failure.rename_error.message + ": " + failure.error.message);
  }
  return true;
}

// The selectors of the endpoint's snapshot at `path`, which must belong to it.
Result<Selectors> load_snapshot_selectors(const stdfs::path& path, std::string_view endpoint_id) {
  auto snapshot = read_snapshot(path);
  if (!snapshot) return snapshot.err();
  if (snapshot->endpoint_id != endpoint_id) {
    return Err("endpoint environment snapshot " + display(path) + " belongs to '" + snapshot->endpoint_id +
               "', not '" + std::string(endpoint_id) + "'");
  }
  return std::move(snapshot->selectors);
}

}  // namespace

Result<stdfs::path> write_snapshot(const stdfs::path& state_dir, std::string_view endpoint_id,
                                  const std::optional<std::string>& launch_session_id, const Selectors& selectors) {
  auto written = write_snapshot_file(state_dir, endpoint_id, launch_session_id, selectors, fs::Install::kReplace);
  if (!written) return written.err();
  return snapshot_path(state_dir, endpoint_id);
}

Result<EndpointSnapshot> read_snapshot(const stdfs::path& path) {
  // Whatever sits at a snapshot's name is read whole, and may be larger than the memory there is.
  try {
    auto bytes = fs::read_to_string(path);
    if (!bytes) return Err("cannot read endpoint environment snapshot " + display(path) + ": " + bytes.error().message);
    return parse_snapshot(*bytes, path);
  } catch (const std::bad_alloc&) {
    return Err("cannot read endpoint environment snapshot " + display(path) + ": " + std::string(OUT_OF_MEMORY));
  }
}

Result<EndpointSnapshot> parse_snapshot(std::string_view bytes, const stdfs::path& path) {
  const std::string shown = display(path);
  const std::string prefix = "endpoint environment snapshot " + shown;
  // Read in place, without a tree: whatever else a file at a snapshot's name holds (a tree costs
  // ten to thirty times a document of small values) takes no memory beyond its bytes. The check
  // gives the parser's own words for a document it refuses.
  if (!json::is_valid(bytes)) {
    auto checked = json::check(bytes);
    return Err("invalid endpoint environment snapshot " + shown + ": " +
               (checked ? std::string("invalid JSON") : checked.error()));
  }
  const char* const end = bytes.data() + bytes.size();
  const char* const start = json::skip_space(bytes.data(), end);
  const json::RawValue doc(std::string_view(start, static_cast<std::size_t>(json::skip_value(start, end) - start)));
  if (!doc.is_object()) return Err(prefix + " must be a JSON object");
  const auto is_null = [](const json::RawValue& v) { return v.raw() == "null"; };
  json::RawValue version, id, session, selectors;
  doc.members({{"version", &version}, {"endpoint_id", &id}, {"launch_session_id", &session}, {"selectors", &selectors}});

  // The integer 1 has one spelling; 1.0, 1e0 and "1" are other values.
  if (version.raw() != "1") return Err(prefix + " has unsupported version");
  EndpointSnapshot snapshot;
  std::string storage;
  if (!id.is_string() || !is_valid_endpoint_id(id.text(storage))) return Err(prefix + " has invalid endpoint_id");
  snapshot.endpoint_id = std::string(id.text(storage));

  if (!session.raw().empty() && !is_null(session)) {
    if (!session.is_string() || session.text(storage).empty()) return Err(prefix + " has invalid launch_session_id");
    snapshot.launch_session_id = std::string(session.text(storage));
  }

  if (!selectors.is_object()) return Err(prefix + " has no selectors object");
  std::array<json::RawValue, SELECTOR_KEYS.size()> values;
  static_assert(SELECTOR_KEYS.size() == 8);
  selectors.members({{SELECTOR_KEYS[0], &values[0]},
                     {SELECTOR_KEYS[1], &values[1]},
                     {SELECTOR_KEYS[2], &values[2]},
                     {SELECTOR_KEYS[3], &values[3]},
                     {SELECTOR_KEYS[4], &values[4]},
                     {SELECTOR_KEYS[5], &values[5]},
                     {SELECTOR_KEYS[6], &values[6]},
                     {SELECTOR_KEYS[7], &values[7]}});
  for (std::size_t i = 0; i < SELECTOR_KEYS.size(); ++i) {
    const json::RawValue& value = values[i];
    if (value.raw().empty() || is_null(value)) continue;
    if (!value.is_string()) return Err(prefix + " has non-string selector " + std::string(SELECTOR_KEYS[i]));
    const std::string_view text = value.text(storage);
    // No environment or path can hold a NUL: taken as it is, the value would be cut short there.
    if (text.find('\0') != std::string_view::npos) {
      return Err(prefix + " has selector " + std::string(SELECTOR_KEYS[i]) + " with a NUL character");
    }
    snapshot.selectors.values[i] = OsString::from_utf8(text);
  }
  if (!env::is_set(snapshot.selectors[Selector::kVantleOmpBin])) return Err(prefix + " has no validated OMP executable");
  if (auto profile = select_omp_profile(snapshot.selectors); !profile) {
    return Err(prefix + " is invalid: " + profile.error());
  }
  return snapshot;
}

Result<Selectors> load_or_rebuild_endpoint_selectors(const stdfs::path& state_dir, std::string_view endpoint_id) {
  auto path = snapshot_path(state_dir, endpoint_id);
  if (!path) return path.err();
  auto loaded = load_snapshot_selectors(*path, endpoint_id);
  if (loaded) return loaded;
  // Only a snapshot that is truly missing is rebuilt; one that exists but is bad is reported.
  if (fs::exists(*path)) return loaded.err();
  auto executable = omp::resolve_omp_executable();
  if (!executable) {
    return Err("endpoint environment snapshot is missing (" + loaded.error() +
               ") and cannot be rebuilt: " + executable.error());
  }
  Selectors captured = capture_selectors(*executable);
  // The rebuild only fills the gap: a launch may have written the endpoint's snapshot while the
  // executable was being proven, and its record (the session it resumes, the environment it runs
  // in) is the one that counts.
  auto written = write_snapshot_file(state_dir, endpoint_id, std::nullopt, captured, fs::Install::kKeepExisting);
  if (!written) return written.err();
  if (!*written) return load_snapshot_selectors(*path, endpoint_id);
  return captured;
}

}  // namespace vantle::snapshot
