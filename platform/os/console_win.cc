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

}  // namespace tavik
