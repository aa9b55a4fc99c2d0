#include "platform/vmp/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/vmp/internal/crc32c.h"
#include "platform/vmp/internal/metadata_store.h"
#include "platform/vmp/internal/package_format.h"
#include "platform/vmp/package_test_util.h"

namespace vmp {
namespace {

using testing_util::ReadBytes;
using testing_util::ScratchDir;
using testing_util::WriteBytes;

// Version 2 files: the tables follow the header and the two update slots
// (bytes 40 to 167), which the file's checksum leaves out.
constexpr size_t kTablesAt = 168;

IGroup* PackageRoot(Package* package) {
  return package->ipackage()->metadata()->root();
}

IGroup* SceneRoot(Package* package) {
  return package->document(0)->scene()->assets()->metadata()->root();
}

// A small library: "read only" false, two assets with QSN/refs.
void MakeLibrary(const std::string& path) {
  SharedPtr<Package> package = Package::create(WideString(path.c_str()), false,
                                               tavik::DefaultFileSystem());
  ASSERT_TRUE(package->isValid());
  uint8_t no = 0;
  PackageRoot(package.get())
      ->addPrimitive("read only", PrimitiveType::kBool)
      ->write(&no, 0, 1);
  for (const char* name : {"chair",
                           "t\xc3\xa4"
                           "ble"}) {
    SharedPtr<IGroup> refs = SceneRoot(package.get())
                                 ->addGroup(name)
                                 ->addGroup("QSN")
                                 ->addGroup("refs");
    SharedPtr<IStringArray> array = IStringArray::create();
    array->append("3/a.png");
    array->store(
        refs->addPrimitive("diffuse", PrimitiveType::kStringArray).get());
  }
  ASSERT_TRUE(package->commit().ok());
}

bool ReadOnlyFlag(Package* package) {
  SharedPtr<IPrimitive> p =
      IPrimitive::to(PackageRoot(package)->property("read only"));
  uint8_t value = 0xAA;
  EXPECT_TRUE(p && p->read(&value, 0, 1));
  return value == 1;
}

TEST(Crc32cTest, KnownValueAndPieces) {
  EXPECT_EQ(0xE3069283u, Crc32c("123456789", 9));
  EXPECT_EQ(0xE3069283u, Crc32cPortable(0, "123456789", 9));
  EXPECT_EQ(0u, Crc32c("", 0));
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  // Every length and start offset against the table form, so the
  // instruction path (where the processor has it) computes the same CRC.
  for (size_t start = 0; start < 9; ++start) {
    for (size_t length = 0; start + length <= 64; ++length) {
      ASSERT_EQ(Crc32cPortable(0, data.data() + start, length),
                Crc32c(data.data() + start, length));
    }
  }
  for (size_t cut : {0, 1, 7, 8, 9, 500, 999}) {
    EXPECT_EQ(Crc32c(data.data(), data.size()),
              Crc32cExtend(Crc32c(data.data(), cut), data.data() + cut,
                           data.size() - cut));
  }
}

TEST(PackageTest, EveryPrimitiveTypeRoundTrips) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  const uint8_t bools[] = {1, 0, 1};
  const int32_t ints[] = {0, -1, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max(), 0x01020304};
  const double doubles[] = {
      0.0, -0.0, 1.5, -1e300, 5e-324, std::numeric_limits<double>::infinity()};
  const char16_t units[] = {u'a', 0xD83D, 0xDE00, 0, 0xFFFF};
  struct Case {
    const char* name;
    PrimitiveType type;
    const void* data;
    size_t count;
  };
  const Case cases[] = {
      {"bools", PrimitiveType::kBool, bools, 3},
      {"ints", PrimitiveType::kInt32, ints, 5},
      {"doubles", PrimitiveType::kFloat64, doubles, 6},
      {"units", PrimitiveType::kStringArray, units, 5},
      {"empty", PrimitiveType::kFloat64, "", 0},
  };
  {
    SharedPtr<Package> package =
        Package::create(path.c_str(), false, tavik::DefaultFileSystem());
    SharedPtr<IGroup> group = SceneRoot(package.get())->addGroup("values");
    for (const Case& c : cases) {
      ASSERT_TRUE(
          group->addPrimitive(c.name, c.type)->write(c.data, 0, c.count));
    }
    group->addPrimitive("nothing", PrimitiveType::kInt32)->setNull();
    ASSERT_TRUE(package->commit().ok());
  }
  SharedPtr<Package> package(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(package->isValid()) << package->status().message();
  SharedPtr<IGroup> group = SceneRoot(package.get())->group("values");
  ASSERT_TRUE(group);
  for (const Case& c : cases) {
    SharedPtr<IPrimitive> p = IPrimitive::to(group->property(c.name));
    ASSERT_TRUE(p) << c.name;
    EXPECT_EQ(c.type, p->type()) << c.name;
    ASSERT_EQ(c.count, p->size()) << c.name;
    EXPECT_EQ(0, p->isNull());
    std::string out(c.count * ElementSize(c.type), '\0');
    ASSERT_TRUE(p->read(&out[0], 0, c.count));
    EXPECT_EQ(std::string(static_cast<const char*>(c.data), out.size()), out)
        << c.name;
  }
  SharedPtr<IProperty> nothing = group->property("nothing");
  ASSERT_TRUE(nothing);
  EXPECT_NE(0, nothing->isNull());
  EXPECT_EQ(PrimitiveType::kInt32, IPrimitive::to(nothing)->type());
}

// A group row holds its name's length in 24 bits; a name that long or
// longer keeps its length beside the table, through renames, a save and a
// reopen.
TEST(PackageTest, GroupNamesTooLongForTheRowRoundTrip) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  const std::u16string long_name(0xFFFFFF, u'x');
  {
    SharedPtr<Package> package =
        Package::create(path.c_str(), false, tavik::DefaultFileSystem());
    IGroup* root = SceneRoot(package.get());
    root->addGroup(long_name)->addGroup("inner");
    ASSERT_TRUE(root->addGroup("short")->setName(long_name + u"y"));
    SharedPtr<IGroup> shortened = root->addGroup(long_name + u"z");
    ASSERT_TRUE(shortened->setName("z"));
    ASSERT_TRUE(package->commit().ok());
  }
  SharedPtr<Package> package(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(package->isValid()) << package->status().message();
  IGroup* root = SceneRoot(package.get());
  ASSERT_EQ(3u, root->groupCount());
  SharedPtr<IGroup> found = root->group(long_name);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->group("inner"));
  SharedPtr<IGroup> renamed = root->group(long_name + u"y");
  ASSERT_TRUE(renamed);
  EXPECT_EQ(long_name.size() + 1, renamed->name().string().size());
  EXPECT_TRUE(root->group("z"));
}

// The layout of the file is fixed little-endian: the bytes of a known
// package never change with the machine that wrote them.
TEST(PackageTest, FileBytesAreLittleEndian) {
  ScratchDir dir;
  const std::string path = dir.File("tiny.vlmrlib");
  {
    SharedPtr<Package> package =
        Package::create(path.c_str(), false, tavik::DefaultFileSystem());
    PackageRoot(package.get())->setName("P");
    SceneRoot(package.get())->setName("S");
    int32_t v = 0x01020304;
    PackageRoot(package.get())
        ->addPrimitive("n", PrimitiveType::kInt32)
        ->write(&v, 0, 1);
    ASSERT_TRUE(package->commit().ok());
  }
  const std::string bytes = ReadBytes(path);
  const std::string expected_tail =
      std::string("\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00",
                  12) +  // P
      std::string("\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00",
                  12) +  // S
      std::string("\x01\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00",
                  12) +  // n
      std::string("P\0S\0n\0\x04\x03\x02\x01", 10);
  ASSERT_EQ(kTablesAt + expected_tail.size(), bytes.size());
  EXPECT_EQ(std::string("\x89VMPK\r\n\x1a\x02\0\0\0\0\0\0\0", 16),
            bytes.substr(0, 16));
  EXPECT_EQ(bytes.size(), static_cast<unsigned char>(bytes[16]));
  EXPECT_EQ(std::string("\x02\0\0\0\x01\0\0\0", 8), bytes.substr(24, 8));
  // Slot 0 in force (sequence 1, no patches, its own checksum); slot 1
  // never used.
  EXPECT_EQ(std::string("\x01\0\0\0\0\0\0\0\0\0\0\0", 12),
            bytes.substr(40, 12));
  EXPECT_EQ(std::string(48, '\0'), bytes.substr(56, 48));
  EXPECT_EQ(std::string(64, '\0'), bytes.substr(104, 64));
  EXPECT_EQ(expected_tail, bytes.substr(kTablesAt));
  // The CRC-32C values of this image, as docs/package-format.md shows them.
  EXPECT_EQ(std::string("\xd1\x70\x77\x12", 4), bytes.substr(32, 4));
  EXPECT_EQ(std::string("\x6a\xa1\xb0\x2f", 4), bytes.substr(52, 4));
}

// Version 1 files, written before the update slots, still open: the example
// of docs/package-format.md, byte for byte.
TEST(PackageTest, VersionOneFilesStillOpen) {
  ScratchDir dir;
  const std::string path = dir.File("old.vlmrlib");
  const std::string v1(
      "\x89VMPK\r\n\x1a\x01\0\0\0\0\0\0\0"
      "\x56\0\0\0\0\0\0\0\x02\0\0\0\x01\0\0\0"
      "\xc5\x1b\x15\x64\0\0\0\0"
      "\x01\0\0\0\0\0\0\0\x01\0\0\0"
      "\x01\0\0\0\0\0\0\0\0\0\0\0"
      "\x01\0\0\0\x01\0\0\0\x02\0\0\0"
      "P\0S\0n\0\x04\x03\x02\x01",
      86);
  WriteBytes(path, v1);
  {
    SharedPtr<Package> package(
        new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
    ASSERT_TRUE(package->isValid()) << package->status().message();
    IGroup* root = PackageRoot(package.get());
    EXPECT_EQ(u"P", root->name().string());
    SharedPtr<IPrimitive> n = IPrimitive::to(root->property("n"));
    int32_t value = 0;
    ASSERT_TRUE(n && n->read(&value, 0, 1));
    EXPECT_EQ(0x01020304, value);
    // A change of that value alone: a version 1 file has no update slots,
    // so it is written whole, as version 2.
    value = 7;
    n->write(&value, 0, 1);
    ASSERT_TRUE(package->commit().ok());
  }
  const std::string bytes = ReadBytes(path);
  EXPECT_EQ(2, bytes[8]);
  SharedPtr<Package> reopened(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  int32_t value = 0;
  IPrimitive::to(PackageRoot(reopened.get())->property("n"))
      ->read(&value, 0, 1);
  EXPECT_EQ(7, value);
}

TEST(PackageTest, UpdateRunSequenceSavesBothStates) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  {
    SharedPtr<Package> package(
        new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
    ASSERT_TRUE(package->isValid());
    SharedPtr<Document> document = package->document(0);
    EXPECT_TRUE(package->document(1).isNull());
    IGroup* root = PackageRoot(package.get());
    uint8_t yes = 1;
    SharedPtr<IIterator> assets =
        document->scene()->assets()->metadata()->root()->groups();
    for (SharedPtr<IObject> item = assets->current(); item;
         assets->next(), item = assets->current()) {
      SharedPtr<IGroup> refs = IGroup::to(item)->group("QSN")->group("refs");
      SharedPtr<IPrimitive> p = IPrimitive::to(refs->property("diffuse"));
      std::u16string units(p->size(), u'\0');
      p->read(&units[0], 0, units.size());
      SharedPtr<IStringArray> array =
          IStringArray::to(units.data(), units.size());
      array->append("5/a.png");
      ASSERT_TRUE(array->store(p.get()));
    }
    EXPECT_TRUE(document->commit().ok());
    EXPECT_TRUE(package->commit().ok());
    IPrimitive::to(root->property("read only"))->write(&yes, 0, 1);
    EXPECT_TRUE(package->commit().ok());
  }
  SharedPtr<Package> package(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(package->isValid());
  EXPECT_TRUE(ReadOnlyFlag(package.get()));
  SharedPtr<IGroup> asset = SceneRoot(package.get())
                                ->group(
                                    "t\xc3\xa4"
                                    "ble");
  ASSERT_TRUE(asset);
  SharedPtr<IPrimitive> p =
      IPrimitive::to(asset->group("QSN")->group("refs")->property("diffuse"));
  std::u16string units(p->size(), u'\0');
  p->read(&units[0], 0, units.size());
  SharedPtr<IStringArray> array = IStringArray::to(units.data(), units.size());
  ASSERT_EQ(2u, array->count());
  EXPECT_EQ(u"5/a.png", array->get(1).string());
  // Read-only packages refuse to write.
  EXPECT_FALSE(package->commit().ok());
  EXPECT_FALSE(package->document(0)->commit().ok());
}

TEST(PackageTest, UnchangedPackageCommitWritesNothing) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  const auto before = std::filesystem::last_write_time(path);
  const std::string bytes = ReadBytes(path);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  SharedPtr<Package> package(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(package->commit().ok());
  EXPECT_EQ(before, std::filesystem::last_write_time(path));
  EXPECT_EQ(bytes, ReadBytes(path));
}

std::string Reseal(std::string bytes) {
  uint32_t crc = Crc32cExtend(Crc32c(bytes.data(), 32), bytes.data() + 36, 4);
  crc = Crc32cExtend(crc, bytes.data() + kTablesAt, bytes.size() - kTablesAt);
  for (int i = 0; i < 4; ++i) bytes[32 + i] = static_cast<char>(crc >> (8 * i));
  return bytes;
}

void Put32(std::string* bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    (*bytes)[at + i] = static_cast<char>(v >> (8 * i));
}

struct DamagedCase {
  const char* what;
  std::string bytes;
  tavik::Status::Code code;
};

// Damaged copies of the sample library `good` (see MakeLibrary): every way
// the reader must refuse a file, each with the code it must give.
std::vector<DamagedCase> DamagedCopies(const std::string& good) {
  // Layout of the sample: 40-byte header, two update slots, 8 groups (two
  // roots, two assets, two QSN, two refs, breadth first), 3 properties.
  EXPECT_EQ(8u, static_cast<unsigned char>(good[24]));
  EXPECT_EQ(3u, static_cast<unsigned char>(good[28]));
  const size_t groups_at = kTablesAt, properties_at = kTablesAt + 8 * 12;
  std::vector<DamagedCase> cases = {
      {"empty file", "", tavik::Status::Code::kCorrupt},
      {"text file", "hello, world\n", tavik::Status::Code::kCorrupt},
      {"magic only", good.substr(0, 8), tavik::Status::Code::kCorrupt},
      {"header cut", good.substr(0, 39), tavik::Status::Code::kCorrupt},
      {"slots cut", good.substr(0, 60), tavik::Status::Code::kCorrupt},
      {"tables cut", good.substr(0, 180), tavik::Status::Code::kCorrupt},
      {"last byte cut", good.substr(0, good.size() - 1),
       tavik::Status::Code::kCorrupt},
      {"byte appended", good + "x", tavik::Status::Code::kCorrupt},
  };
  {
    std::string b = good;
    b[1] = 'W';
    cases.push_back({"wrong magic", b, tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, 8, 3);
    cases.push_back(
        {"newer version", Reseal(b), tavik::Status::Code::kNotSupported});
  }
  for (size_t at :
       {size_t{12}, groups_at + 5, properties_at + 1, good.size() - 1}) {
    std::string b = good;
    b[at] ^= 0x10;
    cases.push_back({"flipped bit", b, tavik::Status::Code::kCorrupt});
  }
  // Well sealed but inconsistent: these get past the checksum.
  {
    std::string b = good;
    b[40 + 20] ^= 1;  // slot 0, the only one in use, damaged
    cases.push_back({"slots", b, tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, groups_at + 2 * 12 + 4, 2);  // asset 0 claims two children
    cases.push_back({"child counts", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, groups_at + 12 + 4, 1);  // scene root forgets an asset
    cases.push_back({"rows outside", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, groups_at + 12 + 4, 0);  // the first asset becomes its own
    cases.push_back({"cycle", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    b[properties_at + 12 + 8] = 9;  // unknown type
    cases.push_back({"type", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    b[properties_at + 9] = 1;  // "read only" null, but with a value
    cases.push_back(
        {"null with value", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, properties_at + 4, 2);  // value longer than the file
    cases.push_back({"value length", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  {
    std::string b = good;
    Put32(&b, 28, 0x40000000);  // more properties than the file can hold
    cases.push_back(
        {"property count", Reseal(b), tavik::Status::Code::kCorrupt});
  }
  return cases;
}

TEST(PackageTest, DamagedFilesOpenAsFailedPackagesAndStayUntouched) {
  ScratchDir dir;
  const std::string good_path = dir.File("good.vlmrlib");
  MakeLibrary(good_path);
  const std::vector<DamagedCase> cases = DamagedCopies(ReadBytes(good_path));
  for (const DamagedCase& c : cases) {
    const std::string path = dir.File("damaged.vlmrlib");
    WriteBytes(path, c.bytes);
    {
      SharedPtr<Package> package(
          new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
      EXPECT_FALSE(package->isValid()) << c.what;
      EXPECT_EQ(c.code, package->status().code())
          << c.what << ": " << package->status().message();
      // Only the flipped bits may be caught by the checksum; the sealed
      // cases must be caught by the checks behind it.
      EXPECT_EQ(
          std::string(c.what) == "flipped bit",
          package->status().message().find("checksum") != std::string::npos)
          << c.what << ": " << package->status().message();
      // What the caller gets is an empty package that cannot be saved.
      IGroup* root = PackageRoot(package.get());
      ASSERT_NE(nullptr, root);
      EXPECT_TRUE(root->property("read only").isNull());
      root->addPrimitive("read only", PrimitiveType::kBool)->resize(1);
      EXPECT_EQ(0u, SceneRoot(package.get())->groupCount());
      EXPECT_FALSE(package->document(0)->commit().ok()) << c.what;
      EXPECT_FALSE(package->commit().ok()) << c.what;
    }
    EXPECT_EQ(c.bytes, ReadBytes(path)) << c.what;
    std::vector<std::string> names = dir.Names();
    EXPECT_EQ(2u, names.size()) << c.what << ": no temporary file is left";
  }
}

// What a reader of the file in pieces sees: `before` for the first
// `switch_after` reads, then `after` (the file replaced meanwhile).
struct PieceReader {
  std::string before;
  std::string after;
  size_t switch_after = std::numeric_limits<size_t>::max();
  size_t reads = 0;
  uint64_t largest_table_piece = 0;

  internal::RangeReader Reader() {
    return [this](uint64_t offset,
                  uint64_t max_bytes) -> tavik::Result<tavik::LargeString> {
      const std::string& bytes = reads++ < switch_after ? before : after;
      if (offset >= bytes.size()) return tavik::LargeString();
      const uint64_t n = std::min<uint64_t>(max_bytes, bytes.size() - offset);
      if (offset >= kTablesAt && offset < internal::TablesEnd(bytes)) {
        largest_table_piece = std::max(largest_table_piece, n);
      }
      return tavik::LargeString(bytes.data() + offset, n);
    };
  }
};

struct Parsed {
  tavik::Status status;
  std::string image;  // the store written out again, when it parsed
  internal::FileSlots slots;
};

Parsed ParseWhole(const std::string& bytes) {
  Parsed parsed;
  internal::MetadataStore store;
  parsed.status = internal::ParsePackage(bytes, tavik::LargeString(), &store,
                                         &parsed.slots);
  if (parsed.status.ok()) parsed.image = internal::SerializePackage(store);
  return parsed;
}

Parsed ReadInPieces(PieceReader* reader, size_t piece) {
  Parsed parsed;
  internal::MetadataStore store;
  parsed.status =
      internal::ReadPackage(reader->Reader(), &store, &parsed.slots, piece);
  if (parsed.status.ok()) parsed.image = internal::SerializePackage(store);
  return parsed;
}

TEST(PackageTest, ReadingInPiecesAnswersAsTheWholeFile) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  const std::string good = ReadBytes(path);
  std::vector<DamagedCase> cases = DamagedCopies(good);
  cases.push_back({"sound", good, tavik::Status::Code::kOk});
  {
    // Slot 1 in force, patching the name lengths of both assets (5 and 5
    // units) to 4 and 6: a sound file, whose tables differ from the bytes
    // read only once the patches are laid over them.
    std::string b = good;
    std::string slot;
    ASSERT_TRUE(internal::EncodeSlot(
        2, {{kTablesAt + 2 * 12, "\x04"}, {kTablesAt + 3 * 12, "\x06"}},
        &slot));
    b.replace(internal::SlotOffset(1), slot.size(), slot);
    cases.push_back({"tables patched", b, tavik::Status::Code::kOk});
  }
  for (const DamagedCase& c : cases) {
    const Parsed whole = ParseWhole(c.bytes);
    ASSERT_EQ(c.code, whole.status.code()) << c.what;
    for (size_t piece : {size_t{1}, size_t{12}, size_t{40}, size_t{1} << 20}) {
      PieceReader reader;
      reader.before = c.bytes;
      const Parsed pieces = ReadInPieces(&reader, piece);
      const std::string what = std::string(c.what) + ", pieces of " +
                               std::to_string(piece) + " bytes";
      EXPECT_EQ(whole.status.code(), pieces.status.code()) << what;
      EXPECT_EQ(whole.status.message(), pieces.status.message()) << what;
      EXPECT_EQ(whole.image, pieces.image) << what;
      EXPECT_EQ(whole.slots.current, pieces.slots.current) << what;
      EXPECT_EQ(whole.slots.sequence, pieces.slots.sequence) << what;
      if (whole.status.ok()) {
        EXPECT_LE(reader.largest_table_piece, std::max<size_t>(12, piece))
            << what << ": the tables are never read whole";
      }
    }
  }
}

TEST(PackageTest, AFileReplacedWhileReadInPiecesIsReadAsOneOfTheTwo) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  const std::string before = ReadBytes(path);
  {
    SharedPtr<Package> package(
        new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
    SceneRoot(package.get())->addGroup("lamp");
    ASSERT_TRUE(package->commit().ok());
  }
  const std::string after = ReadBytes(path);
  const std::string images[] = {ParseWhole(before).image,
                                ParseWhole(after).image};
  ASSERT_NE(images[0], images[1]);
  // Every moment of the reading at which the file may change.
  for (size_t switch_after = 0; switch_after < 12; ++switch_after) {
    PieceReader reader{before, after, switch_after};
    const Parsed read = ReadInPieces(&reader, 24);
    ASSERT_TRUE(read.status.ok())
        << switch_after << ": " << read.status.message();
    EXPECT_TRUE(read.image == images[0] || read.image == images[1])
        << "replaced after " << switch_after << " reads: a mixture";
  }
}

TEST(PackageTest, MissingFileAndBadOptionsFail) {
  ScratchDir dir;
  SharedPtr<Package> missing(new Package(dir.File("none.vlmrlib").c_str(), true,
                                         "", tavik::DefaultFileSystem()));
  EXPECT_FALSE(missing->isValid());
  EXPECT_EQ(tavik::Status::Code::kNotFound, missing->status().code());
  EXPECT_TRUE(dir.Names().empty()) << "a failed open creates nothing";

  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  SharedPtr<Package> options(
      new Package(path.c_str(), true, "x", tavik::DefaultFileSystem()));
  EXPECT_FALSE(options->isValid());
  const char16_t lone[] = {u'a', 0xDC00, 0};
  SharedPtr<Package> unpathable(
      new Package(lone, true, "", tavik::DefaultFileSystem()));
  EXPECT_EQ(tavik::Status::Code::kInvalidArgument, unpathable->status().code());
}

TEST(PackageTest, CreateRefusesAnExistingFileUnlessOverwriting) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  WriteBytes(path, "precious");
  SharedPtr<Package> refused =
      Package::create(path.c_str(), false, tavik::DefaultFileSystem());
  EXPECT_FALSE(refused->commit().ok());
  EXPECT_EQ("precious", ReadBytes(path));
  EXPECT_EQ(1u, dir.Names().size());

  SharedPtr<Package> forced =
      Package::create(path.c_str(), true, tavik::DefaultFileSystem());
  SceneRoot(forced.get())->addGroup("asset");
  ASSERT_TRUE(forced->commit().ok());
  // After its first commit a created package commits like an opened one.
  SceneRoot(forced.get())->addGroup("second");
  ASSERT_TRUE(forced->commit().ok());
  forced.reset();
  SharedPtr<Package> reopened(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(reopened->isValid());
  EXPECT_EQ(2u, SceneRoot(reopened.get())->groupCount());
}

// Fails one step of a commit, optionally after letting part of a write
// through.
class FailingFileSystem : public tavik::ForwardingFileSystem {
 public:
  enum class Step {
    kNone,
    kCreateTemp,
    kAppend,
    kPartialAppend,
    kFlush,
    kReplace
  };
  FailingFileSystem() : ForwardingFileSystem(tavik::DefaultFileSystem()) {}
  Step fail = Step::kNone;

  tavik::Result<std::unique_ptr<tavik::TempFile>> CreateTempFile(
      const std::string& target) override {
    if (fail == Step::kCreateTemp) return Injected();
    return ForwardingFileSystem::CreateTempFile(target);
  }
  tavik::Status AppendToFile(tavik::TempFile* file, const char* data,
                             size_t size) override {
    if (fail == Step::kAppend) return Injected();
    if (fail == Step::kPartialAppend) {
      ForwardingFileSystem::AppendToFile(file, data, size / 2);
      return Injected();
    }
    return ForwardingFileSystem::AppendToFile(file, data, size);
  }
  tavik::Status FlushFile(tavik::TempFile* file) override {
    if (fail == Step::kFlush) return Injected();
    return ForwardingFileSystem::FlushFile(file);
  }
  tavik::Status ReplaceLockedFile(tavik::LockedFile* target,
                                  tavik::TempFile* replacement) override {
    if (fail == Step::kReplace) return Injected();
    return ForwardingFileSystem::ReplaceLockedFile(target, replacement);
  }
  tavik::Result<std::unique_ptr<tavik::LockedFile>> InstallNewFile(
      tavik::TempFile* replacement, const std::string& target,
      bool overwrite) override {
    if (fail == Step::kReplace) return Injected();
    return ForwardingFileSystem::InstallNewFile(replacement, target, overwrite);
  }

 private:
  static tavik::Status Injected() { return tavik::Status::IoError("injected"); }
};

TEST(PackageTest, EachFailingCommitStepLeavesTheOldFileIntact) {
  using Step = FailingFileSystem::Step;
  for (Step step : {Step::kCreateTemp, Step::kAppend, Step::kPartialAppend,
                    Step::kFlush, Step::kReplace}) {
    ScratchDir dir;
    const std::string path = dir.File("lib.vlmrlib");
    MakeLibrary(path);
    const std::string before = ReadBytes(path);
    FailingFileSystem fs;
    {
      SharedPtr<Package> package(new Package(path.c_str(), true, "", &fs));
      ASSERT_TRUE(package->isValid());
      SceneRoot(package.get())->addGroup("new asset");
      fs.fail = step;
      tavik::Status s = package->commit();
      EXPECT_FALSE(s.ok()) << static_cast<int>(step);
      EXPECT_EQ(before, ReadBytes(path)) << static_cast<int>(step);
      EXPECT_EQ(std::vector<std::string>{"lib.vlmrlib"}, dir.Names())
          << "temporary file left after step " << static_cast<int>(step);
      // The change is still in memory; the next commit saves it.
      fs.fail = Step::kNone;
      ASSERT_TRUE(package->commit().ok());
    }
    SharedPtr<Package> reopened(
        new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
    ASSERT_TRUE(reopened->isValid());
    EXPECT_TRUE(SceneRoot(reopened.get())->group("new asset"));
  }
}

TEST(PackageTest, FailingFirstCommitOfANewPackageCreatesNothing) {
  using Step = FailingFileSystem::Step;
  for (Step step : {Step::kCreateTemp, Step::kPartialAppend, Step::kFlush,
                    Step::kReplace}) {
    ScratchDir dir;
    FailingFileSystem fs;
    fs.fail = step;
    SharedPtr<Package> package =
        Package::create(dir.File("new.vlmrlib").c_str(), false, &fs);
    EXPECT_FALSE(package->commit().ok());
    EXPECT_TRUE(dir.Names().empty()) << static_cast<int>(step);
  }
}

// The second opener must wait for the first to let go, and then see what
// the first committed: after the rename its lock must be on the new file.
TEST(PackageTest, SecondOpenerWaitsForTheFirst) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  SharedPtr<Package> first(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(first->isValid());
  std::atomic<bool> opened{false};
  size_t seen_assets = 0;
  bool seen_valid = false;
  std::thread second([&] {
    SharedPtr<Package> package(
        new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
    opened = true;
    seen_valid = package->isValid();
    seen_assets = SceneRoot(package.get())->groupCount();
    SceneRoot(package.get())->addGroup("from second");
    package->commit();
  });
  // Commit twice while the other waits, so it holds a lock on a file that
  // no longer has the name.
  for (const char* name : {"one", "two"}) {
    SceneRoot(first.get())->addGroup(name);
    ASSERT_TRUE(first->commit().ok());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(opened.load()) << "the second opener did not wait";
  first.reset();
  second.join();
  EXPECT_TRUE(seen_valid);
  EXPECT_EQ(4u, seen_assets);
  SharedPtr<Package> last(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  EXPECT_EQ(5u, SceneRoot(last.get())->groupCount());
}

// Sees the lock-for-update calls, and can shorten their wait.
class WatchedLocks : public tavik::ForwardingFileSystem {
 public:
  explicit WatchedLocks(std::chrono::milliseconds wait_limit)
      : ForwardingFileSystem(tavik::DefaultFileSystem()),
        wait_limit_(wait_limit) {}
  tavik::Result<std::unique_ptr<tavik::LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds wait_limit) override {
    asked_limit = wait_limit;
    entered = true;
    return ForwardingFileSystem::LockForUpdate(
        path, std::min(wait_limit, wait_limit_));
  }
  std::atomic<bool> entered{false};
  std::chrono::milliseconds asked_limit{0};

 private:
  std::chrono::milliseconds wait_limit_;
};

// An overwriting create waits for an update of the file, with the update's
// bounded wait, and then replaces what the update wrote (not the other way
// round: the update never swaps its file over the new one).
TEST(PackageTest, OverwritingCreateWaitsForTheUpdateLock) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  SharedPtr<Package> update(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(update->isValid());
  WatchedLocks watched(tavik::kLibraryLockWaitLimit);
  std::atomic<bool> done{false};
  bool created = false;
  std::thread create([&] {
    SharedPtr<Package> package = Package::create(path.c_str(), true, &watched);
    SceneRoot(package.get())->addGroup("from create");
    created = package->commit().ok();
    done = true;
  });
  while (!watched.entered && !done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  SceneRoot(update.get())->addGroup("from update");
  ASSERT_TRUE(update->commit().ok());
  update.reset();
  create.join();
  EXPECT_TRUE(created);
  EXPECT_EQ(watched.asked_limit, tavik::kLibraryLockWaitLimit);
  SharedPtr<Package> last(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(last->isValid());
  ASSERT_EQ(1u, SceneRoot(last.get())->groupCount());
  EXPECT_TRUE(SceneRoot(last.get())->group("from create"));
  EXPECT_EQ(1u, dir.Names().size());
}

TEST(PackageTest, OverwritingCreateGivesUpWhenTheLockStaysHeld) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  const std::string before = ReadBytes(path);
  SharedPtr<Package> update(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(update->isValid());
  WatchedLocks watched(std::chrono::milliseconds(30));
  SharedPtr<Package> package = Package::create(path.c_str(), true, &watched);
  EXPECT_FALSE(package->isValid());
  SceneRoot(package.get())->addGroup("from create");
  EXPECT_FALSE(package->commit().ok());
  EXPECT_EQ(before, ReadBytes(path));
  EXPECT_EQ(1u, dir.Names().size());
}

// A reader that does not lock still sees one whole version or the other.
TEST(PackageTest, ReadOnlyOpenDoesNotWait) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  SharedPtr<Package> writer(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  SharedPtr<Package> reader(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  EXPECT_TRUE(reader->isValid());
  EXPECT_EQ(2u, SceneRoot(reader.get())->groupCount());
}

TEST(PackageTest, HandlesOutliveTheirPackage) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path);
  SharedPtr<Package> package(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  SharedPtr<IGroup> asset = SceneRoot(package.get())->group("chair");
  SharedPtr<Document> document = package->document(0);
  package.reset();  // releases the lock
  EXPECT_EQ(u"chair", asset->name().string());
  EXPECT_TRUE(asset->group("QSN"));
  SharedPtr<Package> again(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  EXPECT_TRUE(again->isValid());
}

}  // namespace
}  // namespace vmp
