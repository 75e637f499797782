#include "json/json.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace vantle::json {
namespace {

// The longest excerpt of the offending token kept in a message; a broken string can be megabytes.
constexpr std::size_t TOKEN_EXCERPT = 64;

// nlohmann's text without its "[json.exception.parse_error.101] " tag, with the echoed token cut
// short and made valid UTF-8 and visible (the token may hold the very bytes that were refused).
std::string clean_message(std::string message, const std::string& last_token) {
  if (message.rfind("[json.exception.", 0) == 0) {
    const auto end = message.find("] ");
    if (end != std::string::npos) message.erase(0, end + 2);
  }
  if (last_token.size() > TOKEN_EXCERPT) {
    const std::string quoted = "last read: '" + last_token + "'";
    const auto at = message.find(quoted);
    if (at != std::string::npos) {
      std::size_t cut = TOKEN_EXCERPT;
      while (cut > 0 && (static_cast<unsigned char>(last_token[cut]) & 0xC0) == 0x80) --cut;
      message.replace(at, quoted.size(), "last read: '" + last_token.substr(0, cut) + "...'");
    }
  }
  return text::utf8_lossy(message);
}

// Builds the tree from nlohmann's parse events, with the depth and overflow limits; without a root
// it only checks, holding nothing but nlohmann's current token. Strings are
// moved from the lexer into the tree, never copied: a line holding one huge text then needs the
// line, the lexer's buffer and nothing more. nlohmann parses without recursion, and the limit
// keeps any tree shallow, so neither parsing, refusing nor destroying a deeply nested document
// can exhaust the stack.
class LimitedDomBuilder {
 public:
  explicit LimitedDomBuilder(Value* root) : root_(root) {}

  bool null() { return put_made([] { return Value(nullptr); }); }
  bool boolean(bool v) { return put_made([v] { return Value(v); }); }
  bool number_integer(Value::number_integer_t v) { return put_made([v] { return Value(v); }); }
  bool number_unsigned(Value::number_unsigned_t v) { return put_made([v] { return Value(v); }); }
  bool number_float(Value::number_float_t v, const Value::string_t& text) {
    // nlohmann refuses an overflowing number itself; this holds even if it stops doing so.
    if (!std::isfinite(v)) return fail("number overflow parsing '" + text + "'");
    return put_made([v] { return Value(v); });
  }
  bool string(Value::string_t& v) { return put_made([&v] { return Value(std::move(v)); }); }
  bool binary(Value::binary_t& v) { return put_made([&v] { return Value::binary(std::move(v)); }); }
  bool start_object(std::size_t) { return enter(Value::object()); }
  bool key(Value::string_t& v) {
    key_ = std::move(v);
    return true;
  }
  bool end_object() { return leave(); }
  bool start_array(std::size_t) { return enter(Value::array()); }
  bool end_array() { return leave(); }
  bool parse_error(std::size_t, const std::string& last_token,
                   const nlohmann::detail::exception& ex) {
    return fail(clean_message(ex.what(), last_token));
  }

  const std::string& error() const { return error_; }

 private:
  // Places a finished value: the root, the next array element, or the member named by the last
  // key (a later duplicate key replaces the earlier value). Returns where it now lives.
  Value* place(Value&& v) {
    if (root_ == nullptr) return nullptr;
    if (open_.empty()) {
      *root_ = std::move(v);
      return root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      container.get_ref<Value::array_t&>().push_back(std::move(v));
      return &container.get_ref<Value::array_t&>().back();
    }
    Value& slot = container.get_ref<Value::object_t&>()[key_];
    dismantle(slot);  // a duplicate key's earlier value
    slot = std::move(v);
    return &slot;
  }
  // Places the value that `make` makes; a check never makes one.
  template <class Make>
  bool put_made(Make make) {
    if (root_ != nullptr) place(make());
    return true;
  }
  // An open container is always the last value placed in its parent, and nothing is added to
  // the parent while it is open, so the pointers kept here stay valid.
  bool enter(Value&& container) {
    if (open_.size() + 1 > MAX_DEPTH) {
      return fail("arrays and objects nested more than " + std::to_string(MAX_DEPTH) +
                  " levels deep");
    }
    open_.push_back(place(std::move(container)));  // null in a check: only the depth counts
    return true;
  }
  bool leave() {
    open_.pop_back();
    return true;
  }
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  Value* root_;
  std::vector<Value*> open_;
  Value::string_t key_;
  std::string error_;
};

}  // namespace

void dismantle(Value& value) noexcept {
  if (value.is_array()) {
    auto& elements = value.get_ref<Value::array_t&>();
    for (Value& element : elements) dismantle(element);
    elements.clear();
  } else if (value.is_object()) {
    auto& members = value.get_ref<Value::object_t&>();
    for (auto& member : members) dismantle(member.second);
    members.clear();
  }
}

namespace {

// Parses `text` into `root`, or only checks it when `root` is null.
Result<void> parse_into(std::string_view text, Value* root) {
  // nlohmann skips a leading byte-order mark; a JSON text does not start with one.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return Err(
        "parse error at line 1, column 1: syntax error while parsing value - byte order "
        "mark not allowed");
  }
  try {
    LimitedDomBuilder builder(root);
    if (!Value::sax_parse(text, &builder, nlohmann::json::input_format_t::json, /*strict=*/true)) {
      return Err(builder.error().empty() ? std::string("invalid JSON") : builder.error());
    }
    // nlohmann takes a NUL byte between tokens for the end of the input, so a document with one
    // after its value parses; the first NUL is then right after the value.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
      const auto line_start = text.rfind('\n', nul);
      const auto line = 1 + std::count(text.begin(), text.begin() + nul, '\n');
      const auto column = line_start == std::string_view::npos ? nul + 1 : nul - line_start;
      return Err("parse error at line " + std::to_string(line) + ", column " +
                 std::to_string(column) +
                 ": syntax error while parsing value - unexpected NUL byte; expected end of input");
    }
    return {};
  } catch (const std::bad_alloc&) {
    // Running out of memory says nothing of the document: the caller's caller reports it.
    throw;
  } catch (const std::exception& e) {
    return Err(text::utf8_lossy(e.what()));
  }
}

}  // namespace

Result<Tree> parse(std::string_view text) {
  Tree root;
  if (auto parsed = parse_into(text, &root); !parsed) return parsed.err();
  return root;
}

Result<void> check(std::string_view text) { return parse_into(text, nullptr); }

}  // namespace vantle::json
