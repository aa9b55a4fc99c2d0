#include "driver/run_tool.h"

#include "platform/base/debug_output.h"
#include "platform/os/command_line.h"
#include "platform/os/console.h"
#include "platform/sdk/kpath.h"
#include "registration/library_paths.h"
#include "update/update_library_package.h"

namespace tavik {

const char kUsageText[] =
    "please pass the path to the system library in argument: Tavik.exe "
    "\"c:\\blah\\lib.vlmrlib\"\n"
    "Options:\n"
    "\t-r to remove the path from the registry\n"
    "\t-u to use the user registery instead of system.\n";

bool RunEnvironment::DebugOutputEnabled() { return kDebugOutput; }

namespace {
ConsoleHandle debug_console = 0;
}  // namespace

void RunEnvironment::OpenDebugConsole() {
  if (destination_ == DebugDestination::kStandardError) {
    SetDebugSink(WriteStandardError);
    return;
  }
  debug_console = OpenConsole("Debug Window", 160, 120);
  SetDebugSink([](const char* text, size_t size) {
    if (debug_console != 0) WriteConsoleText(debug_console, text, size);
  });
}

bool RunEnvironment::FileExist(const KString& path) {
  // Checked before the update lock is taken: a concurrent run's replace
  // must not make the library look missing.
  return fs_->UpdatableFileExists(path.str(), kLibraryLockWaitLimit);
}

KQsnSdkManager* RunEnvironment::CreateSdkManager() {
  return KQsnSdkManager::Create(fs_);
}

void RunEnvironment::RegisterLibraryPath(const KString& path, bool perUser,
                                         bool remove) {
  tavik::RegisterLibraryPath(path, perUser, remove, registry_);
}

ExitCode RunEnvironment::UpdateLibraryPackage(KQsnSdkManager* manager,
                                              const KString& libraryPath,
                                              bool remove) {
  return tavik::UpdateLibraryPackage(manager, libraryPath, remove, fs_);
}

namespace {

ExitCode Usage(ExitCode code) {
  DebugPrint("%s", kUsageText);
  return code;
}

}  // namespace

ExitCode RunToolWith(const std::optional<std::vector<std::string>>& commandLine,
                     RunEnvironment& environment) {
  if (!commandLine || commandLine->empty()) return Usage(ExitCode::kNoPath);

  RunOptions options;
  KString libraryPath;
  bool havePath = false;
  static const char* const kSwitches[] = {"-r", "-u", "-l", "-k", "-d"};
  for (size_t i = 1; i < commandLine->size(); ++i) {
    KString argument((*commandLine)[i]);
    int matched = -1;
    for (int s = 0; s < 5 && matched < 0; ++s) {
      if (argument.CompareNoCase(kSwitches[s]) == 0) matched = s;
    }
    switch (matched) {
      case 0:
        options.remove = true;
        break;
      case 1:
        options.perUser = true;
        break;
      case 2:
        options.skipRegistry = true;
        break;
      case 3:
        options.registryOnly = true;
        break;
      case 4:
        break;
      default:
        if (havePath) return Usage(ExitCode::kTwoPaths);
        libraryPath = argument;
        havePath = true;
    }
  }
  if (libraryPath.IsEmpty()) return Usage(ExitCode::kNoPath);

  if (environment.DebugOutputEnabled()) environment.OpenDebugConsole();
  bool fileExists = environment.FileExist(libraryPath);
  KQsnSdkManager* manager = environment.CreateSdkManager();
  if (!options.skipRegistry) {
    environment.RegisterLibraryPath(libraryPath, options.perUser,
                                    options.remove);
  }
  if (options.registryOnly) return ExitCode::kDone;
  if (fileExists) {
    return environment.UpdateLibraryPackage(manager, libraryPath,
                                            options.remove);
  }
  if (options.remove) return ExitCode::kDone;
  DebugPrint("%s doesn't exist\n", libraryPath.Buffer());
  return ExitCode::kMissingFile;
}

int RunTool(DebugDestination destination) {
  RunEnvironment environment(DefaultFileSystem(), DefaultRegistry(),
                             destination);
  return static_cast<int>(RunToolWith(ReadCommandLine(), environment));
}

}  // namespace tavik
