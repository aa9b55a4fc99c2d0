#include "platform/vmp/metadata.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vmp {
namespace {

std::vector<std::u16string> ChildNames(IGroup* group) {
  std::vector<std::u16string> names;
  SharedPtr<IIterator> it = group->groups();
  for (SharedPtr<IObject> item = it->current(); item;
       it->next(), item = it->current()) {
    names.push_back(IGroup::to(item)->name().string());
  }
  return names;
}

TEST(MetadataTest, GroupsKeepOrderAndFindTheFirstOfAName) {
  // Below and above the size where lookups switch to a hash index.
  for (int children : {3, 40}) {
    SharedPtr<IGroup> root = CreateDetachedGroup("root");
    std::vector<std::u16string> expected;
    for (int i = 0; i < children; ++i) {
      std::u16string name = u"asset" + std::u16string(1, u'A' + i % 20);
      if (i % 20 == i) name += u"\u00e9";  // first round: its own name
      SharedPtr<IGroup> child = root->addGroup(WideString(name));
      ASSERT_TRUE(child);
      child->addGroup("QSN")->addGroup("refs");
      expected.push_back(name);
    }
    EXPECT_EQ(expected, ChildNames(root.get()));
    EXPECT_EQ(static_cast<size_t>(children), root->groupCount());
    // Interleave lookups with additions: the index must follow.
    SharedPtr<IGroup> late = root->addGroup("late");
    late->addGroup("marker");
    SharedPtr<IGroup> found = root->group("late");
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->group("marker"));
    EXPECT_TRUE(root->group(WideString(expected[1]))->group("QSN"));
    EXPECT_TRUE(root->group("missing").isNull());
    EXPECT_TRUE(root->group("").isNull());
    SharedPtr<IGroup> duplicate = root->addGroup("late");
    EXPECT_FALSE(root->group("late")->group("marker").isNull())
        << "a later group of the same name must not shadow the first";
  }
}

TEST(MetadataTest, IteratorSeesItemsAddedWhileWalking) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  root->addPrimitive("a", PrimitiveType::kInt32);
  SharedPtr<IIterator> it = root->properties();
  SharedPtr<IObject> first = it->current();
  ASSERT_TRUE(first);
  root->addPrimitive("b", PrimitiveType::kBool);
  EXPECT_TRUE(it->next());
  SharedPtr<IPrimitive> second = IPrimitive::to(it->current());
  ASSERT_TRUE(second);
  EXPECT_EQ(u"b", second->descriptor().name().string());
  EXPECT_EQ(PrimitiveType::kBool, second->descriptor().type());
  EXPECT_FALSE(it->next());
  EXPECT_TRUE(it->current().isNull());
  EXPECT_FALSE(it->next());                 // stays at the end
  EXPECT_TRUE(IGroup::to(first).isNull());  // a property is not a group
}

TEST(MetadataTest, PrimitiveRangeRules) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  SharedPtr<IPrimitive> p = root->addPrimitive("n", PrimitiveType::kInt32);
  const int32_t values[] = {1, -2, 2147483647, -2147483647 - 1};
  struct Case {
    const char* what;
    size_t first, count;
    bool write_ok;
    size_t size_after;
  };
  const Case cases[] = {
      {"into an empty value", 0, 2, true, 2},
      {"appending at the end", 2, 2, true, 4},
      {"overwriting inside", 1, 1, true, 4},
      {"starting past the end", 5, 1, false, 4},
      {"nothing at the end", 4, 0, true, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.write_ok, p->write(values, c.first, c.count)) << c.what;
    EXPECT_EQ(c.size_after, p->size()) << c.what;
  }
  int32_t out[4] = {};
  ASSERT_TRUE(p->read(out, 0, 4));
  EXPECT_EQ(1, out[0]);
  EXPECT_EQ(1, out[1]);  // overwritten by values[0] at index 1
  EXPECT_EQ(1, out[2]);
  EXPECT_EQ(-2, out[3]);
  int32_t untouched = 77;
  EXPECT_FALSE(p->read(&untouched, 3, 2));
  EXPECT_FALSE(p->read(&untouched, 5, 0));
  EXPECT_EQ(77, untouched);
  EXPECT_FALSE(p->write(nullptr, 0, 1));

  ASSERT_TRUE(p->resize(6));
  ASSERT_TRUE(p->read(out, 4, 2));
  EXPECT_EQ(0, out[0]);  // grown elements are zero
  EXPECT_EQ(0, out[1]);
  ASSERT_TRUE(p->resize(0));
  EXPECT_EQ(0u, p->size());
  EXPECT_EQ(0, p->isNull());
}

TEST(MetadataTest, NullPropertiesHoldNoValueUntilWritten) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  SharedPtr<IPrimitive> p = root->addPrimitive("flag", PrimitiveType::kBool);
  EXPECT_EQ(0, p->isNull());
  uint8_t yes = 7;  // any non-zero byte is true, stored as 1
  ASSERT_TRUE(p->write(&yes, 0, 1));
  p->setNull();
  EXPECT_NE(0, p->isNull());
  EXPECT_EQ(0u, p->size());
  uint8_t out = 9;
  EXPECT_FALSE(p->read(&out, 0, 1));
  ASSERT_TRUE(p->write(&yes, 0, 1));
  EXPECT_EQ(0, p->isNull());
  ASSERT_TRUE(p->read(&out, 0, 1));
  EXPECT_EQ(1, out);
  p->setNull();
  ASSERT_TRUE(p->resize(0));  // an empty value is still a value
  EXPECT_EQ(0, p->isNull());
}

TEST(MetadataTest, PropertyLookupAndCastShareTheHandle) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  root->addPrimitive("read only", PrimitiveType::kBool);
  SharedPtr<IProperty> property = root->property("read only");
  ASSERT_TRUE(property);
  SharedPtr<IPrimitive> primitive = IPrimitive::to(property);
  ASSERT_TRUE(primitive);
  EXPECT_EQ(property.counter(), primitive.counter());
  EXPECT_EQ(2, property.counter()->count());
  EXPECT_TRUE(root->property("read-only").isNull());
  EXPECT_TRUE(IPrimitive::to(SharedPtr<IProperty>()).isNull());
}

std::vector<std::u16string> Entries(const SharedPtr<IStringArray>& array) {
  std::vector<std::u16string> entries;
  for (size_t i = 0; i < array->count(); ++i) {
    entries.push_back(array->get(i).string());
  }
  return entries;
}

TEST(StringArrayTest, StoresAndReadsBack) {
  const std::vector<std::vector<std::u16string>> cases = {
      {},
      {u""},
      {u"3/a.png"},
      {u"3/a.png", u"", u"10/a.png"},
      {u"K\u00f6ln/\u6771\u4eac/\U0001F600.png", std::u16string(1, u'\0')},
      {std::u16string(70000, u'x')},  // length above 16 bits
  };
  for (const auto& entries : cases) {
    SharedPtr<IGroup> root = CreateDetachedGroup("root");
    SharedPtr<IPrimitive> p =
        root->addPrimitive("refs", PrimitiveType::kStringArray);
    SharedPtr<IStringArray> array = IStringArray::create();
    for (const auto& entry : entries) array->append(WideString(entry));
    ASSERT_TRUE(array->store(p.get()));
    if (entries.empty()) {
      EXPECT_EQ(0u, p->size());
    }
    std::u16string units(p->size(), u'\0');
    ASSERT_TRUE(p->read(&units[0], 0, units.size()));
    SharedPtr<IStringArray> back =
        IStringArray::to(units.empty() ? nullptr : units.data(), units.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(entries, Entries(back));
    units.assign(units.size(), u'?');  // the array is a copy
    EXPECT_EQ(entries, Entries(back));
  }
}

TEST(StringArrayTest, LayoutIsCountThenLengthPrefixedEntries) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  SharedPtr<IPrimitive> p =
      root->addPrimitive("refs", PrimitiveType::kStringArray);
  SharedPtr<IStringArray> array = IStringArray::create();
  array->append("ab");
  array->append("");
  ASSERT_TRUE(array->store(p.get()));
  std::u16string units(p->size(), u'\0');
  ASSERT_TRUE(p->read(&units[0], 0, units.size()));
  EXPECT_EQ(std::u16string({2, 0, 2, 0, u'a', u'b', 0, 0}), units);
}

TEST(StringArrayTest, MalformedValuesGiveNoArray) {
  const std::vector<std::u16string> cases = {
      {1},                     // count cut short
      {1, 0},                  // count 1, no entry
      {1, 0, 5, 0, u'a'},      // entry longer than the rest
      {1, 0, 0, 0, u'x'},      // units left over
      {0xFFFF, 0xFFFF, 0, 0},  // huge count
  };
  for (const auto& units : cases) {
    EXPECT_TRUE(IStringArray::to(units.data(), units.size()).isNull());
  }
  SharedPtr<IStringArray> empty = IStringArray::to(nullptr, 0);
  ASSERT_TRUE(empty);
  EXPECT_EQ(0u, empty->count());
  EXPECT_EQ(u"", empty->get(0).string());
  const char16_t zero_count[] = {0, 0};
  ASSERT_TRUE(IStringArray::to(zero_count, 2));
}

TEST(StringArrayTest, StoreRefusesOtherTypes) {
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  SharedPtr<IPrimitive> p = root->addPrimitive("n", PrimitiveType::kInt32);
  SharedPtr<IStringArray> array = IStringArray::create();
  array->append("x");
  EXPECT_FALSE(array->store(p.get()));
  EXPECT_FALSE(array->store(nullptr));
  EXPECT_EQ(0u, p->size());
}

// The UTF-8 form reads what IStringArray reads, and stores what it would
// store: kept entries unit for unit (a lone surrogate included), appended
// ones as WideString decodes them. One object serves every case in turn.
TEST(Utf8StringArrayTest, AgreesWithTheWideArray) {
  struct Case {
    std::u16string units;  // the stored value
    std::vector<bool> keep;
    const char* append;  // null for none
  } cases[] = {
      {{}, {}, "3/a.png"},
      {{0, 0}, {}, nullptr},
      {{2, 0, 2, 0, u'a', u'b', 1, 0, 0xD800}, {false, true}, "x\xff/\xc3"},
      {{2, 0, 1, 0, 0x00E9, 2, 0, 0xD83D, 0xDE00}, {true, true}, "\xc3\xa9"},
      {{3, 0, 0, 0, 1, 0, u'q', 1, 0, 0}, {true, false, true}, nullptr},
      {{1, 0, 5, 0, u'a'}, {}, nullptr},  // entry longer than the rest
      {{1, 0, 0, 0, u'x'}, {}, nullptr},  // units left over
      {{1}, {}, nullptr},                 // count cut short
  };
  Utf8StringArray utf8;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.units.size());
    SharedPtr<IGroup> root = CreateDetachedGroup("root");
    SharedPtr<IPrimitive> p =
        root->addPrimitive("refs", PrimitiveType::kStringArray);
    ASSERT_TRUE(p->write(c.units.data(), 0, c.units.size()));
    SharedPtr<IStringArray> wide = IStringArray::to(
        c.units.empty() ? nullptr : c.units.data(), c.units.size());
    ASSERT_EQ(static_cast<bool>(wide), utf8.Read(*p));
    if (!wide) {
      EXPECT_EQ(0u, utf8.count());
      continue;
    }
    ASSERT_EQ(wide->count(), utf8.count());
    SharedPtr<IStringArray> expected = IStringArray::create();
    for (size_t k = 0; k < wide->count(); ++k) {
      EXPECT_EQ(StringAlgorithm::UTF8Encode(wide->get(k)).string(),
                utf8.get(k));
      if (c.keep.empty() || c.keep[k]) expected->append(wide->get(k));
    }
    if (!c.keep.empty()) utf8.Keep(c.keep);
    if (c.append != nullptr) {
      utf8.Append(c.append);
      expected->append(WideString(c.append));
      EXPECT_EQ(StringAlgorithm::UTF8Encode(WideString(c.append)).string(),
                utf8.get(utf8.count() - 1));
    }
    SharedPtr<IPrimitive> want =
        root->addPrimitive("want", PrimitiveType::kStringArray);
    ASSERT_TRUE(expected->store(want.get()));
    ASSERT_TRUE(utf8.Store(p.get()));
    std::u16string got(p->size(), u'\0'), stored(want->size(), u'\0');
    p->read(&got[0], 0, got.size());
    want->read(&stored[0], 0, stored.size());
    EXPECT_EQ(stored, got);
  }
  SharedPtr<IGroup> root = CreateDetachedGroup("root");
  SharedPtr<IPrimitive> number = root->addPrimitive("n", PrimitiveType::kInt32);
  EXPECT_FALSE(utf8.Read(*number));
  EXPECT_FALSE(utf8.Store(number.get()));
}

TEST(StringsTest, ConversionsRoundTripAndRefuseInvalidText) {
  const UTF8String text("K\xc3\xb6ln \xe6\x9d\xb1 \xf0\x9f\x98\x80");
  WideString wide = StringAlgorithm::UTF8Decode(text);
  EXPECT_EQ(u"K\u00f6ln \u6771 \U0001F600", wide.string());
  EXPECT_EQ(0, StringAlgorithm::UTF8Encode(wide).compare(text));
  EXPECT_EQ(wide, WideString(text));
  EXPECT_NE(0, UTF8String("a").compare("b"));
  EXPECT_EQ(nullptr, WideString().value());
  EXPECT_EQ(u'a', *WideString("a").value());

  UTF8String out("kept");
  const char16_t lone[] = {u'a', 0xD800, 0};
  EXPECT_FALSE(StringAlgorithm::UTF8Encode(WideString(lone), &out));
  EXPECT_EQ("kept", out.string());
  EXPECT_EQ("a\xef\xbf\xbd",
            StringAlgorithm::UTF8Encode(WideString(lone)).string());
  WideString wide_out(u"kept");
  EXPECT_FALSE(StringAlgorithm::UTF8Decode(UTF8String("\xff"), &wide_out));
  EXPECT_EQ(u"kept", wide_out.string());
}

}  // namespace
}  // namespace vmp
