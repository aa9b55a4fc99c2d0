// Starting a program as a separate process for the end-to-end tests: the
// built Tavik directly, or a Windows build of it through wine.
#ifndef TAVIK_TESTS_WINE_PROCESS_H_
#define TAVIK_TESTS_WINE_PROCESS_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace tavik_test {

struct ProcessResult {
  // The exit status; -1 when the program could not be started or was ended
  // by a signal.
  int exit_code = -1;
  std::string output;  // standard output and standard error, interleaved
};

// Runs `argv` (argv[0] is looked up in PATH) with exactly these arguments,
// no shell between, with the environment of this process changed by
// `env_changes` (an empty value removes the variable). Standard input is
// /dev/null; the output is collected through `output_file`, which is
// overwritten. Waits for the program to end.
inline ProcessResult RunProcess(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::string>& env_changes,
    const std::string& output_file) {
  ProcessResult result;
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (env_changes.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env_changes) {
    if (!value.empty()) env_strings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int rc =
      posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::ifstream in(output_file, std::ios::binary);
  result.output.assign(std::istreambuf_iterator<char>(in), {});
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_WINE_PROCESS_H_
