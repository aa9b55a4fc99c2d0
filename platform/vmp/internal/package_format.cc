#include "platform/vmp/internal/package_format.h"

#include <cstring>
#include <utility>
#include <vector>

#include "platform/vmp/internal/crc32c.h"

namespace vmp {
namespace internal {

namespace {

constexpr size_t kChecksumOffset = 32;
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

uint32_t FileChecksum(const char* data, size_t size) {
  uint32_t crc = Crc32cExtend(0, data, kChecksumOffset);
  return Crc32cExtend(crc, data + kChecksumOffset + 4,
                      size - kChecksumOffset - 4);
}

bool ValidType(uint8_t type) {
  return type >= static_cast<uint8_t>(PrimitiveType::kBool) &&
         type <= static_cast<uint8_t>(PrimitiveType::kStringArray);
}

tavik::Status Corrupt(const std::string& what) {
  return tavik::Status::Corrupt("not a valid package: " + what);
}

}  // namespace

tavik::Status ParsePackage(std::string contents, MetadataStore* store) {
  const uint64_t size = contents.size();
  const char* data = contents.data();
  if (size < sizeof(kPackageMagic) ||
      std::memcmp(data, kPackageMagic, sizeof(kPackageMagic)) != 0) {
    return tavik::Status::Corrupt("not a package file (wrong magic)");
  }
  if (size < kHeaderSize) return Corrupt("truncated header");
  uint32_t version = Load32(data + 8);
  if (version != kPackageVersion) {
    return tavik::Status::NotSupported("unsupported package version " +
                                       std::to_string(version));
  }
  uint64_t declared_size = Load64(data + 16);
  if (declared_size > size) return Corrupt("truncated");
  if (declared_size < size) return Corrupt("bytes after the end");
  if (FileChecksum(data, size) != Load32(data + kChecksumOffset)) {
    return Corrupt("checksum mismatch");
  }
  if (Load32(data + 12) != 0 || Load32(data + 36) != 0) {
    return Corrupt("unknown header flags");
  }
  uint64_t group_count = Load32(data + 24);
  uint64_t property_count = Load32(data + 28);
  if (group_count < 2) return Corrupt("root groups missing");
  uint64_t tables_end = kHeaderSize + group_count * kGroupRecordSize +
                        property_count * kPropertyRecordSize;
  if (tables_end > size) return Corrupt("tables past the end");

  std::vector<GroupRow> groups(group_count);
  std::vector<PropertyRow> properties(property_count);
  uint64_t heap_at = tables_end;
  uint64_t next_child = 2;
  uint64_t next_property = 0;
  const char* record = data + kHeaderSize;
  for (uint64_t i = 0; i < group_count; ++i, record += kGroupRecordSize) {
    GroupRow& row = groups[i];
    row.name_length = Load32(record);
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
    uint64_t name_bytes = uint64_t{row.name_length} * 2;
    if (name_bytes > size - heap_at) return Corrupt("names past the end");
    row.name_offset = heap_at;
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
    row.name_offset = heap_at;
    heap_at += name_bytes;
    uint64_t value_bytes = uint64_t{row.value_count} * ElementSize(row.type);
    if (value_bytes > size - heap_at) return Corrupt("values past the end");
    row.value_offset = heap_at;
    heap_at += value_bytes;
  }
  if (heap_at != size) return Corrupt("bytes left over after the values");

  store->groups = std::move(groups);
  store->properties = std::move(properties);
  store->heap = std::move(contents);
  return tavik::Status::Ok();
}

std::string SerializePackage(const MetadataStore& store) {
  // Breadth-first from the two roots: every group's children then follow
  // one another in the order the reader expects.
  std::vector<uint32_t> order;
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
  uint64_t property_count = 0;
  uint64_t heap_size = 0;
  for (uint32_t group : order) {
    const GroupRow& row = store.groups[group];
    heap_size += uint64_t{row.name_length} * 2;
    property_count += row.property_count;
    for (uint32_t i = 0; i < row.property_count; ++i) {
      const PropertyRow& p = store.properties[store.PropertyAt(group, i)];
      heap_size +=
          uint64_t{p.name_length} * 2 +
          (p.is_null ? 0 : uint64_t{p.value_count} * ElementSize(p.type));
    }
  }
  const uint64_t tables_end = kHeaderSize + order.size() * kGroupRecordSize +
                              property_count * kPropertyRecordSize;
  const uint64_t size = tables_end + heap_size;
  std::string out(size, '\0');
  char* data = &out[0];
  std::memcpy(data, kPackageMagic, sizeof(kPackageMagic));
  Store32(data + 8, kPackageVersion);
  Store64(data + 16, size);
  Store32(data + 24, static_cast<uint32_t>(order.size()));
  Store32(data + 28, static_cast<uint32_t>(property_count));

  char* group_record = data + kHeaderSize;
  char* heap = data + tables_end;
  for (uint32_t group : order) {
    const GroupRow& row = store.groups[group];
    Store32(group_record, row.name_length);
    Store32(group_record + 4, row.child_count);
    Store32(group_record + 8, row.property_count);
    group_record += kGroupRecordSize;
    std::memcpy(heap, store.heap.data() + row.name_offset,
                uint64_t{row.name_length} * 2);
    heap += uint64_t{row.name_length} * 2;
  }
  char* property_record = group_record;
  for (uint32_t group : order) {
    const GroupRow& row = store.groups[group];
    for (uint32_t i = 0; i < row.property_count; ++i) {
      const PropertyRow& p = store.properties[store.PropertyAt(group, i)];
      uint32_t value_count = p.is_null ? 0 : p.value_count;
      Store32(property_record, p.name_length);
      Store32(property_record + 4, value_count);
      property_record[8] = static_cast<char>(p.type);
      property_record[9] = static_cast<char>(p.is_null ? kPropertyNull : 0);
      property_record += kPropertyRecordSize;
      std::memcpy(heap, store.heap.data() + p.name_offset,
                  uint64_t{p.name_length} * 2);
      heap += uint64_t{p.name_length} * 2;
      uint64_t value_bytes = uint64_t{value_count} * ElementSize(p.type);
      std::memcpy(heap, store.heap.data() + p.value_offset, value_bytes);
      heap += value_bytes;
    }
  }
  Store32(data + kChecksumOffset, FileChecksum(data, size));
  return out;
}

}  // namespace internal
}  // namespace vmp
