// Reading and writing the package file format (docs/package-format.md).
// Internal to the library.
#ifndef TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_
#define TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/base/status.h"
#include "platform/vmp/internal/metadata_store.h"

namespace vmp {
namespace internal {

constexpr char kPackageMagic[8] = {'\x89', 'V',  'M',  'P',
                                   'K',    '\r', '\n', '\x1a'};
// Written; versions 1 and 2 are read.
constexpr uint32_t kPackageVersion = 2;
constexpr size_t kHeaderSize = 40;
constexpr size_t kGroupRecordSize = 12;
constexpr size_t kPropertyRecordSize = 12;
// Version 2: two update slots follow the header.
constexpr size_t kSlotSize = 64;
constexpr size_t kSlotCount = 2;
constexpr size_t kSlotPatchBytes = 48;
// Header and slots: enough to learn where the tables end (TablesEnd).
constexpr size_t kSlottedHeadSize = kHeaderSize + kSlotCount * kSlotSize;
// Rows 0 and 1 of a package store: the package's and the scene's root.
constexpr uint32_t kPackageRoot = 0;
constexpr uint32_t kSceneRoot = 1;

constexpr uint64_t SlotOffset(int slot) {
  return kHeaderSize + kSlotSize * static_cast<uint64_t>(slot);
}

// Bytes laid over the file's image at `offset` when it is read.
struct Patch {
  uint64_t offset = 0;
  std::string bytes;
};

// What a reader learns about the file besides its metadata.
struct FileSlots {
  uint32_t version = 0;
  // Version 2: the slot in force (0 or 1), its sequence and its patches.
  int current = -1;
  uint64_t sequence = 0;
  std::vector<Patch> patches;
};

// Where the record tables of a file starting with `head` end (and its heap
// of names and values starts), or 0 when `head` does not tell: shorter
// than a header, not a package, or of an unknown version.
uint64_t TablesEnd(std::string_view head);

// Parses a whole file, given as `head` followed by `rest`, into `store`,
// which must be empty; the file's heap (with the patches of the slot in
// force laid over it) becomes the store's heap, and the offsets of the
// scalar values its file_value_offsets. When `rest` starts exactly at the
// heap (head is the header and tables), only `rest` is kept: the tables
// are spent once the rows are made. Corrupt for anything that is not a
// well-formed package (with a message saying what), NotSupported for
// another version. On failure the store is left empty.
tavik::Status ParsePackage(std::string head, tavik::LargeString rest,
                           MetadataStore* store, FileSlots* slots);
tavik::Status ParsePackage(tavik::LargeString head, tavik::LargeString rest,
                           MetadataStore* store, FileSlots* slots);

// Reads pieces of one file: at most `max_bytes` from byte `offset` on,
// fewer only at the end of the file, none from past it.
using RangeReader = std::function<tavik::Result<tavik::LargeString>(
    uint64_t offset, uint64_t max_bytes)>;

// The record tables are read this much at a time.
constexpr size_t kTablePieceBytes = size_t{768} << 10;

// Reads a package through `read` into `store` (empty), with the answer of
// ParsePackage on the whole file: the same rows and heap, or the same
// failure. The record tables are read `table_piece_bytes` at a time (whole
// records) and turned into rows as they come, so that they are never held
// whole beside the rows they become; then the heap is read in one piece.
// Anything amiss on the way (a damaged file, or one that changed between
// the reads) is settled by reading the file again whole and parsing that,
// so a failure's message is always ParsePackage's. A failed read is
// returned as it is. On failure the store is left empty.
tavik::Status ReadPackage(const RangeReader& read, MetadataStore* store,
                          FileSlots* slots,
                          size_t table_piece_bytes = kTablePieceBytes);

// Receives the file image in pieces, in order; false stops the writing.
using ImageSink = std::function<bool(const char* data, size_t size)>;

// Produces the version 2 file image of a store whose rows 0 and 1 are the
// two roots (rows not reachable from them are not written): slot 0 in force
// with sequence 1 and no patches, slot 1 unused. The image is made twice,
// once for its checksum and once for `sink`, so that it never has to be held
// whole. `value_offsets` receives where the value of each bool, int32 and
// float64 property lies in the image. False when the sink refused a piece.
bool WritePackage(const MetadataStore& store, const ImageSink& sink,
                  std::unordered_map<uint32_t, uint64_t>* value_offsets);

// The whole image in memory (tests and small files).
std::string SerializePackage(const MetadataStore& store);

// The 64 bytes of an update slot holding `patches` under `sequence`; false
// when they do not fit (kSlotPatchBytes with 9 bytes of each patch's own).
bool EncodeSlot(uint64_t sequence, const std::vector<Patch>& patches,
                std::string* slot);

}  // namespace internal
}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_
