#include "digest_omp/mapping.h"

#include <optional>
#include <string>
#include <utility>

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

}  // namespace

void map_line(std::string_view line, RecordSink& sink) {
  // The members are read in place from the checked line; only a text with escapes is decoded,
  // into storage of its own length, so a huge text is held at most twice, line included.
  if (!json::is_valid(line)) return;
  const char* const start = json::skip_space(line.data(), line.data() + line.size());
  const json::RawValue doc(line.substr(static_cast<std::size_t>(start - line.data())));
  if (!doc.is_object()) return;
  json::RawValue type, timestamp, message;
  doc.members({{"type", &type}, {"timestamp", &timestamp}, {"message", &message}});
  if (!type.is_string() || !type.text_is("message")) return;
  std::string ts_storage;
  const std::string_view ts = timestamp.is_string() ? timestamp.text(ts_storage) : std::string_view();

  if (!message.is_object()) return;
  json::RawValue role, content;
  message.members({{"role", &role}, {"content", &content}});
  if (!role.is_string()) return;
  const bool assistant = role.text_is("assistant");
  if (!assistant && !role.text_is("user")) return;
  const std::string_view label = assistant ? "agent" : "input";

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
      // The arguments are small as a rule, and their summary can need every member in key order
      // or the whole object as compact JSON: a tree of them is the plain way.
      std::optional<json::Value> tree;
      if (arguments.is_object()) {
        auto parsed = json::parse(arguments.raw());
        if (parsed) tree = std::move(*parsed);
      }
      const ToolView tool{summarize(tree ? &*tree : nullptr, storage),
                          name.is_string() ? name.text(name_storage) : std::string_view()};
      write_record(sink, "tool", nullptr, &tool, ts);
      sink.write("\n");
    }
  });
}

}  // namespace vantle::digest
