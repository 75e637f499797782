#include "digest_omp/mapping.h"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "digest_omp/record_rule.h"
#include "json/raw_compact.h"
#include "json/reader.h"

namespace vantle::digest {
namespace {

// A record's pieces as views into the line, so that long texts are never copied.
struct ToolView {
  std::string_view arg;
  // When set, it writes the "arg" instead: the compact JSON of the whole arguments, made as it is
  // written, so that its length costs no memory.
  json::CompactWriter* compact;
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
    if (tool->compact != nullptr) {
      sink.write("\"");
      tool->compact->write([&sink](std::string_view piece) { sink.write_escaped(piece); });
      sink.write("\"");
    } else {
      sink.write_string(tool->arg);
    }
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

// The text of a scalar: a string as is, "true"/"false", a number's text as the tree writer gives
// it; null, arrays and objects have none. A view into the line or into `storage`.
std::optional<std::string_view> scalar_text(const json::RawValue& value, std::string& storage) {
  switch (value.raw().front()) {
    case '"':
      return value.text(storage);
    case 't':
      return "true";
    case 'f':
      return "false";
    case 'n':
    case '{':
    case '[':
      return std::nullopt;
    default: {
      storage.clear();
      std::string scratch;
      json::append_number_text(storage, value.raw(), scratch);
      return storage;
    }
  }
}

// The "arg" of a tool record from the first of SUMMARY_KEYS with a non-empty scalar text, as
// real tool calls nearly always have; nothing when none has.
std::optional<std::string_view> summarize_by_keys(const json::RawValue& arguments, std::string& storage) {
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
    if (value.raw().empty()) continue;
    if (const auto text = scalar_text(value, storage); text && !text->empty()) return text;
  }
  return std::nullopt;
}

// Else the first member in key order with a non-empty scalar text; nothing when none has, and
// the summary is the compact JSON of the whole arguments.
std::optional<std::string_view> summarize_by_order(json::CompactWriter& compact, std::string& storage) {
  json::MemberOrder& members = compact.members();
  std::optional<std::string_view> found;
  members.for_each(compact.start(), [&](std::string_view, const char* value) {
    found = scalar_text(members.value_at(value), storage);
    if (found && found->empty()) found.reset();
    return !found;
  });
  return found;
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
      // What a summary of every member in key order, or of the whole object, needs is taken
      // before the record is begun: running out of memory never leaves half a record.
      std::optional<std::string_view> arg;
      std::optional<json::CompactWriter> compact;
      if (!arguments.is_object()) {
        arg = std::string_view();
      } else if (arg = summarize_by_keys(arguments, storage); !arg) {
        compact.emplace(arguments);
        arg = summarize_by_order(*compact, storage);
      }
      const ToolView tool{arg.value_or(std::string_view()), arg ? nullptr : &*compact,
                          name.is_string() ? name.text(name_storage) : std::string_view()};
      write_record(sink, "tool", nullptr, &tool, ts);
      sink.write("\n");
    }
  });
}

}  // namespace vantle::digest
