#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/os/command_line.h"
#include "tools/vmpkg.h"

int main(int, char**) {
  // The process's own command line, so that on Windows paths arrive as
  // UTF-8 from the wide command line rather than in the ANSI code page.
  std::optional<std::vector<std::string>> arguments = tavik::ReadCommandLine();
  if (!arguments) {
    std::fprintf(stderr,
                 "vmpkg: the command line is not valid text or an argument "
                 "is too long\n");
    return vmpkg::kExitUsage;
  }
  arguments->erase(arguments->begin());
  return vmpkg::Run(*arguments, stdin, stdout, stderr);
}
