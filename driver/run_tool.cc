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

std::optional<RunOutcome> RunEnvironment::CheckLibraryFile(const KString& path,
                                                           bool remove) {
  return tavik::CheckLibraryFile(path.str(), remove, fs_);
}

KQsnSdkManager* RunEnvironment::CreateSdkManager() {
  return KQsnSdkManager::Create(fs_);
}

void RunEnvironment::RegisterLibraryPath(const KString& path, bool perUser,
                                         bool remove) {
  tavik::RegisterLibraryPath(path, perUser, remove, registry_);
}

RunOutcome RunEnvironment::UpdateLibraryPackage(KQsnSdkManager* manager,
                                                const KString& libraryPath,
                                                bool remove) {
  UpdateRunOptions options;
  options.remove = remove;
  return tavik::UpdateLibraryPackage(manager, libraryPath, options, fs_);
}

namespace {

RunOutcome Usage(RunCause cause) {
  DebugPrint("%s", kUsageText);
  return RunOutcome::Of(cause, std::string());
}

}  // namespace

RunOutcome RunToolWith(
    const std::optional<std::vector<std::string>>& commandLine,
    RunEnvironment& environment) {
  if (!commandLine || commandLine->empty()) return Usage(RunCause::kNoPath);

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
        if (havePath) return Usage(RunCause::kTwoPaths);
        libraryPath = argument;
        havePath = true;
    }
  }
  if (libraryPath.IsEmpty()) return Usage(RunCause::kNoPath);

  if (environment.DebugOutputEnabled()) environment.OpenDebugConsole();
  std::optional<RunOutcome> refused =
      environment.CheckLibraryFile(libraryPath, options.remove);
  KQsnSdkManager* manager = environment.CreateSdkManager();
  if (!options.skipRegistry) {
    environment.RegisterLibraryPath(libraryPath, options.perUser,
                                    options.remove);
  }
  if (options.registryOnly) {
    return RunOutcome::Of(RunCause::kDone, libraryPath.str());
  }
  if (!refused) {
    return environment.UpdateLibraryPackage(manager, libraryPath,
                                            options.remove);
  }
  if (refused->code != ExitCode::kDone) {
    DebugPrint("%s doesn't exist\n", libraryPath.Buffer());
  }
  return *refused;
}

int RunTool(DebugDestination destination) {
  RunEnvironment environment(DefaultFileSystem(), DefaultRegistry(),
                             destination);
  return static_cast<int>(RunToolWith(ReadCommandLine(), environment).code);
}

}  // namespace tavik
