#include "platform/base/debug_output.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tavik {
namespace {

int Format(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatDebugMessage(buffer, size, format, args);
  va_end(args);
  return n;
}

TEST(DebugOutputTest, LongMessagesAreCutInsideTheBuffer) {
  char buffer[kMessageBufferSize + 8];
  std::memset(buffer, 'X', sizeof buffer);
  std::string path(1023, 'p');
  int n =
      Format(buffer, kMessageBufferSize, "%s doesn't exist\n", path.c_str());
  EXPECT_EQ(n, static_cast<int>(kMessageBufferSize - 1));
  EXPECT_EQ(buffer[kMessageBufferSize - 1], '\0');
  for (size_t i = kMessageBufferSize; i < sizeof buffer; ++i) {
    EXPECT_EQ(buffer[i], 'X') << "written past the buffer at " << i;
  }
  EXPECT_EQ(Format(buffer, kMessageBufferSize, "%s doesn't exist\n", "D:\\a"),
            19);
  EXPECT_STREQ(buffer, "D:\\a doesn't exist\n");
}

TEST(DebugOutputTest, ShippedBuildPrintsNothing) {
  if (kDebugOutput) GTEST_SKIP() << "diagnosis build";
  EXPECT_EQ(DebugPrint("%s doesn't exist\n", "x"), 0);
}

}  // namespace
}  // namespace tavik
