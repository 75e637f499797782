// Writes a synthetic Oh My Pi session log shaped like a real one, for the digest benchmark.
//
// usage: gen_session_log OUTPUT [MEGABYTES=100] [SEED=1] [plain|rich]
//
// Most of the bytes are tool results (200 B to 1 MB of file contents or command output); assistant
// lines carry thinking, text and tool calls; a few lines are malformed (cut short, or not JSON).
// A rich log holds what real logs of other users hold: text in other scripts and emoji, tool
// output with box drawing and terminal colour codes (escaped as \u001b), about 5% of its bytes
// beyond ASCII and one \u escape per 100 bytes.
// Every value is one that jq prints exactly as the digest does (no doubles, no U+007F), so the
// two outputs can be compared whole. The same seed always gives the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::mt19937_64 rng;
bool rich = false;

std::uint64_t below(std::uint64_t n) { return rng() % n; }
bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
// A size drawn evenly on a log scale, as tool outputs are: many small, a few huge.
std::size_t log_uniform(double lo, double hi) {
  return static_cast<std::size_t>(std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng)));
}

const std::vector<std::string_view> WORDS = {
    "the",    "file",   "function", "return", "value",  "error",   "config",  "build",  "test",    "path",
    "string", "parse",  "session",  "agent",  "line",   "output",  "module",  "import", "result",  "check",
    "server", "client", "request",  "handle", "update", "install", "version", "cache",  "default", "option"};
// Text beyond ASCII turns up now and then: names, arrows, prices, other scripts, emoji.
const std::vector<std::string_view> OTHER_WORDS = {"café", "naïve", "Straße", "日本語", "данные",
                                                   "🙂", "→",     "€100",   "größe",  "✓"};

std::string_view word() {
  return std::uniform_int_distribution<int>(0, 99)(rng) < (rich ? 8 : 3) ? OTHER_WORDS[rng() % OTHER_WORDS.size()]
                                                                         : WORDS[rng() % WORDS.size()];
}

// Tool output as a terminal shows it: trees drawn with box characters, coloured words.
const std::vector<std::string_view> BOX = {"├── ", "│   ├── ", "│   └── ", "└── ", "────────────────── ", "╭─ ", "╰─ "};
const std::vector<std::string_view> COLOUR = {"\x1b[32m", "\x1b[31m", "\x1b[1;33m", "\x1b[36m", "\x1b[2m"};

const std::vector<std::string_view> CODE = {
    "    if (value == nullptr) return Err(\"missing value\");",
    "  const auto path = root / \"src\" / name;",
    "\tfor (std::size_t i = 0; i < n; ++i) total += items[i];",
    "def main(argv):\n    print(f\"usage: {argv[0]} <file>\")",
    "  \"scripts\": { \"build\": \"tsc -p .\", \"test\": \"vitest run\" },",
    "C:\\Users\\dev\\project\\src\\main.rs:42:17: warning: unused variable",
    "#include <string>  // std::string, used by parse_args()",
    "echo \"done\" && exit 0",
    "    let re = Regex::new(r\"^\\d{4}-\\d{2}-\\d{2}$\").unwrap();",
    "<div class=\"row\"><span>{{ item.name }}</span></div>",
};

std::string words(std::size_t bytes) {
  std::string out;
  while (out.size() < bytes) {
    if (!out.empty()) out += chance(0.08) ? ". " : " ";
    out += word();
  }
  return out;
}

// File contents or command output: numbered lines of code and prose.
std::string file_text(std::size_t bytes) {
  std::string out;
  for (int n = 1; out.size() < bytes; ++n) {
    out += std::to_string(n);
    out += '\t';
    if (rich && chance(0.15)) out += BOX[below(BOX.size())];
    const bool coloured = rich && chance(0.4);
    if (coloured) out += COLOUR[below(COLOUR.size())];
    out += chance(0.6) ? std::string(CODE[below(CODE.size())]) : words(20 + below(80));
    if (coloured) out += "\x1b[0m";
    out += '\n';
  }
  return out;
}

// JSON string escaping as the agent's JSON.stringify does it.
void put_string(std::string& out, std::string_view s) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += HEX[c >> 4];
          out += HEX[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

std::string quoted(std::string_view s) {
  std::string out;
  put_string(out, s);
  return out;
}

std::string hex_id(int digits) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < digits; ++i) out += HEX[below(16)];
  return out;
}

struct Clock {
  std::int64_t ms = 1796630831000;  // 2026-12-07T08:07:11Z
  std::string iso() {
    ms += 10 + static_cast<std::int64_t>(below(4000));
    const std::int64_t s = ms / 1000;
    char buf[40];
    std::snprintf(buf, sizeof buf, "2026-12-07T%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(8 + s / 3600 % 16),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                  static_cast<long long>(ms % 1000));
    return buf;
  }
};

class Log {
 public:
  explicit Log(std::FILE* out) : out_(out) {}
  void line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
    bytes_ += text.size() + 1;
  }
  std::size_t bytes() const { return bytes_; }

 private:
  std::FILE* out_;
  std::size_t bytes_ = 0;
};

std::string parent = "null";

std::string event_head(std::string_view type, Clock& clock) {
  const std::string id = hex_id(8);
  std::string head = "{\"type\":\"" + std::string(type) + "\",\"id\":\"" + id + "\",\"parentId\":" + parent +
                     ",\"timestamp\":\"" + clock.iso() + "\"";
  parent = "\"" + id + "\"";
  return head;
}

std::string tool_arguments(std::string& name) {
  switch (below(8)) {
    case 0:
      name = "read";
      return "{\"path\":" + quoted("src/" + std::string(word()) + ".cpp") + ",\"limit\":" + std::to_string(below(500)) +
             "}";
    case 1:
      name = "bash";
      return "{\"command\":" + quoted("grep -rn \"" + std::string(word()) + "\" src | head") + ",\"timeout\":120}";
    case 2:
      name = "write";
      return "{\"content\":" + quoted(file_text(log_uniform(100, 20000))) + ",\"path\":\"notes/" + hex_id(4) + ".md\"}";
    case 3:
      name = "grep";
      return "{\"pattern\":" + quoted("fn\\s+" + std::string(word())) + ",\"glob\":\"*.rs\"}";
    case 4:
      name = "edit";
      return "{\"edits\":[{\"old\":" + quoted(words(60)) + ",\"new\":" + quoted(words(60)) +
             "}],\"file_path\":\"README.md\"}";
    case 5:
      name = "todo";
      return "{\"ops\":{\"add\":[" + quoted(words(30)) + "]}}";  // no scalar: compact JSON
    case 6:
      name = "fetch";
      return "{\"url\":\"https://example.com/" + hex_id(6) + "?q=1&r=2\",\"raw\":true}";
    default:
      name = "ask";
      return "{\"limit\":" + std::to_string(below(9)) + ",\"z\":false}";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_session_log OUTPUT [MEGABYTES=100] [SEED=1] [plain|rich]\n");
    return 2;
  }
  const double megabytes = argc > 2 ? std::atof(argv[2]) : 100;
  rng.seed(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
  rich = argc > 4 && std::string_view(argv[4]) == "rich";
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const auto target = static_cast<std::size_t>(megabytes * 1e6);
  Log log(file);
  Clock clock;

  std::string title =
      "{\"type\":\"title\",\"v\":1,\"title\":\"\",\"updatedAt\":\"2026-12-07T08:07:11.013Z\",\"pad\":\"";
  title += std::string(255 - title.size() - 2, ' ') + "\"}";
  log.line(title);
  log.line("{\"type\":\"session\",\"version\":3,\"id\":\"01a24f8a-dfa5-7149-8240-02771af3233d\",\"timestamp\":\"" +
           clock.iso() + "\",\"cwd\":\"/home/dev/proj\"}");
  log.line(event_head("model_change", clock) + ",\"model\":\"fake/fake-model\",\"resolvedModelIsFallback\":false}");

  while (log.bytes() < target) {
    // A user turn: a prompt, sometimes a whole file passed as @file.
    std::string prompt = words(20 + below(300));
    if (chance(0.3))
      prompt = "<file name=\"/home/dev/proj/omp-sessions/turn-prompt.md\">\n" + file_text(log_uniform(200, 8000)) +
               "</file>\n";
    log.line(event_head("message", clock) +
             ",\"message\":{\"role\":\"user\",\"content\":[{\"type\":\"text\",\"text\":" + quoted(prompt) +
             "}],\"attribution\":\"user\",\"timestamp\":" + std::to_string(clock.ms) + "}}");

    for (int step = 0, steps = 1 + static_cast<int>(below(6)); step < steps && log.bytes() < target; ++step) {
      // The agent thinks, says something, and calls tools.
      std::string content = "[{\"type\":\"thinking\",\"thinking\":" + quoted(words(log_uniform(200, 6000))) +
                            ",\"thinkingSignature\":\"" + hex_id(64) + "\"}";
      if (chance(0.7)) content += ",{\"type\":\"text\",\"text\":" + quoted(words(20 + below(400))) + "}";
      std::vector<std::pair<std::string, std::string>> calls;
      for (int c = 0, n = static_cast<int>(below(3)); c < n; ++c) {
        std::string name;
        const std::string args = tool_arguments(name);
        const std::string call_id = "call_" + hex_id(12);
        content += ",{\"type\":\"toolCall\",\"id\":\"" + call_id + "\",\"name\":\"" + name +
                   "\",\"arguments\":" + args + ",\"streamIndex\":" + std::to_string(c) + "}";
        calls.emplace_back(call_id, name);
      }
      content += "]";
      log.line(event_head("message", clock) + ",\"message\":{\"role\":\"assistant\",\"content\":" + content +
               ",\"api\":\"openai-completions\",\"provider\":\"fake\",\"model\":\"fake-model\",\"usage\":{\"input\":" +
               std::to_string(below(90000)) + ",\"output\":" + std::to_string(below(4000)) +
               ",\"cacheRead\":0,\"cacheWrite\":0},\"stopReason\":\"toolUse\",\"timestamp\":" +
               std::to_string(clock.ms) + "}}");

      for (const auto& [call_id, name] : calls) {
        log.line(event_head("custom", clock) + ",\"customType\":\"tool_execution_start\",\"data\":{\"toolCallId\":\"" +
                 call_id + "\",\"toolName\":\"" + name + "\"}}");
        std::string result;
        if (chance(0.03)) {
          // A screenshot: one long base64 run.
          std::string data;
          static constexpr char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
          for (std::size_t i = 0, n = log_uniform(2000, 400000); i < n; ++i) data += B64[below(64)];
          result = "[{\"type\":\"image\",\"data\":\"" + data + "\",\"mimeType\":\"image/png\"}]";
        } else {
          result = "[{\"type\":\"text\",\"text\":" + quoted(file_text(log_uniform(200, 1000000))) + "}]";
        }
        std::string line = event_head("message", clock) + ",\"message\":{\"role\":\"toolResult\",\"toolCallId\":\"" +
                           call_id + "\",\"toolName\":\"" + name + "\",\"content\":" + result +
                           ",\"isError\":false,\"timestamp\":" + std::to_string(clock.ms) + "}}";
        if (chance(0.01)) line.resize(line.size() / 2);  // the agent died mid-write
        log.line(line);
      }
      if (chance(0.02)) log.line("not json at all: " + words(40));
    }
    log.line("{\"type\":\"message\",\"id\":\"" + hex_id(8) + "\",\"timestamp\":\"" + clock.iso() +
             "\",\"message\":{\"role\":\"assistant\",\"content\":" + quoted(words(40 + below(600))) + "}}");
    if (chance(0.2)) {
      log.line(event_head("custom", clock) +
               ",\"customType\":\"session_exit\",\"data\":{\"reason\":\"dispose\",\"kind\":\"normal\"}}");
    }
  }
  if (std::fclose(file) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
