// The digest of a whole input held in memory, with or without the structural pre-scan, and the
// parsed-tree answer to what the pre-scan decides. The pre-scan's differential test and its fuzz
// target compare the two ways with these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "digest_omp/digest_omp.h"
#include "digest_omp/prescan.h"
#include "json/json.h"
#include "json/writer.h"
#include "text/utf8.h"
#include "text/whitespace.h"
#include "digest_omp/mapping.h"

namespace vantle::testing {

struct DigestRun {
  std::string out;
  std::string error;
  friend bool operator==(const DigestRun&, const DigestRun&) = default;
};

inline DigestRun digest_from(digest::LineReader& lines, digest::Prescan prescan) {
  DigestRun run;
  digest::OutputBuffer out([&run](std::string_view bytes) -> SysResult<void> {
    run.out.append(bytes);
    return {};
  });
  if (auto done = digest::digest_lines(lines, out, prescan); !done) run.error = done.error();
  // The sink above cannot fail, so neither can the flush.
  (void)out.flush();
  return run;
}

// Reads at most `max_read` bytes a call, so that short reads can split lines in odd places.
inline DigestRun digest_input(std::string_view input, digest::Prescan prescan,
                              std::size_t max_read = std::numeric_limits<std::size_t>::max()) {
  auto at = std::make_shared<std::size_t>(0);
  digest::LineReader reader([input, at, max_read](char* buffer, std::size_t size) -> SysResult<std::size_t> {
    const std::size_t n = std::min({size, input.size() - *at, max_read});
    std::memcpy(buffer, input.data() + *at, n);
    *at += n;
    return n;
  });
  return digest_from(reader, prescan);
}

// The pre-scan's answer for `line`, after checking that every path this processor can run gives
// the same one, and judges UTF-8 as the plain check does; a disagreement throws, which fails a
// test and stops a fuzz run.
inline bool prescan_answer(std::string_view line) {
  const bool answer = digest::may_yield_record(line);
  const bool utf8 = text::is_utf8(line);
  for (const digest::PrescanPath path : digest::prescan_paths()) {
    const digest::LineCheck check = digest::check_line(line, path);
    if (digest::may_yield_record(line, path) != answer || check.utf8 != utf8 || check.may_yield != (utf8 && answer)) {
      throw std::logic_error("pre-scan path " + std::to_string(static_cast<int>(path)) + " disagrees on " +
                             std::string(line.substr(0, 300)));
    }
  }
  return answer;
}

// Every line of `log`, a log not yet split into lines, walked on every path that walks: where a
// walk answers, it finds the line feed the plain search finds, the end trimming finds, and
// check_line's answer for that text, so faults in the next line never count against this one. A
// disagreement throws; the count is of the lines the fastest path walked.
inline int check_walks(std::string_view log) {
  const auto paths = digest::prescan_paths();
  int walked = 0;
  for (std::size_t start = 0; start < log.size();) {
    const char* const begin = log.data() + start;
    const std::size_t feed = std::min(log.find('\n', start), log.size());
    const std::string_view line(begin, feed - start);
    const std::string_view trimmed = text::trim(line);
    std::optional<digest::LineCheck> check;  // worked out once, for the first walk that answers
    for (const digest::PrescanPath path : paths) {
      const auto walk = digest::walk_line(begin, log.data() + log.size(), path);
      if (!walk) continue;
      walked += path == paths.back();
      if (!check) check = digest::check_line(trimmed);
      if (walk->length != line.size() || trimmed.data() != begin || walk->trimmed != trimmed.size() ||
          walk->check.utf8 != check->utf8 || walk->check.may_yield != check->may_yield) {
        throw std::logic_error("the walk on path " + std::to_string(static_cast<int>(path)) + " disagrees on " +
                               std::string(line.substr(0, 300)));
      }
    }
    start = feed + 1;
  }
  return walked;
}

// Whether a line could yield a record, decided on the parsed tree: what the pre-scan claims to
// know exactly for valid JSON.
inline bool qualifies(const json::Value& doc) {
  if (!doc.is_object()) return false;
  const auto type = doc.find("type");
  if (type == doc.end() || *type != "message") return false;
  const auto message = doc.find("message");
  if (message == doc.end() || !message->is_object()) return false;
  const auto role = message->find("role");
  return role != message->end() && (*role == "user" || *role == "assistant");
}

// The records of one line, built the plain way: the whole line parsed into a tree, each record
// a tree written by the compact writer. What the in-place mapping must match byte for byte.
inline std::string records_from_tree(std::string_view line) {
  const auto scalar = [](const json::Value& v) -> std::optional<std::string> {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
    if (v.is_number_integer() || v.is_number_unsigned() || v.is_number_float()) return json::to_compact(v);
    return std::nullopt;
  };
  const auto summary = [&](const json::Value* args) -> std::string {
    if (args == nullptr || !args->is_object()) return "";
    for (const std::string_view key : digest::SUMMARY_KEYS) {
      const auto it = args->find(key);
      if (it == args->end()) continue;
      if (const auto text = scalar(*it); text && !text->empty()) return *text;
    }
    for (const auto& [key, member] : args->items()) {
      if (const auto text = scalar(member); text && !text->empty()) return *text;
    }
    return json::to_compact(*args);
  };
  auto parsed = json::parse(line);
  if (!parsed || !parsed->is_object()) return "";
  const json::Value& doc = *parsed;
  const auto type = doc.find("type");
  if (type == doc.end() || *type != "message") return "";
  const auto timestamp = doc.find("timestamp");
  const auto message = doc.find("message");
  if (message == doc.end() || !message->is_object()) return "";
  const auto role = message->find("role");
  if (role == message->end() || (*role != "user" && *role != "assistant")) return "";
  const bool assistant = *role == "assistant";
  std::string out;
  const auto emit = [&](json::Value record) {
    record["role"] = record.contains("tool") ? "tool" : assistant ? "agent" : "input";
    if (timestamp != doc.end() && timestamp->is_string() && !timestamp->get<std::string>().empty()) {
      record["ts"] = *timestamp;
    }
    out += json::to_compact(record) + "\n";
  };
  const auto content = message->find("content");
  if (content == message->end()) return "";
  if (content->is_string()) {
    if (!content->get<std::string>().empty()) emit({{"text", *content}});
    return out;
  }
  if (!content->is_array()) return "";
  for (const json::Value& item : *content) {
    if (!item.is_object()) continue;
    const auto item_type = item.find("type");
    if (item_type == item.end() || !item_type->is_string()) continue;
    if (*item_type == "text") {
      const auto text = item.find("text");
      if (text != item.end() && text->is_string() && !text->get<std::string>().empty()) emit({{"text", *text}});
    } else if (*item_type == "toolCall" && assistant) {
      const auto name = item.find("name");
      const auto args = item.find("arguments");
      emit({{"tool",
             {{"arg", summary(args == item.end() ? nullptr : &*args)},
              {"name", name != item.end() && name->is_string() ? name->get<std::string>() : std::string()}}}});
    }
  }
  return out;
}

}  // namespace vantle::testing
