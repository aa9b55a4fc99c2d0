#include "platform/vmp/internal/handle_pool.h"

#include <atomic>
#include <new>
#include <thread>

namespace vmp {
namespace internal {

namespace {

#ifdef TAVIK_HANDLE_POOL_OFF
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = kMaxPooledSize / kGranule;
constexpr std::size_t kMaxFreePerClass = 4096;

struct FreeBlock {
  FreeBlock* next;
};

// One pool for the process, behind a spin lock that a single-threaded run
// always finds free. No per-thread state: a thread's exit then has nothing
// to clean up (thread-local objects with destructors have hung thread exit
// on one toolchain), and blocks stay reachable from here, never lost.
struct Pool {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  FreeBlock* head[kClasses] = {};
  std::size_t count[kClasses] = {};
};

Pool pool;

class PoolLock {
 public:
  PoolLock() {
    while (pool.busy.test_and_set(std::memory_order_acquire)) {
      std::this_thread::yield();
    }
  }
  ~PoolLock() { pool.busy.clear(std::memory_order_release); }
};

std::size_t ClassOf(std::size_t size) {
  return (size + kGranule - 1) / kGranule - 1;
}

}  // namespace

void* AllocateHandle(std::size_t size) {
  if (!kPooled || size == 0 || size > kMaxPooledSize) {
    return ::operator new(size);
  }
  std::size_t c = ClassOf(size);
  {
    PoolLock lock;
    if (FreeBlock* block = pool.head[c]) {
      pool.head[c] = block->next;
      --pool.count[c];
      return block;
    }
  }
  return ::operator new((c + 1) * kGranule);
}

void FreeHandle(void* memory, std::size_t size) noexcept {
  if (memory == nullptr) return;
  if (!kPooled || size == 0 || size > kMaxPooledSize) {
    ::operator delete(memory);
    return;
  }
  std::size_t c = ClassOf(size);
  {
    PoolLock lock;
    if (pool.count[c] < kMaxFreePerClass) {
      FreeBlock* block = static_cast<FreeBlock*>(memory);
      block->next = pool.head[c];
      pool.head[c] = block;
      ++pool.count[c];
      return;
    }
  }
  ::operator delete(memory);
}

}  // namespace internal
}  // namespace vmp
