#include "support/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <future>
#include <thread>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace vantle::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<std::string_view, 13> kToolVariables = {
    "VANTLE_STATE_DIR", "VANTLE_OMP_BIN", "LOCALAPPDATA",        "XDG_STATE_HOME", "XDG_DATA_HOME", "HOME",
    "USERPROFILE",      "PI_CONFIG_DIR",  "PI_CODING_AGENT_DIR", "OMP_PROFILE",    "PI_PROFILE",    "PATH",
    "PATHEXT"};

bool same_name(std::string_view a, std::string_view b) {
  if (!env::names_ignore_case()) return a == b;
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
  });
}

// Printable ASCII stays as it is; everything else, non-ASCII bytes included, is escaped, so the
// text shows exactly which bytes were there.
std::string escape(std::string_view bytes) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (u >= 0x20 && u < 0x7F) {
          out += c;
        } else {
          out += "\\x";
          out += HEX[u >> 4];
          out += HEX[u & 0xF];
        }
    }
  }
  return out;
}

// One line per line of output: its bytes escaped and quoted, then "LF" when a line feed ended it.
// The line feed is not written as an escape on purpose: gtest would split the printed value at
// every "\n" escape and append a confusing diff.
void print_stream(std::ostream& os, std::string_view name, std::string_view bytes) {
  constexpr std::size_t MAX_LINES = 60;
  constexpr std::size_t MAX_LINE_BYTES = 400;
  os << "\n  " << name << " (" << bytes.size() << " bytes)";
  for (std::size_t lines = 0; !bytes.empty(); ++lines) {
    if (lines == MAX_LINES) {
      os << "\n    ... and " << bytes.size() << " more bytes";
      return;
    }
    const std::size_t nl = bytes.find('\n');
    const std::string_view line = bytes.substr(0, nl);
    if (line.size() > MAX_LINE_BYTES) {
      os << "\n    \"" << escape(line.substr(0, MAX_LINE_BYTES)) << "\"... (" << line.size() << " bytes)";
    } else {
      os << "\n    \"" << escape(line) << "\"";
    }
    if (nl == std::string_view::npos) return;
    os << " LF";
    bytes.remove_prefix(nl + 1);
  }
}

// A worker thread whose value is awaited with a deadline. One that misses it is detached instead
// of joined (it owns everything it touches), so a pipe held open by a stray grandchild cannot hang
// the test binary.
template <class T>
class Task {
 public:
  template <class F>
  explicit Task(F work) {
    std::promise<T> promise;
    future_ = promise.get_future();
    thread_ =
        std::thread([work = std::move(work), promise = std::move(promise)]() mutable { promise.set_value(work()); });
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (!thread_.joinable()) return;
    if (done()) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }

  bool wait_until(Clock::time_point deadline) const {
    return future_.wait_until(deadline) == std::future_status::ready;
  }
  bool done() const { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  // Only after the task is done.
  T take() {
    thread_.join();
    return future_.get();
  }

 private:
  std::thread thread_;
  std::future<T> future_;
};

// Reads a pipe to its end; with `first`, calls it after the first bytes.
Task<SysResult<std::string>> drain(process::ReadPipe pipe, std::function<void()> first = {}) {
  return Task<SysResult<std::string>>([pipe = std::move(pipe), first = std::move(first)]() mutable -> SysResult<std::string> {
    std::string got;
    if (first) {
      got.resize(4096);
      auto n = pipe.read(got.data(), got.size());
      if (!n) return std::move(n).err();
      got.resize(*n);
      first();
    }
    auto rest = pipe.read_to_end();
    if (!rest) return rest;
    return got + *rest;
  });
}

}  // namespace

bool operator==(const CliResult& a, const CliResult& b) {
  return a.out == b.out && a.err == b.err && a.status.kind == b.status.kind && a.status.code == b.status.code &&
         a.status.signal == b.status.signal && a.harness_error == b.harness_error;
}

CliResult exited(std::uint32_t code, std::string out, std::string err) {
  return CliResult{std::move(out), std::move(err), ExitStatus::exited(code), {}};
}

void PrintTo(const CliResult& result, std::ostream* os) {
  *os << exit_status_text(result.status);
  if (!result.harness_error.empty()) *os << "\n  harness error: " << result.harness_error;
  print_stream(*os, "stdout", result.out);
  print_stream(*os, "stderr", result.err);
}

std::span<const std::string_view> tool_variables() { return kToolVariables; }

std::filesystem::path vantle_binary() {
  // CI points the end-to-end tests at an installed package instead of the build tree.
  const std::optional<OsString> chosen = env::get("VANTLE_E2E_BINARY");
  const std::filesystem::path built = chosen && !chosen->empty() ? chosen->to_path()
                                                                 : path_from_utf8(VANTLE_BINARY);
  auto absolute = fs::make_absolute(built);
  return absolute ? *absolute : built;
}

std::string describe_args(const std::vector<std::string>& args) {
  std::string out = "vantle";
  for (const auto& a : args) out += " \"" + escape(a) + "\"";
  return out;
}

const std::vector<ControlCharacter>& control_characters() {
  static const std::vector<ControlCharacter> all = {
      {"\n", "\\n"}, {"\r", "\\r"}, {"\r\n", "\\r\\n"}, {"\t", "\\t"}, {"\x1b", "\\x1b"}, {"\x7f", "\\x7f"},
  };
  return all;
}

Cli& Cli::arg(std::string value) {
  args_.push_back(std::move(value));
  return *this;
}

Cli& Cli::env(std::string name, std::string_view utf8_value) {
  return env(std::move(name), OsString::from_utf8(utf8_value));
}

Cli& Cli::env(std::string name, OsString value) {
  env_.emplace_back(std::move(name), std::move(value));
  return *this;
}

Cli& Cli::unset(std::string name) {
  env_.emplace_back(std::move(name), std::nullopt);
  return *this;
}

Cli& Cli::inherit(std::string name) {
  inherited_.push_back(std::move(name));
  return *this;
}

Cli& Cli::cwd(std::filesystem::path dir) {
  cwd_ = std::move(dir);
  return *this;
}

Cli& Cli::input(std::string bytes) {
  input_ = std::move(bytes);
  return *this;
}

Cli& Cli::timeout(std::chrono::milliseconds limit) {
  timeout_ = limit;
  return *this;
}

Cli& Cli::program(std::filesystem::path path) {
  program_ = std::move(path);
  return *this;
}

Cli& Cli::once_output_begins(std::function<void()> action) {
  once_output_begins_ = std::move(action);
  return *this;
}

Cli& Cli::through(std::filesystem::path starter, std::vector<std::string> starter_args) {
  starter_ = std::move(starter);
  starter_args_ = std::move(starter_args);
  return *this;
}

Cli& Cli::memory_limit(std::size_t kib) {
  return through("/bin/sh", {"-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\""});
}

CliResult Cli::run() const {
  CliResult result;
  std::filesystem::path program = program_ ? *program_ : vantle_binary();
  auto fail = [&](std::string message) {
    std::string command_line = display(program);
    for (const auto& a : args_) command_line += " \"" + escape(a) + "\"";
    ADD_FAILURE() << "cli harness: " << message << "\n  while running " << command_line;
    result.harness_error = std::move(message);
    return result;
  };
  if (program_) {
    auto absolute = fs::make_absolute(*program_);
    if (!absolute) return fail("cannot make the path absolute: " + absolute.error().message);
    program = std::move(*absolute);
  }

  process::Command command;
  command.program = program;
  command.args = args_;
  if (starter_) {
    command.program = *starter_;
    command.args.insert(command.args.begin(), display(program));
    command.args.insert(command.args.begin(), starter_args_.begin(), starter_args_.end());
  }
  for (const std::string_view name : kToolVariables) {
    const auto named = [&](std::string_view other) { return same_name(name, other); };
    const bool chosen_by_test =
        std::any_of(env_.begin(), env_.end(), [&](const auto& change) { return named(change.first); }) ||
        std::any_of(inherited_.begin(), inherited_.end(), named);
    if (!chosen_by_test) command.remove_env(std::string(name));
  }
  command.env.insert(command.env.end(), env_.begin(), env_.end());
  command.cwd = cwd_;
  command.in = process::Stdio::kPipe;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kPipe;

  auto child = process::spawn(command);
  if (!child) return fail("cannot start " + display(program) + ": " + child.error().message);

  const Clock::time_point deadline = Clock::now() + timeout_;
  // A child may end without reading all of its input; the failed write is then expected, not
  // an error of the run.
  Task<bool> writer([pipe = std::move(*child->take_stdin()), bytes = input_]() mutable {
    const bool wrote = pipe.write_all(bytes).ok();
    pipe.close();
    return wrote;
  });
  Task<SysResult<std::string>> out = drain(std::move(*child->take_stdout()), once_output_begins_);
  Task<SysResult<std::string>> err = drain(std::move(*child->take_stderr()));

  bool streams_ended = out.wait_until(deadline) && err.wait_until(deadline);
  std::optional<ExitStatus> status;
  while (streams_ended) {
    auto polled = child->try_wait();
    if (!polled) {
      (void)child->kill();
      (void)child->wait();
      return fail("cannot wait for the child: " + polled.error().message);
    }
    if (*polled) {
      status = **polled;
      break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!status) {
    std::string why = "timed out after " + std::to_string(timeout_.count()) + " ms: ";
    auto ended = child->try_wait();
    if (ended && *ended) {
      why += "the child ended (" + exit_status_text(**ended) +
             ") but its stdout or stderr stayed open, held by a process it started";
    } else {
      why += streams_ended ? "the child closed its output but did not end; it was killed"
                           : "the child did not end; it was killed";
      (void)child->kill();
      (void)child->wait();
    }
    // The streams end with the child unless a process it started holds them; then the tasks are
    // left behind.
    const auto grace = Clock::now() + std::chrono::seconds(2);
    if (out.wait_until(grace) && err.wait_until(grace)) {
      if (auto bytes = out.take()) result.out = std::move(*bytes);
      if (auto bytes = err.take()) result.err = std::move(*bytes);
    }
    return fail(why);
  }
  result.status = *status;
  if (writer.wait_until(Clock::now() + std::chrono::seconds(2))) (void)writer.take();

  auto out_bytes = out.take();
  auto err_bytes = err.take();
  if (!out_bytes) return fail("cannot read stdout: " + out_bytes.error().message);
  if (!err_bytes) return fail("cannot read stderr: " + err_bytes.error().message);
  result.out = std::move(*out_bytes);
  result.err = std::move(*err_bytes);
  return result;
}

}  // namespace vantle::testing
