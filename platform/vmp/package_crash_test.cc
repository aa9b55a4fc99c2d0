// The update run's two commits under a crash at every moment: the file must
// always open, as the old library, the library after the first commit, or
// the final one.
//
// A crash is simulated by a file system that, from a chosen call on, does
// nothing more (as if the process had died there); the call where it dies
// may write part of its bytes first, as a write cut short does. What a
// power loss could add (the disk reordering unflushed writes) is not
// modelled: the format relies on the flushes for that.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/vmp/package.h"
#include "platform/vmp/package_test_util.h"

namespace vmp {
namespace {

using testing_util::ReadBytes;
using testing_util::ScratchDir;
using testing_util::WriteBytes;

class CrashingFileSystem : public tavik::ForwardingFileSystem {
 public:
  // Dies at the `die_at`-th (from 1) call that changes something on disk,
  // writing `torn_bytes` of that call's bytes first when it is a write
  // (all of them but one when torn_bytes is past the end).
  CrashingFileSystem(int die_at, size_t torn_bytes)
      : ForwardingFileSystem(tavik::DefaultFileSystem()),
        die_at_(die_at),
        torn_bytes_(torn_bytes) {}

  bool died() const { return dead_; }
  int steps() const { return steps_; }

  tavik::Result<std::unique_ptr<tavik::TempFile>> CreateTempFile(
      const std::string& target) override {
    if (Dies()) return Dead();
    return ForwardingFileSystem::CreateTempFile(target);
  }
  tavik::Status AppendToFile(tavik::TempFile* file, const char* data,
                             size_t size) override {
    if (Dies()) {
      ForwardingFileSystem::AppendToFile(file, data, Torn(size));
      return Dead();
    }
    return ForwardingFileSystem::AppendToFile(file, data, size);
  }
  tavik::Status FlushFile(tavik::TempFile* file) override {
    if (Dies()) return Dead();
    return ForwardingFileSystem::FlushFile(file);
  }
  tavik::Status ReplaceLockedFile(tavik::LockedFile* target,
                                  tavik::TempFile* replacement) override {
    if (Dies()) return Dead();
    return ForwardingFileSystem::ReplaceLockedFile(target, replacement);
  }
  tavik::Status WriteLockedFileAt(tavik::LockedFile* file, uint64_t offset,
                                  const char* data, size_t size) override {
    if (Dies()) {
      ForwardingFileSystem::WriteLockedFileAt(file, offset, data, Torn(size));
      return Dead();
    }
    return ForwardingFileSystem::WriteLockedFileAt(file, offset, data, size);
  }
  tavik::Status FlushLockedFile(tavik::LockedFile* file) override {
    if (Dies()) return Dead();
    return ForwardingFileSystem::FlushLockedFile(file);
  }
  // A dead process removes nothing: its temporary file stays behind.
  tavik::Status DeleteTempFile(tavik::TempFile* file) override {
    if (dead_) return Dead();
    return ForwardingFileSystem::DeleteTempFile(file);
  }

 private:
  bool Dies() {
    if (dead_) return true;
    if (++steps_ == die_at_) dead_ = true;
    return dead_;
  }
  size_t Torn(size_t size) const {
    return torn_bytes_ < size ? torn_bytes_ : (size > 0 ? size - 1 : 0);
  }
  static tavik::Status Dead() { return tavik::Status::IoError("crashed"); }

  int die_at_;
  size_t torn_bytes_;
  int steps_ = 0;
  bool dead_ = false;
};

IGroup* PackageRoot(Package* package) {
  return package->ipackage()->metadata()->root();
}

IGroup* SceneRoot(Package* package) {
  return package->document(0)->scene()->assets()->metadata()->root();
}

// The asset's one reference list, and its value as a string array.
SharedPtr<IPrimitive> DiffuseList(const SharedPtr<IObject>& asset) {
  return IPrimitive::to(
      IGroup::to(asset)->group("QSN")->group("refs")->property("diffuse"));
}

SharedPtr<IStringArray> ReadStringArray(IPrimitive* list) {
  std::u16string units(list->size(), u'\0');
  list->read(&units[0], 0, units.size());
  return IStringArray::to(units.data(), units.size());
}

// What a library holds, as text: "read only", then each asset's list.
std::string Describe(const std::string& path) {
  SharedPtr<Package> package(
      new Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  if (!package->isValid()) return "unreadable: " + package->status().message();
  uint8_t flag = 0xAA;
  IPrimitive::to(PackageRoot(package.get())->property("read only"))
      ->read(&flag, 0, 1);
  std::string text = "read only " + std::to_string(flag) + "\n";
  SharedPtr<IIterator> assets = SceneRoot(package.get())->groups();
  for (SharedPtr<IObject> item = assets->current(); item;
       assets->next(), item = assets->current()) {
    SharedPtr<IPrimitive> list = DiffuseList(item);
    SharedPtr<IStringArray> array = ReadStringArray(list.get());
    for (size_t i = 0; i < array->count(); ++i) {
      WideString entry = array->get(i);
      for (char16_t c : entry.string()) text += static_cast<char>(c);
      text += ' ';
    }
    text += '\n';
  }
  return text;
}

void MakeLibrary(const std::string& path, int assets) {
  SharedPtr<Package> package =
      Package::create(path.c_str(), true, tavik::DefaultFileSystem());
  uint8_t yes = 1;
  PackageRoot(package.get())
      ->addPrimitive("read only", PrimitiveType::kBool)
      ->write(&yes, 0, 1);
  for (int a = 0; a < assets; ++a) {
    SharedPtr<IStringArray> array = IStringArray::create();
    array->append(("1/a" + std::to_string(a) + ".png").c_str());
    array->store(SceneRoot(package.get())
                     ->addGroup(("asset" + std::to_string(a)).c_str())
                     ->addGroup("QSN")
                     ->addGroup("refs")
                     ->addPrimitive("diffuse", PrimitiveType::kStringArray)
                     .get());
  }
  ASSERT_TRUE(package->commit().ok());
}

// The update run's sequence on the package: "read only" false, a reference
// appended to every asset, commit, "read only" true, commit.
void UpdateRun(const std::string& path, tavik::FileSystem* fs) {
  SharedPtr<Package> package(new Package(path.c_str(), true, "", fs));
  ASSERT_TRUE(package->isValid());
  SharedPtr<IPrimitive> flag =
      IPrimitive::to(PackageRoot(package.get())->property("read only"));
  uint8_t no = 0, yes = 1;
  flag->write(&no, 0, 1);
  SharedPtr<IIterator> assets = SceneRoot(package.get())->groups();
  for (SharedPtr<IObject> item = assets->current(); item;
       assets->next(), item = assets->current()) {
    SharedPtr<IPrimitive> list = DiffuseList(item);
    SharedPtr<IStringArray> array = ReadStringArray(list.get());
    array->append("2/b.png");
    array->store(list.get());
  }
  if (!package->commit().ok()) return;
  flag->write(&yes, 0, 1);
  package->commit();
}

TEST(PackageCrashTest, EveryMomentLeavesOneOfTheThreeStates) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  // Large enough that the whole write takes several pieces.
  MakeLibrary(path, 15000);
  const std::string original = ReadBytes(path);
  const std::string before = Describe(path);
  UpdateRun(path, tavik::DefaultFileSystem());
  const std::string final_state = Describe(path);
  std::string middle = final_state;
  middle.replace(0, middle.find('\n'), "read only 0");
  ASSERT_NE(before, final_state);

  // Each step that changes the disk, and for writes several cut lengths
  // (the slot write cut anywhere within its 64 bytes).
  int seen[3] = {0, 0, 0};
  int rounds = 0;
  for (int die_at = 1;; ++die_at) {
    bool finished = false;
    for (size_t torn :
         {size_t{0}, size_t{1}, size_t{13}, size_t{40}, size_t{1} << 30}) {
      WriteBytes(path, original);
      CrashingFileSystem fs(die_at, torn);
      UpdateRun(path, &fs);
      ++rounds;
      std::string now = Describe(path);
      int state = now == before        ? 0
                  : now == middle      ? 1
                  : now == final_state ? 2
                                       : -1;
      ASSERT_NE(-1, state) << "crash at step " << die_at << " with " << torn
                           << " bytes written: " << now.substr(0, 200);
      ++seen[state];
      for (const std::string& name : dir.Names()) {
        if (name != "lib.vlmrlib") std::remove(dir.File(name).c_str());
      }
      if (!fs.died()) finished = true;
    }
    if (finished) break;
  }
  // The crashes fell before, between and after the two commits.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
  EXPECT_GT(rounds, 10);
}

// The second commit writes one slot in place: nothing else of the file
// changes, and the file's whole-image checksum stays as it was.
TEST(PackageCrashTest, FlagCommitRewritesOnlyAnUpdateSlot) {
  ScratchDir dir;
  const std::string path = dir.File("lib.vlmrlib");
  MakeLibrary(path, 3);
  SharedPtr<Package> package(
      new Package(path.c_str(), true, "", tavik::DefaultFileSystem()));
  SharedPtr<IPrimitive> flag =
      IPrimitive::to(PackageRoot(package.get())->property("read only"));
  const std::string before = ReadBytes(path);
  std::vector<std::string> images = {before};
  for (uint8_t value : {0, 1, 0, 1}) {
    flag->write(&value, 0, 1);
    ASSERT_TRUE(package->commit().ok());
    images.push_back(ReadBytes(path));
    EXPECT_EQ(value, Describe(path)[10] - '0');
  }
  for (size_t i = 1; i < images.size(); ++i) {
    const std::string& a = images[i - 1];
    const std::string& b = images[i];
    ASSERT_EQ(a.size(), b.size());
    for (size_t at = 0; at < a.size(); ++at) {
      if (a[at] == b[at]) continue;
      // Slots alternate: commit 1 writes slot 1, commit 2 slot 0, ...
      size_t slot_at = i % 2 == 1 ? 104 : 40;
      EXPECT_TRUE(at >= slot_at && at < slot_at + 64)
          << "commit " << i << " changed byte " << at;
    }
  }
  // A change of shape is written whole, after which slot 0 is in force.
  SceneRoot(package.get())->addGroup("new");
  ASSERT_TRUE(package->commit().ok());
  EXPECT_EQ(std::string(64, '\0'), ReadBytes(path).substr(104, 64));
}

}  // namespace
}  // namespace vmp
