// What both halves of session_tree.h share: the armed parent watch and the one wait for the
// foreground child, which includes the parent's end.
#include "platform/session_tree.h"

#include "platform/child_watch.h"
#include "platform/stdio.h"
#include "platform/system.h"

namespace vantle::session_tree {
namespace {

// The armed watch: whose end, and what to do then.
struct Watch {
  bool armed = false;
  Parent parent;
  std::string line;
  int exit_code = 0;
} g_watch;

// `child`, when the agent runs, has its tree ended and awaited first: the tree would end with this
// process, or with its guardian, but a guardian killed a moment ago left it to this process, which
// would pass it on to init.
[[noreturn]] void report_parent_death(process::Child* child) {
  (void)stdio::write_report(g_watch.line);
  if (child != nullptr) {
    (void)child->kill();
    (void)child->wait();
  }
  sys::exit_process(g_watch.exit_code);
}

}  // namespace

Result<void> watch_parent_death(Parent parent, std::string line, int exit_code) {
  if (!parent.unavailable.empty()) return Err(parent.unavailable);
  g_watch = Watch{true, std::move(parent), std::move(line), exit_code};
  // A daemon that has already gone takes the launch with it, as if it had died a moment later.
  if (has_ended(g_watch.parent)) report_parent_death(nullptr);
  return {};
}

SysResult<ExitStatus> wait_foreground(process::Child& child) {
  {
    std::optional<process::ChildWatch::Parent> parent;
    if (g_watch.armed) parent = process::ChildWatch::Parent{g_watch.parent.pid, &g_watch.parent.handle};
    process::ChildWatch watch(child, parent);
    while (true) {
      auto event = watch.next(std::nullopt);
      // A failed wait leaves the child to the plain wait below, without the parent's watch.
      if (!event || event->kind == process::ChildWatch::Event::Kind::kEnded) break;
      if (event->kind == process::ChildWatch::Event::Kind::kParentEnded) report_parent_death(&child);
    }
  }
  return child.wait();
}

}  // namespace vantle::session_tree
