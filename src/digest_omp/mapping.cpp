#include "digest_omp/mapping.h"

#include <string>

#include "json/json.h"
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

const json::Value* member(const json::Value& object, std::string_view key) {
  const auto& members = object.get_ref<const Object&>();
  const auto it = members.find(key);
  return it == members.end() ? nullptr : &it->second;
}

const std::string* string_member(const json::Value& object, std::string_view key) {
  const json::Value* value = member(object, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

}  // namespace

void map_line(std::string_view line, RecordSink& sink) {
  auto parsed = json::parse(line);
  if (!parsed) return;
  const json::Value& doc = *parsed;
  if (!doc.is_object()) return;
  const std::string* type = string_member(doc, "type");
  if (type == nullptr || *type != "message") return;
  const std::string* timestamp = string_member(doc, "timestamp");
  const std::string_view ts = timestamp != nullptr ? std::string_view(*timestamp) : std::string_view();

  const json::Value* message = member(doc, "message");
  if (message == nullptr || !message->is_object()) return;
  const std::string* role = string_member(*message, "role");
  if (role == nullptr) return;
  const bool assistant = *role == "assistant";
  if (!assistant && *role != "user") return;
  const std::string_view label = assistant ? "agent" : "input";

  const json::Value* content = member(*message, "content");
  if (content == nullptr) return;
  if (content->is_string()) {
    const std::string_view text = content->get_ref<const std::string&>();
    if (text.empty()) return;
    write_record(sink, label, &text, nullptr, ts);
    sink.write("\n");
    return;
  }
  if (!content->is_array()) return;
  std::string storage;
  for (const json::Value& item : *content) {
    if (!item.is_object()) continue;
    const std::string* item_type = string_member(item, "type");
    if (item_type == nullptr) continue;
    if (*item_type == "text") {
      const std::string* text = string_member(item, "text");
      if (text == nullptr || text->empty()) continue;
      const std::string_view view = *text;
      write_record(sink, label, &view, nullptr, ts);
      sink.write("\n");
    } else if (*item_type == "toolCall" && assistant) {
      const std::string* name = string_member(item, "name");
      const ToolView tool{summarize(member(item, "arguments"), storage),
                          name != nullptr ? std::string_view(*name) : std::string_view()};
      write_record(sink, "tool", nullptr, &tool, ts);
      sink.write("\n");
    }
  }
}

}  // namespace vantle::digest
