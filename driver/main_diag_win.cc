#include "driver/run_tool.h"

// Tavik-diag: a console program (the one difference from Tavik besides the
// switch), so that its messages on standard error reach a terminal or a
// redirection. RunTool reads the wide command line itself; the arguments
// handed here are not used.
extern "C" int wmain(int, wchar_t**) {
  return tavik::RunTool(tavik::DebugDestination::kStandardError);
}
