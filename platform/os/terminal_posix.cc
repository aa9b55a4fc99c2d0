#include <stdio.h>
#include <unistd.h>

#include "platform/os/terminal.h"

namespace tavik {

bool IsTerminal(std::FILE* file) {
  if (file == nullptr) return false;
  int fd = ::fileno(file);
  return fd >= 0 && ::isatty(fd) == 1;
}

}  // namespace tavik
