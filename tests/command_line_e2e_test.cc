// Runs the built Tavik as a separate process with awkward command lines and
// checks the exit codes. The registry store is pointed at a scratch folder
// so these runs never touch a real one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

class CommandLineE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavik_cmdline_XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Exit code of Tavik run with exactly these arguments (no shell between).
  int Run(const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> env_strings = {"TAVIK_REGISTRY_ROOT=" + dir_ +
                                            "/registry"};
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("TAVIK_REGISTRY_ROOT=", 0) != 0) {
        env_strings.push_back(*e);
      }
    }
    std::vector<char*> argv = {const_cast<char*>(TAVIK_EXE)};
    for (const auto& a : arguments)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string out_path = dir_ + "/output";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid;
    int rc = posix_spawn(&pid, TAVIK_EXE, &actions, nullptr, argv.data(),
                         envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(out_path);
    output->assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string dir_;
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
