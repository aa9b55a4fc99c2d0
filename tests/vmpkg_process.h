// Runs vmpkg for the end-to-end tests (POSIX): explicit argument vector, no
// shell, standard input from a string, standard output and error captured.
#ifndef TAVIK_TESTS_VMPKG_PROCESS_H_
#define TAVIK_TESTS_VMPKG_PROCESS_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace tavik_test {

struct ProcessResult {
  int exit_code = -1;  // -1: not started, or ended by a signal
  std::string out;
  std::string err;
};

// `scratch` is a folder for the redirection files.
inline ProcessResult RunCaptured(const std::string& program,
                                 const std::vector<std::string>& arguments,
                                 const std::string& input,
                                 const std::string& scratch) {
  ProcessResult result;
  const std::string in_path = scratch + "/.stdin";
  const std::string out_path = scratch + "/.stdout";
  const std::string err_path = scratch + "/.stderr";
  {
    std::ofstream in(in_path, std::ios::binary | std::ios::trunc);
    in << input;
  }
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(),
                       environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  }
  auto slurp = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  unlink(in_path.c_str());
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_VMPKG_PROCESS_H_
