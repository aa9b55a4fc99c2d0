#include <signal.h>

#include <atomic>

#include "platform/os/interrupt.h"

namespace tavik {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the flag is set from a signal handler");

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

void CatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: the second SIGINT meets the default action again.
  // SA_RESTART: reads and waits elsewhere in the program do not see EINTR.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() { return interrupted.load(); }

}  // namespace tavik
