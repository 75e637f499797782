// Windows half of termination.h. The console runs the control handler on a thread of its own;
// returning from it would let the system end the process (the console closing) or the default
// handler run, so while a deferral lives the handler records the event and waits for the main
// thread to end the process.
#include <windows.h>

#include <atomic>

#include "platform/termination.h"
#include "platform/termination_windows.h"

namespace vantle::termination {
namespace {

// What a process ended by Ctrl+C shows its parent.
constexpr UINT ENDED_BY_CTRL_C = 0xC000013A;

std::atomic<int> g_depth{0};
std::atomic<bool> g_requested{false};
bool g_installed = false;
// Set on the first request, so that a wait that includes it wakes; never reset.
HANDLE g_event = nullptr;

BOOL WINAPI on_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  g_requested.store(true);
  if (g_event != nullptr) ::SetEvent(g_event);
  if (g_depth.load() == 0) ::ExitProcess(ENDED_BY_CTRL_C);
  // Parked for good, no timer: returning would let the system end the process before the main thread
  // has ended the tree and removed what it created.
  while (true) ::Sleep(INFINITE);
}

}  // namespace

Deferral::Deferral() {
  // A console that started the tool with Ctrl+C ignored keeps it ignored: the system then does
  // not call the handlers for it.
  if (g_event == nullptr) g_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_installed) g_installed = ::SetConsoleCtrlHandler(on_event, TRUE) != 0;
  g_depth.fetch_add(1);
}

Deferral::~Deferral() {
  if (g_depth.fetch_sub(1) == 1 && g_requested.load()) ::ExitProcess(ENDED_BY_CTRL_C);
}

bool requested() { return g_requested.load(); }

void* request_event() { return g_event; }

bool request_unsignalled() { return g_event == nullptr && g_depth.load() > 0; }

}  // namespace vantle::termination
