// The debug-output switch of every executable that does not choose its own
// (see debug_output.h). This file must define nothing else: an executable
// that links debug_switch_on.cc never pulls it from the library.
#include "platform/base/debug_output.h"

namespace tavik {

#ifdef TAVIK_DEBUG_OUTPUT
const bool kDebugOutput = true;
#else
const bool kDebugOutput = false;
#endif

}  // namespace tavik
