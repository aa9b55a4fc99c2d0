// Starting programs as separate processes for the end-to-end tests (POSIX):
// an explicit argument vector (argv[0] looked up in PATH when it holds no
// "/"), no shell between, and this process's environment with a few
// variables replaced, added or removed.
#ifndef TAVIK_TESTS_PROCESS_UTIL_H_
#define TAVIK_TESTS_PROCESS_UTIL_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

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
  std::string out;  // standard output, with standard error when merged
  std::string err;  // standard error when kept apart
};

// Where a started process's standard streams go; an empty path inherits.
struct Redirects {
  std::string input;
  std::string output;
  std::string error;         // ignored when `merge_error`
  bool merge_error = false;  // standard error to the standard output's file
};

// Starts argv with exactly these arguments. Each entry of `extra_env` is
// "NAME=value", replacing the variable NAME of this process's environment or
// adding it, or "NAME" alone, removing it. Returns the child's process id,
// or -1 when it could not be started.
inline pid_t StartProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extra_env,
                          const Redirects& redirects = Redirects()) {
  if (argv.empty()) return -1;
  auto name_of = [](const std::string& entry) {
    return entry.substr(0, entry.find('='));
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const std::string& extra : extra_env) {
      if (name_of(extra) == name_of(entry)) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& extra : extra_env) {
    if (extra.find('=') != std::string::npos) env.push_back(extra);
  }

  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(&a[0]);
  argp.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!redirects.input.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, redirects.input.c_str(),
                                     O_RDONLY, 0);
  }
  if (!redirects.output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, redirects.output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  if (redirects.merge_error) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (!redirects.error.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, redirects.error.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(),
                          envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits for a process started by StartProcess. Returns its exit status, or
// -1 when it was ended by a signal or cannot be waited for (pid -1
// included).
inline int WaitProcess(pid_t pid) {
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// StartProcess and WaitProcess in one: the exit status, or -1.
inline int RunProcess(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extra_env) {
  return WaitProcess(StartProcess(argv, extra_env));
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `program` with `arguments`, `input` as its standard input and its
// standard output and error captured apart. `scratch` is a folder for the
// redirection files.
inline ProcessResult RunCaptured(
    const std::string& program, const std::vector<std::string>& arguments,
    const std::string& input, const std::string& scratch,
    const std::vector<std::string>& extra_env = {}) {
  Redirects redirects;
  redirects.input = scratch + "/.stdin";
  redirects.output = scratch + "/.stdout";
  redirects.error = scratch + "/.stderr";
  std::ofstream(redirects.input, std::ios::binary | std::ios::trunc) << input;
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ProcessResult result;
  result.exit_code = WaitProcess(StartProcess(argv, extra_env, redirects));
  result.out = ReadWholeFile(redirects.output);
  result.err = ReadWholeFile(redirects.error);
  return result;
}

// Runs argv with standard input from /dev/null and standard output and error
// interleaved in `out`, collected through `output_file` (overwritten). In
// `env_changes` an empty value removes the variable.
inline ProcessResult RunProcess(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::string>& env_changes,
    const std::string& output_file) {
  std::vector<std::string> extra_env;
  for (const auto& [name, value] : env_changes) {
    extra_env.push_back(value.empty() ? name : name + "=" + value);
  }
  Redirects redirects;
  redirects.input = "/dev/null";
  redirects.output = output_file;
  redirects.merge_error = true;
  ProcessResult result;
  result.exit_code = WaitProcess(StartProcess(argv, extra_env, redirects));
  result.out = ReadWholeFile(output_file);
  return result;
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_PROCESS_UTIL_H_
