#include "driver/run_tool.h"

// The tool reads its own command line; nothing is taken from here.
int main() { return tavik::RunTool(); }
