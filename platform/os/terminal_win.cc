#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "platform/os/terminal.h"

namespace tavik {

bool IsTerminal(std::FILE* file) {
  if (file == nullptr) return false;
  int fd = ::_fileno(file);
  if (fd < 0) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  // The NUL device is a character device too; only a console has a mode.
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

}  // namespace tavik
