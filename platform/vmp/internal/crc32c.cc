#include "platform/vmp/internal/crc32c.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define TAVIK_CRC32C_SSE42 1
#endif

namespace vmp {

namespace {

// Slicing by 8: table[k][b] is the CRC of byte b followed by k zero bytes.
struct Tables {
  uint32_t t[8][256];
  Tables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t crc = b;
      for (int i = 0; i < 8; ++i)
        crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1)));
      t[0][b] = crc;
    }
    for (uint32_t b = 0; b < 256; ++b) {
      for (int k = 1; k < 8; ++k) {
        t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
      }
    }
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) {
  const Tables& tables = GetTables();
  const auto& t = tables.t;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t c = ~crc;
  while (size >= 8) {
    // Bytes combined explicitly, so the result does not depend on the
    // host's byte order.
    uint32_t lo = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 |
                       uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^
        t[4][lo >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

namespace {

#ifdef TAVIK_CRC32C_SSE42
// The SSE 4.2 instruction computes exactly this CRC, several times faster
// than the tables; it is used only when the processor has it.
__attribute__((target("sse4.2"))) uint32_t Crc32cSse42(uint32_t crc,
                                                       const void* data,
                                                       size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  uint64_t c = ~crc;
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
    p += 8;
    size -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
#else
  uint32_t c32 = ~crc;
  while (size >= 4) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    c32 = _mm_crc32_u32(c32, word);
    p += 4;
    size -= 4;
  }
#endif
  while (size-- > 0) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}

bool HasSse42() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32cExtend(uint32_t crc, const void* data, size_t size) {
#ifdef TAVIK_CRC32C_SSE42
  if (HasSse42()) return Crc32cSse42(crc, data, size);
#endif
  return Crc32cPortable(crc, data, size);
}

}  // namespace vmp
