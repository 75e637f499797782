// A start of a child prepared in full before it is made: the argument and environment arrays,
// the pipes and the posix_spawn objects, so that the guardian only starts it, and a failure to
// prepare is the tool's to report. Included only by *_posix.cpp files.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/system_handles.h"

namespace vantle::posix {

class PreparedSpawn {
 public:
  PreparedSpawn();
  ~PreparedSpawn();
  PreparedSpawn(const PreparedSpawn&) = delete;
  PreparedSpawn& operator=(const PreparedSpawn&) = delete;

  // Starts the child: 0 and its pid, or an errno value.
  int start(pid_t& pid) const;
  // Our end of a pipe: 1 (stdin's write end), 2 (stdout's read end) or 4 (stderr's read end).
  OwnedHandle take_pipe(int end) { return std::move(pipes_[end]); }

 private:
  friend SysResult<std::unique_ptr<PreparedSpawn>> prepare_spawn(const process::Command& command);

  std::string program_;
  std::vector<std::string> argv_storage_;
  std::vector<std::string> env_storage_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  OwnedHandle pipes_[6];  // read and write ends of the stdin, stdout and stderr pipes
};

// Everything of `command` but its own_tree, which is the caller's to honour.
SysResult<std::unique_ptr<PreparedSpawn>> prepare_spawn(const process::Command& command);

}  // namespace vantle::posix
