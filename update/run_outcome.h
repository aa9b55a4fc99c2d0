// RunOutcome: how a run of the tool ends, as a value. The exit code is what
// a caller of Tavik sees; the cause is what every report branches on (the
// audit's states, the check's summary), never the wording of a message; the
// Status is the failure underneath, and the path what the cause is about.
//
// The run's first step, CheckLibraryFile, is here too, so that Tavik and
// every dry run of vmpkg decide "the library file is missing" by one rule.
#ifndef TAVIK_UPDATE_RUN_OUTCOME_H_
#define TAVIK_UPDATE_RUN_OUTCOME_H_

#include <optional>
#include <string>

#include "platform/base/exit_code.h"
#include "platform/base/status.h"
#include "platform/os/file_system.h"

namespace tavik {

// Why a run ends as it does. Each maps to one exit code, except
// kLibraryMissing: kMissingFile, or kDone for a run with "-r".
enum class RunCause {
  kDone,            // the run did what it was asked, or had nothing to do
  kNoPath,          // no library path, or an unreadable command line
  kTwoPaths,        // a second library path was given
  kLibraryMissing,  // the library file does not exist
  kMediaMissing,    // the media folder (LIB with ".qsm") does not exist
  kUnreadable,      // the file does not open or read: no permission, held
                    // by another program, an I/O error, its lock not had
  kInvalid,         // the file reads, but is not a valid library
  kNotSaved,        // the changes could not be written (the file keeps
                    // its last saved content)
  kInterrupted,     // a dry run given up by its caller (see
                    // UpdateRunOptions::stop); no answer for the library
};

struct RunOutcome {
  ExitCode code = ExitCode::kDone;
  RunCause cause = RunCause::kDone;
  // The failure behind kUnreadable, kInvalid and kNotSaved; ok otherwise.
  Status status;
  // What the cause names: the media folder for kMediaMissing, else the
  // library path ("" for kNoPath and kTwoPaths).
  std::string path;

  // The outcome of a cause, with the exit code that cause gives (`remove`:
  // the run has "-r", which only a missing library file heeds).
  static RunOutcome Of(RunCause cause, std::string path, Status status = {},
                       bool remove = false);

  // The cause in words, for reports and messages, "" for kDone:
  //   "no library path", "two library paths", "library file P missing",
  //   "media folder P missing", "not a valid library: <status>" (for
  //   kUnreadable too: Tavik's diagnosis has always said it so),
  //   "not saved: <status>", "interrupted".
  // The words are for people; callers branch on `cause`.
  std::string Reason() const;
};

// The first step of Tavik [-r] LIB, taken before the registry step: whether
// the library file is there, asked as the update run will need it
// (FileSystem::UpdatableFileExists, waiting up to kLibraryLockWaitLimit for
// another run's replace, which must not make the library look missing).
// Returns nullopt when the run goes on to open the library, else how it
// ends: kNoPath for an empty path, kLibraryMissing otherwise (exit kDone
// with `remove`). `fs` is borrowed.
std::optional<RunOutcome> CheckLibraryFile(const std::string& path, bool remove,
                                           FileSystem* fs);

}  // namespace tavik

#endif  // TAVIK_UPDATE_RUN_OUTCOME_H_
