#include <windows.h>

#include <atomic>

#include "platform/os/interrupt.h"

namespace tavik {

namespace {

std::atomic<bool> interrupted{false};

// Called on a thread of its own. FALSE hands the event to the next handler,
// in the end the system's, which ends the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (interrupted.exchange(true)) return FALSE;
  return TRUE;
}

}  // namespace

void CatchInterrupts() {
  static const bool installed = ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  (void)installed;
}

bool Interrupted() { return interrupted.load(); }

}  // namespace tavik
