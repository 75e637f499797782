#include "digest_omp/mapping.h"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "digest_omp/record_rule.h"
#include "json/json.h"
#include "json/reader.h"
#include "json/writer.h"

namespace vantle::digest {
namespace {

using Object = json::Value::object_t;

// A record's pieces as views into the parsed line, so that long texts are never copied.
struct ToolView {
  std::string_view arg;
  std::string_view name;
};

void write_record(RecordSink& sink, std::string_view role, const std::string_view* text, const ToolView* tool,
                  std::string_view timestamp) {
  sink.write("{\"role\":");
  sink.write_string(role);
  if (text != nullptr) {
    sink.write(",\"text\":");
    sink.write_string(*text);
  }
  if (tool != nullptr) {
    sink.write(",\"tool\":{\"arg\":");
    sink.write_string(tool->arg);
    sink.write(",\"name\":");
    sink.write_string(tool->name);
    sink.write("}");
  }
  if (!timestamp.empty()) {
    sink.write(",\"ts\":");
    sink.write_string(timestamp);
  }
  sink.write("}");
}

// The text of a scalar: a string as is, "true"/"false", an integer's digits, a double's shortest
// round-trip text; null, arrays and objects have none. The text is a view into `value` or into
// `storage`, so that strings are never copied.
bool scalar_view(const json::Value& value, std::string& storage, std::string_view& out) {
  switch (value.type()) {
    case json::Value::value_t::string:
      out = value.get_ref<const std::string&>();
      return true;
    case json::Value::value_t::boolean:
      out = value.get<bool>() ? "true" : "false";
      return true;
    case json::Value::value_t::number_integer:
      storage = std::to_string(value.get<json::Value::number_integer_t>());
      out = storage;
      return true;
    case json::Value::value_t::number_unsigned:
      storage = std::to_string(value.get<json::Value::number_unsigned_t>());
      out = storage;
      return true;
    case json::Value::value_t::number_float:
      storage = json::number_text(value.get<json::Value::number_float_t>());
      out = storage;
      return true;
    default:
      return false;
  }
}

// The "arg" of a tool record: the first non-empty scalar text among SUMMARY_KEYS, else among all
// members in key order, else the compact JSON of the whole object. Empty when `arguments` is null
// (missing) or not an object.
std::string_view summarize(const json::Value* arguments, std::string& storage) {
  if (arguments == nullptr || !arguments->is_object()) return {};
  const auto& members = arguments->get_ref<const Object&>();
  std::string_view text;
  for (const std::string_view key : SUMMARY_KEYS) {
    const auto it = members.find(key);
    if (it != members.end() && scalar_view(it->second, storage, text) && !text.empty()) return text;
  }
  for (const auto& [key, member] : members) {
    if (scalar_view(member, storage, text) && !text.empty()) return text;
  }
  storage = json::to_compact(*arguments);
  return storage;
}

// The "arg" of a tool record read straight from the raw arguments, when the first of SUMMARY_KEYS
// with a scalar text holds a string or a boolean, as real tool calls nearly always do. Nothing
// when that member is a number (its text is the parsed tree's to give) or none qualifies.
std::optional<std::string_view> summarize_in_place(const json::RawValue& arguments, std::string& storage) {
  std::array<json::RawValue, SUMMARY_KEYS.size()> values;
  static_assert(SUMMARY_KEYS.size() == 9);
  arguments.members({{SUMMARY_KEYS[0], &values[0]},
                     {SUMMARY_KEYS[1], &values[1]},
                     {SUMMARY_KEYS[2], &values[2]},
                     {SUMMARY_KEYS[3], &values[3]},
                     {SUMMARY_KEYS[4], &values[4]},
                     {SUMMARY_KEYS[5], &values[5]},
                     {SUMMARY_KEYS[6], &values[6]},
                     {SUMMARY_KEYS[7], &values[7]},
                     {SUMMARY_KEYS[8], &values[8]}});
  for (const json::RawValue& value : values) {
    const std::string_view raw = value.raw();
    if (raw.empty()) continue;
    switch (raw.front()) {
      case '"':
        if (const std::string_view text = value.text(storage); !text.empty()) return text;
        continue;
      case 't':
        return "true";
      case 'f':
        return "false";
      case 'n':
      case '{':
      case '[':
        continue;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

void map_line(std::string_view line, RecordSink& sink) {
  // The members are read in place from the checked line; only a text with escapes is decoded,
  // into storage of its own length, so a huge text is held at most twice, line included.
  json::Containers containers;
  if (!json::is_valid(line, &containers)) return;
  const char* const start = json::skip_space(line.data(), line.data() + line.size());
  const json::RawValue doc(line.substr(static_cast<std::size_t>(start - line.data())), &containers);
  if (!doc.is_object()) return;
  json::RawValue type, timestamp, message;
  doc.members({{record_rule::TYPE_KEY, &type}, {"timestamp", &timestamp}, {record_rule::MESSAGE_KEY, &message}});
  if (!type.is_string() || !record_rule::is_message([&type](std::string_view word) { return type.text_is(word); })) {
    return;
  }
  std::string ts_storage;
  const std::string_view ts = timestamp.is_string() ? timestamp.text(ts_storage) : std::string_view();

  if (!message.is_object()) return;
  json::RawValue role, content;
  message.members({{record_rule::ROLE_KEY, &role}, {"content", &content}});
  if (!role.is_string()) return;
  const std::optional<std::string_view> role_label =
      record_rule::role_label([&role](std::string_view word) { return role.text_is(word); });
  if (!role_label) return;
  const std::string_view label = *role_label;
  const bool assistant = label == "agent";

  std::string text_storage;
  if (content.is_string()) {
    const std::string_view text = content.text(text_storage);
    if (text.empty()) return;
    write_record(sink, label, &text, nullptr, ts);
    sink.write("\n");
    return;
  }
  if (!content.is_array()) return;
  std::string storage;
  std::string name_storage;
  content.for_each_element([&](const json::RawValue& item) {
    if (!item.is_object()) return;
    json::RawValue item_type, text, name, arguments;
    item.members({{"type", &item_type}, {"text", &text}, {"name", &name}, {"arguments", &arguments}});
    if (!item_type.is_string()) return;
    if (item_type.text_is("text")) {
      if (!text.is_string()) return;
      const std::string_view view = text.text(text_storage);
      if (view.empty()) return;
      write_record(sink, label, &view, nullptr, ts);
      sink.write("\n");
    } else if (item_type.text_is("toolCall") && assistant) {
      // Otherwise the summary can need every member in key order or the whole object as compact
      // JSON: a tree of the arguments is the plain way.
      std::optional<std::string_view> arg;
      std::optional<json::Tree> tree;
      if (arguments.is_object()) {
        arg = summarize_in_place(arguments, storage);
        if (!arg) {
          auto parsed = json::parse(arguments.raw());
          if (parsed) tree.emplace(std::move(*parsed));
        }
      }
      if (!arg) arg = summarize(tree ? &*tree : nullptr, storage);
      const ToolView tool{*arg, name.is_string() ? name.text(name_storage) : std::string_view()};
      write_record(sink, "tool", nullptr, &tool, ts);
      sink.write("\n");
    }
  });
}

}  // namespace vantle::digest
