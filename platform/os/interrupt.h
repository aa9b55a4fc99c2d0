// Ctrl-C at the terminal, turned from the end of the process into a flag
// that a long run reads, so that it stops where it chooses and leaves no
// half-written output behind.
#ifndef TAVIK_PLATFORM_OS_INTERRUPT_H_
#define TAVIK_PLATFORM_OS_INTERRUPT_H_

namespace tavik {

// From this call on, the first interrupt no longer ends the process: it
// sets the flag that Interrupted() reads, and the system's own handling is
// put back, so that a second interrupt ends the process as before (for a
// run that does not stop). POSIX: SIGINT. Windows: the console's Ctrl-C and
// Ctrl-Break. The flag may be read from any thread; calling this again
// while the flag is clear changes nothing.
void CatchInterrupts();

// True once an interrupt has come after CatchInterrupts().
bool Interrupted();

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_INTERRUPT_H_
