#include "update/run_outcome.h"

#include <utility>

namespace tavik {

RunOutcome RunOutcome::Of(RunCause cause, std::string path, Status status,
                          bool remove) {
  RunOutcome outcome;
  outcome.cause = cause;
  outcome.path = std::move(path);
  outcome.status = std::move(status);
  switch (cause) {
    case RunCause::kDone:
      outcome.code = ExitCode::kDone;
      break;
    case RunCause::kNoPath:
      outcome.code = ExitCode::kNoPath;
      break;
    case RunCause::kTwoPaths:
      outcome.code = ExitCode::kTwoPaths;
      break;
    case RunCause::kLibraryMissing:
      outcome.code = remove ? ExitCode::kDone : ExitCode::kMissingFile;
      break;
    case RunCause::kMediaMissing:
      outcome.code = ExitCode::kMissingFile;
      break;
    case RunCause::kUnreadable:
    case RunCause::kInvalid:
    case RunCause::kNotSaved:
    case RunCause::kInterrupted:
      outcome.code = ExitCode::kInvalidLibrary;
      break;
  }
  return outcome;
}

std::string RunOutcome::Reason() const {
  switch (cause) {
    case RunCause::kDone:
      return std::string();
    case RunCause::kNoPath:
      return "no library path";
    case RunCause::kTwoPaths:
      return "two library paths";
    case RunCause::kLibraryMissing:
      return "library file " + path + " missing";
    case RunCause::kMediaMissing:
      return "media folder " + path + " missing";
    case RunCause::kUnreadable:
    case RunCause::kInvalid:
      return "not a valid library: " + status.message();
    case RunCause::kNotSaved:
      return "not saved: " + status.message();
    case RunCause::kInterrupted:
      return "interrupted";
  }
  return std::string();
}

std::optional<RunOutcome> CheckLibraryFile(const std::string& path, bool remove,
                                           FileSystem* fs) {
  if (path.empty()) return RunOutcome::Of(RunCause::kNoPath, std::string());
  if (fs->UpdatableFileExists(path, kLibraryLockWaitLimit)) {
    return std::nullopt;
  }
  return RunOutcome::Of(RunCause::kLibraryMissing, path, Status(), remove);
}

}  // namespace tavik
