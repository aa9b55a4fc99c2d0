// Whether an output stream is a terminal the user is looking at, for what
// only a person should see (progress), never a file or a pipe.
#ifndef TAVIK_PLATFORM_OS_TERMINAL_H_
#define TAVIK_PLATFORM_OS_TERMINAL_H_

#include <cstdio>

namespace tavik {

// True when `file` writes to a terminal (on Windows: a console); false for
// a file, a pipe, the null device, or a stream without a descriptor.
bool IsTerminal(std::FILE* file);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_TERMINAL_H_
