// RunTool: the tool's entry. It takes nothing from the start-up code, reads
// the command line itself, makes the real file system and registry once and
// hands them to every step, runs the steps in their fixed order and returns
// the process exit code (ExitCode), the only report a caller sees:
//   0 done; or "-k"; or the library file is missing and "-r" was given
//   1 a second path was given (usage text)
//   2 the library file or its media folder is missing
//   3 no path, or a command line that cannot be read exactly (usage text)
//   4 the library file is not a valid library, or could not be saved
#ifndef TAVIK_DRIVER_RUN_TOOL_H_
#define TAVIK_DRIVER_RUN_TOOL_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/os/registry.h"
#include "platform/sdk/kstring.h"
#include "platform/sdk/qsn_sdk.h"
#include "update/run_outcome.h"

namespace tavik {

using qsnsdk_cm_infra::KQsnSdkManager;
using qsnsdk_cm_infra::KString;

// The usage text, printed through DebugPrint for exit codes 1 and 3.
extern const char kUsageText[];

struct RunOptions {
  bool remove = false;        // "-r"
  bool perUser = false;       // "-u"
  bool skipRegistry = false;  // "-l"
  bool registryOnly = false;  // "-k"
};

// Where the messages of a diagnosis build go: the debug console that the
// windowless Tavik opens for itself, or standard error (Tavik-diag, a
// console program, so that a terminal or a redirection sees them).
enum class DebugDestination { kDebugConsole, kStandardError };

// Everything a run does outside the command line, so that tests can watch
// the order of the steps. The default forwards to the real routines, on the
// file system and registry given (borrowed).
class RunEnvironment {
 public:
  RunEnvironment(FileSystem* fs, Registry* registry,
                 DebugDestination destination = DebugDestination::kDebugConsole)
      : fs_(fs), registry_(registry), destination_(destination) {}
  virtual ~RunEnvironment() = default;
  virtual bool DebugOutputEnabled();
  virtual void OpenDebugConsole();
  // The run's first step (CheckLibraryFile): nullopt when the library file
  // is there, else how the run ends without it.
  virtual std::optional<RunOutcome> CheckLibraryFile(const KString& path,
                                                     bool remove);
  virtual KQsnSdkManager* CreateSdkManager();
  virtual void RegisterLibraryPath(const KString& path, bool perUser,
                                   bool remove);
  virtual RunOutcome UpdateLibraryPackage(KQsnSdkManager* manager,
                                          const KString& libraryPath,
                                          bool remove);

 private:
  FileSystem* fs_;
  Registry* registry_;
  DebugDestination destination_;
};

// The process entry of Tavik (the debug console) and of Tavik-diag
// (standard error).
int RunTool(DebugDestination destination = DebugDestination::kDebugConsole);

// The run on an already read command line (nullopt: it could not be read or
// split), ending in its outcome, whose code is the exit code. The
// environment is borrowed.
RunOutcome RunToolWith(
    const std::optional<std::vector<std::string>>& commandLine,
    RunEnvironment& environment);

}  // namespace tavik

#endif  // TAVIK_DRIVER_RUN_TOOL_H_
