#include "cli/options.h"


namespace vantle {

Result<bool> parse_options(std::span<const std::string> args, std::initializer_list<ValueOption> options,
                           Grammar grammar) {
  const bool lenient = grammar.strictness == Strictness::kLenient;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (grammar.help_flags && (arg == "-h" || arg == "--help")) return true;
    const bool last = i + 1 == args.size();
    if (grammar.strictness == Strictness::kPairs && last) return Err(arg + " expects a value");
    std::optional<std::string>* value = nullptr;
    for (const auto& option : options) {
      if (arg == option.name) value = option.value;
    }
    if (value == nullptr) {
      if (!lenient) return Err("unknown arg: " + arg);
      if (arg.starts_with("--")) ++i;
    } else if (grammar.repeats == Repeats::kRefused && value->has_value()) {
      return Err("duplicate arg: " + arg);
    } else if (!last) {
      *value = args[++i];
    } else if (lenient) {
      value->reset();
    } else {
      return Err(arg + " expects a value");
    }
  }
  for (const auto& option : options) {
    if (option.required && !option.value->has_value()) return Err("missing " + std::string(option.name));
  }
  return false;
}

SessionLogArgs parse_session_log_args(std::span<const std::string> args) {
  SessionLogArgs out;
  // The lenient grammar refuses nothing.
  out.help = *parse_options(args,
                            {{"--in", &out.in},
                             {"--session", &out.session},
                             {"--session-dir", &out.session_dir},
                             {"--project-dir", &out.project_dir}},
                            {.help_flags = true});
  return out;
}

}  // namespace vantle
