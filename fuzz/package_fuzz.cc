// Library files come from disk and may be anything: parsing must refuse
// what is not a package without crashing, and what it accepts must write
// back to a file that parses to the same image. Each input is tried as it
// is and, so that mutations reach the tables behind the header, once more
// with its size field and checksum made right.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/vmp/internal/crc32c.h"
#include "platform/vmp/internal/metadata_store.h"
#include "platform/vmp/internal/package_format.h"

namespace {

void PutLittleEndian(std::string* bytes, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) {
    (*bytes)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

void CheckRoundTrip(const std::string& bytes) {
  using vmp::internal::MetadataStore;
  MetadataStore store;
  vmp::internal::FileSlots slots;
  const tavik::Status whole =
      vmp::internal::ParsePackage(bytes, tavik::LargeString(), &store, &slots);
  // Read in pieces of a few records, as a library is opened: the same
  // answer, refusal and message included.
  MetadataStore pieces;
  vmp::internal::FileSlots piece_slots;
  const tavik::Status read = vmp::internal::ReadPackage(
      [&bytes](uint64_t offset, uint64_t max_bytes) {
        if (offset >= bytes.size()) return tavik::LargeString();
        const uint64_t n = std::min<uint64_t>(max_bytes, bytes.size() - offset);
        return tavik::LargeString(bytes.data() + offset, n);
      },
      &pieces, &piece_slots, 36);
  if (read.code() != whole.code() || read.message() != whole.message()) {
    std::abort();
  }
  if (!whole.ok()) return;
  std::string image = vmp::internal::SerializePackage(store);
  if (vmp::internal::SerializePackage(pieces) != image) std::abort();
  // Read in two pieces, cut where the heap starts, as an update run reads
  // it: the same package.
  const uint64_t cut = vmp::internal::TablesEnd(bytes);
  if (cut > 0 && cut < bytes.size()) {
    MetadataStore split;
    if (!vmp::internal::ParsePackage(
             bytes.substr(0, cut),
             tavik::LargeString(bytes.data() + cut, bytes.size() - cut), &split,
             &slots)
             .ok() ||
        vmp::internal::SerializePackage(split) != image) {
      std::abort();
    }
  }
  MetadataStore again;
  if (!vmp::internal::ParsePackage(image, tavik::LargeString(), &again, &slots)
           .ok()) {
    std::abort();
  }
  if (vmp::internal::SerializePackage(again) != image) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip(bytes);
  if (bytes.size() >= vmp::internal::kHeaderSize) {
    PutLittleEndian(&bytes, 16, bytes.size(), 8);
    // Version 2 leaves its update slots out of the checksum.
    size_t body = bytes[8] == 2 ? vmp::internal::SlotOffset(2) : 36;
    if (body > bytes.size()) body = bytes.size();
    uint32_t crc = vmp::Crc32cExtend(0, bytes.data(), 32);
    if (body > 36) crc = vmp::Crc32cExtend(crc, bytes.data() + 36, 4);
    crc = vmp::Crc32cExtend(crc, bytes.data() + body, bytes.size() - body);
    PutLittleEndian(&bytes, 32, crc, 4);
    CheckRoundTrip(bytes);
  }
  return 0;
}
