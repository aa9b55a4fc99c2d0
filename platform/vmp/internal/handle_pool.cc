#include "platform/vmp/internal/handle_pool.h"

#include <new>

namespace vmp {
namespace internal {

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = kMaxPooledSize / kGranule;
constexpr std::size_t kMaxFreePerClass = 4096;

struct FreeBlock {
  FreeBlock* next;
};

struct FreeLists {
  FreeBlock* head[kClasses] = {};
  std::size_t count[kClasses] = {};
  ~FreeLists() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (FreeBlock* block = head[c]) {
        head[c] = block->next;
        ::operator delete(block);
      }
    }
  }
};

FreeLists& Lists() {
  thread_local FreeLists lists;
  return lists;
}

std::size_t ClassOf(std::size_t size) {
  return (size + kGranule - 1) / kGranule - 1;
}

}  // namespace

void* AllocateHandle(std::size_t size) {
  if (size == 0 || size > kMaxPooledSize) return ::operator new(size);
  std::size_t c = ClassOf(size);
  FreeLists& lists = Lists();
  if (FreeBlock* block = lists.head[c]) {
    lists.head[c] = block->next;
    --lists.count[c];
    return block;
  }
  return ::operator new((c + 1) * kGranule);
}

void FreeHandle(void* memory, std::size_t size) noexcept {
  if (memory == nullptr) return;
  if (size == 0 || size > kMaxPooledSize) {
    ::operator delete(memory);
    return;
  }
  std::size_t c = ClassOf(size);
  FreeLists& lists = Lists();
  if (lists.count[c] >= kMaxFreePerClass) {
    ::operator delete(memory);
    return;
  }
  FreeBlock* block = static_cast<FreeBlock*>(memory);
  block->next = lists.head[c];
  lists.head[c] = block;
  ++lists.count[c];
}

}  // namespace internal
}  // namespace vmp
