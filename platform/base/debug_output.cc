#include "platform/base/debug_output.h"

#include <cstdio>
#include <cstring>

namespace tavik {

namespace {
DebugSink debug_sink = nullptr;
}  // namespace

void SetDebugSink(DebugSink sink) { debug_sink = sink; }

int FormatDebugMessage(char* buffer, size_t size, const char* format,
                       va_list args) {
  int produced = std::vsnprintf(buffer, size, format, args);
  if (produced < 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(produced) >= size) {
    return static_cast<int>(std::strlen(buffer));
  }
  return produced;
}

int DebugPrint(const char* format, ...) {
  if (!kDebugOutput) return 0;
  char buffer[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  int count = FormatDebugMessage(buffer, sizeof buffer, format, args);
  va_end(args);
  if (debug_sink != nullptr) debug_sink(buffer, static_cast<size_t>(count));
  return count;
}

}  // namespace tavik
