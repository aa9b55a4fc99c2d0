#include "platform/os/large_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tavik {
namespace {

// Sizes around the threshold and past whole huge pages: each block comes
// zero-filled, holds all its bytes, and a container growing across the
// threshold keeps what it held.
TEST(LargeMemoryTest, BlocksAreWholeAndZeroFilledAndContainersGrowAcross) {
  const size_t kHuge = size_t{2} << 20;  // the threshold, where it is used
  const size_t sizes[] = {1, kHuge - 1, kHuge, 3 * kHuge + 4097};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    char* block = static_cast<char*>(AllocateLargeMemory(size));
    ASSERT_NE(block, nullptr);
    size_t nonzero = 0;
    for (size_t i = 0; i < size; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>(i);
    EXPECT_EQ(block[size - 1], static_cast<char>(size - 1));
    FreeLargeMemory(block, size);
  }
  LargeVector<uint64_t> numbers;
  LargeString text;
  for (uint64_t i = 0; i < 3 * kHuge / sizeof(uint64_t); ++i) {
    numbers.push_back(i);
    text.push_back(static_cast<char>('a' + i % 26));
  }
  for (uint64_t i = 0; i < numbers.size(); i += 4099) {
    ASSERT_EQ(numbers[i], i);
    ASSERT_EQ(text[i], static_cast<char>('a' + i % 26));
  }
}

}  // namespace
}  // namespace tavik
