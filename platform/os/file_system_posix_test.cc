// The POSIX file system's atomic replace, on the disk: what the replaced
// file keeps (mode, owner, links) and what the temporary files look like.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/file_system.h"

namespace tavik {
namespace {

using testing_util::ScratchDir;

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st;
}

void Put(const std::string& path, const std::string& contents) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(contents.data(), 1, contents.size(), f);
  std::fclose(f);
}

std::string Get(const std::string& path) {
  Result<std::string> contents = DefaultFileSystem()->ReadWholeFile(path);
  EXPECT_TRUE(contents.ok()) << contents.status().message();
  return contents.value_or(std::string());
}

// One locked replace of `path` by `contents`, as a package commit does it;
// `on_temp` sees the temporary file once it holds its contents.
template <typename OnTemp>
void Replace(const std::string& path, const std::string& contents,
             OnTemp on_temp) {
  FileSystem* fs = DefaultFileSystem();
  Result<std::unique_ptr<LockedFile>> locked =
      fs->LockForUpdate(path, kLibraryLockWaitLimit);
  ASSERT_TRUE(locked.ok()) << locked.status().message();
  Result<std::unique_ptr<TempFile>> created = fs->CreateTempFile(path);
  ASSERT_TRUE(created.ok()) << created.status().message();
  std::unique_ptr<TempFile> temp = std::move(*created);
  ASSERT_TRUE(
      fs->AppendToFile(temp.get(), contents.data(), contents.size()).ok());
  ASSERT_TRUE(fs->FlushFile(temp.get()).ok());
  on_temp(temp->path());
  ASSERT_TRUE(fs->ReplaceLockedFile(locked->get(), temp.get()).ok());
}
void Replace(const std::string& path, const std::string& contents) {
  Replace(path, contents, [](const std::string&) {});
}

TEST(PosixFileSystemTest, TemporaryFileIsNeverMoreReadableThanTheLibrary) {
  const mode_t old_umask = ::umask(022);
  for (mode_t mode : {0600, 0640, 0444, 0664, 0755, 02640}) {
    ScratchDir dir;
    const std::string lib = dir.File("lib.vlmrlib");
    Put(lib, "old");
    ASSERT_EQ(0, ::chmod(lib.c_str(), mode));
    mode_t temp_mode = 0;
    Replace(lib, "new", [&](const std::string& temp) {
      temp_mode = StatOf(temp).st_mode & 07777;
    });
    EXPECT_EQ(temp_mode, mode) << std::oct << mode;
    EXPECT_EQ(StatOf(lib).st_mode & 07777, mode) << std::oct << mode;
    EXPECT_EQ(Get(lib), "new");
  }
  ::umask(old_umask);
}

// Run as root, a replace must not hand the user's file to root. Without
// privileges the owner cannot change at all, so there is nothing to test.
TEST(PosixFileSystemTest, ReplaceKeepsOwnerGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  struct Case {
    uid_t uid;
    gid_t gid;
    mode_t mode;
  };
  for (const Case& c : std::vector<Case>{
           {12345, 23456, 0640}, {0, 23456, 0660}, {54321, 0, 0600}}) {
    ScratchDir dir;
    const std::string lib = dir.File("lib.vlmrlib");
    Put(lib, "old");
    ASSERT_EQ(0, ::chown(lib.c_str(), c.uid, c.gid));
    ASSERT_EQ(0, ::chmod(lib.c_str(), c.mode));
    uid_t temp_uid = 0;
    Replace(lib, "new",
            [&](const std::string& temp) { temp_uid = StatOf(temp).st_uid; });
    struct stat st = StatOf(lib);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(temp_uid, c.uid) << "the copy belongs to the owner from the "
                                  "start";
    EXPECT_EQ(Get(lib), "new");
  }
}

// A replace through a symbolic link updates the file the link names, in
// that file's folder, and leaves the link a link.
TEST(PosixFileSystemTest, ReplaceThroughALinkUpdatesItsTarget) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // at, to
    std::string open;                                        // what is named
  };
  for (const Case& c : std::vector<Case>{
           {"relative",
            {{"b/lib.vlmrlib", "../a/real.vlmrlib"}},
            "b/lib.vlmrlib"},
           {"absolute",
            {{"b/lib.vlmrlib", "@a/real.vlmrlib"}},
            "b/lib.vlmrlib"},
           {"chain",
            {{"b/lib.vlmrlib", "../c/mid.vlmrlib"},
             {"c/mid.vlmrlib", "../a/real.vlmrlib"}},
            "b/lib.vlmrlib"},
           {"same folder",
            {{"a/lib.vlmrlib", "real.vlmrlib"}},
            "a/lib.vlmrlib"},
       }) {
    ScratchDir dir;
    for (const char* folder : {"a", "b", "c"}) dir.Mkdir(folder);
    const std::string real = dir.File("a/real.vlmrlib");
    Put(real, "old");
    for (const auto& [at, to] : c.links) {
      std::string target = to[0] == '@' ? dir.File(to.substr(1)) : to;
      ASSERT_EQ(0, ::symlink(target.c_str(), dir.File(at).c_str()));
    }
    const std::string named = dir.File(c.open);
    Replace(named, "new");
    for (const auto& [at, to] : c.links) {
      struct stat st;
      ASSERT_EQ(0, ::lstat(dir.File(at).c_str(), &st)) << c.name;
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.name << ": " << at;
    }
    EXPECT_EQ(Get(real), "new") << c.name;
    EXPECT_EQ(Get(named), "new") << c.name;
    size_t entries = 0;
    for (const char* folder : {"a", "b", "c"}) {
      for (const auto& e :
           std::filesystem::directory_iterator(dir.File(folder))) {
        (void)e;
        ++entries;
      }
    }
    EXPECT_EQ(entries, 1 + c.links.size()) << c.name << ": a temporary left";
  }
}

// Temporary files that killed runs left are removed by the next run that
// holds the lock; those of a live writer, and every other name, stay.
TEST(PosixFileSystemTest, LockRemovesTemporaryFilesNoLiveRunOwns) {
  ScratchDir dir;
  const std::string lib = dir.File("lib.vlmrlib");
  Put(lib, "old");
  const std::vector<std::string> dead = {"lib.vlmrlib.4242-abc-0.tmp",
                                         "lib.vlmrlib.1-ffffff-1f.tmp"};
  const std::vector<std::string> kept = {
      "lib.vlmrlib.bak",           "lib.vlmrlib.tmp",
      "lib.vlmrlib.12-ab.tmp",     "lib.vlmrlib.1-2-3-4.tmp",
      "lib.vlmrlib.x-2-3.tmp",     "other.vlmrlib.1-2-3.tmp",
      "lib.vlmrlib.1-2-3.tmp.keep"};
  for (const auto& name : dead) Put(dir.File(name), "dead");
  for (const auto& name : kept) Put(dir.File(name), "kept");
  ASSERT_EQ(0,
            ::symlink("/nowhere", dir.File("lib.vlmrlib.7-7-7.tmp").c_str()));

  // A live writer: its temporary file is locked by its own descriptor.
  FileSystem* fs = DefaultFileSystem();
  Result<std::unique_ptr<TempFile>> live = fs->CreateTempFile(lib);
  ASSERT_TRUE(live.ok()) << live.status().message();

  {
    Result<std::unique_ptr<LockedFile>> locked =
        fs->LockForUpdate(lib, kLibraryLockWaitLimit);
    ASSERT_TRUE(locked.ok()) << locked.status().message();
  }
  for (const auto& name : dead) {
    EXPECT_FALSE(std::filesystem::exists(dir.File(name))) << name;
  }
  for (const auto& name : kept) {
    EXPECT_TRUE(std::filesystem::exists(dir.File(name))) << name;
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("lib.vlmrlib.7-7-7.tmp")));
  EXPECT_TRUE(std::filesystem::exists((*live)->path())) << "a live run's file";
  EXPECT_TRUE(fs->DeleteTempFile(live->get()).ok());
  EXPECT_EQ(Get(lib), "old");
}

// A holder that never lets go makes the next locker give up, not hang; the
// file is untouched, and the lock can be had once the holder is gone.
TEST(PosixFileSystemTest, LockWaitEndsAtItsLimit) {
  ScratchDir dir;
  const std::string lib = dir.File("lib.vlmrlib");
  Put(lib, "old");
  FileSystem* fs = DefaultFileSystem();
  Result<std::unique_ptr<LockedFile>> holder =
      fs->LockForUpdate(lib, kLibraryLockWaitLimit);
  ASSERT_TRUE(holder.ok()) << holder.status().message();
  for (int limit_ms : {0, 1, 100}) {
    Result<std::unique_ptr<LockedFile>> second =
        fs->LockForUpdate(lib, std::chrono::milliseconds(limit_ms));
    EXPECT_FALSE(second.ok()) << limit_ms;
    EXPECT_EQ(second.status().code(), Status::Code::kIoError)
        << limit_ms << second.status().message();
  }
  holder->reset();
  EXPECT_TRUE(fs->LockForUpdate(lib, std::chrono::milliseconds(0)).ok());
  EXPECT_EQ(Get(lib), "old");
}

}  // namespace
}  // namespace tavik
