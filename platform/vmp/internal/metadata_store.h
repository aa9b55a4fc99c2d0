// The in-memory form of a package's metadata, shared by every handle into
// it. Internal to the library: callers use the interfaces of metadata.h.
//
// All names and values live in one byte heap in their file encoding
// (UTF-16LE names, little-endian elements), so a package opened from a file
// uses the file's bytes where they lie: a value is rewritten in place while
// it does not grow, and only a grown or new value takes new heap space.
// Groups and properties are rows of two tables; a group's children and
// properties are a contiguous run of rows (as in the file) until something
// is added, then an explicit list.
#ifndef TAVIK_PLATFORM_VMP_INTERNAL_METADATA_STORE_H_
#define TAVIK_PLATFORM_VMP_INTERNAL_METADATA_STORE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/os/large_memory.h"
#include "platform/vmp/metadata.h"

namespace vmp {
namespace internal {

constexpr uint32_t kNoIndex = 0xFFFFFFFF;
// Rows and elements are counted in 32 bits, in memory as in the file.
constexpr uint64_t kMaxCount = 0xFFFFFFFE;

// The bytes of names and values, addressed by 64-bit offsets: the file's
// heap as read (the base, never resized; offsets count from the heap's
// start, not the file's), then space taken afterwards in blocks of whole
// 1 MiB pages, so that growing never copies what is already there. Blocks
// grow with the heap (an eighth of it; large memory once big enough), so a
// run that grows every value of a big library takes few blocks and faults
// in few pages, while a small one wastes at most a page. Offsets stay valid
// for the heap's lifetime.
class Heap {
 public:
  Heap() = default;
  ~Heap();
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  // Makes `bytes` from `skip` on the base; only on an empty heap.
  void SetBase(std::string bytes, uint64_t skip);
  void SetBase(tavik::LargeString bytes, uint64_t skip);
  // `size` zero bytes, contiguous; their offset.
  uint64_t Allocate(uint64_t size);
  const char* at(uint64_t offset) const {
    if (offset < base_size_) return base_start_ + offset;
    uint64_t rest = offset - base_size_;
    // An empty range may start where nothing was allocated yet.
    if ((rest >> kPageBits) >= pages_.size()) return base_start_;
    return pages_[rest >> kPageBits] + (rest & (kPageSize - 1));
  }
  char* at(uint64_t offset) {
    return const_cast<char*>(static_cast<const Heap*>(this)->at(offset));
  }

 private:
  static constexpr int kPageBits = 20;
  static constexpr uint64_t kPageSize = uint64_t{1} << kPageBits;

  std::string base_;
  tavik::LargeString large_base_;
  const char* base_start_ = base_.data();
  uint64_t base_size_ = 0;
  struct Block {
    char* data;
    size_t size;
  };
  std::vector<Block> blocks_;
  // Start of each page of the allocated space; a block larger than a page
  // fills several entries.
  std::vector<char*> pages_;
  uint64_t next_ = 0;        // offset of the first free byte of the last block
  uint64_t block_left_ = 0;  // free bytes from there
};

// Groups are most of a library's rows (three for each asset), so their row
// is kept to 24 bytes: the name's place and length share one word, and the
// explicit lists of a group that had rows added live beside the table.
struct GroupRow {
  // Name: heap offset in bits 0-39 (a heap of 1 TiB, far beyond any that
  // fits in memory) and length in UTF-16 units in bits 40-63; a length of
  // kLongName or more is kLongName here and whole in long_name_lengths.
  uint64_t name = 0;
  uint32_t first_child = 0;
  uint32_t child_count = 0;
  uint32_t first_property = 0;
  uint32_t property_count = 0;
};

constexpr uint64_t kNameOffsetLimit = uint64_t{1} << 40;
constexpr uint32_t kLongName = 0xFFFFFF;

// A property's row, kept to 24 bytes as a group's is: its two heap offsets
// (below kNameOffsetLimit, which no heap held in memory reaches; Heap
// refuses to grow past it) are split in a low word and a high byte, so the
// row needs no 8-byte alignment.
struct PropertyRow {
  uint64_t name_offset() const { return name_low | uint64_t{name_high} << 32; }
  uint64_t value_offset() const {
    return value_low | uint64_t{value_high} << 32;
  }
  void set_name_offset(uint64_t offset) {
    name_low = static_cast<uint32_t>(offset);
    name_high = static_cast<uint8_t>(offset >> 32);
  }
  void set_value_offset(uint64_t offset) {
    value_low = static_cast<uint32_t>(offset);
    value_high = static_cast<uint8_t>(offset >> 32);
  }

  uint32_t name_low = 0;
  uint32_t value_low = 0;
  uint32_t name_length = 0;
  uint32_t value_count = 0;  // elements
  // Bytes available at value_offset: a value that shrank keeps its room.
  uint32_t capacity = 0;
  uint8_t name_high = 0;
  uint8_t value_high = 0;
  PrimitiveType type = PrimitiveType::kBool;
  bool is_null = false;
};
static_assert(sizeof(PropertyRow) == 24, "a property row stays 24 bytes");

class MetadataStore {
 public:
  MetadataStore() = default;
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // A new group row; appended to `parent`'s children unless parent is
  // kNoIndex. kNoIndex when the table is full.
  uint32_t AddGroup(uint32_t parent, const std::u16string& name);
  // A new non-null property with an empty value; kNoIndex when full.
  uint32_t AddProperty(uint32_t group, const std::u16string& name,
                       PrimitiveType type);

  uint32_t ChildCount(uint32_t group) const;
  uint32_t ChildAt(uint32_t group, uint32_t position) const;
  uint32_t PropertyCount(uint32_t group) const;
  uint32_t PropertyAt(uint32_t group, uint32_t position) const;

  // First child / property with this name, or kNoIndex.
  uint32_t FindChild(uint32_t group, const std::u16string& name);
  uint32_t FindProperty(uint32_t group, const std::u16string& name) const;

  bool SetGroupName(uint32_t group, const std::u16string& name);
  std::u16string GroupName(uint32_t group) const;
  std::u16string PropertyName(uint32_t property) const;

  // Value access in the buffer form of metadata.h; the contracts of
  // IPrimitive.
  bool Read(uint32_t property, void* buffer, uint64_t first,
            uint64_t count) const;
  bool Write(uint32_t property, const void* buffer, uint64_t first,
             uint64_t count);
  bool Resize(uint32_t property, uint64_t count);
  void SetNull(uint32_t property);

  // Bumped by every change; lets a package skip a commit with nothing new.
  uint64_t generation() const { return generation_; }

  // --- What changed since the file was last read or written whole ------
  //
  // A package whose only changes are values rewritten at their old size,
  // of properties whose value has a known place in the file
  // (file_value_offsets), can be saved by overwriting those bytes alone.
  //
  // Where the value of each bool, int32 and float64 property lies in the
  // file; set by the reader and the writer.
  std::unordered_map<uint32_t, uint64_t> file_value_offsets;
  // Properties of file_value_offsets rewritten at their size since then.
  const std::vector<uint32_t>& rewritten() const { return rewritten_; }
  // True when anything else changed since then.
  bool reshaped() const { return reshaped_; }
  // The file now holds the store as it is: forget the changes.
  void MarkWrittenWhole() {
    rewritten_.clear();
    reshaped_ = false;
  }
  // The rewritten values are in the file too (patched in place).
  void MarkRewrittenSaved() { rewritten_.clear(); }

  // Where a group's name lies in the heap, and its length in UTF-16 units.
  uint64_t GroupNameOffset(uint32_t group) const {
    return groups[group].name & (kNameOffsetLimit - 1);
  }
  uint32_t GroupNameLength(uint32_t group) const {
    uint32_t length = static_cast<uint32_t>(groups[group].name >> 40);
    return length < kLongName ? length : long_name_lengths.at(group);
  }
  // Points `group`'s row at a name in the heap; false (row unchanged) when
  // the offset is past what a row holds.
  bool SetGroupNameRef(uint32_t group, uint64_t offset, uint32_t length) {
    return PackGroupName(group, offset, length, &groups[group].name,
                         &long_name_lengths);
  }
  // The same for a row not yet in the table (the file reader's).
  static bool PackGroupName(
      uint32_t group, uint64_t offset, uint32_t length, uint64_t* name,
      std::unordered_map<uint32_t, uint32_t>* long_lengths) {
    if (offset >= kNameOffsetLimit) return false;
    if (length >= kLongName || !long_lengths->empty()) {
      return PackLongGroupName(group, offset, length, name, long_lengths);
    }
    *name = offset | uint64_t{length} << 40;
    return true;
  }

  // Tables and heap, filled directly by the file reader and read by the
  // writer.
  Heap heap;
  tavik::LargeVector<GroupRow> groups;
  tavik::LargeVector<PropertyRow> properties;
  // Group -> name length, for names of kLongName units or more.
  std::unordered_map<uint32_t, uint32_t> long_name_lengths;

 private:
  static bool PackLongGroupName(
      uint32_t group, uint64_t offset, uint32_t length, uint64_t* name,
      std::unordered_map<uint32_t, uint32_t>* long_lengths);
  bool NameEquals(uint64_t offset, uint32_t length,
                  const std::u16string& name) const;
  uint64_t AppendName(const std::u16string& name);
  // Gives the property owned space for at least `count` elements, keeping
  // the current elements and zero-filling the rest.
  void MakeRoom(PropertyRow* row, uint64_t count);
  void NoteRewritten(uint32_t property);
  // Turns a contiguous run into an explicit list; returns it.
  std::vector<uint32_t>& ChildList(uint32_t group);
  std::vector<uint32_t>& PropertyList(uint32_t group);

  // Explicit child and property lists of the groups that had rows added
  // out of their contiguous run (their first_child or first_property is
  // kNoIndex).
  std::unordered_map<uint32_t, std::vector<uint32_t>> child_lists_;
  std::unordered_map<uint32_t, std::vector<uint32_t>> property_lists_;
  // Hash of name -> child position, for groups with many children; built
  // on the first lookup and kept up to date by AddGroup.
  std::unordered_map<uint32_t, std::unordered_multimap<uint64_t, uint32_t>>
      child_indexes_;
  uint64_t generation_ = 0;
  std::vector<uint32_t> rewritten_;
  bool reshaped_ = false;
};

// Handles on rows of a store; they keep the store alive.
SharedPtr<IGroup> MakeGroupHandle(std::shared_ptr<MetadataStore> store,
                                  uint32_t group);
SharedPtr<IPrimitive> MakePrimitiveHandle(std::shared_ptr<MetadataStore> store,
                                          uint32_t property);

// A group object owned by its holder rather than by a handle (root groups
// are handed out as plain pointers).
std::unique_ptr<IGroup> MakeOwnedGroup(std::shared_ptr<MetadataStore> store,
                                       uint32_t group);

}  // namespace internal
}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_INTERNAL_METADATA_STORE_H_
