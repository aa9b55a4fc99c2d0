// Memory for the library's handle objects (group, property and iterator
// handles and their counters). A run visits millions of groups and
// properties, each through a handle made and dropped at once; the handles'
// memory is recycled through free lists of a few fixed sizes instead of
// going through malloc and free each time.
#ifndef TAVIK_PLATFORM_VMP_INTERNAL_HANDLE_POOL_H_
#define TAVIK_PLATFORM_VMP_INTERNAL_HANDLE_POOL_H_

#include <cstddef>

namespace vmp {
namespace internal {

// `size` bytes aligned for any handle object; never null (throws
// std::bad_alloc as operator new does). Sizes above kMaxPooledSize go
// straight to operator new, and so does everything in sanitizer builds
// (TAVIK_HANDLE_POOL_OFF), where reused memory would hide a use after free.
void* AllocateHandle(std::size_t size);
// Gives back memory from AllocateHandle(size), from any thread. The pool
// keeps at most a bounded number of free blocks of each size; the rest go
// back to operator delete.
void FreeHandle(void* memory, std::size_t size) noexcept;

constexpr std::size_t kMaxPooledSize = 128;

// A base that routes a class's new and delete through the pool. The sized
// delete receives the size of the object's own (most derived) class.
class PooledHandle {
 public:
  static void* operator new(std::size_t size) { return AllocateHandle(size); }
  static void operator delete(void* memory, std::size_t size) noexcept {
    FreeHandle(memory, size);
  }
};

}  // namespace internal
}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_INTERNAL_HANDLE_POOL_H_
