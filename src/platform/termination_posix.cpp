// POSIX half of termination.h. The handler only records the signal (or, with no deferral alive,
// lets it act); everything else happens on the main thread.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/termination.h"

namespace vantle::termination {
namespace {

constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> g_depth{0};
std::atomic<int> g_signal{0};
bool g_installed = false;
// The self-pipe that wakes a wait: the handler writes one byte, never read, on the first request.
int g_wake[2] = {-1, -1};

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
  if (g_signal.compare_exchange_strong(none, sig) && g_wake[1] != -1) {
    const int saved = errno;
    (void)!::write(g_wake[1], "", 1);
    errno = saved;
  }
  if (g_depth.load() == 0) end_by(g_signal.load());
}

void install() {
  if (g_installed) return;
  g_installed = true;
  if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
  for (int sig : SIGNALS) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int other : SIGNALS) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace

Deferral::Deferral() {
  install();
  g_depth.fetch_add(1);
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
}

bool requested() { return g_signal.load() != 0; }

int request_signal() { return g_wake[0]; }

}  // namespace vantle::termination
