// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of a
// package file. Check value: Crc32c("123456789") == 0xE3069283.
#ifndef TAVIK_PLATFORM_VMP_INTERNAL_CRC32C_H_
#define TAVIK_PLATFORM_VMP_INTERNAL_CRC32C_H_

#include <cstddef>
#include <cstdint>

namespace vmp {

// Continues `crc` (the result of an earlier call, 0 to start) over `size`
// more bytes, so a checksum can be taken over several pieces.
uint32_t Crc32cExtend(uint32_t crc, const void* data, size_t size);

inline uint32_t Crc32c(const void* data, size_t size) {
  return Crc32cExtend(0, data, size);
}

// The table-driven form, for every processor; Crc32cExtend uses the
// processor's CRC instruction when there is one. Exposed for tests.
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size);

}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_INTERNAL_CRC32C_H_
