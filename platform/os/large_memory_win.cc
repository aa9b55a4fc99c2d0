#include <windows.h>

#include "platform/os/large_memory.h"

namespace tavik {

// Large pages on Windows need a privilege users seldom hold; plain
// committed memory, zero-filled as the contract says.
void* AllocateLargeMemory(size_t bytes) {
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT,
                        PAGE_READWRITE);
}

void FreeLargeMemory(void* memory, size_t /*bytes*/) {
  if (memory != nullptr) ::VirtualFree(memory, 0, MEM_RELEASE);
}

}  // namespace tavik
