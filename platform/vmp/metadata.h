// The asset package library's metadata objects: groups with ordered child
// groups and ordered properties, typed primitive properties, iterators, and
// the string array that a UTF-16 primitive holds.
//
// Every object is handed out through a SharedPtr. A handle keeps what it
// names alive: a group or property handle stays usable (reads and writes
// work on the in-memory metadata) even after its package is destroyed; only
// a package's commit brings changes to the file.
//
// Threading: the metadata of one package is used from one thread at a time.
// Handle counting is atomic, everything else is not synchronised.
#ifndef TAVIK_PLATFORM_VMP_METADATA_H_
#define TAVIK_PLATFORM_VMP_METADATA_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/vmp/shared_ptr.h"
#include "platform/vmp/strings.h"

namespace vmp {

// What an iterator hands out: a group or a property. Use dynamicCast (or
// IGroup::to / IPrimitive::to) for the concrete interface.
class IObject {
 public:
  virtual ~IObject() = default;
};

class IIterator {
 public:
  virtual ~IIterator() = default;
  // Moves to the next item; false when that steps past the end (and at
  // the end already).
  virtual bool next() = 0;
  // The item at the current position; an empty handle past the end.
  virtual SharedPtr<IObject> current() = 0;
};

// Element types of a primitive. The buffer form of one element, as read()
// and write() take it:
//   kBool         1 byte, 0 or 1 (write stores any non-zero byte as 1)
//   kInt32        int32_t
//   kFloat64      double
//   kStringArray  char16_t: one UTF-16 unit of a serialised string array
//                 (see IStringArray)
enum class PrimitiveType : uint8_t {
  kBool = 1,
  kInt32 = 2,
  kFloat64 = 3,
  kStringArray = 4,
};

// Bytes of one element in the buffers of read() and write().
size_t ElementSize(PrimitiveType type);
// "bool", "int32", "float64", "string_array".
const char* PrimitiveTypeName(PrimitiveType type);
// Inverse of PrimitiveTypeName; false for an unknown name.
bool PrimitiveTypeFromName(const char* name, PrimitiveType* type);

class PropertyDescriptor {
 public:
  PropertyDescriptor(WideString name, PrimitiveType type)
      : name_(std::move(name)), type_(type) {}
  // Returned by value, so a descriptor taken from a temporary is safe.
  WideString name() const { return name_; }
  PrimitiveType type() const { return type_; }

 private:
  WideString name_;
  PrimitiveType type_;
};

class IProperty : public IObject {
 public:
  virtual PropertyDescriptor descriptor() const = 0;
  // 0 when the property holds a value (possibly empty) and is usable;
  // not 0 when it is null (holds no value at all).
  virtual int isNull() const = 0;
};

// A property whose value is a sequence of elements of one PrimitiveType.
// Counts are element counts; a value holds at most 2^32-1 elements.
class IPrimitive : public IProperty {
 public:
  // The property as a primitive, sharing its count; empty when `property`
  // is empty or not a primitive.
  static SharedPtr<IPrimitive> to(const SharedPtr<IProperty>& property);
  static SharedPtr<IPrimitive> to(const SharedPtr<IObject>& object);

  virtual PrimitiveType type() const = 0;
  // Number of elements; 0 for a null property.
  virtual size_t size() const = 0;
  // Copies `count` elements from `buffer` to elements first.. of the value.
  // The range may reach past the end (the value grows) but must start at or
  // before it (first <= size()). A null property becomes non-null. True
  // when done; false (nothing changed) for a null buffer with count > 0, a
  // range starting past the end or a value that would grow too long.
  virtual bool write(const void* buffer, size_t first, size_t count) = 0;
  // New element count: truncates, or appends zero elements. 0 empties the
  // value (the property stays non-null). False only when too long.
  virtual bool resize(size_t count) = 0;
  // Copies elements first..first+count-1 to `buffer`. False (buffer
  // untouched) when the range does not lie within the value.
  virtual bool read(void* buffer, size_t first, size_t count) const = 0;
  // Makes the property null: no value, size() 0, isNull() not 0.
  virtual void setNull() = 0;
};

class IGroup : public IObject {
 public:
  // The object as a group, sharing its count; empty when it is not one.
  static SharedPtr<IGroup> to(const SharedPtr<IObject>& object);

  virtual WideString name() const = 0;
  // The first child group / property (in order) with this name; an empty
  // handle when there is none. Lookup in groups with many children is by a
  // hash index, not a scan.
  virtual SharedPtr<IGroup> group(const WideString& name) = 0;
  virtual SharedPtr<IProperty> property(const WideString& name) = 0;
  // Iterators over the properties / child groups in their order; items
  // added while iterating are seen at the end. current() gives IProperty
  // (every property is an IPrimitive) / IGroup objects.
  virtual SharedPtr<IIterator> properties() = 0;
  virtual SharedPtr<IIterator> groups() = 0;

  virtual size_t groupCount() const = 0;
  virtual size_t propertyCount() const = 0;

  // Appends a child group / a non-null primitive with an empty value.
  // Names need not be unique (lookup finds the first). Empty handle only
  // when the package is full (2^32-1 groups or properties).
  virtual SharedPtr<IGroup> addGroup(const WideString& name) = 0;
  virtual SharedPtr<IPrimitive> addPrimitive(const WideString& name,
                                             PrimitiveType type) = 0;
  // Renames the group. False only for a name too long to store.
  virtual bool setName(const WideString& name) = 0;
};

// A list of UTF-16 strings, stored in a kStringArray primitive as this
// sequence of UTF-16 units (every 32-bit number as two units, low unit
// first):
//   entry count N, then for each entry: its length L in units, L units.
// An empty array is stored as an empty value (no units at all); a value of
// just a count of 0 reads as empty too.
class IStringArray {
 public:
  // A new array read from a serialised value, independent of `units`
  // (`units` may be null when `length` is 0: an empty array). An empty
  // handle when the units are not a well-formed string array (counts
  // running past the end, units left over).
  static SharedPtr<IStringArray> to(const char16_t* units, size_t length);
  // A new empty array.
  static SharedPtr<IStringArray> create();

  virtual ~IStringArray() = default;
  virtual size_t count() const = 0;
  // Entry `index`; an empty string when out of range.
  virtual WideString get(size_t index) const = 0;
  virtual void append(const WideString& text) = 0;
  // Writes the array as the whole value of `primitive` (resized to fit).
  // False, primitive unchanged, when it is null-pointer, not of type
  // kStringArray, or the array is too long for one value.
  virtual bool store(IPrimitive* primitive) const = 0;
};

// The string array of a kStringArray primitive with its entries as UTF-8,
// for callers that work in UTF-8: the stored units are decoded in one pass
// into one block, with no string object per entry. Entries that were read
// keep their stored units, so Store writes them back exactly, even one
// that is not exact text (a lone surrogate, which reads as U+FFFD). One
// object may serve many values in turn; its buffers keep their room, so
// reading and storing allocate nothing once they have grown.
class Utf8StringArray {
 public:
  // Reads the value of `primitive`. True when it holds a well-formed string
  // array (as IStringArray::to judges; a null property reads as empty);
  // false, with no entries, when it is not a kStringArray primitive or its
  // value is not well-formed.
  bool Read(const IPrimitive& primitive);
  size_t count() const { return entries_.size(); }
  // Entry `index` (< count()); valid until the next Read, Append or Keep.
  std::string_view get(size_t index) const {
    const Entry& entry = entries_[index];
    return std::string_view(text_).substr(entry.text_start, entry.text_length);
  }
  // Appends `text`; a byte sequence that is not UTF-8 is stored as U+FFFD.
  void Append(std::string_view text);
  // Keeps the entries whose flag is true, in their order (`keep` has
  // count() flags).
  void Keep(const std::vector<bool>& keep);
  // Writes the entries as the whole value of `primitive`, with the contract
  // of IStringArray::store; no entries store an empty value.
  bool Store(IPrimitive* primitive);

 private:
  struct Entry {
    uint32_t unit_start;  // into units_
    uint32_t unit_length;
    uint32_t text_start;  // into text_
    uint32_t text_length;
  };
  std::u16string units_;  // the value read, then the units appended
  std::string text_;
  std::vector<Entry> entries_;
  std::u16string out_;  // the value being stored
};

// A new root group that belongs to no package: metadata held only in
// memory, for building or testing groups without a file.
SharedPtr<IGroup> CreateDetachedGroup(const WideString& name);

}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_METADATA_H_
