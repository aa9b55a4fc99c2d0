#include <unistd.h>

#include <cerrno>

#include "platform/os/console.h"

namespace tavik {

ConsoleHandle OpenConsole(const char*, int, int) {
  return static_cast<ConsoleHandle>(STDERR_FILENO) + 1;
}

void WriteConsoleText(ConsoleHandle handle, const char* text, size_t size) {
  if (handle == 0) return;
  int fd = static_cast<int>(handle - 1);
  while (size > 0) {
    ssize_t n = ::write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteStandardError(const char* text, size_t size) {
  WriteConsoleText(static_cast<ConsoleHandle>(STDERR_FILENO) + 1, text, size);
}

}  // namespace tavik
