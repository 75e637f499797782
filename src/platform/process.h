// Starting and supervising child processes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/exit_status.h"
#include "platform/error.h"
#include "platform/os_string.h"
#include "platform/system_handles.h"

namespace vantle::process {

enum class Stdio { kInherit, kNull, kPipe };

class ChildWatch;

// Everything needed to start one child.
struct Command {
  std::filesystem::path program;
  std::vector<std::string> args;  // UTF-8, without the program name
  // Environment changes on top of the parent's environment, applied in order: a value sets the
  // variable, nothing removes it. Names compare without case on Windows.
  std::vector<std::pair<std::string, std::optional<OsString>>> env;
  std::optional<std::filesystem::path> cwd;
  Stdio in = Stdio::kInherit;
  Stdio out = Stdio::kInherit;
  Stdio err = Stdio::kInherit;
  // Starts the child in a session (POSIX) or process group (Windows) of its own, detached from
  // the terminal's signals.
  bool new_session = false;
  // The child's whole process tree belongs to the Child: POSIX starts it under a guardian of its
  // own (in a process group the guardian leads; descendants that leave the group come back to the
  // guardian, and the guardian ends the tree when this process dies, SIGKILL included), Windows in
  // a kill-on-close job of its own. The tree is killed when the child is seen to end (so its
  // status is reported only once nothing of the tree is left), when it is killed, and when the
  // Child is dropped.
  bool own_tree = false;
  // With own_tree on POSIX: the guardian and the agent stay in this process's group (the terminal's
  // foreground job, so that the agent may use the terminal) instead of a group of their own.
  bool keep_group = false;

  void set_env(std::string name, OsString value) { env.emplace_back(std::move(name), std::move(value)); }
  void remove_env(std::string name) { env.emplace_back(std::move(name), std::nullopt); }
};

// One end of a pipe to or from a child. Move-only; closes on destruction.
class PipeEnd {
 public:
  explicit PipeEnd(OwnedHandle handle = OwnedHandle()) : handle_(std::move(handle)) {}
  void close() { handle_.reset(); }
  bool is_open() const { return static_cast<bool>(handle_); }

 protected:
  friend class ChildWatch;
  OwnedHandle handle_;
};

// The read end of a pipe from a child.
class ReadPipe : public PipeEnd {
 public:
  using PipeEnd::PipeEnd;

  // Reads up to `size` bytes; 0 at end of file. Interrupted reads are retried.
  SysResult<std::size_t> read(char* buffer, std::size_t size);
  SysResult<std::string> read_to_end();
};

// The write end of a pipe to a child's standard input.
class WritePipe : public PipeEnd {
 public:
  using PipeEnd::PipeEnd;

  SysResult<void> write_all(std::string_view bytes);
};

// A started child. Move-only. Dropping a child that owns its tree ends the tree (and on POSIX
// reaps the guardian); dropping any other child neither kills nor waits for it.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  std::uint32_t id() const { return pid_; }
  // The exit status if the child has ended, without blocking.
  SysResult<std::optional<ExitStatus>> try_wait();
  SysResult<ExitStatus> wait();
  // Ends the child at once (SIGKILL, TerminateProcess), with its whole tree when the Child owns
  // it. Killing an ended child is not an error.
  SysResult<void> kill();

  std::optional<WritePipe> take_stdin() { return take(stdin_); }
  std::optional<ReadPipe> take_stdout() { return take(stdout_); }
  std::optional<ReadPipe> take_stderr() { return take(stderr_); }

 private:
  friend SysResult<Child> spawn(const Command& command);
  friend class ChildWatch;
  template <class P>
  static std::optional<P> take(std::optional<P>& slot) {
    std::optional<P> out = std::move(slot);
    slot.reset();
    return out;
  }

  // Ends the tree the child owns, if any: false when it could not be told to end (the errno or
  // last error says why); a tree that is gone already is no failure.
  bool end_tree();
  // What dropping the child does: an owned tree is ended, and the handles are closed.
  void release();

  std::uint32_t pid_ = 0;
  ChildHandles handles_;
  std::optional<ExitStatus> status_;
  std::optional<WritePipe> stdin_;
  std::optional<ReadPipe> stdout_;
  std::optional<ReadPipe> stderr_;
};

// Starts a child. The child gets the three standard streams as asked and no other descriptor or
// handle of ours; on POSIX it starts with default signal dispositions and an empty signal mask.
// On Windows a .bat or .cmd program runs through cmd.exe with every argument escaped so that no
// cmd metacharacter can start another command; an argument that cannot be passed safely is
// refused with kInvalidInput.
SysResult<Child> spawn(const Command& command);

}  // namespace vantle::process
