#include "platform/vmp/metadata.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "platform/base/utf.h"
#include "platform/vmp/internal/metadata_store.h"

namespace vmp {

size_t ElementSize(PrimitiveType type) {
  switch (type) {
    case PrimitiveType::kBool:
      return 1;
    case PrimitiveType::kInt32:
      return 4;
    case PrimitiveType::kFloat64:
      return 8;
    case PrimitiveType::kStringArray:
      return 2;
  }
  return 1;
}

const char* PrimitiveTypeName(PrimitiveType type) {
  switch (type) {
    case PrimitiveType::kBool:
      return "bool";
    case PrimitiveType::kInt32:
      return "int32";
    case PrimitiveType::kFloat64:
      return "float64";
    case PrimitiveType::kStringArray:
      return "string_array";
  }
  return "?";
}

bool PrimitiveTypeFromName(const char* name, PrimitiveType* type) {
  for (PrimitiveType t :
       {PrimitiveType::kBool, PrimitiveType::kInt32, PrimitiveType::kFloat64,
        PrimitiveType::kStringArray}) {
    if (std::strcmp(name, PrimitiveTypeName(t)) == 0) {
      *type = t;
      return true;
    }
  }
  return false;
}

namespace internal {

namespace {

uint64_t HashUnits(const char16_t* units, size_t length) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<uint16_t>(units[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

uint16_t LoadU16(const char* p) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint64_t HashHeapName(const Heap& heap, uint64_t offset, uint32_t length) {
  uint64_t hash = 14695981039346656037ull;
  const char* p = heap.at(offset);
  for (uint32_t i = 0; i < length; ++i) {
    hash ^= LoadU16(p + 2 * i);
    hash *= 1099511628211ull;
  }
  return hash;
}

// Elements between buffer form (host order) and heap form (little-endian).
void EncodeElements(PrimitiveType type, const void* buffer, uint64_t count,
                    char* out) {
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  switch (type) {
    case PrimitiveType::kBool:
      for (uint64_t i = 0; i < count; ++i) out[i] = in[i] != 0 ? 1 : 0;
      return;
    case PrimitiveType::kInt32:
      for (uint64_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, in + 4 * i, 4);
        for (int b = 0; b < 4; ++b)
          out[4 * i + b] = static_cast<char>(v >> (8 * b));
      }
      return;
    case PrimitiveType::kFloat64:
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t v;
        std::memcpy(&v, in + 8 * i, 8);
        for (int b = 0; b < 8; ++b)
          out[8 * i + b] = static_cast<char>(v >> (8 * b));
      }
      return;
    case PrimitiveType::kStringArray:
      for (uint64_t i = 0; i < count; ++i) {
        uint16_t v;
        std::memcpy(&v, in + 2 * i, 2);
        out[2 * i] = static_cast<char>(v);
        out[2 * i + 1] = static_cast<char>(v >> 8);
      }
      return;
  }
}

void DecodeElements(PrimitiveType type, const char* in, uint64_t count,
                    void* buffer) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
  switch (type) {
    case PrimitiveType::kBool:
      for (uint64_t i = 0; i < count; ++i) out[i] = bytes[i] != 0 ? 1 : 0;
      return;
    case PrimitiveType::kInt32:
      for (uint64_t i = 0; i < count; ++i) {
        uint32_t v = 0;
        for (int b = 0; b < 4; ++b) v |= uint32_t{bytes[4 * i + b]} << (8 * b);
        std::memcpy(out + 4 * i, &v, 4);
      }
      return;
    case PrimitiveType::kFloat64:
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t v = 0;
        for (int b = 0; b < 8; ++b) v |= uint64_t{bytes[8 * i + b]} << (8 * b);
        std::memcpy(out + 8 * i, &v, 8);
      }
      return;
    case PrimitiveType::kStringArray:
      for (uint64_t i = 0; i < count; ++i) {
        uint16_t v = LoadU16(in + 2 * i);
        std::memcpy(out + 2 * i, &v, 2);
      }
      return;
  }
}

}  // namespace

void Heap::SetBase(std::string bytes, uint64_t skip) {
  base_ = std::move(bytes);
  base_start_ = base_.data() + skip;
  base_size_ = base_.size() - skip;
}

void Heap::SetBase(tavik::LargeString bytes, uint64_t skip) {
  large_base_ = std::move(bytes);
  base_start_ = large_base_.data() + skip;
  base_size_ = large_base_.size() - skip;
}

Heap::~Heap() {
  for (const Block& block : blocks_) {
    tavik::LargeAllocator<char>().deallocate(block.data, block.size);
  }
}

uint64_t Heap::Allocate(uint64_t size) {
  if (size == 0) return base_size_;
  if (size <= block_left_) {
    uint64_t offset = next_;
    next_ += size;
    block_left_ -= size;
    return offset;
  }
  // A new block: an eighth of the pages so far, and at least as many whole
  // pages as the value needs.
  uint64_t page_count = (size + kPageSize - 1) >> kPageBits;
  page_count = std::max<uint64_t>(page_count, pages_.size() / 8);
  if (page_count > (std::numeric_limits<size_t>::max() >> kPageBits)) {
    throw std::bad_alloc();
  }
  const size_t bytes = static_cast<size_t>(page_count << kPageBits);
  // Rows hold offsets below kNameOffsetLimit.
  if (base_size_ + (uint64_t{pages_.size()} << kPageBits) + bytes >
      kNameOffsetLimit) {
    throw std::bad_alloc();
  }
  blocks_.reserve(blocks_.size() + 1);
  char* data = tavik::LargeAllocator<char>().allocate(bytes);
  // Large memory comes zero-filled; the ordinary heap does not.
  if (bytes < tavik::kLargeMemoryThreshold) std::memset(data, 0, bytes);
  blocks_.push_back(Block{data, bytes});
  uint64_t offset = base_size_ + (uint64_t{pages_.size()} << kPageBits);
  for (uint64_t i = 0; i < page_count; ++i) {
    pages_.push_back(data + (i << kPageBits));
  }
  next_ = offset + size;
  block_left_ = bytes - size;
  return offset;
}

uint64_t MetadataStore::AppendName(const std::u16string& name) {
  uint64_t offset = heap.Allocate(2 * name.size());
  EncodeElements(PrimitiveType::kStringArray, name.data(), name.size(),
                 heap.at(offset));
  return offset;
}

bool MetadataStore::NameEquals(uint64_t offset, uint32_t length,
                               const std::u16string& name) const {
  if (length != name.size()) return false;
  const char* p = heap.at(offset);
  for (uint32_t i = 0; i < length; ++i) {
    if (LoadU16(p + 2 * i) != static_cast<uint16_t>(name[i])) return false;
  }
  return true;
}

bool MetadataStore::PackLongGroupName(
    uint32_t group, uint64_t offset, uint32_t length, uint64_t* name,
    std::unordered_map<uint32_t, uint32_t>* long_lengths) {
  if (length >= kLongName) {
    (*long_lengths)[group] = length;
    length = kLongName;
  } else if (!long_lengths->empty()) {
    long_lengths->erase(group);
  }
  *name = offset | uint64_t{length} << 40;
  return true;
}

std::vector<uint32_t>& MetadataStore::ChildList(uint32_t group) {
  GroupRow& row = groups[group];
  std::vector<uint32_t>& list = child_lists_[group];
  if (row.first_child != kNoIndex) {
    list.resize(row.child_count);
    for (uint32_t i = 0; i < row.child_count; ++i)
      list[i] = row.first_child + i;
    row.first_child = kNoIndex;
  }
  return list;
}

std::vector<uint32_t>& MetadataStore::PropertyList(uint32_t group) {
  GroupRow& row = groups[group];
  std::vector<uint32_t>& list = property_lists_[group];
  if (row.first_property != kNoIndex) {
    list.resize(row.property_count);
    for (uint32_t i = 0; i < row.property_count; ++i) {
      list[i] = row.first_property + i;
    }
    row.first_property = kNoIndex;
  }
  return list;
}

uint32_t MetadataStore::AddGroup(uint32_t parent, const std::u16string& name) {
  if (groups.size() >= kMaxCount || name.size() > kMaxCount) return kNoIndex;
  if (parent != kNoIndex && ChildCount(parent) >= kMaxCount) return kNoIndex;
  uint32_t index = static_cast<uint32_t>(groups.size());
  GroupRow row;
  if (!PackGroupName(index, AppendName(name),
                     static_cast<uint32_t>(name.size()), &row.name,
                     &long_name_lengths)) {
    return kNoIndex;
  }
  groups.push_back(row);
  if (parent != kNoIndex) {
    GroupRow& parent_row = groups[parent];
    // Keep a contiguous run as long as the new row extends it.
    if (parent_row.first_child != kNoIndex &&
        (parent_row.child_count == 0 ||
         parent_row.first_child + parent_row.child_count == index)) {
      if (parent_row.child_count == 0) parent_row.first_child = index;
      ++parent_row.child_count;
    } else {
      ChildList(parent).push_back(index);
      groups[parent].child_count++;
    }
    auto it = child_indexes_.find(parent);
    if (it != child_indexes_.end()) {
      it->second.emplace(HashUnits(name.data(), name.size()),
                         groups[parent].child_count - 1);
    }
  }
  reshaped_ = true;
  ++generation_;
  return index;
}

uint32_t MetadataStore::AddProperty(uint32_t group, const std::u16string& name,
                                    PrimitiveType type) {
  if (properties.size() >= kMaxCount || name.size() > kMaxCount ||
      PropertyCount(group) >= kMaxCount) {
    return kNoIndex;
  }
  uint32_t index = static_cast<uint32_t>(properties.size());
  PropertyRow row;
  row.set_name_offset(AppendName(name));
  row.name_length = static_cast<uint32_t>(name.size());
  row.set_value_offset(0);
  row.type = type;
  properties.push_back(row);
  GroupRow& group_row = groups[group];
  if (group_row.first_property != kNoIndex &&
      (group_row.property_count == 0 ||
       group_row.first_property + group_row.property_count == index)) {
    if (group_row.property_count == 0) group_row.first_property = index;
    ++group_row.property_count;
  } else {
    PropertyList(group).push_back(index);
    groups[group].property_count++;
  }
  reshaped_ = true;
  ++generation_;
  return index;
}

uint32_t MetadataStore::ChildCount(uint32_t group) const {
  return groups[group].child_count;
}

uint32_t MetadataStore::ChildAt(uint32_t group, uint32_t position) const {
  const GroupRow& row = groups[group];
  if (position >= row.child_count) return kNoIndex;
  if (row.first_child == kNoIndex) return child_lists_.at(group)[position];
  return row.first_child + position;
}

uint32_t MetadataStore::PropertyCount(uint32_t group) const {
  return groups[group].property_count;
}

uint32_t MetadataStore::PropertyAt(uint32_t group, uint32_t position) const {
  const GroupRow& row = groups[group];
  if (position >= row.property_count) return kNoIndex;
  if (row.first_property == kNoIndex) {
    return property_lists_.at(group)[position];
  }
  return row.first_property + position;
}

uint32_t MetadataStore::FindChild(uint32_t group, const std::u16string& name) {
  constexpr uint32_t kIndexThreshold = 16;
  uint32_t count = ChildCount(group);
  if (count < kIndexThreshold) {
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t child = ChildAt(group, i);
      if (NameEquals(GroupNameOffset(child), GroupNameLength(child), name)) {
        return child;
      }
    }
    return kNoIndex;
  }
  auto it = child_indexes_.find(group);
  if (it == child_indexes_.end()) {
    std::unordered_multimap<uint64_t, uint32_t> index;
    index.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t child = ChildAt(group, i);
      index.emplace(
          HashHeapName(heap, GroupNameOffset(child), GroupNameLength(child)),
          i);
    }
    it = child_indexes_.emplace(group, std::move(index)).first;
  }
  uint32_t best = kNoIndex;
  auto range = it->second.equal_range(HashUnits(name.data(), name.size()));
  for (auto candidate = range.first; candidate != range.second; ++candidate) {
    uint32_t position = candidate->second;
    if (best != kNoIndex && position >= best) continue;
    uint32_t child = ChildAt(group, position);
    if (NameEquals(GroupNameOffset(child), GroupNameLength(child), name)) {
      best = position;
    }
  }
  return best == kNoIndex ? kNoIndex : ChildAt(group, best);
}

uint32_t MetadataStore::FindProperty(uint32_t group,
                                     const std::u16string& name) const {
  uint32_t count = PropertyCount(group);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t property = PropertyAt(group, i);
    const PropertyRow& row = properties[property];
    if (NameEquals(row.name_offset(), row.name_length, name)) return property;
  }
  return kNoIndex;
}

bool MetadataStore::SetGroupName(uint32_t group, const std::u16string& name) {
  if (name.size() > kMaxCount) return false;
  if (!SetGroupNameRef(group, AppendName(name),
                       static_cast<uint32_t>(name.size()))) {
    return false;
  }
  // Rows do not know their parent; renames are rare, so every name index
  // is rebuilt on its next lookup.
  child_indexes_.clear();
  reshaped_ = true;
  ++generation_;
  return true;
}

std::u16string MetadataStore::GroupName(uint32_t group) const {
  const uint32_t length = GroupNameLength(group);
  std::u16string name(length, u'\0');
  DecodeElements(PrimitiveType::kStringArray, heap.at(GroupNameOffset(group)),
                 length, &name[0]);
  return name;
}

std::u16string MetadataStore::PropertyName(uint32_t property) const {
  const PropertyRow& row = properties[property];
  std::u16string name(row.name_length, u'\0');
  DecodeElements(PrimitiveType::kStringArray, heap.at(row.name_offset()),
                 row.name_length, &name[0]);
  return name;
}

bool MetadataStore::Read(uint32_t property, void* buffer, uint64_t first,
                         uint64_t count) const {
  const PropertyRow& row = properties[property];
  if (first > row.value_count || count > row.value_count - first) return false;
  if (count == 0) return true;
  if (buffer == nullptr) return false;
  size_t element = ElementSize(row.type);
  DecodeElements(row.type, heap.at(row.value_offset() + first * element), count,
                 buffer);
  return true;
}

void MetadataStore::MakeRoom(PropertyRow* row, uint64_t count) {
  size_t element = ElementSize(row->type);
  uint64_t keep = row->is_null ? 0 : row->value_count;
  if (count <= row->capacity) {
    // Elements beyond the old count read as zero, as in new space.
    if (count > keep) {
      std::memset(heap.at(row->value_offset() + keep * element), 0,
                  (count - keep) * element);
    }
    row->value_count = static_cast<uint32_t>(count);
    return;
  }
  uint64_t offset = heap.Allocate(count * element);
  if (keep > 0) {
    std::memcpy(heap.at(offset), heap.at(row->value_offset()), keep * element);
  }
  row->set_value_offset(offset);
  row->value_count = static_cast<uint32_t>(count);
  row->capacity = static_cast<uint32_t>(count);
}

bool MetadataStore::Write(uint32_t property, const void* buffer, uint64_t first,
                          uint64_t count) {
  PropertyRow& row = properties[property];
  uint64_t size = row.is_null ? 0 : row.value_count;
  if (first > size || count > kMaxCount || first + count > kMaxCount) {
    return false;
  }
  if (count > 0 && buffer == nullptr) return false;
  uint64_t end = first + count;
  if (row.is_null || end > size) {
    reshaped_ = true;
  } else if (!reshaped_) {
    NoteRewritten(property);
  }
  if (row.is_null) {
    row.value_count = 0;
    row.is_null = false;
  }
  MakeRoom(&row, end > size ? end : size);
  if (count > 0) {
    EncodeElements(row.type, buffer, count,
                   heap.at(row.value_offset() + first * ElementSize(row.type)));
  }
  ++generation_;
  return true;
}

void MetadataStore::NoteRewritten(uint32_t property) {
  // Only a handful fit in place; past that the file is written whole anyway.
  constexpr size_t kMostRewritten = 16;
  if (file_value_offsets.count(property) == 0 ||
      rewritten_.size() >= kMostRewritten) {
    reshaped_ = true;
    return;
  }
  for (uint32_t p : rewritten_) {
    if (p == property) return;
  }
  rewritten_.push_back(property);
}

bool MetadataStore::Resize(uint32_t property, uint64_t count) {
  if (count > kMaxCount) return false;
  PropertyRow& row = properties[property];
  if (row.is_null) {
    reshaped_ = true;
    row.value_count = 0;
    row.is_null = false;
  }
  if (count <= row.value_count) {
    // Shrinking only narrows this row's view of its bytes.
    if (count != row.value_count) reshaped_ = true;
    row.value_count = static_cast<uint32_t>(count);
  } else {
    reshaped_ = true;
    MakeRoom(&row, count);
  }
  ++generation_;
  return true;
}

void MetadataStore::SetNull(uint32_t property) {
  PropertyRow& row = properties[property];
  row.is_null = true;
  row.value_count = 0;
  reshaped_ = true;
  ++generation_;
}

namespace {

class GroupIterator;
class PropertyIterator;

class PrimitiveHandle : public IPrimitive, public PooledHandle {
 public:
  PrimitiveHandle(std::shared_ptr<MetadataStore> store, uint32_t index)
      : store_(std::move(store)), index_(index) {}

  PropertyDescriptor descriptor() const override {
    return PropertyDescriptor(store_->PropertyName(index_), type());
  }
  int isNull() const override {
    return store_->properties[index_].is_null ? 1 : 0;
  }
  PrimitiveType type() const override {
    return store_->properties[index_].type;
  }
  size_t size() const override {
    const PropertyRow& row = store_->properties[index_];
    return row.is_null ? 0 : row.value_count;
  }
  bool write(const void* buffer, size_t first, size_t count) override {
    return store_->Write(index_, buffer, first, count);
  }
  bool resize(size_t count) override { return store_->Resize(index_, count); }
  bool read(void* buffer, size_t first, size_t count) const override {
    return store_->Read(index_, buffer, first, count);
  }
  void setNull() override { store_->SetNull(index_); }

 private:
  std::shared_ptr<MetadataStore> store_;
  uint32_t index_;
};

class GroupObject : public IGroup, public PooledHandle {
 public:
  GroupObject(std::shared_ptr<MetadataStore> store, uint32_t index)
      : store_(std::move(store)), index_(index) {}

  WideString name() const override { return store_->GroupName(index_); }
  SharedPtr<IGroup> group(const WideString& name) override {
    uint32_t child = store_->FindChild(index_, name.string());
    if (child == kNoIndex) return SharedPtr<IGroup>();
    return MakeGroupHandle(store_, child);
  }
  SharedPtr<IProperty> property(const WideString& name) override {
    uint32_t property = store_->FindProperty(index_, name.string());
    if (property == kNoIndex) return SharedPtr<IProperty>();
    return MakePrimitiveHandle(store_, property);
  }
  SharedPtr<IIterator> properties() override;
  SharedPtr<IIterator> groups() override;
  size_t groupCount() const override { return store_->ChildCount(index_); }
  size_t propertyCount() const override {
    return store_->PropertyCount(index_);
  }
  SharedPtr<IGroup> addGroup(const WideString& name) override {
    uint32_t child = store_->AddGroup(index_, name.string());
    if (child == kNoIndex) return SharedPtr<IGroup>();
    return MakeGroupHandle(store_, child);
  }
  SharedPtr<IPrimitive> addPrimitive(const WideString& name,
                                     PrimitiveType type) override {
    uint32_t property = store_->AddProperty(index_, name.string(), type);
    if (property == kNoIndex) return SharedPtr<IPrimitive>();
    return MakePrimitiveHandle(store_, property);
  }
  bool setName(const WideString& name) override {
    return store_->SetGroupName(index_, name.string());
  }

 private:
  std::shared_ptr<MetadataStore> store_;
  uint32_t index_;
};

// Walks the children (groups) or the properties of one group by position,
// so rows added meanwhile are simply further positions.
class ChildIterator : public IIterator, public PooledHandle {
 public:
  ChildIterator(std::shared_ptr<MetadataStore> store, uint32_t group,
                bool properties)
      : store_(std::move(store)), group_(group), properties_(properties) {}

  bool next() override {
    if (position_ < Count()) ++position_;
    return position_ < Count();
  }
  SharedPtr<IObject> current() override {
    if (position_ >= Count()) return SharedPtr<IObject>();
    if (properties_) {
      return MakePrimitiveHandle(store_, store_->PropertyAt(group_, position_));
    }
    return MakeGroupHandle(store_, store_->ChildAt(group_, position_));
  }

 private:
  uint32_t Count() const {
    return properties_ ? store_->PropertyCount(group_)
                       : store_->ChildCount(group_);
  }

  std::shared_ptr<MetadataStore> store_;
  uint32_t group_;
  bool properties_;
  uint32_t position_ = 0;
};

SharedPtr<IIterator> GroupObject::properties() {
  return SharedPtr<IIterator>(new ChildIterator(store_, index_, true));
}

SharedPtr<IIterator> GroupObject::groups() {
  return SharedPtr<IIterator>(new ChildIterator(store_, index_, false));
}

// Units of a serialised string array; see IStringArray in metadata.h.
class StringArray : public IStringArray {
 public:
  size_t count() const override { return entries_.size(); }
  WideString get(size_t index) const override {
    if (index >= entries_.size()) return WideString();
    return WideString(entries_[index]);
  }
  void append(const WideString& text) override {
    entries_.push_back(text.string());
  }
  bool store(IPrimitive* primitive) const override {
    if (primitive == nullptr ||
        primitive->type() != PrimitiveType::kStringArray) {
      return false;
    }
    std::u16string units;
    if (!entries_.empty()) {
      uint64_t total = 2;
      for (const std::u16string& entry : entries_) total += 2 + entry.size();
      if (total > kMaxCount) return false;
      units.reserve(total);
      AppendNumber(entries_.size(), &units);
      for (const std::u16string& entry : entries_) {
        AppendNumber(entry.size(), &units);
        units += entry;
      }
    }
    if (!primitive->resize(units.size())) return false;
    return primitive->write(units.data(), 0, units.size());
  }

  bool Parse(const char16_t* units, size_t length) {
    if (length == 0) return true;
    if (units == nullptr) return false;
    size_t at = 0;
    uint32_t count;
    if (!ReadNumber(units, length, &at, &count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t entry_length;
      if (!ReadNumber(units, length, &at, &entry_length)) return false;
      if (entry_length > length - at) return false;
      entries_.emplace_back(units + at, entry_length);
      at += entry_length;
    }
    return at == length;
  }

  // The string array's 32-bit numbers, as two units.
  static void AppendNumber(uint64_t number, std::u16string* units) {
    units->push_back(static_cast<char16_t>(number & 0xFFFF));
    units->push_back(static_cast<char16_t>((number >> 16) & 0xFFFF));
  }
  static bool ReadNumber(const char16_t* units, size_t length, size_t* at,
                         uint32_t* number) {
    if (length - *at < 2) return false;
    *number =
        static_cast<uint32_t>(static_cast<uint16_t>(units[*at])) |
        (static_cast<uint32_t>(static_cast<uint16_t>(units[*at + 1])) << 16);
    *at += 2;
    return true;
  }

 private:
  std::vector<std::u16string> entries_;
};

}  // namespace

SharedPtr<IGroup> MakeGroupHandle(std::shared_ptr<MetadataStore> store,
                                  uint32_t group) {
  return SharedPtr<IGroup>(new GroupObject(std::move(store), group));
}

SharedPtr<IPrimitive> MakePrimitiveHandle(std::shared_ptr<MetadataStore> store,
                                          uint32_t property) {
  return SharedPtr<IPrimitive>(new PrimitiveHandle(std::move(store), property));
}

std::unique_ptr<IGroup> MakeOwnedGroup(std::shared_ptr<MetadataStore> store,
                                       uint32_t group) {
  return std::make_unique<GroupObject>(std::move(store), group);
}

}  // namespace internal

SharedPtr<IPrimitive> IPrimitive::to(const SharedPtr<IProperty>& property) {
  return dynamicCast<IPrimitive>(property);
}

SharedPtr<IPrimitive> IPrimitive::to(const SharedPtr<IObject>& object) {
  return dynamicCast<IPrimitive>(object);
}

SharedPtr<IGroup> IGroup::to(const SharedPtr<IObject>& object) {
  return dynamicCast<IGroup>(object);
}

SharedPtr<IStringArray> IStringArray::to(const char16_t* units, size_t length) {
  auto array = std::make_unique<internal::StringArray>();
  if (!array->Parse(units, length)) return SharedPtr<IStringArray>();
  return SharedPtr<IStringArray>(array.release());
}

SharedPtr<IStringArray> IStringArray::create() {
  return SharedPtr<IStringArray>(new internal::StringArray());
}

bool Utf8StringArray::Read(const IPrimitive& primitive) {
  entries_.clear();
  text_.clear();
  units_.clear();
  if (primitive.type() != PrimitiveType::kStringArray) return false;
  size_t length = primitive.size();
  if (length == 0) return true;
  units_.resize(length);
  if (!primitive.read(&units_[0], 0, length)) return false;
  const char16_t* units = units_.data();
  size_t at = 0;
  uint32_t count;
  bool ok = internal::StringArray::ReadNumber(units, length, &at, &count);
  for (uint32_t i = 0; ok && i < count; ++i) {
    uint32_t entry_length;
    ok = internal::StringArray::ReadNumber(units, length, &at, &entry_length) &&
         entry_length <= length - at;
    if (!ok) break;
    Entry entry;
    entry.unit_start = static_cast<uint32_t>(at);
    entry.unit_length = entry_length;
    entry.text_start = static_cast<uint32_t>(text_.size());
    tavik::AppendUtf16AsUtf8OrReplace(
        std::u16string_view(units + at, entry_length), &text_);
    entry.text_length = static_cast<uint32_t>(text_.size() - entry.text_start);
    entries_.push_back(entry);
    at += entry_length;
  }
  if (ok && at == length) return true;
  entries_.clear();
  text_.clear();
  units_.clear();
  return false;
}

void Utf8StringArray::Append(std::string_view text) {
  Entry entry;
  entry.unit_start = static_cast<uint32_t>(units_.size());
  tavik::AppendUtf8AsUtf16OrReplace(text, &units_);
  entry.unit_length = static_cast<uint32_t>(units_.size() - entry.unit_start);
  entry.text_start = static_cast<uint32_t>(text_.size());
  // The text as stored reads back, invalid sequences included; ASCII text,
  // one unit per byte, reads back as itself.
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    text_.append(text);
  } else {
    tavik::AppendUtf16AsUtf8OrReplace(
        std::u16string_view(units_).substr(entry.unit_start, entry.unit_length),
        &text_);
  }
  entry.text_length = static_cast<uint32_t>(text_.size() - entry.text_start);
  entries_.push_back(entry);
}

void Utf8StringArray::Keep(const std::vector<bool>& keep) {
  size_t kept = 0;
  for (size_t k = 0; k < entries_.size(); ++k) {
    if (keep[k]) entries_[kept++] = entries_[k];
  }
  entries_.resize(kept);
}

bool Utf8StringArray::Store(IPrimitive* primitive) {
  if (primitive == nullptr ||
      primitive->type() != PrimitiveType::kStringArray) {
    return false;
  }
  if (entries_.empty()) return primitive->resize(0);
  uint64_t total = 2;
  for (const Entry& entry : entries_) total += 2 + entry.unit_length;
  if (total > internal::kMaxCount) return false;
  out_.clear();
  out_.reserve(total);
  internal::StringArray::AppendNumber(entries_.size(), &out_);
  for (const Entry& entry : entries_) {
    internal::StringArray::AppendNumber(entry.unit_length, &out_);
    out_.append(units_, entry.unit_start, entry.unit_length);
  }
  if (!primitive->resize(out_.size())) return false;
  return primitive->write(out_.data(), 0, out_.size());
}

SharedPtr<IGroup> CreateDetachedGroup(const WideString& name) {
  auto store = std::make_shared<internal::MetadataStore>();
  uint32_t root = store->AddGroup(internal::kNoIndex, name.string());
  return internal::MakeGroupHandle(std::move(store), root);
}

}  // namespace vmp
