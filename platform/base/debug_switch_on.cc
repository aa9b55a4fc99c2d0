// The debug-output switch of a diagnosis executable (Tavik-diag): on. Linked
// as an object ahead of the libraries, it replaces debug_switch.cc.
#include "platform/base/debug_output.h"

namespace tavik {

const bool kDebugOutput = true;

}  // namespace tavik
