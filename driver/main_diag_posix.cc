#include "driver/run_tool.h"

// Tavik-diag: the same run with the debug-output switch on (it links
// debug_switch_on.cc) and its messages on standard error.
int main() { return tavik::RunTool(tavik::DebugDestination::kStandardError); }
