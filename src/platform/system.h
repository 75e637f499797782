// Process-wide services: start-up, arguments, identity, ending.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/os_string.h"

namespace vantle::sys {

// Once, first thing in main, before anything is opened or started: the state the tool inherits
// from whoever started it made the tool's own. A standard stream that is closed (POSIX) or has no
// handle (Windows) stays one whose use fails; on POSIX SIGPIPE and SIGXFSZ are ignored, so that a
// closed output or a file-size limit is an error value instead of a death, SIGCHLD is back to its
// default, and the signals the tool handles are unblocked. On Windows: binary standard streams and
// no error dialogs.
void init_process();

// The process arguments as OS strings, program name first (on Windows from the wide command line).
std::vector<OsString> command_line(int argc, char** argv);

bool is_windows();
// The home folder the account database gives this process's user, ignoring the environment: the
// password entry's directory on POSIX, the user's profile folder on Windows. Empty when there is
// none.
std::optional<std::filesystem::path> account_home();
// The path of the running program, for starting it again (the process tests do).
SysResult<std::filesystem::path> current_exe();
std::uint32_t current_pid();

// Ends the process at once with `code`, from any thread.
[[noreturn]] void exit_process(int code);

}  // namespace vantle::sys
