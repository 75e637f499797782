// Writes a session log of one message line of about MEGABYTES megabytes in one of the shapes that
// cost a JSON reader the most memory per byte, for the memory benchmark.
//
// usage: gen_adversarial_line OUTPUT MEGABYTES SHAPE [snapshot HOME]
//
// With `snapshot HOME`, the value of a shape that is not text is instead an extra member of an
// endpoint snapshot whose HOME is HOME: a document the snapshot reader accepts.
//
// Shapes, each the arguments of one tool call unless it says otherwise (none has a scalar member,
// so the digest's summary is the compact JSON of the whole arguments):
//   arrays    {"a":[[],[],...]}, a container every three bytes
//   members   {"k9999999":null,...}, millions of distinct keys, in descending order
//   zeros     {"a":[0,0,...]}, a number every two bytes
//   numbers   {"a":[1e15,...]}, numbers whose compact text is four times their own
//   escapes   {"a":["\u00e9\n\"\\..."]}, one long string of nothing but escapes
//   nested    {"a":[[{"k":[...]}],...]}, chains of arrays and objects 120 levels deep
//   text      a user text of plain letters (the control)
//   text_escapes  a user text of nothing but escapes
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::FILE* out;

void put(std::string_view s) { std::fwrite(s.data(), 1, s.size(), out); }

// Repeats `unit` (with `separator` between) until about `bytes` bytes are written.
void repeat(std::string_view unit, std::string_view separator, std::size_t bytes) {
  std::string block;
  for (std::size_t i = 0; i < 4096; ++i) block.append(unit).append(separator);
  std::size_t written = 0;
  while (written + block.size() < bytes) {
    put(block);
    written += block.size();
  }
  put(unit);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 6 && std::string_view(argv[4]) == "snapshot")) {
    std::fprintf(stderr, "usage: gen_adversarial_line OUTPUT MEGABYTES SHAPE [snapshot HOME]\n");
    return 2;
  }
  const auto bytes = static_cast<std::size_t>(std::atof(argv[2]) * 1e6);
  const std::string_view shape = argv[3];
  out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool text = shape.substr(0, 4) == "text";
  const bool snapshot = argc == 6;
  if (snapshot && text) {
    std::fprintf(stderr, "gen_adversarial_line: a text shape is no snapshot\n");
    return 2;
  }
  if (snapshot) {
    put(R"({"endpoint_id":"m","launch_session_id":null,"selectors":{"HOME":")");
    put(argv[5]);
    put(R"(","VANTLE_OMP_BIN":"/usr/local/bin/omp"},"version":1,"x":)");
  } else {
    put(text ? R"({"type":"message","message":{"role":"user","content":")"
             : R"({"type":"message","message":{"role":"assistant","content":[{"type":"toolCall","name":"t","arguments":)");
  }
  if (shape == "arrays") {
    put(R"({"a":[)");
    repeat("[]", ",", bytes);
    put("]}");
  } else if (shape == "members") {
    put("{");
    char key[32];
    std::size_t written = 0;
    for (long n = 99999999; written < bytes && n > 0; --n) {
      const int length = std::snprintf(key, sizeof key, "%s\"k%ld\":null", written > 0 ? "," : "", n);
      put(std::string_view(key, static_cast<std::size_t>(length)));
      written += static_cast<std::size_t>(length);
    }
    put("}");
  } else if (shape == "zeros") {
    put(R"({"a":[)");
    repeat("0", ",", bytes);
    put("]}");
  } else if (shape == "numbers") {
    put(R"({"a":[)");
    repeat("1e15", ",", bytes);
    put("]}");
  } else if (shape == "escapes") {
    put(R"({"a":[")");
    repeat(R"(\u00e9\n\"\\\u001b\/)", "", bytes);
    put(R"("]})");
  } else if (shape == "nested") {
    std::string chain;
    for (int level = 0; level < 120; ++level) chain += level % 2 ? R"({"k":)" : "[";
    chain += "0";
    for (int level = 119; level >= 0; --level) chain += level % 2 ? "}" : "]";
    put(R"({"a":[)");
    repeat(chain, ",", bytes);
    put("]}");
  } else if (shape == "text") {
    repeat("plain words of a user text", " ", bytes);
  } else if (shape == "text_escapes") {
    repeat(R"(\u00e9\n\"\\\u001b\/)", "", bytes);
  } else {
    std::fprintf(stderr, "gen_adversarial_line: no shape named %s\n", argv[3]);
    return 2;
  }
  put(snapshot ? "}" : text ? "\"}}\n" : "}]}}\n");
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
