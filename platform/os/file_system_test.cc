#include "platform/os/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/memory_file_system.h"

namespace tavik {
namespace {

// The real file system and the in-memory one answer the same: a failing
// call says why in its Status, a call that works gives its value.
struct Case {
  const char* name;
  FileSystem* fs;
  std::string root;
};

class FileSystemResultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.Touch("folder/file");
    memory_.PutFile("/m/folder/file", "");
    cases_ = {{"real", DefaultFileSystem(), scratch_.path()},
              {"memory", &memory_, "/m"}};
  }
  testing_util::ScratchDir scratch_;
  MemoryFileSystem memory_;
  std::vector<Case> cases_;
};

TEST_F(FileSystemResultTest, MissingPathFailsWithNotFound) {
  for (const Case& c : cases_) {
    SCOPED_TRACE(c.name);
    const std::string missing = c.root + "/folder/missing";
    EXPECT_EQ(c.fs->GetAttributes(missing).status().code(),
              Status::Code::kNotFound);
    EXPECT_EQ(c.fs->OpenExistingNoShare(missing).status().code(),
              Status::Code::kNotFound);
    EXPECT_EQ(c.fs->ListDirectory(missing).status().code(),
              Status::Code::kNotFound);
    EXPECT_EQ(c.fs->ReadWholeFile(missing).status().code(),
              Status::Code::kNotFound);
    EXPECT_EQ(
        c.fs->LockForUpdate(missing, kLibraryLockWaitLimit).status().code(),
        Status::Code::kNotFound);
    EXPECT_FALSE(c.fs->GetAttributes("").ok());
  }
}

TEST_F(FileSystemResultTest, PresentPathGivesItsValue) {
  for (const Case& c : cases_) {
    SCOPED_TRACE(c.name);
    const std::string folder = c.root + "/folder";
    const std::string file = folder + "/file";
    Result<uint32_t> attributes = c.fs->GetAttributes(folder);
    ASSERT_TRUE(attributes.ok()) << attributes.status().message();
    EXPECT_NE(*attributes & kFileAttributeDirectory, 0u);
    attributes = c.fs->GetAttributes(file);
    ASSERT_TRUE(attributes.ok()) << attributes.status().message();
    EXPECT_EQ(*attributes & kFileAttributeDirectory, 0u);

    Result<std::unique_ptr<OpenFileHandle>> held =
        c.fs->OpenExistingNoShare(file);
    ASSERT_TRUE(held.ok()) << held.status().message();
    EXPECT_NE(held->get(), nullptr);
    held = Status::NotFound("closed");  // closes it before the lock below

    Result<std::vector<DirEntry>> entries = c.fs->ListDirectory(folder);
    ASSERT_TRUE(entries.ok()) << entries.status().message();
    std::vector<std::string> names;
    for (const DirEntry& e : *entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "file"}));

    Result<std::unique_ptr<LockedFile>> locked =
        c.fs->LockForUpdate(file, kLibraryLockWaitLimit);
    ASSERT_TRUE(locked.ok()) << locked.status().message();
    Result<std::string> contents = c.fs->ReadLockedFile(locked->get());
    ASSERT_TRUE(contents.ok()) << contents.status().message();
    EXPECT_EQ(*contents, "");
  }
}

// A file that another run keeps replacing never looks missing to the check
// made before the update lock, and a file that is absent still is.
TEST(UpdatableFileExistsTest, ReplacedFileNeverLooksMissing) {
  testing_util::ScratchDir scratch;
  scratch.Touch("lib");
  const std::string lib = scratch.File("lib");
  FileSystem* fs = DefaultFileSystem();
  std::atomic<bool> done{false};
  std::string failure;
  std::thread replacer([&] {
    for (int i = 0; i < 200 && failure.empty(); ++i) {
      Result<std::unique_ptr<LockedFile>> locked =
          fs->LockForUpdate(lib, kLibraryLockWaitLimit);
      if (!locked.ok()) {
        failure = locked.status().message();
        break;
      }
      Result<std::unique_ptr<TempFile>> temp = fs->CreateTempFile(lib);
      if (!temp.ok()) {
        failure = temp.status().message();
        break;
      }
      Status replaced = fs->ReplaceLockedFile(locked->get(), temp->get());
      if (!replaced.ok()) failure = replaced.message();
    }
    done = true;
  });
  int misses = 0;
  while (!done) {
    if (!fs->UpdatableFileExists(lib, kLibraryLockWaitLimit)) ++misses;
  }
  replacer.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(misses, 0);
  EXPECT_FALSE(fs->UpdatableFileExists(scratch.File("none"),
                                       std::chrono::milliseconds(0)));
  EXPECT_FALSE(
      fs->UpdatableFileExists(scratch.path(), std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace tavik
