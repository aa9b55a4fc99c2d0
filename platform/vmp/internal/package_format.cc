#include "platform/vmp/internal/package_format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/vmp/internal/crc32c.h"

namespace vmp {
namespace internal {

namespace {

constexpr size_t kChecksumOffset = 32;
constexpr size_t kSlotChecksumOffset = 12;
constexpr size_t kSlotPatchesOffset = 16;
constexpr size_t kPatchHeadSize = 9;  // u64 offset, u8 length
constexpr uint8_t kPropertyNull = 0x1;

uint32_t Load32(const char* p) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
         uint32_t{b[3]} << 24;
}

uint64_t Load64(const char* p) {
  return uint64_t{Load32(p)} | uint64_t{Load32(p + 4)} << 32;
}

void Store32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void Store64(char* p, uint64_t v) {
  Store32(p, static_cast<uint32_t>(v));
  Store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Where the metadata tables begin: after the header, and in version 2 after
// the update slots.
uint64_t TablesStart(uint32_t version) {
  return version == 1 ? kHeaderSize : SlotOffset(kSlotCount);
}

// The file's checksum leaves out its own field and, in version 2, the update
// slots (which are rewritten in place and carry checksums of their own).
// Feeds the covered parts of the piece at `position` into `crc`.
uint32_t ExtendFileChecksum(uint32_t crc, uint32_t version, uint64_t position,
                            const char* data, size_t size) {
  const uint64_t skips[2][2] = {
      {kChecksumOffset, kChecksumOffset + 4},
      {kHeaderSize, TablesStart(version)},
  };
  uint64_t at = position;
  const uint64_t end = position + size;
  for (const auto& skip : skips) {
    if (at >= end) break;
    if (skip[1] <= at || skip[0] >= skip[1]) continue;
    if (skip[0] > at) {
      uint64_t upto = std::min(skip[0], end);
      crc = Crc32cExtend(crc, data + (at - position), upto - at);
      at = upto;
    }
    at = std::max(at, std::min(skip[1], end));
  }
  if (at < end) crc = Crc32cExtend(crc, data + (at - position), end - at);
  return crc;
}

uint32_t SlotChecksum(const char* slot) {
  uint32_t crc = Crc32c(slot, kSlotChecksumOffset);
  return Crc32cExtend(crc, slot + kSlotChecksumOffset + 4,
                      kSlotSize - kSlotChecksumOffset - 4);
}

// The patches of a slot when it is in use and sound, for a file of `size`
// bytes whose tables start at `tables`.
bool DecodeSlot(const char* slot, uint64_t size, uint64_t tables,
                uint64_t* sequence, std::vector<Patch>* patches) {
  patches->clear();
  *sequence = Load64(slot);
  uint32_t used = Load32(slot + 8);
  if (*sequence == 0 || used > kSlotPatchBytes ||
      Load32(slot + kSlotChecksumOffset) != SlotChecksum(slot)) {
    return false;
  }
  const char* p = slot + kSlotPatchesOffset;
  const char* end = p + used;
  while (p < end) {
    if (end - p < static_cast<ptrdiff_t>(kPatchHeadSize)) return false;
    uint64_t offset = Load64(p);
    size_t length = static_cast<unsigned char>(p[8]);
    p += kPatchHeadSize;
    if (length == 0 || static_cast<size_t>(end - p) < length ||
        offset < tables || offset > size || length > size - offset) {
      return false;
    }
    patches->push_back({offset, std::string(p, length)});
    p += length;
  }
  return true;
}

bool ValidType(uint8_t type) {
  return type >= static_cast<uint8_t>(PrimitiveType::kBool) &&
         type <= static_cast<uint8_t>(PrimitiveType::kStringArray);
}

bool IsScalar(PrimitiveType type) {
  return type != PrimitiveType::kStringArray;
}

tavik::Status Corrupt(const std::string& what) {
  return tavik::Status::Corrupt("not a valid package: " + what);
}

}  // namespace

uint64_t TablesEnd(std::string_view head) {
  if (head.size() < kHeaderSize ||
      std::memcmp(head.data(), kPackageMagic, sizeof(kPackageMagic)) != 0) {
    return 0;
  }
  uint32_t version = Load32(head.data() + 8);
  if (version != 1 && version != 2) return 0;
  return TablesStart(version) +
         uint64_t{Load32(head.data() + 24)} * kGroupRecordSize +
         uint64_t{Load32(head.data() + 28)} * kPropertyRecordSize;
}

namespace {

template <typename Head>
tavik::Status Parse(Head head, tavik::LargeString rest, MetadataStore* store,
                    FileSlots* slots) {
  if (!rest.empty() && TablesEnd(head) != head.size()) {
    // Not cut where the heap starts: parsed as one piece.
    head.append(rest.data(), rest.size());
    rest = tavik::LargeString();
  }
  const uint64_t size = head.size() + rest.size();
  const char* data = head.data();
  if (size < sizeof(kPackageMagic) ||
      std::memcmp(data, kPackageMagic, sizeof(kPackageMagic)) != 0) {
    return tavik::Status::Corrupt("not a package file (wrong magic)");
  }
  if (size < kHeaderSize) return Corrupt("truncated header");
  uint32_t version = Load32(data + 8);
  if (version != 1 && version != 2) {
    return tavik::Status::NotSupported("unsupported package version " +
                                       std::to_string(version));
  }
  const uint64_t tables_start = TablesStart(version);
  uint64_t declared_size = Load64(data + 16);
  if (declared_size > size) return Corrupt("truncated");
  if (declared_size < size) return Corrupt("bytes after the end");
  if (size < tables_start) return Corrupt("truncated update slots");
  uint32_t crc = ExtendFileChecksum(0, version, 0, data, head.size());
  crc = ExtendFileChecksum(crc, version, head.size(), rest.data(), rest.size());
  if (crc != Load32(data + kChecksumOffset)) {
    return Corrupt("checksum mismatch");
  }
  if (Load32(data + 12) != 0 || Load32(data + 36) != 0) {
    return Corrupt("unknown header flags");
  }
  *slots = FileSlots();
  slots->version = version;
  if (version == 2) {
    // The slot with the higher sequence is in force; one that is unused or
    // damaged (a write cut short) does not count.
    uint64_t sequence[2];
    std::vector<Patch> patches[2];
    bool valid[2];
    for (int i = 0; i < 2; ++i) {
      valid[i] = DecodeSlot(data + SlotOffset(i), size, tables_start,
                            &sequence[i], &patches[i]);
    }
    if (!valid[0] && !valid[1]) return Corrupt("no sound update slot");
    int current = !valid[1] || (valid[0] && sequence[0] >= sequence[1]) ? 0 : 1;
    slots->current = current;
    slots->sequence = sequence[current];
    slots->patches = std::move(patches[current]);
    for (const Patch& patch : slots->patches) {
      for (size_t k = 0; k < patch.bytes.size(); ++k) {
        uint64_t at = patch.offset + k;
        (at < head.size() ? head[at] : rest[at - head.size()]) = patch.bytes[k];
      }
    }
  }
  uint64_t group_count = Load32(data + 24);
  uint64_t property_count = Load32(data + 28);
  if (group_count < 2) return Corrupt("root groups missing");
  uint64_t tables_end = tables_start + group_count * kGroupRecordSize +
                        property_count * kPropertyRecordSize;
  if (tables_end > size) return Corrupt("tables past the end");

  tavik::LargeVector<GroupRow> groups(group_count);
  std::unordered_map<uint32_t, uint32_t> long_name_lengths;
  tavik::LargeVector<PropertyRow> properties(property_count);
  std::unordered_map<uint32_t, uint64_t> value_offsets;
  uint64_t heap_at = tables_end;
  uint64_t next_child = 2;
  uint64_t next_property = 0;
  const char* record = data + tables_start;
  for (uint64_t i = 0; i < group_count; ++i, record += kGroupRecordSize) {
    GroupRow& row = groups[i];
    const uint32_t name_length = Load32(record);
    row.child_count = Load32(record + 4);
    row.property_count = Load32(record + 8);
    // Children come in table order after every earlier group's children and
    // always after their parent, which makes the rows one tree per root.
    if (row.child_count > group_count - next_child ||
        (row.child_count > 0 && next_child <= i)) {
      return Corrupt("bad child counts");
    }
    row.first_child = static_cast<uint32_t>(next_child);
    next_child += row.child_count;
    if (row.property_count > property_count - next_property) {
      return Corrupt("bad property counts");
    }
    row.first_property = static_cast<uint32_t>(next_property);
    next_property += row.property_count;
    uint64_t name_bytes = uint64_t{name_length} * 2;
    if (name_bytes > size - heap_at ||
        !MetadataStore::PackGroupName(static_cast<uint32_t>(i),
                                      heap_at - tables_end, name_length,
                                      &row.name, &long_name_lengths)) {
      return Corrupt("names past the end");
    }
    heap_at += name_bytes;
  }
  if (next_child != group_count || next_property != property_count) {
    return Corrupt("rows outside the tree");
  }
  for (uint64_t i = 0; i < property_count; ++i, record += kPropertyRecordSize) {
    PropertyRow& row = properties[i];
    row.name_length = Load32(record);
    row.value_count = Load32(record + 4);
    uint8_t type = static_cast<uint8_t>(record[8]);
    uint8_t flags = static_cast<uint8_t>(record[9]);
    if (!ValidType(type)) return Corrupt("unknown property type");
    if ((flags & ~kPropertyNull) != 0 || record[10] != 0 || record[11] != 0) {
      return Corrupt("unknown property flags");
    }
    row.type = static_cast<PrimitiveType>(type);
    row.is_null = (flags & kPropertyNull) != 0;
    if (row.is_null && row.value_count != 0) return Corrupt("null with value");
    uint64_t name_bytes = uint64_t{row.name_length} * 2;
    if (name_bytes > size - heap_at) return Corrupt("names past the end");
    row.name_offset = heap_at - tables_end;
    heap_at += name_bytes;
    uint64_t value_bytes = uint64_t{row.value_count} * ElementSize(row.type);
    if (value_bytes > size - heap_at) return Corrupt("values past the end");
    row.value_offset = heap_at - tables_end;
    row.capacity = row.value_count;
    if (IsScalar(row.type) && !row.is_null) {
      value_offsets.emplace(static_cast<uint32_t>(i), heap_at);
    }
    heap_at += value_bytes;
  }
  if (heap_at != size) return Corrupt("bytes left over after the values");

  store->groups = std::move(groups);
  store->long_name_lengths = std::move(long_name_lengths);
  store->properties = std::move(properties);
  store->file_value_offsets = std::move(value_offsets);
  if (rest.empty()) {
    store->heap.SetBase(std::move(head), tables_end);
  } else {
    store->heap.SetBase(std::move(rest), 0);
  }
  return tavik::Status::Ok();
}

}  // namespace

tavik::Status ParsePackage(std::string head, tavik::LargeString rest,
                           MetadataStore* store, FileSlots* slots) {
  return Parse(std::move(head), std::move(rest), store, slots);
}

tavik::Status ParsePackage(tavik::LargeString head, tavik::LargeString rest,
                           MetadataStore* store, FileSlots* slots) {
  return Parse(std::move(head), std::move(rest), store, slots);
}

namespace {

// Collects the image in blocks and hands each full block to the sink.
class ImageWriter {
 public:
  explicit ImageWriter(const ImageSink& sink)
      : sink_(sink), buffer_(new char[kBlock]) {}
  // Most pieces are a record or a short name: one copy into the block.
  void Put(const char* data, size_t size) {
    if (size < kBlock - used_) {
      std::memcpy(buffer_.get() + used_, data, size);
      used_ += size;
      return;
    }
    while (ok_ && size > 0) {
      size_t n = std::min(size, kBlock - used_);
      std::memcpy(buffer_.get() + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == kBlock) Flush();
    }
  }
  bool Finish() {
    Flush();
    return ok_;
  }

 private:
  static constexpr size_t kBlock = size_t{1} << 20;
  void Flush() {
    if (ok_ && used_ > 0) ok_ = sink_(buffer_.get(), used_);
    used_ = 0;
  }
  const ImageSink& sink_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  bool ok_ = true;
};

struct Layout {
  std::vector<uint32_t> order;  // groups, breadth first from the roots
  uint64_t property_count = 0;
  uint64_t size = 0;
};

Layout MakeLayout(const MetadataStore& store) {
  // Breadth-first from the two roots: every group's children then follow
  // one another in the order the reader expects.
  Layout layout;
  std::vector<uint32_t>& order = layout.order;
  order.reserve(store.groups.size());
  order.push_back(kPackageRoot);
  order.push_back(kSceneRoot);
  for (size_t k = 0; k < order.size(); ++k) {
    uint32_t group = order[k];
    uint32_t count = store.ChildCount(group);
    for (uint32_t i = 0; i < count; ++i) {
      order.push_back(store.ChildAt(group, i));
    }
  }
  uint64_t heap_size = 0;
  for (uint32_t group : order) {
    const GroupRow& row = store.groups[group];
    heap_size += uint64_t{store.GroupNameLength(group)} * 2;
    layout.property_count += row.property_count;
    for (uint32_t i = 0; i < row.property_count; ++i) {
      const PropertyRow& p = store.properties[store.PropertyAt(group, i)];
      heap_size +=
          uint64_t{p.name_length} * 2 +
          (p.is_null ? 0 : uint64_t{p.value_count} * ElementSize(p.type));
    }
  }
  layout.size = TablesStart(kPackageVersion) + order.size() * kGroupRecordSize +
                layout.property_count * kPropertyRecordSize + heap_size;
  return layout;
}

void EmitImage(const MetadataStore& store, const Layout& layout,
               uint32_t checksum, ImageWriter* out,
               std::unordered_map<uint32_t, uint64_t>* value_offsets) {
  char head[kHeaderSize + kSlotCount * kSlotSize] = {};
  std::memcpy(head, kPackageMagic, sizeof(kPackageMagic));
  Store32(head + 8, kPackageVersion);
  Store64(head + 16, layout.size);
  Store32(head + 24, static_cast<uint32_t>(layout.order.size()));
  Store32(head + 28, static_cast<uint32_t>(layout.property_count));
  Store32(head + kChecksumOffset, checksum);
  std::string slot;
  EncodeSlot(1, {}, &slot);
  std::memcpy(head + SlotOffset(0), slot.data(), kSlotSize);
  out->Put(head, sizeof(head));

  char record[12];
  for (uint32_t group : layout.order) {
    const GroupRow& row = store.groups[group];
    Store32(record, store.GroupNameLength(group));
    Store32(record + 4, row.child_count);
    Store32(record + 8, row.property_count);
    out->Put(record, kGroupRecordSize);
  }
  for (uint32_t group : layout.order) {
    const GroupRow& row = store.groups[group];
    for (uint32_t i = 0; i < row.property_count; ++i) {
      const PropertyRow& p = store.properties[store.PropertyAt(group, i)];
      Store32(record, p.name_length);
      Store32(record + 4, p.is_null ? 0 : p.value_count);
      record[8] = static_cast<char>(p.type);
      record[9] = static_cast<char>(p.is_null ? kPropertyNull : 0);
      record[10] = record[11] = 0;
      out->Put(record, kPropertyRecordSize);
    }
  }
  uint64_t at = TablesStart(kPackageVersion) +
                layout.order.size() * kGroupRecordSize +
                layout.property_count * kPropertyRecordSize;
  for (uint32_t group : layout.order) {
    const uint64_t name_bytes = uint64_t{store.GroupNameLength(group)} * 2;
    out->Put(store.heap.at(store.GroupNameOffset(group)), name_bytes);
    at += name_bytes;
  }
  for (uint32_t group : layout.order) {
    const GroupRow& row = store.groups[group];
    for (uint32_t i = 0; i < row.property_count; ++i) {
      uint32_t property = store.PropertyAt(group, i);
      const PropertyRow& p = store.properties[property];
      out->Put(store.heap.at(p.name_offset), uint64_t{p.name_length} * 2);
      at += uint64_t{p.name_length} * 2;
      if (p.is_null) continue;
      if (value_offsets != nullptr && IsScalar(p.type)) {
        (*value_offsets)[property] = at;
      }
      uint64_t value_bytes = uint64_t{p.value_count} * ElementSize(p.type);
      if (value_bytes > 0) out->Put(store.heap.at(p.value_offset), value_bytes);
      at += value_bytes;
    }
  }
}

}  // namespace

bool WritePackage(const MetadataStore& store, const ImageSink& sink,
                  std::unordered_map<uint32_t, uint64_t>* value_offsets) {
  const Layout layout = MakeLayout(store);
  uint32_t checksum = 0;
  uint64_t position = 0;
  ImageSink crc_sink = [&](const char* data, size_t size) {
    checksum =
        ExtendFileChecksum(checksum, kPackageVersion, position, data, size);
    position += size;
    return true;
  };
  {
    ImageWriter summing(crc_sink);
    EmitImage(store, layout, 0, &summing, nullptr);
    summing.Finish();
  }
  value_offsets->clear();
  ImageWriter writing(sink);
  EmitImage(store, layout, checksum, &writing, value_offsets);
  return writing.Finish();
}

std::string SerializePackage(const MetadataStore& store) {
  std::string image;
  std::unordered_map<uint32_t, uint64_t> offsets;
  WritePackage(
      store,
      [&image](const char* data, size_t size) {
        image.append(data, size);
        return true;
      },
      &offsets);
  return image;
}

bool EncodeSlot(uint64_t sequence, const std::vector<Patch>& patches,
                std::string* slot) {
  slot->assign(kSlotSize, '\0');
  char* s = &(*slot)[0];
  size_t used = 0;
  for (const Patch& patch : patches) {
    if (patch.bytes.empty() || patch.bytes.size() > 255 ||
        kPatchHeadSize + patch.bytes.size() > kSlotPatchBytes - used) {
      return false;
    }
    char* p = s + kSlotPatchesOffset + used;
    Store64(p, patch.offset);
    p[8] = static_cast<char>(patch.bytes.size());
    std::memcpy(p + kPatchHeadSize, patch.bytes.data(), patch.bytes.size());
    used += kPatchHeadSize + patch.bytes.size();
  }
  Store64(s, sequence);
  Store32(s + 8, static_cast<uint32_t>(used));
  Store32(s + kSlotChecksumOffset, SlotChecksum(s));
  return true;
}

}  // namespace internal
}  // namespace vmp
