#include "text/options.h"

namespace vantle {

bool parse_value_options(std::span<const std::string> args, std::initializer_list<ValueOption> options,
                         bool help_flags) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (help_flags && (arg == "-h" || arg == "--help")) return true;
    std::optional<std::string>* value = nullptr;
    for (const auto& option : options) {
      if (arg == option.name) value = option.value;
    }
    if (value != nullptr) {
      *value = i + 1 < args.size() ? std::optional<std::string>(args[++i]) : std::nullopt;
    } else if (arg.starts_with("--")) {
      ++i;
    }
  }
  return false;
}

}  // namespace vantle
