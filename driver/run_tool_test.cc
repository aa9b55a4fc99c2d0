#include "driver/run_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os/memory_file_system.h"

namespace tavik {
namespace {

// Records the steps of a run in the order they happen.
class RecordingEnvironment : public RunEnvironment {
 public:
  // No step reaches the file system or the registry: every one is recorded.
  RecordingEnvironment() : RunEnvironment(nullptr, nullptr) {}

  bool file_exists = true;
  RunCause update_result = RunCause::kDone;
  std::vector<std::string> steps;

  bool DebugOutputEnabled() override { return false; }
  std::optional<RunOutcome> CheckLibraryFile(const KString& path,
                                             bool remove) override {
    steps.push_back("exists " + path.str());
    if (file_exists) return std::nullopt;
    return RunOutcome::Of(RunCause::kLibraryMissing, path.str(), {}, remove);
  }
  KQsnSdkManager* CreateSdkManager() override {
    steps.push_back("manager");
    return &manager_;
  }
  void RegisterLibraryPath(const KString& path, bool perUser,
                           bool remove) override {
    steps.push_back(std::string(remove ? "remove " : "add ") +
                    (perUser ? "user " : "machine ") + path.str());
  }
  RunOutcome UpdateLibraryPackage(KQsnSdkManager* manager, const KString& path,
                                  bool remove) override {
    EXPECT_EQ(manager, &manager_);
    steps.push_back(std::string(remove ? "prune " : "update ") + path.str());
    return RunOutcome::Of(update_result, path.str());
  }

 private:
  MemoryFileSystem files_;  // the manager's; never asked here
  KQsnSdkManager manager_{&files_};
};

using Steps = std::vector<std::string>;

TEST(RunToolTest, SwitchesAndExitCodes) {
  struct Case {
    std::vector<std::string> arguments;  // after the program's name
    bool file_exists;
    int code;
    Steps steps;
  } cases[] = {
      {{}, true, 3, {}},
      {{"-r"}, true, 3, {}},
      {{"-r", "-u", "-l", "-k", "-d"}, true, 3, {}},
      {{""}, true, 3, {}},
      {{"", "L"}, true, 1, {}},
      {{"L", "-r", "M"}, true, 1, {}},
      {{"L", "-x"}, true, 1, {}},
      {{"-x"},
       true,
       0,
       {"exists -x", "manager", "add machine -x", "update -x"}},
      {{"L"}, true, 0, {"exists L", "manager", "add machine L", "update L"}},
      {{"-R", "L", "-U"},
       true,
       0,
       {"exists L", "manager", "remove user L", "prune L"}},
      {{"L", "-r", "-r"},
       true,
       0,
       {"exists L", "manager", "remove machine L", "prune L"}},
      {{"L", "-l"}, true, 0, {"exists L", "manager", "update L"}},
      {{"-K", "L"}, true, 0, {"exists L", "manager", "add machine L"}},
      {{"-k", "-l", "L"}, false, 0, {"exists L", "manager"}},
      {{"L"}, false, 2, {"exists L", "manager", "add machine L"}},
      {{"L", "-r"}, false, 0, {"exists L", "manager", "remove machine L"}},
      {{"L", "-d", "-D"}, false, 2, {"exists L", "manager", "add machine L"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> command_line = {"Tavik.exe"};
    command_line.insert(command_line.end(), c.arguments.begin(),
                        c.arguments.end());
    RecordingEnvironment environment;
    environment.file_exists = c.file_exists;
    std::string label;
    for (const auto& a : c.arguments) label += "[" + a + "]";
    EXPECT_EQ(static_cast<int>(RunToolWith(command_line, environment).code),
              c.code)
        << label;
    EXPECT_EQ(environment.steps, c.steps) << label;
  }
}

TEST(RunToolTest, UnreadableCommandLineIsUsageError) {
  RecordingEnvironment environment;
  EXPECT_EQ(RunToolWith(std::nullopt, environment).cause, RunCause::kNoPath);
  EXPECT_EQ(RunToolWith(std::vector<std::string>{}, environment).code,
            ExitCode::kNoPath);
  EXPECT_TRUE(environment.steps.empty());
}

TEST(RunToolTest, ReturnsWhatTheUpdateRunReturns) {
  for (RunCause result : {RunCause::kDone, RunCause::kMediaMissing,
                          RunCause::kUnreadable, RunCause::kNotSaved}) {
    RecordingEnvironment environment;
    environment.update_result = result;
    RunOutcome outcome =
        RunToolWith(std::vector<std::string>{"T", "L"}, environment);
    EXPECT_EQ(outcome.cause, result);
    EXPECT_EQ(outcome.code, RunOutcome::Of(result, "L").code);
  }
}

TEST(RunToolTest, UsageTextIsExact) {
  EXPECT_STREQ(kUsageText,
               "please pass the path to the system library in argument: "
               "Tavik.exe \"c:\\blah\\lib.vlmrlib\"\nOptions:\n\t-r to remove "
               "the path from the registry\n\t-u to use the user registery "
               "instead of system.\n");
}

}  // namespace
}  // namespace tavik
