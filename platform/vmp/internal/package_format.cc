#include "platform/vmp/internal/package_format.h"

#include <algorithm>
#include <cstring>
#include <limits>
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

// Turns the record tables into rows, record by record in file order (the
// groups, then the properties), checking each as it comes: the same rows
// and the same refusals whether the tables arrive whole or in pieces.
class RowBuilder {
 public:
  // For a file of `size` bytes whose tables end (and heap starts) at
  // `tables_end`; the counts are the header's, already known to fit.
  RowBuilder(uint64_t group_count, uint64_t property_count, uint64_t tables_end,
             uint64_t size)
      : group_count_(group_count),
        property_count_(property_count),
        tables_end_(tables_end),
        size_(size),
        heap_at_(tables_end) {
    // Reserved, not sized: each row is written once, as its record comes,
    // rather than zeroed first and written again.
    groups_.reserve(group_count);
    properties_.reserve(property_count);
  }

  // `count` whole records from `records` on, the next ones in the file.
  tavik::Status Add(const char* records, uint64_t count) {
    for (; count > 0; --count) {
      if (next_record_ < group_count_) {
        tavik::Status s = AddGroup(records);
        if (!s.ok()) return s;
        records += kGroupRecordSize;
      } else {
        if (next_record_ == group_count_) {
          tavik::Status s = CheckTree();
          if (!s.ok()) return s;
        }
        tavik::Status s = AddProperty(records);
        if (!s.ok()) return s;
        records += kPropertyRecordSize;
      }
      ++next_record_;
    }
    return tavik::Status::Ok();
  }

  // After every record: checks what only the whole tables tell, then hands
  // the rows to `store` (left as it was on failure).
  tavik::Status Finish(MetadataStore* store) {
    if (next_record_ != group_count_ + property_count_) {
      return Corrupt("tables past the end");
    }
    if (property_count_ == 0) {
      tavik::Status s = CheckTree();
      if (!s.ok()) return s;
    }
    if (heap_at_ != size_) return Corrupt("bytes left over after the values");
    store->groups = std::move(groups_);
    store->long_name_lengths = std::move(long_name_lengths_);
    store->properties = std::move(properties_);
    store->file_value_offsets = std::move(value_offsets_);
    return tavik::Status::Ok();
  }

 private:
  tavik::Status AddGroup(const char* record) {
    const uint64_t i = next_record_;
    GroupRow& row = groups_.emplace_back();
    const uint32_t name_length = Load32(record);
    row.child_count = Load32(record + 4);
    row.property_count = Load32(record + 8);
    // Children come in table order after every earlier group's children and
    // always after their parent, which makes the rows one tree per root.
    if (row.child_count > group_count_ - next_child_ ||
        (row.child_count > 0 && next_child_ <= i)) {
      return Corrupt("bad child counts");
    }
    row.first_child = static_cast<uint32_t>(next_child_);
    next_child_ += row.child_count;
    if (row.property_count > property_count_ - next_property_) {
      return Corrupt("bad property counts");
    }
    row.first_property = static_cast<uint32_t>(next_property_);
    next_property_ += row.property_count;
    uint64_t name_bytes = uint64_t{name_length} * 2;
    if (name_bytes > size_ - heap_at_ ||
        !MetadataStore::PackGroupName(static_cast<uint32_t>(i),
                                      heap_at_ - tables_end_, name_length,
                                      &row.name, &long_name_lengths_)) {
      return Corrupt("names past the end");
    }
    heap_at_ += name_bytes;
    return tavik::Status::Ok();
  }

  tavik::Status CheckTree() const {
    if (next_child_ != group_count_ || next_property_ != property_count_) {
      return Corrupt("rows outside the tree");
    }
    return tavik::Status::Ok();
  }

  tavik::Status AddProperty(const char* record) {
    const uint64_t i = next_record_ - group_count_;
    PropertyRow& row = properties_.emplace_back();
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
    if (name_bytes > size_ - heap_at_) return Corrupt("names past the end");
    row.set_name_offset(heap_at_ - tables_end_);
    heap_at_ += name_bytes;
    uint64_t value_bytes = uint64_t{row.value_count} * ElementSize(row.type);
    if (value_bytes > size_ - heap_at_ ||
        heap_at_ - tables_end_ >= kNameOffsetLimit) {
      return Corrupt("values past the end");
    }
    row.set_value_offset(heap_at_ - tables_end_);
    row.capacity = row.value_count;
    if (IsScalar(row.type) && !row.is_null) {
      value_offsets_.emplace(static_cast<uint32_t>(i), heap_at_);
    }
    heap_at_ += value_bytes;
    return tavik::Status::Ok();
  }

  const uint64_t group_count_;
  const uint64_t property_count_;
  const uint64_t tables_end_;
  const uint64_t size_;
  uint64_t next_record_ = 0;
  uint64_t next_child_ = 2;
  uint64_t next_property_ = 0;
  uint64_t heap_at_;
  tavik::LargeVector<GroupRow> groups_;
  std::unordered_map<uint32_t, uint32_t> long_name_lengths_;
  tavik::LargeVector<PropertyRow> properties_;
  std::unordered_map<uint32_t, uint64_t> value_offsets_;
};

// The slot in force of a version 2 file of `size` bytes, from its head;
// false when neither slot is sound.
bool FindSlotInForce(const char* data, uint64_t size, uint64_t tables_start,
                     FileSlots* slots) {
  uint64_t sequence[2];
  std::vector<Patch> patches[2];
  bool valid[2];
  for (int i = 0; i < 2; ++i) {
    valid[i] = DecodeSlot(data + SlotOffset(i), size, tables_start,
                          &sequence[i], &patches[i]);
  }
  if (!valid[0] && !valid[1]) return false;
  // The slot with the higher sequence is in force; one that is unused or
  // damaged (a write cut short) does not count.
  int current = !valid[1] || (valid[0] && sequence[0] >= sequence[1]) ? 0 : 1;
  slots->current = current;
  slots->sequence = sequence[current];
  slots->patches = std::move(patches[current]);
  return true;
}

// Lays the patches over the piece of the image that starts at `position`.
template <typename Bytes>
void ApplyPatches(const std::vector<Patch>& patches, uint64_t position,
                  Bytes* piece) {
  const uint64_t end = position + piece->size();
  for (const Patch& patch : patches) {
    for (size_t k = 0; k < patch.bytes.size(); ++k) {
      const uint64_t at = patch.offset + k;
      if (at >= position && at < end) (*piece)[at - position] = patch.bytes[k];
    }
  }
}

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
    if (!FindSlotInForce(data, size, tables_start, slots)) {
      return Corrupt("no sound update slot");
    }
    ApplyPatches(slots->patches, 0, &head);
    ApplyPatches(slots->patches, head.size(), &rest);
  }
  uint64_t group_count = Load32(data + 24);
  uint64_t property_count = Load32(data + 28);
  if (group_count < 2) return Corrupt("root groups missing");
  uint64_t tables_end = tables_start + group_count * kGroupRecordSize +
                        property_count * kPropertyRecordSize;
  if (tables_end > size) return Corrupt("tables past the end");

  RowBuilder rows(group_count, property_count, tables_end, size);
  tavik::Status s = rows.Add(data + tables_start, group_count + property_count);
  if (s.ok()) s = rows.Finish(store);
  if (!s.ok()) return s;
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

tavik::Status ReadPackage(const RangeReader& read, MetadataStore* store,
                          FileSlots* slots, size_t table_piece_bytes) {
  constexpr uint64_t kToTheEnd = std::numeric_limits<uint64_t>::max();
  auto whole = [&]() -> tavik::Status {
    tavik::Result<tavik::LargeString> all = read(0, kToTheEnd);
    if (!all.ok()) return all.status();
    return Parse(std::move(*all), tavik::LargeString(), store, slots);
  };
  tavik::Result<tavik::LargeString> head = read(0, kSlottedHeadSize);
  if (!head.ok()) return head.status();
  const uint64_t tables_end = TablesEnd(*head);
  if (tables_end == 0) return whole();
  const char* data = head->data();
  const uint32_t version = Load32(data + 8);
  const uint64_t tables_start = TablesStart(version);
  // The declared size; the reads below must find the file that long.
  const uint64_t size = Load64(data + 16);
  const uint64_t group_count = Load32(data + 24);
  const uint64_t property_count = Load32(data + 28);
  if (head->size() < tables_start || tables_end > size || group_count < 2 ||
      Load32(data + 12) != 0 || Load32(data + 36) != 0) {
    return whole();
  }
  FileSlots found;
  found.version = version;
  if (version == 2 && !FindSlotInForce(data, size, tables_start, &found)) {
    return whole();
  }
  // The rows are made for the counts of the header only once the file is
  // known to be as long as it says, which bounds them by its size.
  tavik::Result<tavik::LargeString> last = read(size - 1, 2);
  if (!last.ok()) return last.status();
  if (last->size() != 1) return whole();

  uint32_t crc = ExtendFileChecksum(0, version, 0, data, tables_start);
  RowBuilder rows(group_count, property_count, tables_end, size);
  const uint64_t piece_records =
      std::max<uint64_t>(1, table_piece_bytes / kGroupRecordSize);
  static_assert(kGroupRecordSize == kPropertyRecordSize,
                "pieces of whole records of either table");
  for (uint64_t at = tables_start; at < tables_end;) {
    const uint64_t bytes =
        std::min(piece_records * kGroupRecordSize, tables_end - at);
    tavik::Result<tavik::LargeString> piece = read(at, bytes);
    if (!piece.ok()) return piece.status();
    if (piece->size() != bytes) return whole();
    crc = ExtendFileChecksum(crc, version, at, piece->data(), bytes);
    ApplyPatches(found.patches, at, &*piece);
    if (!rows.Add(piece->data(), bytes / kGroupRecordSize).ok()) {
      return whole();
    }
    at += bytes;
  }
  tavik::Result<tavik::LargeString> rest = read(tables_end, kToTheEnd);
  if (!rest.ok()) return rest.status();
  if (rest->size() != size - tables_end) return whole();
  crc =
      ExtendFileChecksum(crc, version, tables_end, rest->data(), rest->size());
  if (crc != Load32(data + kChecksumOffset)) return whole();
  ApplyPatches(found.patches, tables_end, &*rest);
  if (!rows.Finish(store).ok()) return whole();
  store->heap.SetBase(std::move(*rest), 0);
  *slots = std::move(found);
  return tavik::Status::Ok();
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
      out->Put(store.heap.at(p.name_offset()), uint64_t{p.name_length} * 2);
      at += uint64_t{p.name_length} * 2;
      if (p.is_null) continue;
      if (value_offsets != nullptr && IsScalar(p.type)) {
        (*value_offsets)[property] = at;
      }
      uint64_t value_bytes = uint64_t{p.value_count} * ElementSize(p.type);
      if (value_bytes > 0)
        out->Put(store.heap.at(p.value_offset()), value_bytes);
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
