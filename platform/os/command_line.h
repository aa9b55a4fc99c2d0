// The process's own command line, read by the tool itself rather than taken
// from the start-up code.
#ifndef TAVIK_PLATFORM_OS_COMMAND_LINE_H_
#define TAVIK_PLATFORM_OS_COMMAND_LINE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// Every argument after the program's own name must fit this buffer in UTF-8
// together with its terminating zero.
constexpr size_t kArgumentBufferSize = 1024;

// The arguments in UTF-8, index 0 being the program. nullopt when the command
// line cannot be read or split, or when an argument after index 0 is not
// exact text (not UTF-8 on POSIX, a lone surrogate on Windows) or does not
// fit kArgumentBufferSize: the whole command line is refused then, so a cut
// or garbled path never reaches the registry or the disk.
//
// Windows: GetCommandLineW split by CommandLineToArgvW. POSIX (Linux): the
// vector the kernel passed, read back from /proc/self/cmdline, so spaces,
// quotes, backslashes and empty arguments arrive exactly as they were given.
std::optional<std::vector<std::string>> ReadCommandLine();

// The checks above on an argument vector already in UTF-8 form (index 0 is
// not checked). Shared by both systems.
std::optional<std::vector<std::string>> CheckArguments(
    std::vector<std::string> arguments);

// Splits the contents of /proc/<pid>/cmdline: NUL-terminated arguments,
// empty ones included.
std::vector<std::string> SplitNulSeparated(const std::string& contents);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_COMMAND_LINE_H_
