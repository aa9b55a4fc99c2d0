// Runs the built Tavik as a separate process with awkward command lines and
// checks the exit codes. The registry store is pointed at a scratch folder
// so these runs never touch a real one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "tests/process_util.h"

namespace {

class CommandLineE2eTest : public ::testing::Test {
 protected:
  // Exit code of Tavik run with exactly these arguments (no shell between).
  int Run(const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> argv = {TAVIK_EXE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    tavik_test::ProcessResult result = tavik_test::RunProcess(
        argv, {{"TAVIK_REGISTRY_ROOT", dir_ + "/registry"}}, dir_ + "/output");
    *output = result.out;
    return result.exit_code;
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_cmdline"};
  std::string dir_ = scratch_.path();
};

TEST_F(CommandLineE2eTest, ExitCodesForAwkwardCommandLines) {
  std::string lib = dir_ + "/lib \"quoted\" \\ \xc3\xa9.vlmrlib";
  std::string missing = dir_ + "/missing dir/lib.vlmrlib";
  std::ofstream(lib) << "x";
  std::string long_path(1023, 'a');
  struct Case {
    std::vector<std::string> arguments;
    int code;
  } cases[] = {
      {{}, 3},
      {{"-r", "-U"}, 3},
      {{""}, 3},
      {{"", lib}, 1},
      {{missing, "-k", "-l", "x"}, 1},
      {{missing, "-x"}, 1},
      {{missing}, 2},
      {{"-R", missing}, 0},
      {{missing, "-K", "-L"}, 0},
      {{lib, "-k", "-l"}, 0},
      {{"-d", missing, "-D"}, 2},
      {{long_path}, 2},                       // 1023 bytes and the zero fit
      {{long_path + "a"}, 3},                 // 1024 bytes do not
      {{"-k", "-l", "\xff\xfe.vlmrlib"}, 3},  // not UTF-8
      {{"a\\\"b c\\\\", "-k", "-l"}, 0},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& a : c.arguments) label += "[" + a + "]";
    std::string output;
    EXPECT_EQ(Run(c.arguments, &output), c.code) << label;
    EXPECT_EQ(output, "") << "the tool writes nothing: " << label;
  }
}

}  // namespace
