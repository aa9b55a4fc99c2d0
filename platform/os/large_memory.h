// Memory for the tables of many megabytes that an update run makes and then
// reads at random (the rows of a library, the listings of its media
// folders).
//
// Where the system offers it (Linux transparent huge pages, asked for with
// madvise), such memory is backed by 2 MiB pages. A run over a million
// assets touches some hundreds of megabytes of tables; with 4 KiB pages a
// quarter of its time went to page faults and address translation misses
// on a virtual machine, where both cost most. The kernel may still give
// small pages (huge pages turned off, or none free without compacting
// memory first); that only costs the time saved. Elsewhere, and for
// blocks under kLargeMemoryThreshold, it is the ordinary heap, as it is for
// every block in sanitizer builds (TAVIK_LARGE_MEMORY_OFF), so that they
// see overflows.
#ifndef TAVIK_PLATFORM_OS_LARGE_MEMORY_H_
#define TAVIK_PLATFORM_OS_LARGE_MEMORY_H_

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace tavik {

#ifdef TAVIK_LARGE_MEMORY_OFF
constexpr size_t kLargeMemoryThreshold = std::numeric_limits<size_t>::max();
#else
constexpr size_t kLargeMemoryThreshold = size_t{2} << 20;
#endif

// `bytes` (at least 1) of zero-filled memory, or nullptr when the system
// has none. Freed only with FreeLargeMemory and the same size.
void* AllocateLargeMemory(size_t bytes);
void FreeLargeMemory(void* memory, size_t bytes);

// A standard allocator taking blocks of kLargeMemoryThreshold or more from
// AllocateLargeMemory; it throws std::bad_alloc as the standard one does.
template <typename T>
class LargeAllocator {
 public:
  using value_type = T;

  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) {}  // NOLINT: rebinding

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) {
      throw std::bad_alloc();
    }
    const size_t bytes = n * sizeof(T);
    if (bytes < kLargeMemoryThreshold) {
      return static_cast<T*>(::operator new(bytes));
    }
    void* memory = AllocateLargeMemory(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kLargeMemoryThreshold) {
      ::operator delete(memory);
    } else {
      FreeLargeMemory(memory, bytes);
    }
  }

  friend bool operator==(const LargeAllocator&, const LargeAllocator&) {
    return true;
  }
  friend bool operator!=(const LargeAllocator&, const LargeAllocator&) {
    return false;
  }
};

template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;
using LargeString =
    std::basic_string<char, std::char_traits<char>, LargeAllocator<char>>;

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_LARGE_MEMORY_H_
