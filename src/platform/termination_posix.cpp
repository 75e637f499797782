// POSIX half of termination.h. While a deferral lives the handled signals are blocked: a wait lets
// them through only while it sleeps (ppoll with the mask of termination_posix.h), so a request
// wakes it without a self-pipe, and one that comes between waits stays pending until the next. The
// handler only records the signal, or, with no deferral alive, lets it act.
#include "platform/termination_posix.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/termination.h"

namespace vantle::termination {
namespace {

constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> g_depth{0};
std::atomic<int> g_signal{0};
bool g_installed = false;
// The signals given the handler: not one the tool was started with ignored, which a deferral must
// not hold back either (a blocked, ignored signal stays pending, and would read as a request).
sigset_t g_handled;
// The mask before the outermost deferral blocked the signals, given back when it goes.
sigset_t g_before;

// Ends the process by `sig` with its default action. Async-signal-safe: inside the handler the
// signal stays blocked until the handler returns, and then kills.
void end_by(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  ::raise(sig);
}

void on_signal(int sig) {
  int none = 0;
  g_signal.compare_exchange_strong(none, sig);
  if (g_depth.load() == 0) end_by(g_signal.load());
}

void install() {
  if (g_installed) return;
  g_installed = true;
  sigemptyset(&g_handled);
  for (int sig : SIGNALS) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    sigaddset(&g_handled, sig);
  }
  for (int sig : SIGNALS) {
    if (sigismember(&g_handled, sig) != 1) continue;
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_mask = g_handled;
    action.sa_flags = SA_RESTART;
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace

Deferral::Deferral() {
  install();
  if (g_depth.fetch_add(1) != 0) return;
  ::pthread_sigmask(SIG_BLOCK, &g_handled, &g_before);
}

Deferral::~Deferral() {
  if (g_depth.fetch_sub(1) != 1) return;
  if (const int sig = g_signal.load(); sig != 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    end_by(sig);
    ::_exit(128 + sig);  // only if the signal somehow did not kill
  }
  // A request still pending is delivered here, to a handler that now lets it act.
  ::pthread_sigmask(SIG_SETMASK, &g_before, nullptr);
}

bool requested() {
  if (g_signal.load() != 0) return true;
  if (g_depth.load() == 0) return false;
  sigset_t pending;
  if (::sigpending(&pending) != 0) return false;
  for (int sig : SIGNALS) {
    if (sigismember(&g_handled, sig) == 1 && sigismember(&pending, sig) == 1) return true;
  }
  return false;
}

void let_requests_through(sigset_t& mask) {
  if (!g_installed) return;
  for (int sig : SIGNALS) {
    if (sigismember(&g_handled, sig) == 1) sigdelset(&mask, sig);
  }
}

}  // namespace vantle::termination
