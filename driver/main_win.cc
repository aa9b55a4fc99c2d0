#include <windows.h>

#include "driver/run_tool.h"

// A GUI-subsystem program that never opens a window: the entry takes nothing
// from the start-up code, and RunTool reads the command line itself.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return tavik::RunTool();
}
