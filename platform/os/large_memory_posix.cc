#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/os/large_memory.h"

namespace tavik {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

size_t MappedLength(size_t bytes) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* AllocateLargeMemory(size_t bytes) {
  const size_t length = MappedLength(bytes);
  if (length < bytes || length + kHugePage < length) return nullptr;
  // Mapped with room to start on a huge page boundary, the rest given back:
  // only whole aligned 2 MiB ranges can be huge pages.
  const size_t span = length + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t at = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (at + kHugePage - 1) & ~(kHugePage - 1);
  if (start > at) ::munmap(raw, start - at);
  const size_t tail = span - (start - at) - length;
  if (tail > 0) ::munmap(reinterpret_cast<char*>(start) + length, tail);
  void* memory = reinterpret_cast<void*>(start);
  // A hint only: refused where huge pages are off, which changes nothing.
  ::madvise(memory, length, MADV_HUGEPAGE);
  return memory;
}

void FreeLargeMemory(void* memory, size_t bytes) {
  if (memory != nullptr) ::munmap(memory, MappedLength(bytes));
}

}  // namespace tavik
