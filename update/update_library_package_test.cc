#include "update/update_library_package.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/os/memory_file_system.h"
#include "platform/vmp/package.h"

namespace tavik {
namespace {

using qsnsdk_cm_infra::KQsnSdkManager;
using vmp::SharedPtr;
using vmp::StringAlgorithm;
using vmp::WideString;

// One asset: its name and its "refs" lists by property name. An asset with
// no lists gets no "QSN" group unless `qsn_only` says otherwise.
struct Asset {
  std::string name;
  std::vector<std::pair<std::string, std::vector<std::string>>> refs;
  bool qsn_without_refs = false;
};

using Lists = std::map<std::string, std::vector<std::string>>;

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override { files_.MakeFolder(root_ + "/lib.qsm"); }

  void Media(const std::string& relative) {
    files_.PutFile(root_ + "/lib.qsm/" + relative, "x");
  }

  void SetReadOnly(bool read_only) {
    uint32_t attributes = files_.GetAttributes(library_);
    ASSERT_NE(attributes, kInvalidFileAttributes);
    files_.SetAttributes(library_, read_only
                                       ? attributes | kFileAttributeReadOnly
                                       : attributes & ~kFileAttributeReadOnly);
  }
  bool IsReadOnly() {
    return (files_.GetAttributes(library_) & kFileAttributeReadOnly) != 0;
  }

  void WriteLibrary(const std::vector<Asset>& assets, bool read_only = true) {
    SharedPtr<vmp::Package> package =
        vmp::Package::create(WideString(library_.c_str()), true, &files_);
    ASSERT_TRUE(package->isValid());
    if (read_only) {
      SharedPtr<vmp::IPrimitive> flag =
          package->ipackage()->metadata()->root()->addPrimitive(
              "read only", vmp::PrimitiveType::kBool);
      unsigned char one = 1;
      flag->write(&one, 0, 1);
    }
    vmp::IGroup* scene =
        package->document(0)->scene()->assets()->metadata()->root();
    for (const Asset& asset : assets) {
      SharedPtr<vmp::IGroup> group = scene->addGroup(asset.name.c_str());
      if (asset.refs.empty() && !asset.qsn_without_refs) continue;
      SharedPtr<vmp::IGroup> qsn = group->addGroup("QSN");
      if (asset.qsn_without_refs) continue;
      SharedPtr<vmp::IGroup> refs = qsn->addGroup("refs");
      for (const auto& [name, entries] : asset.refs) {
        SharedPtr<vmp::IPrimitive> p =
            refs->addPrimitive(name.c_str(), vmp::PrimitiveType::kStringArray);
        SharedPtr<vmp::IStringArray> array = vmp::IStringArray::create();
        for (const auto& e : entries) array->append(WideString(e.c_str()));
        ASSERT_TRUE(array->store(p.get()));
      }
    }
    ASSERT_TRUE(package->commit().ok());
  }

  // Every asset's lists after the run, keyed "asset/property".
  Lists ReadLists(bool* read_only = nullptr) {
    Lists lists;
    SharedPtr<vmp::Package> package = Open(false);
    EXPECT_TRUE(package->isValid());
    if (read_only) {
      SharedPtr<vmp::IPrimitive> flag = vmp::IPrimitive::to(
          package->ipackage()->metadata()->root()->property("read only"));
      unsigned char byte = 2;
      *read_only = flag && flag->read(&byte, 0, 1) && byte == 1;
    }
    SharedPtr<vmp::IIterator> assets =
        package->document(0)->scene()->assets()->metadata()->root()->groups();
    for (auto item = assets->current(); item;
         assets->next(), item = assets->current()) {
      SharedPtr<vmp::IGroup> asset = vmp::IGroup::to(item);
      SharedPtr<vmp::IGroup> qsn = asset->group("QSN");
      SharedPtr<vmp::IGroup> refs = qsn ? qsn->group("refs") : nullptr;
      if (!refs) continue;
      SharedPtr<vmp::IIterator> props = refs->properties();
      for (auto p = props->current(); p; props->next(), p = props->current()) {
        SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(p);
        if (primitive->type() != vmp::PrimitiveType::kStringArray) continue;
        std::vector<char16_t> units(primitive->size());
        if (!units.empty()) primitive->read(units.data(), 0, units.size());
        SharedPtr<vmp::IStringArray> array =
            vmp::IStringArray::to(units.data(), units.size());
        if (!array) continue;
        std::vector<std::string> entries;
        for (size_t k = 0; k < array->count(); ++k) {
          entries.push_back(
              StringAlgorithm::UTF8Encode(array->get(k)).string());
        }
        lists[StringAlgorithm::UTF8Encode(asset->name()).string() + "/" +
              StringAlgorithm::UTF8Encode(primitive->descriptor().name())
                  .string()] = entries;
      }
    }
    return lists;
  }

  SharedPtr<vmp::Package> Open(bool for_update) {
    return SharedPtr<vmp::Package>(new vmp::Package(
        WideString(library_.c_str()), for_update, WideString(), &files_));
  }

  static SharedPtr<vmp::IGroup> Refs(const SharedPtr<vmp::Package>& package,
                                     const char* asset) {
    return package->document(0)
        ->scene()
        ->assets()
        ->metadata()
        ->root()
        ->group(asset)
        ->group("QSN")
        ->group("refs");
  }

  std::string Bytes() { return files_.Contents(library_); }

  int Run(bool remove) { return Run(remove, &files_); }
  int Run(bool remove, FileSystem* fs) {
    KQsnSdkManager manager(fs);
    return static_cast<int>(
        UpdateLibraryPackage(&manager, library_.c_str(), remove, fs));
  }

  MemoryFileSystem files_;
  std::string root_ = "/lib";
  std::string library_ = root_ + "/lib.vlmrlib";
};

TEST_F(UpdateRunTest, CompletesListsFromTheNumberedFolders) {
  for (const char* f :
       {"3/a.png", "1/a.png", "5/a.jpg", "10/a.png", "7/a.b", "2/maps/b.jpg",
        "7/maps/b.tif", "9/maps/c.jpg", "12/d.png", "5/d.png", "10/e.png",
        "1/e.png", "4/e.png", "0/f.png", "6/f.png", "8/g"}) {
    Media(f);
  }
  files_.MakeFolder(root_ + "/lib.qsm/6/a.png");  // a folder, not a file
  WriteLibrary({
      {"parent",
       {{"diffuse", {"3/a.png"}}, {"listed", {"3/a.png", "5/a.jpg"}}}},
      {"grandparent", {{"map", {"2/maps/b.jpg"}}}},
      {"twelve", {{"p", {"12/d.png"}}}},
      {"ten", {{"p", {"10/e.png", "4/e.png"}}}},
      {"zero", {{"p", {"0/f.png"}}}},
      {"missing", {{"p", {"3/nothing.png", "x"}}}},
      {"noext", {{"p", {"8/g"}}}},
  });
  ASSERT_EQ(Run(false), 0);
  bool read_only = false;
  Lists lists = ReadLists(&read_only);
  EXPECT_TRUE(read_only);
  EXPECT_EQ(lists["parent/diffuse"],
            (std::vector<std::string>{"3/a.png", "1/a.png", "5/a.jpg", "7/a.b",
                                      "10/a.png"}));
  EXPECT_EQ(lists["parent/listed"],
            (std::vector<std::string>{"3/a.png", "5/a.jpg", "1/a.png", "7/a.b",
                                      "10/a.png"}));
  EXPECT_EQ(lists["grandparent/map"],
            (std::vector<std::string>{"2/maps/b.jpg", "7/maps/b.tif"}));
  EXPECT_EQ(lists["twelve/p"],
            (std::vector<std::string>{"12/d.png", "5/d.png"}));
  EXPECT_EQ(lists["ten/p"],
            (std::vector<std::string>{"10/e.png", "4/e.png", "1/e.png"}));
  EXPECT_EQ(lists["zero/p"], (std::vector<std::string>{"0/f.png"}));
  EXPECT_EQ(lists["missing/p"],
            (std::vector<std::string>{"3/nothing.png", "x"}));
  EXPECT_EQ(lists["noext/p"], (std::vector<std::string>{"8/g"}));
}

TEST_F(UpdateRunTest, PrunesReferencesThatNoLongerLeadToAFile) {
  for (const char* f : {"1/a.png", "2/a.png", "3/a.png"}) Media(f);
  WriteLibrary({
      {"all", {{"p", {"1/a.png", "2/a.png"}}}},
      {"none", {{"p", {"4/a.png", "5/a.png"}}}},
      {"first", {{"p", {"4/a.png", "2/a.png", "9/a.png", "3/a.png"}}}},
      {"empty", {{"p", {}}}},
      {"noqsn", {}},
      {"norefs", {}, true},
  });
  ASSERT_EQ(Run(true), 0);
  Lists lists = ReadLists();
  EXPECT_EQ(lists["all/p"], (std::vector<std::string>{"1/a.png", "2/a.png"}));
  EXPECT_EQ(lists["none/p"], std::vector<std::string>{});
  EXPECT_EQ(lists["first/p"], (std::vector<std::string>{"2/a.png", "3/a.png"}));
  EXPECT_EQ(lists["empty/p"], std::vector<std::string>{});
  EXPECT_EQ(lists.size(), 4u);
}

TEST_F(UpdateRunTest, RunsWithoutReadOnlyPropertyOrAssets) {
  Media("1/a.png");
  Media("2/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}}, /*read_only=*/false);
  EXPECT_EQ(Run(false), 0);
  EXPECT_EQ(ReadLists()["a/p"],
            (std::vector<std::string>{"1/a.png", "2/a.png"}));

  WriteLibrary({});
  EXPECT_EQ(Run(false), 0);
  bool read_only = false;
  EXPECT_TRUE(ReadLists(&read_only).empty());
  EXPECT_TRUE(read_only);
}

TEST_F(UpdateRunTest, ClearsTheReadOnlyAttributeForGood) {
  Media("1/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  SetReadOnly(true);
  ASSERT_EQ(Run(false), 0);
  EXPECT_FALSE(IsReadOnly());
}

TEST_F(UpdateRunTest, MissingMediaFolderTouchesNothing) {
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  files_.Remove(root_ + "/lib.qsm");
  SetReadOnly(true);
  std::string before = Bytes();
  EXPECT_EQ(Run(false), 2);
  EXPECT_EQ(Bytes(), before);
  EXPECT_TRUE(IsReadOnly());
}

TEST_F(UpdateRunTest, DamagedLibraryIsRefusedAndLeftAsItWas) {
  Media("1/a.png");
  Media("2/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  std::string good = Bytes();
  std::vector<std::string> damaged = {"", "not a library",
                                      good.substr(0, good.size() / 2), good};
  damaged.back()[damaged.back().size() - 1] ^= 0x5a;
  for (const std::string& bytes : damaged) {
    files_.PutFile(library_, bytes);
    SetReadOnly(true);
    for (bool remove : {false, true}) {
      EXPECT_EQ(Run(remove), 4) << bytes.size();
      EXPECT_EQ(Bytes(), bytes);
      EXPECT_TRUE(IsReadOnly()) << "the read-only mark comes back";
    }
    SetReadOnly(false);
  }
}

TEST_F(UpdateRunTest, LeavesPropertiesItCannotReadAlone) {
  Media("1/a.png");
  Media("2/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  std::vector<char16_t> malformed = {5, 0, 3, 0, u'1'};  // counts past the end
  {
    SharedPtr<vmp::Package> package = Open(true);
    SharedPtr<vmp::IGroup> refs = Refs(package, "a");
    int32_t number = 7;
    refs->addPrimitive("number", vmp::PrimitiveType::kInt32)
        ->write(&number, 0, 1);
    refs->addPrimitive("broken", vmp::PrimitiveType::kStringArray)
        ->write(malformed.data(), 0, malformed.size());
    ASSERT_TRUE(package->commit().ok());
  }
  for (bool remove : {false, true}) {
    ASSERT_EQ(Run(remove), 0);
    SharedPtr<vmp::Package> package = Open(false);
    SharedPtr<vmp::IGroup> refs = Refs(package, "a");
    SharedPtr<vmp::IPrimitive> number =
        vmp::IPrimitive::to(refs->property("number"));
    int32_t value = 0;
    ASSERT_TRUE(number && number->size() == 1 && number->read(&value, 0, 1));
    EXPECT_EQ(value, 7);
    SharedPtr<vmp::IPrimitive> broken =
        vmp::IPrimitive::to(refs->property("broken"));
    std::vector<char16_t> units(broken->size());
    ASSERT_EQ(units.size(), malformed.size());
    broken->read(units.data(), 0, units.size());
    EXPECT_EQ(units, malformed);
  }
  EXPECT_EQ(ReadLists()["a/p"],
            (std::vector<std::string>{"1/a.png", "2/a.png"}));
}

// Fails the n-th replacement of the library file.
class FailingReplace : public ForwardingFileSystem {
 public:
  FailingReplace(FileSystem* target, int fail_at)
      : ForwardingFileSystem(target), fail_at_(fail_at) {}
  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override {
    if (++calls_ == fail_at_) return Status::IoError("injected");
    return ForwardingFileSystem::ReplaceLockedFile(target, replacement);
  }

 private:
  int fail_at_;
  int calls_ = 0;
};

TEST_F(UpdateRunTest, FailedSaveIsReportedAndKeepsTheLastSavedFile) {
  Media("1/a.png");
  Media("2/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  std::string before = Bytes();
  FailingReplace first(&files_, 1);
  EXPECT_EQ(Run(false, &first), 4);
  EXPECT_EQ(Bytes(), before);

  FailingReplace second(&files_, 2);
  EXPECT_EQ(Run(false, &second), 4);
  bool read_only = true;
  EXPECT_EQ(ReadLists(&read_only)["a/p"],
            (std::vector<std::string>{"1/a.png", "2/a.png"}));
  EXPECT_FALSE(read_only) << "the first commit's content stays";
  EXPECT_EQ(files_.Names(root_),
            (std::vector<std::string>{"lib.qsm", "lib.vlmrlib"}));
}

}  // namespace
}  // namespace tavik
