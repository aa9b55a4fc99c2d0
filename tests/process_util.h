// Starting programs as separate processes for the end-to-end tests (POSIX):
// an explicit argument vector, no shell between, and an environment that is
// this process's own with a few variables replaced or added.
#ifndef TAVIK_TESTS_PROCESS_UTIL_H_
#define TAVIK_TESTS_PROCESS_UTIL_H_

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace tavik_test {

// Starts argv[0] (looked up in PATH when it holds no "/") with exactly the
// arguments `argv`. Each entry of `extra_env` is "NAME=value" and replaces
// the variable NAME of this process's environment or adds it; "NAME" alone
// removes it. Standard streams are inherited. Returns the child's process
// id, or -1 when it could not be started.
inline pid_t StartProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extra_env) {
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

  pid_t pid = -1;
  if (::posix_spawnp(&pid, argp[0], nullptr, nullptr, argp.data(),
                     envp.data()) != 0) {
    return -1;
  }
  return pid;
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

}  // namespace tavik_test

#endif  // TAVIK_TESTS_PROCESS_UTIL_H_
