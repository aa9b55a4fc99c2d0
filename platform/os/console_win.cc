#include <windows.h>

#include "platform/os/console.h"

namespace tavik {

ConsoleHandle OpenConsole(const char* title, int columns, int rows) {
  ::AllocConsole();
  ::SetConsoleTitleA(title);
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  COORD size;
  size.X = static_cast<SHORT>(columns);
  size.Y = static_cast<SHORT>(rows);
  ::SetConsoleScreenBufferSize(out, size);
  if (out == INVALID_HANDLE_VALUE) return 0;
  return reinterpret_cast<ConsoleHandle>(out);
}

void WriteConsoleText(ConsoleHandle handle, const char* text, size_t size) {
  if (handle == 0) return;
  DWORD written = 0;
  ::WriteConsoleA(reinterpret_cast<HANDLE>(handle), text,
                  static_cast<DWORD>(size), &written, nullptr);
}

void WriteStandardError(const char* text, size_t size) {
  // WriteFile, not WriteConsoleA: standard error is often a file or a pipe.
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    DWORD written = 0;
    if (!::WriteFile(err, text, static_cast<DWORD>(size), &written, nullptr) ||
        written == 0) {
      return;
    }
    text += written;
    size -= written;
  }
}

}  // namespace tavik
