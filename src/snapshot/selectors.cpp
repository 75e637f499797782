#include "snapshot/selectors.h"

#include "platform/env.h"
#include "text/whitespace.h"

namespace vantle::snapshot {
namespace {

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Names that Windows reserves for devices, as the stem of a file or directory name.
bool is_device_stem(std::string_view stem) {
  if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul") return true;
  return stem.size() == 4 && (stem.substr(0, 3) == "com" || stem.substr(0, 3) == "lpt") && stem[3] >= '0' &&
         stem[3] <= '9';
}

bool is_valid_profile_name(std::string_view name) {
  if (name.size() > 64 || !is_lower_or_digit(name.front()) || name.back() == '.') return false;
  for (char c : name) {
    if (!is_lower_or_digit(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return !is_device_stem(name.substr(0, name.find('.')));
}

}  // namespace

Result<std::optional<std::string>> select_omp_profile(const Selectors& selectors) {
  const auto& chosen = selectors[Selector::kOmpProfile] ? selectors[Selector::kOmpProfile] : selectors[Selector::kPiProfile];
  if (!chosen) return std::optional<std::string>();
  const auto text = chosen->to_utf8();
  if (!text) return Err("OMP profile is not valid Unicode");
  const std::string_view name = text::trim(*text);
  if (name.empty() || name == "default") return std::optional<std::string>();
  if (!is_valid_profile_name(name)) return Err("invalid OMP profile '" + std::string(name) + "'");
  return std::optional<std::string>(std::string(name));
}

Selectors capture_selectors(const std::filesystem::path& executable) {
  Selectors selectors;
  for (std::size_t i = 0; i + 1 < SELECTOR_KEYS.size(); ++i) selectors.values[i] = env::get(SELECTOR_KEYS[i]);
  selectors[Selector::kVantleOmpBin] = OsString::from_path(executable);
  return selectors;
}

Result<void> apply_selectors_to_process(const Selectors& selectors) {
  for (std::size_t i = 0; i < SELECTOR_KEYS.size(); ++i) {
    const auto& value = selectors.values[i];
    auto applied = value ? env::set(SELECTOR_KEYS[i], *value) : env::remove(SELECTOR_KEYS[i]);
    if (!applied) return Err(std::move(applied).error().message);
  }
  return {};
}

void apply_selectors_to_command(const Selectors& selectors, process::Command& command) {
  for (std::size_t i = 0; i < SELECTOR_KEYS.size(); ++i) {
    const auto& value = selectors.values[i];
    if (value) {
      command.set_env(std::string(SELECTOR_KEYS[i]), *value);
    } else {
      command.remove_env(std::string(SELECTOR_KEYS[i]));
    }
  }
}

}  // namespace vantle::snapshot
