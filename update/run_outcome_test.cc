#include "update/run_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os/memory_file_system.h"
#include "update/update_library_package.h"

namespace tavik {
namespace {

TEST(RunOutcomeTest, EachCauseHasItsExitCodeAndWords) {
  const Status bad = Status::Corrupt("L: checksum mismatch");
  struct Case {
    RunCause cause;
    bool remove;
    ExitCode code;
    std::string reason;
  } cases[] = {
      {RunCause::kDone, false, ExitCode::kDone, ""},
      {RunCause::kNoPath, false, ExitCode::kNoPath, "no library path"},
      {RunCause::kTwoPaths, true, ExitCode::kTwoPaths, "two library paths"},
      {RunCause::kLibraryMissing, false, ExitCode::kMissingFile,
       "library file P missing"},
      {RunCause::kLibraryMissing, true, ExitCode::kDone,
       "library file P missing"},
      {RunCause::kMediaMissing, true, ExitCode::kMissingFile,
       "media folder P missing"},
      {RunCause::kUnreadable, false, ExitCode::kInvalidLibrary,
       "not a valid library: L: checksum mismatch"},
      {RunCause::kInvalid, true, ExitCode::kInvalidLibrary,
       "not a valid library: L: checksum mismatch"},
      {RunCause::kNotSaved, false, ExitCode::kInvalidLibrary,
       "not saved: L: checksum mismatch"},
      {RunCause::kInterrupted, false, ExitCode::kInvalidLibrary, "interrupted"},
  };
  for (const Case& c : cases) {
    RunOutcome outcome = RunOutcome::Of(c.cause, "P", bad, c.remove);
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(outcome.cause, c.cause);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.Reason(), c.reason);
  }
}

// The file system of a run caught in another run's replace: the library is
// not there at this instant, but is once the replace is over.
class ReplacingFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool FileExists(const std::string&) override { return false; }
  bool UpdatableFileExists(const std::string& path,
                           std::chrono::milliseconds wait_limit) override {
    asked_limit = wait_limit;
    return ForwardingFileSystem::FileExists(path);
  }
  std::chrono::milliseconds asked_limit{-1};
};

TEST(RunOutcomeTest, TheFirstStepWaitsOutAReplace) {
  MemoryFileSystem files;
  files.PutFile("/l/lib.vlmrlib", "x");
  ReplacingFileSystem fs(&files);
  EXPECT_FALSE(CheckLibraryFile("/l/lib.vlmrlib", false, &fs));
  EXPECT_EQ(fs.asked_limit, kLibraryLockWaitLimit);

  for (bool remove : {false, true}) {
    std::optional<RunOutcome> gone =
        CheckLibraryFile("/l/gone.vlmrlib", remove, &fs);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->cause, RunCause::kLibraryMissing);
    EXPECT_EQ(gone->path, "/l/gone.vlmrlib");
    EXPECT_EQ(gone->code, remove ? ExitCode::kDone : ExitCode::kMissingFile);
  }
  std::optional<RunOutcome> none = CheckLibraryFile("", false, &fs);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->cause, RunCause::kNoPath);
}

// A library whose file fails to open as `failure` says.
class RefusingFileSystem : public ForwardingFileSystem {
 public:
  RefusingFileSystem(FileSystem* target, Status failure)
      : ForwardingFileSystem(target), failure_(std::move(failure)) {}
  Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& path) override {
    if (failure_.ok()) return ForwardingFileSystem::OpenForReading(path);
    return failure_;
  }

 private:
  Status failure_;
};

class Finishes : public UpdateObserver {
 public:
  void Finished(const RunOutcome& outcome) override { told.push_back(outcome); }
  std::vector<RunOutcome> told;
};

// What stops a dry run before any asset is told by its cause: a file that
// cannot be read is not one that reads as no library.
TEST(RunOutcomeTest, ARefusedRunSaysWhyByItsCause) {
  const std::string lib = "/l/lib.vlmrlib";
  struct Case {
    const char* label;
    bool file;
    bool media;
    Status open_failure;
    RunCause cause;
    std::string path;
  } cases[] = {
      {"missing", false, true, Status(), RunCause::kLibraryMissing, lib},
      {"no media", true, false, Status(), RunCause::kMediaMissing,
       "/l/lib.qsm"},
      {"no package", true, true, Status(), RunCause::kInvalid, lib},
      {"no permission", true, true, Status::AccessDenied("permission denied"),
       RunCause::kUnreadable, lib},
      {"I/O error", true, true, Status::IoError("input/output error"),
       RunCause::kUnreadable, lib},
      {"gone meanwhile", true, true, Status::NotFound("no such file"),
       RunCause::kInvalid, lib},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryFileSystem files;
    if (c.file) files.PutFile(lib, "not a library at all");
    if (c.media) files.MakeFolder("/l/lib.qsm");
    RefusingFileSystem fs(&files, c.open_failure);
    Finishes observer;
    UpdateRunOptions options;
    options.dryRun = true;
    options.observer = &observer;
    RunOutcome outcome = RunLibraryUpdate(lib, options, &fs);
    EXPECT_EQ(outcome.cause, c.cause);
    EXPECT_EQ(outcome.path, c.path);
    if (!c.open_failure.ok()) {
      EXPECT_EQ(outcome.status.code(), c.open_failure.code());
    }
    ASSERT_EQ(observer.told.size(), 1u);
    EXPECT_EQ(observer.told[0].cause, c.cause);
    EXPECT_EQ(observer.told[0].Reason(), outcome.Reason());
  }
}

}  // namespace
}  // namespace tavik
