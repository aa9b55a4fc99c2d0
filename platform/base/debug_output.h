// Diagnostic output. Every message of the tool goes through DebugPrint, which
// writes to the debug sink (the driver's debug console) only while the
// process-wide debug-output switch is on. Nothing here calls the system. The
// switch is fixed for an executable when it is linked: off in Tavik (no
// command-line switch turns it on), on in the diagnosis executable
// Tavik-diag, which links debug_switch_on.cc (and in every executable of a
// build configured with -DTAVIK_DEBUG_OUTPUT=ON).
#ifndef TAVIK_PLATFORM_BASE_DEBUG_OUTPUT_H_
#define TAVIK_PLATFORM_BASE_DEBUG_OUTPUT_H_

#include <cstdarg>
#include <cstddef>

namespace tavik {

// The debug-output switch. Defined in debug_switch.cc (off, or on with
// -DTAVIK_DEBUG_OUTPUT=ON), a file that defines nothing else, so that an
// executable linking debug_switch_on.cc's object (tavik_debug_switch_on)
// takes that definition and the library's is never linked in.
extern const bool kDebugOutput;

// Holds a formatted message and its terminating zero.
constexpr size_t kMessageBufferSize = 300;

// Where DebugPrint's messages go: `size` bytes of 8-bit text, no
// terminating zero counted.
using DebugSink = void (*)(const char* text, size_t size);

// Sets the sink; null (the start) drops every message. The driver sets it
// once, when it opens the debug console.
void SetDebugSink(DebugSink sink);

// printf-style. With the switch off: returns 0 and formats nothing. On: the
// text is formatted into the message buffer (a longer text is cut to
// kMessageBufferSize - 1 bytes, never written past it), handed to the
// sink if one is set, and the number of bytes in the buffer is returned.
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

#endif  // TAVIK_PLATFORM_BASE_DEBUG_OUTPUT_H_
