#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/command_line.h"

namespace tavik {

std::optional<std::vector<std::string>> ReadCommandLine() {
  int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  std::vector<std::string> arguments = SplitNulSeparated(contents);
  if (arguments.empty()) return std::nullopt;
  return CheckArguments(std::move(arguments));
}

}  // namespace tavik
