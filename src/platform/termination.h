// The signals that end the tool, held back while the agent's tree and the temporary objects of a
// turn are torn down first.
#pragma once

namespace vantle::termination {

// While at least one Deferral lives, a request to end the tool (SIGTERM, SIGINT or SIGHUP; on
// Windows Ctrl+C, Ctrl+Break, the console closing, log-off and shut-down) only marks the end as
// requested: the code that holds the deferral ends the agent's tree and removes what it created,
// and when the last deferral goes the tool ends as the request would have ended it (POSIX: killed
// by that signal; Windows: exit code 0xC000013A, STATUS_CONTROL_C_EXIT). Outside any deferral a
// request acts at once, as if the tool had never looked. A signal the tool was started with
// ignored stays ignored. Main thread only.
class Deferral {
 public:
  Deferral();
  ~Deferral();
  Deferral(const Deferral&) = delete;
  Deferral& operator=(const Deferral&) = delete;
};

// Whether the tool has been asked to end; from any thread.
bool requested();

}  // namespace vantle::termination
