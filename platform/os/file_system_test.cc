#include "platform/os/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <utility>

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
    EXPECT_EQ(c.fs->OpenForReading(missing).status().code(),
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

    Result<DirListing> entries = c.fs->ListDirectory(folder);
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

// A file read in pieces that do not divide it gives its bytes once, then
// 0 for good.
TEST_F(FileSystemResultTest, OpenForReadingGivesTheBytesInPieces) {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  std::ofstream(scratch_.File("folder/big"), std::ios::binary) << big;
  memory_.PutFile("/m/folder/big", big);
  for (const Case& c : cases_) {
    for (const auto& [name, contents] :
         {std::pair<std::string, std::string>{"file", ""}, {"big", big}}) {
      SCOPED_TRACE(std::string(c.name) + " " + name);
      Result<std::unique_ptr<InputFile>> file =
          c.fs->OpenForReading(c.root + "/folder/" + name);
      ASSERT_TRUE(file.ok()) << file.status().message();
      std::string read;
      char buffer[4093];
      for (;;) {
        Result<size_t> n = (*file)->Read(buffer, sizeof(buffer));
        ASSERT_TRUE(n.ok()) << n.status().message();
        if (*n == 0) break;
        read.append(buffer, *n);
      }
      EXPECT_EQ(read, contents);
      EXPECT_EQ((*file)->Read(buffer, sizeof(buffer)).value_or(1), 0u);
    }
  }
}

// Ranges of a file, read under its lock or by a reader that takes none:
// within it, running past its end, and from past it; the package reader
// relies on each.
TEST_F(FileSystemResultTest, FileRangesAreCutFromTheFile) {
  const std::string bytes = "0123456789abcdef";
  std::ofstream(scratch_.File("folder/ranged"), std::ios::binary) << bytes;
  memory_.PutFile("/m/folder/ranged", bytes);
  const uint64_t kAll = std::numeric_limits<uint64_t>::max();
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {0, 4}, {3, 5}, {10, kAll}, {12, 100}, {16, 1}, {40, kAll}, {0, 0}};
  for (const Case& c : cases_) {
    const std::string path = c.root + "/folder/ranged";
    Result<std::unique_ptr<LockedFile>> locked =
        c.fs->LockForUpdate(path, kLibraryLockWaitLimit);
    ASSERT_TRUE(locked.ok()) << locked.status().message();
    Result<std::unique_ptr<InputFile>> reader = c.fs->OpenForReading(path);
    ASSERT_TRUE(reader.ok()) << reader.status().message();
    for (bool under_lock : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (under_lock ? " locked" : " reader"));
      for (const auto& [offset, max_bytes] : ranges) {
        Result<LargeString> got =
            under_lock
                ? c.fs->ReadLockedFileRange(locked->get(), offset, max_bytes)
                : (*reader)->ReadAt(offset, max_bytes);
        ASSERT_TRUE(got.ok()) << got.status().message();
        EXPECT_EQ(
            std::string(got->data(), got->size()),
            offset >= bytes.size()
                ? std::string()
                : bytes.substr(offset, std::min<uint64_t>(
                                           max_bytes, bytes.size() - offset)))
            << offset << " " << max_bytes;
      }
    }
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

// A reader opened before a replace neither holds it up nor sees it: a dry
// run's pieces of a library are of the one file it opened.
TEST(OpenForReadingTest, ReaderKeepsTheFileItOpenedThroughAReplace) {
  testing_util::ScratchDir scratch;
  std::ofstream(scratch.File("lib"), std::ios::binary) << "old bytes";
  const std::string lib = scratch.File("lib");
  FileSystem* fs = DefaultFileSystem();
  Result<std::unique_ptr<InputFile>> reader = fs->OpenForReading(lib);
  ASSERT_TRUE(reader.ok()) << reader.status().message();
  Result<std::unique_ptr<LockedFile>> locked =
      fs->LockForUpdate(lib, kLibraryLockWaitLimit);
  ASSERT_TRUE(locked.ok()) << locked.status().message();
  Result<std::unique_ptr<TempFile>> temp = fs->CreateTempFile(lib);
  ASSERT_TRUE(temp.ok()) << temp.status().message();
  ASSERT_TRUE(fs->AppendToFile(temp->get(), "new", 3).ok());
  Status replaced = fs->ReplaceLockedFile(locked->get(), temp->get());
  ASSERT_TRUE(replaced.ok()) << replaced.message();
  Result<LargeString> read = (*reader)->ReadAt(0, 100);
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(std::string(read->data(), read->size()), "old bytes");
  EXPECT_EQ(fs->ReadWholeFile(lib).value_or(""), "new");
}

}  // namespace
}  // namespace tavik
