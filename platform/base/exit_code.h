// ExitCode: the tool's exit codes, its only report to a caller. The driver
// returns them from RunTool; the update run decides three of them.
#ifndef TAVIK_PLATFORM_BASE_EXIT_CODE_H_
#define TAVIK_PLATFORM_BASE_EXIT_CODE_H_

namespace tavik {

enum class ExitCode : int {
  kDone = 0,            // also "-k", and "-r" for a missing library file
  kTwoPaths = 1,        // a second path was given (usage text)
  kMissingFile = 2,     // the library file or its media folder is missing
  kNoPath = 3,          // no path, or an unreadable command line (usage)
  kInvalidLibrary = 4,  // not a valid library, or it could not be saved
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_BASE_EXIT_CODE_H_
