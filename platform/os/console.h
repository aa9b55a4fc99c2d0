// The debug console: a console window the windowless tool opens for itself.
// On POSIX it is the process's standard error. Also standard error itself,
// where the diagnosis executable writes.
#ifndef TAVIK_PLATFORM_OS_CONSOLE_H_
#define TAVIK_PLATFORM_OS_CONSOLE_H_

#include <cstddef>
#include <cstdint>

namespace tavik {

// An output handle of a console; 0 is "none".
using ConsoleHandle = std::intptr_t;

// Allocates a console for the process, titles it, sizes its screen buffer
// (columns x rows) and returns its standard output handle. No step's failure
// is reported: the handle is whatever the system gave (possibly 0).
ConsoleHandle OpenConsole(const char* title, int columns, int rows);

// Writes `size` bytes of 8-bit text as they are. Nothing for handle 0.
void WriteConsoleText(ConsoleHandle handle, const char* text, size_t size);

// Writes `size` bytes as they are to the process's standard error, whether it
// is a terminal, a file or a pipe; nothing when there is none (a program of
// the GUI subsystem started without one).
void WriteStandardError(const char* text, size_t size);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_CONSOLE_H_
