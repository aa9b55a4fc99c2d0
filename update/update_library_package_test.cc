#include "update/update_library_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/base/debug_output.h"
#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/memory_file_system.h"
#include "platform/sdk/kpath.h"
#include "platform/vmp/package.h"
#include "update/update_observer.h"

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
    Result<uint32_t> attributes = files_.GetAttributes(library_);
    ASSERT_TRUE(attributes.ok());
    files_.SetAttributes(library_, read_only
                                       ? *attributes | kFileAttributeReadOnly
                                       : *attributes & ~kFileAttributeReadOnly);
  }
  // Runs the update (`dry`: a dry run) of the library, telling `observer`.
  ExitCode RunObserved(UpdateObserver* observer, bool remove, bool dry) {
    UpdateRunOptions options;
    options.remove = remove;
    options.dryRun = dry;
    options.observer = observer;
    KQsnSdkManager manager(fs_);
    return UpdateLibraryPackage(&manager, library_.c_str(), options, fs_).code;
  }

  bool IsReadOnly() {
    return (files_.GetAttributes(library_).value_or(0) &
            kFileAttributeReadOnly) != 0;
  }

  void WriteLibrary(const std::vector<Asset>& assets, bool read_only = true) {
    SharedPtr<vmp::Package> package =
        vmp::Package::create(WideString(library_.c_str()), true, fs_);
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
        for (const auto& e : entries) {
          array->append(StringAlgorithm::UTF8Decode(vmp::UTF8String(e)));
        }
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
        WideString(library_.c_str()), for_update, WideString(), fs_));
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

  int Run(bool remove) { return Run(remove, fs_); }
  int Run(bool remove, FileSystem* fs) {
    KQsnSdkManager manager(fs);
    return static_cast<int>(
        UpdateLibraryPackage(&manager, library_.c_str(), remove, fs));
  }

  MemoryFileSystem files_;
  // Where the library is written, read and run on: `files_` unless a test
  // runs on the disk.
  FileSystem* fs_ = &files_;
  std::string root_ = "/lib";
  std::string library_ = root_ + "/lib.vlmrlib";
};

TEST_F(UpdateRunTest, CompletesListsFromTheNumberedFolders) {
  for (const char* f :
       {"3/a.png",      "1/a.png",      "5/a.jpg",      "10/a.png", "7/a.b",
        "2/maps/b.jpg", "7/maps/b.tif", "9/maps/c.jpg", "12/d.png", "5/d.png",
        "10/e.png",     "1/e.png",      "4/e.png",      "0/f.png",  "6/f.png",
        "8/g",          "5/h.jpg",      "5/h.png",      "2/h.tif",  "03/k.png",
        "1/k.png"}) {
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
      // Not the first file of its stem in its folder; a missing file whose
      // stem is there; a folder whose name only reads as a number.
      {"second", {{"p", {"5/h.png"}}}},
      {"stem", {{"p", {"5/h.gif"}}}},
      {"padded", {{"p", {"03/k.png"}}}},
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
  EXPECT_EQ(lists["second/p"],
            (std::vector<std::string>{"5/h.png", "2/h.tif"}));
  EXPECT_EQ(lists["stem/p"], (std::vector<std::string>{"5/h.gif"}));
  EXPECT_EQ(lists["padded/p"],
            (std::vector<std::string>{"03/k.png", "1/k.png"}));
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

// A reference is judged by the file it names: one that climbs out of the
// media folder and back (or into a sibling folder) names a file, and a
// drive-letter path, where drive letters name no file, is never read
// against the current folder (here a relative key of the file system).
TEST_F(UpdateRunTest, ClimbingAndDriveLetterReferencesAreJudgedByTheirFile) {
  const bool drives = qsnsdk_cm_infra::DriveLetterPathsNameFiles();
  for (const char* f : {"1/a.png", "3/a.png"}) Media(f);
  files_.PutFile(root_ + "/other.qsm/2/b.png", "x");
  files_.PutFile("C:/x/4/w.png", "x");
  files_.PutFile("C:/x/5/w.png", "x");
  struct Case {
    std::vector<std::string> entries;
    std::vector<std::string> pruned;
    std::vector<std::string> completed;
  } cases[] = {
      {{"../lib.qsm/3/a.png", "../lib.qsm/9/a.png"},
       {"../lib.qsm/3/a.png"},
       {"../lib.qsm/3/a.png", "../lib.qsm/9/a.png", "../lib.qsm/1/a.png"}},
      {{"../other.qsm/2/b.png"},
       {"../other.qsm/2/b.png"},
       {"../other.qsm/2/b.png"}},
      {{"3/../1/a.png"}, {"3/../1/a.png"}, {"3/../1/a.png", "3/../3/a.png"}},
      // Climbs above the root, where it stops: names the file.
      {{"../../../../lib/lib.qsm/3/a.png"},
       {"../../../../lib/lib.qsm/3/a.png"},
       {"../../../../lib/lib.qsm/3/a.png", "../../../../lib/lib.qsm/1/a.png"}},
      // The stored form does not mirror the file: nothing is completed.
      {{"3/./a.png"}, {"3/./a.png"}, {"3/./a.png"}},
      {{"C:\\x\\4\\w.png"},
       drives ? std::vector<std::string>{"C:\\x\\4\\w.png"}
              : std::vector<std::string>{},
       drives ? std::vector<std::string>{"C:\\x\\4\\w.png", "C:/x/5/w.png"}
              : std::vector<std::string>{"C:\\x\\4\\w.png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries[0]);
    for (bool remove : {true, false}) {
      WriteLibrary({{"a", {{"p", c.entries}}}});
      ASSERT_EQ(Run(remove), 0);
      EXPECT_EQ(ReadLists()["a/p"], remove ? c.pruned : c.completed) << remove;
    }
  }
}

// The run on the disk, where the file system itself reads the paths it is
// given: what it makes of ".." must not decide what a reference names.
class UpdateRunDiskTest : public UpdateRunTest {
 protected:
  UpdateRunDiskTest() {
    fs_ = DefaultFileSystem();
    root_ = scratch_.path();
    library_ = root_ + "/lib.vlmrlib";
  }
  void Media(const std::string& relative) {
    scratch_.Touch("lib.qsm/" + relative);
  }

  // The head of `text` as a completion stores it: its root's separators as
  // written, then its pieces joined by "/".
  static std::string AsStored(const std::string& text) {
    std::string out;
    size_t i = 0;
    for (; i < text.size() && (text[i] == '/' || text[i] == '\\'); ++i) {
      out.push_back(text[i]);
    }
    for (; i < text.size(); ++i) {
      const bool separator = text[i] == '/' || text[i] == '\\';
      if (!separator) {
        out.push_back(text[i]);
      } else if (!out.empty() && out.back() != '/') {
        out.push_back('/');
      }
    }
    return out;
  }

  testing_util::ScratchDir scratch_;
};

// One rule for every form of reference: "." and ".." applied to the text,
// stopping at the root. A reference that names an existing file is kept by
// -r and completed like any other, whether it is rooted or relative, goes
// through folders that do not exist, or climbs above the root; a numbered
// folder counts only where the path still runs through it.
TEST_F(UpdateRunDiskTest, EveryFormOfAReferenceIsJudgedByItsFile) {
  for (const char* f : {"1/a.png", "3/a.png", "a.png"}) Media(f);
  scratch_.Mkdir("lib.qsm/2");
  // T, "/"-separated; its root ("/", or a drive's "C:\\") and the rest.
  std::string t = AsStored(root_);
  size_t rest = t.find_first_not_of('/');
  if (t.size() > 2 && t[1] == ':') rest = t.find_first_not_of('/', 2);
  ASSERT_NE(rest, std::string::npos);
  const std::string root = t.substr(0, rest);
  const std::string rootless = t.substr(rest);
  // Climbs from the media folder to above the root, eight times at least.
  std::string climb;
  size_t pieces = 2 + static_cast<size_t>(
                          std::count(rootless.begin(), rootless.end(), '/'));
  for (size_t k = 0; k < std::max<size_t>(8, pieces + 2); ++k) climb += "../";
  std::string backslashed = root_ + "\\lib.qsm\\nosuch\\..\\";
  for (char& c : backslashed) {
    if (c == '/') c = '\\';
  }
  const std::string above_root = root + "../../" + rootless + "/lib.qsm/";
  using Entries = std::vector<std::string>;
  struct Case {
    Entries entries;
    Entries pruned;
    Entries completed;
  } cases[] = {
      // Rooted, through a folder that does not exist.
      {{t + "/lib.qsm/nosuch/../3/a.png"},
       {t + "/lib.qsm/nosuch/../3/a.png"},
       {t + "/lib.qsm/nosuch/../3/a.png", t + "/lib.qsm/nosuch/../1/a.png"}},
      {{backslashed + "3\\a.png"},
       {backslashed + "3\\a.png"},
       {backslashed + "3\\a.png", AsStored(backslashed) + "1/a.png"}},
      {{t + "/./lib.qsm/3/./a.png"},
       {t + "/./lib.qsm/3/./a.png"},
       {t + "/./lib.qsm/3/./a.png"}},
      // Numbered folder 1 left by "..": the file is in the media folder.
      {{t + "/lib.qsm/1/../a.png"},
       {t + "/lib.qsm/1/../a.png"},
       {t + "/lib.qsm/1/../a.png"}},
      {{"1/../a.png"}, {"1/../a.png"}, {"1/../a.png"}},
      // Above the root, relative and rooted.
      {{climb + rootless + "/lib.qsm/3/a.png"},
       {climb + rootless + "/lib.qsm/3/a.png"},
       {climb + rootless + "/lib.qsm/3/a.png",
        climb + rootless + "/lib.qsm/1/a.png"}},
      {{above_root + "3/a.png"},
       {above_root + "3/a.png"},
       {above_root + "3/a.png", AsStored(above_root) + "1/a.png"}},
      // Relative forms.
      {{"nosuch/../3/a.png"},
       {"nosuch/../3/a.png"},
       {"nosuch/../3/a.png", "nosuch/../1/a.png"}},
      {{"..\\lib.qsm\\.\\3\\a.png"},
       {"..\\lib.qsm\\.\\3\\a.png"},
       {"..\\lib.qsm\\.\\3\\a.png", "../lib.qsm/./1/a.png"}},
      // What names no file goes, whatever its form; the survivor becomes
      // entry 0.
      {{t + "/lib.qsm/3/../nosuch/a.png", climb + "nosuch/a.png",
        climb + rootless + "/lib.qsm/nosuch/../1/a.png"},
       {climb + rootless + "/lib.qsm/nosuch/../1/a.png"},
       {t + "/lib.qsm/3/../nosuch/a.png", climb + "nosuch/a.png",
        climb + rootless + "/lib.qsm/nosuch/../1/a.png"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries[0]);
    for (bool remove : {true, false}) {
      WriteLibrary({{"a", {{"p", c.entries}}}});
      ASSERT_EQ(Run(remove), 0);
      EXPECT_EQ(ReadLists()["a/p"], remove ? c.pruned : c.completed) << remove;
    }
  }
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

// Hands paths on as C strings, as the system calls do: a U+0000 ends them.
class CStringPaths : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool FileExists(const std::string& path) override {
    return ForwardingFileSystem::FileExists(path.c_str());
  }
};

// An entry holding U+0000 names no file: it is judged whole, never by the
// text before the U+0000.
TEST_F(UpdateRunTest, EntryHoldingUPlus0000NamesNoFile) {
  CStringPaths fs(&files_);
  Media("1/a.png");
  Media("2/a.png");
  const std::string entry("1/a.png\0x", 9);
  for (bool remove : {false, true}) {
    WriteLibrary({{"a", {{"p", {entry}}}}});
    ASSERT_EQ(Run(remove, &fs), 0);
    EXPECT_EQ(ReadLists()["a/p"], remove ? std::vector<std::string>{}
                                         : std::vector<std::string>{entry})
        << remove;
  }
}

// Fails every save of the library from the n-th on, whichever way the
// package saves: replacing the whole file or writing an update slot in place
// (a failed slot write is followed by a whole-file attempt, which counts as
// the same save).
class FailingSave : public ForwardingFileSystem {
 public:
  FailingSave(FileSystem* target, int fail_at)
      : ForwardingFileSystem(target), fail_at_(fail_at) {}
  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override {
    if (++saves_ >= fail_at_) return Status::IoError("injected");
    return ForwardingFileSystem::ReplaceLockedFile(target, replacement);
  }
  Status WriteLockedFileAt(LockedFile* file, uint64_t offset, const char* data,
                           size_t size) override {
    if (saves_ + 1 >= fail_at_) return Status::IoError("injected");
    return ForwardingFileSystem::WriteLockedFileAt(file, offset, data, size);
  }

 private:
  int fail_at_;
  int saves_ = 0;
};

TEST_F(UpdateRunTest, FailedSaveIsReportedAndKeepsTheLastSavedFile) {
  Media("1/a.png");
  Media("2/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  SetReadOnly(true);
  std::string before = Bytes();
  FailingSave first(&files_, 1);
  EXPECT_EQ(Run(false, &first), 4);
  EXPECT_EQ(Bytes(), before);
  EXPECT_TRUE(IsReadOnly()) << "the read-only mark comes back";

  FailingSave second(&files_, 2);
  EXPECT_EQ(Run(false, &second), 4);
  EXPECT_TRUE(IsReadOnly()) << "the read-only mark comes back";
  bool read_only = true;
  EXPECT_EQ(ReadLists(&read_only)["a/p"],
            (std::vector<std::string>{"1/a.png", "2/a.png"}));
  EXPECT_FALSE(read_only) << "the first commit's content stays";
  EXPECT_EQ(files_.Names(root_),
            (std::vector<std::string>{"lib.qsm", "lib.vlmrlib"}));
}

// Waits for the library's lock no longer than a test can afford.
class ShortLockWait : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds) override {
    return ForwardingFileSystem::LockForUpdate(path,
                                               std::chrono::milliseconds(50));
  }
};

std::string debug_text;
void CollectDebug(const char* text, size_t size) {
  debug_text.append(text, size);
}

// A run that cannot have the lock (its holder hangs) gives up: exit 4, a
// message, the library and its read-only mark as they were. On the disk,
// where locks wait.
TEST_F(UpdateRunTest, LockHeldTooLongEndsTheRunUntouched) {
  Media("1/a.png");
  WriteLibrary({{"a", {{"p", {"1/a.png"}}}}});
  testing_util::ScratchDir dir;
  dir.Mkdir("lib.qsm/2");
  const std::string lib = dir.File("lib.vlmrlib");
  {
    FILE* f = std::fopen(lib.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(Bytes().data(), 1, Bytes().size(), f);
    std::fclose(f);
  }
  FileSystem* disk = DefaultFileSystem();
  ASSERT_EQ(disk->SetAttributes(lib, kFileAttributeReadOnly).ok(), true);
  Result<std::string> before = disk->ReadWholeFile(lib);
  ASSERT_TRUE(before.ok()) << before.status().message();

  Result<std::unique_ptr<LockedFile>> holder =
      disk->LockForUpdate(lib, kLibraryLockWaitLimit);
  ASSERT_TRUE(holder.ok()) << holder.status().message();
  ShortLockWait fs(disk);
  KQsnSdkManager manager(&fs);
  debug_text.clear();
  SetDebugSink(CollectDebug);
  EXPECT_EQ(UpdateLibraryPackage(&manager, lib.c_str(), false, &fs),
            ExitCode::kInvalidLibrary);
  SetDebugSink(nullptr);
  if (kDebugOutput) {
    EXPECT_NE(debug_text.find("lib.vlmrlib"), std::string::npos) << debug_text;
  }
  holder->reset();
  Result<std::string> after = disk->ReadWholeFile(lib);
  ASSERT_TRUE(after.ok()) << after.status().message();
  EXPECT_EQ(*after, *before);
  Result<uint32_t> attributes = disk->GetAttributes(lib);
  ASSERT_TRUE(attributes.ok()) << attributes.status().message();
  EXPECT_NE(*attributes & kFileAttributeReadOnly, 0u);
}

// Records each addition as the observer is told it.
class AddedObserver : public UpdateObserver {
 public:
  void Added(int number, const std::string&, const std::string& folder,
             const std::string& taken,
             const std::vector<std::string_view>& same_stem) override {
    added.push_back(
        {number, folder, taken,
         std::vector<std::string>(same_stem.begin(), same_stem.end())});
  }
  struct Addition {
    int number;
    std::string folder;
    std::string taken;
    std::vector<std::string> same_stem;
  };
  std::vector<Addition> added;
};

// Each addition comes with every regular file of its folder that has the
// reference's stem, in listing order, the one taken first: dry or not.
TEST_F(UpdateRunTest, AdditionsComeWithTheFilesOfTheirStem) {
  Media("3/a.png");
  for (const char* name : {"5/a.tif", "5/A.png", "5/a", "5/a.jpg", "5/a.b.png",
                           "5/b.png", "8/other.png", "9/a.x.png"}) {
    Media(name);
  }
  files_.MakeFolder(root_ + "/lib.qsm/5/a.png");  // a folder is no file
  WriteLibrary({{"chair", {{"diffuse", {"3/a.png"}}}}});
  const std::string before = Bytes();
  for (bool dry : {true, false}) {
    SCOPED_TRACE(dry ? "dry run" : "run");
    AddedObserver observer;
    EXPECT_EQ(RunObserved(&observer, false, dry), ExitCode::kDone);
    ASSERT_EQ(observer.added.size(), 1u);
    const AddedObserver::Addition& a = observer.added[0];
    EXPECT_EQ(a.number, 5);
    EXPECT_EQ(a.taken, "a");
    EXPECT_EQ(a.same_stem, (std::vector<std::string>{"a", "a.jpg", "a.tif"}));
    files_.PutFile(library_, before);
  }
}

// Records every list as found and as left, keyed "asset/property".
class ListObserver : public UpdateObserver {
 public:
  void Asset(const std::string& name) override { asset_ = name; }
  void List(const std::string& property,
            const std::vector<std::string>& entries) override {
    key_ = asset_ + "/" + property;
    found[key_] = entries;
  }
  void ListDone(const std::vector<std::string>& entries) override {
    left[key_] = entries;
  }

  Lists found;
  Lists left;

 private:
  std::string asset_;
  std::string key_;
};

// A dry run is told each list as a saving run leaves it, stores nothing,
// and a saving run stores what it was told; lists of every length in a row
// (longer, shorter, changed or not) are each told as they are.
TEST_F(UpdateRunTest, DryRunIsToldTheListsASavingRunStores) {
  Media("3/a.png");
  Media("5/a.jpg");
  Media("7/a.png");
  Media("1/b.png");
  Media("2/b.png");
  Media("kept.png");
  const std::vector<Asset> library = {
      {"chair",
       {{"diffuse", {"3/a.png"}},
        {"missing", {"gone.png", "kept.png", "3/a.png", "x/none.png"}},
        {"done", {"1/b.png", "2/b.png"}},
        {"short", {"kept.png"}}}},
      {"table",
       {{"long", {"7/a.png", "x/1.png", "x/2.png", "x/3.png", "x/4.png"}},
        {"one", {"2/b.png"}},
        {"gone", {"none.png"}}}}};
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "remove" : "complete");
    WriteLibrary(library);
    const std::string before = Bytes();
    const Lists stored = ReadLists();
    Lists told[2];
    for (bool dry : {true, false}) {
      ListObserver observer;
      ASSERT_EQ(RunObserved(&observer, remove, dry), ExitCode::kDone);
      EXPECT_EQ(observer.found, stored);
      if (dry) {
        EXPECT_EQ(Bytes(), before);
      } else {
        EXPECT_EQ(ReadLists(), observer.left);
      }
      told[dry] = observer.left;
    }
    EXPECT_EQ(told[true], told[false]);
    // Both modes change some lists and leave others.
    EXPECT_NE(told[true], stored);
    size_t same = 0;
    for (const auto& [key, entries] : stored)
      same += told[true][key] == entries;
    EXPECT_GT(same, 0u);
  }
}

// Writes every call down, in order.
class LogObserver : public UpdateObserver {
 public:
  void Asset(const std::string& name) override { log += "A " + name + "\n"; }
  void Skipped(const std::string& property, const std::string& why) override {
    log += "S " + property + " " + why + "\n";
  }
  void List(const std::string& property,
            const std::vector<std::string>& entries) override {
    log += "L " + property + Join(entries);
  }
  void Entry(size_t index, const std::string& resolved, bool exists) override {
    log += "E " + std::to_string(index) + " " + resolved +
           (exists ? " +\n" : " -\n");
  }
  void Added(int number, const std::string& relative, const std::string& folder,
             const std::string& taken,
             const std::vector<std::string_view>& same_stem) override {
    log += "+ " + std::to_string(number) + " " + relative + " " + folder + " " +
           taken + " " + std::to_string(same_stem.size()) + "\n";
  }
  void Dropped(size_t index, const std::string& entry) override {
    log += "- " + std::to_string(index) + " " + entry + "\n";
  }
  void ListDone(const std::vector<std::string>& entries) override {
    log += "D" + Join(entries);
  }
  void Finished(const RunOutcome& outcome) override {
    log += "F " + std::to_string(static_cast<int>(outcome.code)) + " " +
           outcome.Reason() + "\n";
  }
  std::string log;

 private:
  static std::string Join(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& e : entries) text += " " + e;
    return text + "\n";
  }
};

// Over more assets than the dry run reads ahead at once (assets without
// lists, lists that change and lists that do not, in every position), it
// tells exactly what a saving run tells, call for call.
TEST_F(UpdateRunTest, DryRunOverManyAssetsTellsWhatASavingRunTells) {
  for (int i = 0; i < 40; ++i) {
    Media(std::to_string(1 + i % 4) + "/t" + std::to_string(i) + ".png");
    Media(std::to_string(2 + i % 5) + "/t" + std::to_string(i) + ".jpg");
  }
  std::vector<Asset> library;
  for (int i = 0; i < 1100; ++i) {
    Asset asset{"asset" + std::to_string(i), {}};
    const std::string t = "t" + std::to_string(i % 40);
    switch (i % 7) {
      case 0:
        break;  // no "QSN"
      case 1:
        asset.qsn_without_refs = true;
        break;
      default:
        asset.refs.push_back(
            {"p", {std::to_string(1 + i % 4) + "/" + t + ".png", "gone.png"}});
        if (i % 3 == 0) asset.refs.push_back({"q", {"x/none.png"}});
        if (i % 5 == 0) {
          asset.refs.push_back(
              {"r", {std::to_string(2 + i % 5) + "/" + t + ".jpg"}});
        }
    }
    library.push_back(asset);
  }
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "remove" : "complete");
    WriteLibrary(library);
    const std::string before = Bytes();
    std::string told[2];
    for (bool dry : {true, false}) {
      LogObserver observer;
      ASSERT_EQ(RunObserved(&observer, remove, dry), ExitCode::kDone);
      if (dry) {
        EXPECT_EQ(Bytes(), before);
      }
      told[dry] = observer.log;
    }
    EXPECT_EQ(told[true], told[false]);
    EXPECT_NE(told[true].find("A asset1098\n"), std::string::npos);
    EXPECT_NE(told[true].find(remove ? "\n- 1 gone.png\n" : "\n+ "),
              std::string::npos);
  }
}

// A dry run asked to stop ends at the next asset and says it was
// interrupted, whatever the mode; one never asked runs to the end.
TEST_F(UpdateRunTest, AStoppedDryRunEndsBetweenAssets) {
  class Counting : public UpdateObserver {
   public:
    void Asset(const std::string&) override { ++assets; }
    void Finished(const RunOutcome& outcome) override {
      code = outcome.code;
      cause = outcome.cause;
    }
    int assets = 0;
    ExitCode code = ExitCode::kDone;
    RunCause cause = RunCause::kDone;
  };
  std::vector<Asset> library;
  for (int i = 0; i < 2000; ++i) {
    library.push_back({"asset" + std::to_string(i), {{"p", {"1/a.png"}}}});
  }
  WriteLibrary(library);
  for (bool remove : {false, true}) {
    for (int stop_at : {1, 3, 700, -1}) {
      SCOPED_TRACE(std::to_string(stop_at) + (remove ? " remove" : ""));
      Counting observer;
      int asked = 0;
      UpdateRunOptions options;
      options.remove = remove;
      options.dryRun = true;
      options.observer = &observer;
      options.stop = [&] { return ++asked == stop_at; };
      KQsnSdkManager manager(fs_);
      const ExitCode code =
          UpdateLibraryPackage(&manager, library_.c_str(), options, fs_).code;
      EXPECT_EQ(code, observer.code);
      if (stop_at < 0) {
        EXPECT_EQ(code, ExitCode::kDone);
        EXPECT_EQ(observer.assets, 2000);
      } else {
        EXPECT_EQ(code, ExitCode::kInvalidLibrary);
        EXPECT_EQ(observer.cause, RunCause::kInterrupted);
        EXPECT_EQ(observer.assets, stop_at - 1);
      }
    }
  }
}

}  // namespace
}  // namespace tavik
