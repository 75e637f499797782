// POSIX half of fault_platform.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>

#include "fault_platform.h"
#include "platform/error.h"
#include "platform/os_string.h"
#include "support/child_modes.h"

namespace vantle::testing {

std::span<const CallError> call_errors() {
  static constexpr CallError ERRORS[] = {{"EIO", EIO},
                                         {"ENOSPC", ENOSPC, false, false, true},
                                         {"EACCES", EACCES},
                                         {"EMFILE", EMFILE, false, false, true},
                                         {"ENOMEM", ENOMEM, false, false, true, true},
                                         {"EINTR", EINTR, true, true},
                                         {"EAGAIN", EAGAIN, false, false, true},
                                         {"EPERM", EPERM, false, false, false, false, true}};
  return ERRORS;
}

const std::size_t CALL_EVERY_UP_TO = std::numeric_limits<std::size_t>::max();
const std::size_t CALL_STRIDE = 1;
const std::size_t ALLOC_EVERY_UP_TO = std::numeric_limits<std::size_t>::max();
const std::size_t ALLOC_STRIDE = 1;

// Present and not a zombie, a second on: a killed tool's orphans go to an init that may reap them late.
void end_process(std::uint32_t pid) { ::kill(static_cast<pid_t>(pid), SIGKILL); }

bool process_alive(std::uint32_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  while (true) {
    std::string text;
    std::getline(std::ifstream(stat), text);
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z') return false;
    if (std::chrono::steady_clock::now() >= deadline) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

const std::string_view AGENT_DEFAULT_SIGNALS = "SigBlk:\t0000000000000000 SigIgn:\t0000000000000000";

// The C library's posix_spawn sets its own two signals (32 and 33, below SIGRTMIN, which no program
// of that library can use) to ignored in every child it starts: no start the tool makes can give
// them back, so they are not counted.
std::string agent_signals(const std::string& reported) {
  const auto at = reported.find("SigIgn:\t");
  if (at == std::string::npos) return reported;
  const std::string digits = reported.substr(at + 8, 16);
  const std::uint64_t ignored = std::strtoull(digits.c_str(), nullptr, 16) & ~(std::uint64_t{3} << 31);
  char masked[17];
  std::snprintf(masked, sizeof masked, "%016llx", static_cast<unsigned long long>(ignored));
  return reported.substr(0, at + 8) + masked + reported.substr(at + 8 + digits.size());
}

namespace {

const std::map<std::string, int, std::less<>> SIGNALS = {
    {"CHLD", SIGCHLD}, {"PIPE", SIGPIPE}, {"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP}};

std::string error_text(int code) { return os_error(code).message; }

}  // namespace

std::vector<StartState> start_states(const std::vector<std::uint64_t>& cuts) {
  const std::string badf = error_text(EBADF);
  std::vector<StartState> states = {
      {"stdin closed", "close:0", badf, "read"},
      {"stdout closed", "close:1", badf, "write", true},
      {"stderr closed", "close:2", badf, "write", false, true},
      {"all three closed", "close:0,close:1,close:2", badf, "", true, true},
      {"stdin a directory", "dir:0", error_text(EISDIR), "read"},
      {"stdout read-only", "readonly:1", badf, "write", true},
      {"stdout on /dev/full", "full:1", error_text(ENOSPC), "write", true},
      // As root the mode bits bind nothing; as another user a file made with none cannot be read back.
      {"umask 0777", "umask:777", error_text(EACCES), ""},
      {"umask 0000", "umask:0", "", ""},
      {"TMPDIR missing", "tmpdir:missing", error_text(ENOENT), ""},
      {"TMPDIR a file", "tmpdir:file", error_text(ENOTDIR), ""},
      {"TMPDIR relative", "tmpdir:relative", "", ""},
      {"working directory deleted", "cwd:gone", error_text(ENOENT), ""},
      {"HOME a file", "home:file", error_text(ENOTDIR), "", false, false, false, true},
  };
  for (const auto& [name, sig] : SIGNALS) {
    StartState ignored{"SIG" + name + " ignored", "ignore:" + name, "", ""};
    ignored.end_ignored = sig == SIGTERM;
    states.push_back(ignored);
    states.push_back({"SIG" + name + " blocked", "block:" + name, "", ""});
  }
  // A daemon that sends the output to a file: the limit stops the output too.
  states.push_back({"stdout a file past the size limit", "tofile:1,fsize:4", error_text(EFBIG), "write", true, false,
                    false, false, true});
  for (const std::uint64_t cut : cuts) {
    states.push_back({"file size limit " + std::to_string(cut), "fsize:" + std::to_string(cut), error_text(EFBIG),
                      "write", false, false, false, false, true});
  }
  return states;
}

StartState descriptor_limit(std::uint64_t descriptors) {
  return {"open files limit " + std::to_string(descriptors), "nofile:" + std::to_string(descriptors), error_text(EMFILE),
          ""};
}

const int END_REQUEST_SIGNAL = SIGTERM;

void request_end(const std::filesystem::path& pid_file) {
  pid_t pid = 0;
  std::ifstream(pid_file) >> pid;
  if (pid > 0) ::kill(pid, SIGTERM);
}

namespace {

// Puts `path`, opened with `flags`, at descriptor `fd`.
bool reopen(int fd, const char* path, int flags) {
  const int opened = ::open(path, flags, 0600);
  if (opened < 0) return false;
  if (opened != fd && (::dup2(opened, fd) < 0 || ::close(opened) < 0)) return false;
  return true;
}

// The starter: applies its steps in three rounds, so that the files it makes never take a
// descriptor it then closes, and a limit on descriptors binds nothing of its own, then executes
// the program.
int start_in_state(const std::vector<std::string>& args) {
  if (args.size() < 2) return 125;
  std::vector<std::pair<std::string, std::string>> steps;
  for (std::size_t at = 0; at < args[0].size();) {
    const std::size_t end = std::min(args[0].find(',', at), args[0].size());
    const std::string step = args[0].substr(at, end - at);
    const std::size_t colon = step.find(':');
    steps.emplace_back(step.substr(0, colon), colon == std::string::npos ? "" : step.substr(colon + 1));
    at = end + 1;
  }
  // Every signal at its default and none blocked but for the steps: this program's own start
  // ignores some, and the tool would inherit that.
  for (int sig = 1; sig < SIGRTMIN; ++sig) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const char* tmpdir = std::getenv("TMPDIR");
  const std::filesystem::path temp = tmpdir != nullptr ? tmpdir : "/tmp";
  const std::filesystem::path beside = temp.parent_path();
  bool ok = true;
  for (const auto& [what, value] : steps) {
    if (what == "tmpdir" && value == "missing") {
      ok &= ::setenv("TMPDIR", (temp / "missing").c_str(), 1) == 0;
    } else if (what == "tmpdir" && value == "file") {
      std::ofstream(beside / "temp-file") << "x";
      ok &= ::setenv("TMPDIR", (beside / "temp-file").c_str(), 1) == 0;
    } else if (what == "tmpdir") {
      ok &= ::setenv("TMPDIR", ".", 1) == 0;
    } else if (what == "home") {
      std::ofstream(beside / "home-file") << "x";
      ok &= ::setenv("HOME", (beside / "home-file").c_str(), 1) == 0;
    } else if (what == "cwd") {
      const std::filesystem::path gone = beside / "gone";
      ok &= ::mkdir(gone.c_str(), 0700) == 0 && ::chdir(gone.c_str()) == 0 && ::rmdir(gone.c_str()) == 0;
    } else if (what == "pidfile") {
      std::ofstream(value) << ::getpid() << "\n";
    } else if (what == "umask") {
      ::umask(static_cast<mode_t>(std::strtoul(value.c_str(), nullptr, 8)));
    } else if (what == "ignore" || what == "block") {
      const int sig = SIGNALS.at(value);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, sig);
      ok &= what == "ignore" ? ::signal(sig, SIG_IGN) != SIG_ERR : ::sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
    }
  }
  for (const auto& [what, value] : steps) {
    const int fd = std::atoi(value.c_str());
    if (what == "close") ::close(fd);
    if (what == "dir") ok &= reopen(fd, "/", O_RDONLY | O_DIRECTORY);
    if (what == "readonly") ok &= reopen(fd, "/dev/null", O_RDONLY);
    if (what == "full") ok &= reopen(fd, "/dev/full", O_WRONLY);
    if (what == "tofile") ok &= reopen(fd, (beside / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  }
  for (const auto& [what, value] : steps) {
    const rlim_t limit = std::strtoull(value.c_str(), nullptr, 10);
    const rlimit both{limit, limit};
    if (what == "fsize") ok &= ::setrlimit(RLIMIT_FSIZE, &both) == 0;
    if (what == "nofile") ok &= ::setrlimit(RLIMIT_NOFILE, &both) == 0;
  }
  if (!ok) return 125;
  ::unsetenv("VANTLE_TEST_CHILD");
  std::vector<char*> argv;
  for (std::size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  return 127;
}

const bool STARTER_ADDED = add_child_mode(STARTER_MODE, start_in_state);

}  // namespace

}  // namespace vantle::testing
