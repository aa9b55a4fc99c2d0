// Diagnostic output. Every message of the tool goes through DebugPrint, which
// writes to a debug console only while the process-wide debug-output switch
// is on. The switch is fixed for a build: off in the tool as shipped (no
// command-line switch turns it on), on in a diagnosis build configured with
// -DTAVIK_DEBUG_OUTPUT=ON.
#ifndef TAVIK_DRIVER_DEBUG_OUTPUT_H_
#define TAVIK_DRIVER_DEBUG_OUTPUT_H_

#include <cstdarg>
#include <cstddef>

namespace tavik {

#ifdef TAVIK_DEBUG_OUTPUT
constexpr bool kDebugOutput = true;
#else
constexpr bool kDebugOutput = false;
#endif

// Holds a formatted message and its terminating zero.
constexpr size_t kMessageBufferSize = 300;

// Opens the console titled "Debug Window", 160 columns with 120 rows of
// buffer, and keeps its output handle for DebugPrint. Called at most once,
// and only when the switch is on.
void OpenDebugConsole();

// printf-style. With the switch off: returns 0 and formats nothing. On: the
// text is formatted into the message buffer (a longer text is cut to
// kMessageBufferSize - 1 bytes, never written past it), written to the
// console if it is open, and the number of bytes in the buffer is returned.
int DebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The formatting step of DebugPrint, for any switch setting: formats into
// `buffer` (`size` bytes, at least 1) with bounded formatting and returns the
// number of bytes stored before the terminating zero (0 on a format error).
int FormatDebugMessage(char* buffer, size_t size, const char* format,
                       va_list args);

}  // namespace tavik

#endif  // TAVIK_DRIVER_DEBUG_OUTPUT_H_
