#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/posix_files.h"
#include "platform/regstore/store_registry.h"

namespace tavik {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class FileStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<StoreRegistry> NewRegistry() {
    return std::make_unique<StoreRegistry>(NewFileHiveStorage(
        DefaultPosixFiles(), dir_ + "/machine", dir_ + "/user"));
  }
  std::string MachineFile() { return dir_ + "/machine/HKEY_LOCAL_MACHINE.reg"; }
  std::string UserFile() { return dir_ + "/user/HKEY_CURRENT_USER.reg"; }

  static long SetValue(Registry* registry, RegKey hive, const std::string& path,
                       const std::string& name, const std::string& text) {
    RegKey key = kNoRegKey;
    long status = registry->CreateKey(hive, path, kKeyAllAccess, &key);
    if (status != kErrorSuccess) return status;
    status = registry->SetString(key, name, text);
    registry->CloseKey(key);
    return status;
  }

  static long GetValue(Registry* registry, RegKey hive, const std::string& path,
                       const std::string& name, std::string* text) {
    RegKey key = kNoRegKey;
    long status = registry->OpenKey(hive, path, kKeyRead, &key);
    if (status != kErrorSuccess) return status;
    status = registry->QueryString(key, name, text);
    registry->CloseKey(key);
    return status;
  }

  testing_util::ScratchDir scratch_;
  std::string dir_ = scratch_.path();
};

TEST_F(FileStoreTest, SavesReadableHiveFilesAtomically) {
  auto registry = NewRegistry();
  const std::string awkward = "/srv/lib\nwith \"quotes\" \\ and \xFF";
  ASSERT_EQ(
      SetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "P", awkward),
      kErrorSuccess);
  EXPECT_EQ(ReadFile(UserFile()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\A]\n"
            "\"P\"=\"/srv/lib\\nwith \\\"quotes\\\" \\\\ and \\xff\"\n\n");
  EXPECT_FALSE(PathExists(UserFile() + ".tmp"));
  EXPECT_FALSE(PathExists(MachineFile()));

  // Another process (here: another registry) reads the same text back, and
  // a save keeps the file's permissions.
  ASSERT_EQ(::chmod(UserFile().c_str(), 0600), 0);
  auto other = NewRegistry();
  std::string text;
  ASSERT_EQ(GetValue(other.get(), kHkeyCurrentUser, "SOFTWARE\\a", "p", &text),
            kErrorSuccess);
  EXPECT_EQ(text, awkward);
  ASSERT_EQ(SetValue(other.get(), kHkeyCurrentUser, "Software\\A", "Q", "2"),
            kErrorSuccess);
  struct stat st;
  ASSERT_EQ(::stat(UserFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileStoreTest, MissingOrEmptyHiveFileIsAnEmptyHive) {
  auto registry = NewRegistry();
  std::string text;
  EXPECT_EQ(GetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE", "v", &text),
            kErrorFileNotFound);
  // The reader may have made the folder already.
  ::mkdir((dir_ + "/machine").c_str(), 0755);
  WriteFile(MachineFile(), "");
  EXPECT_EQ(GetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE", "v", &text),
            kErrorFileNotFound);
  EXPECT_EQ(SetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE", "v", "x"),
            kErrorSuccess);
  EXPECT_NE(ReadFile(MachineFile()).find("\"v\"=\"x\""), std::string::npos);
}

TEST_F(FileStoreTest, UnparseableHiveFileIsLeftUntouched) {
  ASSERT_EQ(::mkdir((dir_ + "/machine").c_str(), 0755), 0);
  const std::string broken =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011]\n"
      "\"LibraryPaths\"=\"C:\\lib\"\n";  // a single backslash: not an escape
  WriteFile(MachineFile(), broken);
  auto registry = NewRegistry();
  EXPECT_EQ(
      SetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE\\X", "v", "x"),
      kErrorBadDb);
  EXPECT_EQ(registry->DeleteKeyInView(
                kHkeyLocalMachine, "SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011",
                kKeyWow64_64Key),
            kErrorBadDb);
  EXPECT_EQ(ReadFile(MachineFile()), broken);
  // The user hive is a separate file and still works.
  EXPECT_EQ(SetValue(registry.get(), kHkeyCurrentUser, "Software\\X", "v", "x"),
            kErrorSuccess);
}

// Runs `check` in a child process that has given up root's rights, so that
// file permissions apply as they do to an ordinary user. Returns the
// child's exit code.
template <typename Check>
int RunUnprivileged(Check check) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(100);
    }
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST_F(FileStoreTest, ReadOnlyMachineHiveRefusesWriteConnections) {
  {
    auto registry = NewRegistry();
    ASSERT_EQ(
        SetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE\\A", "v", "x"),
        kErrorSuccess);
  }
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ + "/machine").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(MachineFile().c_str(), 0644), 0);
  const std::string before = ReadFile(MachineFile());
  std::string user_dir = dir_ + "/user_of_nobody";
  ASSERT_EQ(::mkdir(user_dir.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(user_dir.c_str(), 0777), 0);

  int code = RunUnprivileged([&]() -> int {
    StoreRegistry registry(
        NewFileHiveStorage(DefaultPosixFiles(), dir_ + "/machine", user_dir));
    RegKey key = kNoRegKey;
    if (registry.CreateKey(kHkeyLocalMachine, "SOFTWARE\\A",
                           kKeyRead | kKeyWrite, &key) != kErrorAccessDenied) {
      return 1;
    }
    if (registry.OpenKey(kHkeyLocalMachine, "SOFTWARE\\A", kKeyAllAccess,
                         &key) != kErrorAccessDenied) {
      return 2;
    }
    std::string text;
    if (GetValue(&registry, kHkeyLocalMachine, "SOFTWARE\\A", "v", &text) !=
            kErrorSuccess ||
        text != "x") {
      return 3;
    }
    if (SetValue(&registry, kHkeyCurrentUser, "Software\\A", "v", "y") !=
        kErrorSuccess) {
      return 4;
    }
    return 0;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadFile(MachineFile()), before);
}

// The real file calls, with one of them failing.
class FailingFiles : public ForwardingPosixFiles {
 public:
  enum class Step { kRead, kWrite, kRename };
  explicit FailingFiles(Step fail)
      : ForwardingPosixFiles(DefaultPosixFiles()), fail_(fail) {}

  Result<std::string> ReadFile(const std::string& path) override {
    // NotFound, but not "no such file": must not read as an empty hive.
    if (fail_ == Step::kRead) return Status::NotFound("injected");
    return ForwardingPosixFiles::ReadFile(path);
  }
  Status WriteNewFile(const std::string& path, const std::string& contents,
                      const FileOwnership& as) override {
    if (fail_ == Step::kWrite) return Status::IoError("injected");
    return ForwardingPosixFiles::WriteNewFile(path, contents, as);
  }
  Status Rename(const std::string& from, const std::string& to) override {
    if (fail_ == Step::kRename) return Status::IoError("injected");
    return ForwardingPosixFiles::Rename(from, to);
  }

 private:
  Step fail_;
};

TEST_F(FileStoreTest, FailedSaveLeavesTheOldHiveAndReportsIt) {
  {
    auto registry = NewRegistry();
    ASSERT_EQ(
        SetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "v", "old"),
        kErrorSuccess);
  }
  const std::string before = ReadFile(UserFile());
  using Step = FailingFiles::Step;
  const struct {
    Step step;
    long expected;
  } cases[] = {{Step::kRead, kErrorFileNotFound},
               {Step::kWrite, kErrorRegistryIoFailed},
               {Step::kRename, kErrorRegistryIoFailed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    FailingFiles files(c.step);
    StoreRegistry failing(
        NewFileHiveStorage(&files, dir_ + "/machine", dir_ + "/user"));
    EXPECT_EQ(SetValue(&failing, kHkeyCurrentUser, "Software\\B", "w", "new"),
              c.expected);
    EXPECT_EQ(ReadFile(UserFile()), before);
    EXPECT_FALSE(PathExists(UserFile() + ".tmp"));
    std::string text;
    auto registry = NewRegistry();
    EXPECT_EQ(
        GetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "v", &text),
        kErrorSuccess);
    EXPECT_EQ(text, "old");
  }
}

TEST_F(FileStoreTest, CreatesMissingFolders) {
  std::string deep = dir_ + "/a/b/c";
  StoreRegistry registry(NewFileHiveStorage(DefaultPosixFiles(), deep, deep));
  EXPECT_EQ(SetValue(&registry, kHkeyLocalMachine, "SOFTWARE\\A", "v", "x"),
            kErrorSuccess);
  EXPECT_TRUE(PathExists(deep + "/HKEY_LOCAL_MACHINE.reg"));
}

TEST_F(FileStoreTest, OpenKeyHoldsTheLockUntilClosed) {
  auto first = NewRegistry();
  RegKey key = kNoRegKey;
  ASSERT_EQ(
      first->CreateKey(kHkeyCurrentUser, "Software\\A", kKeyAllAccess, &key),
      kErrorSuccess);
  ASSERT_EQ(first->SetString(key, "list", "one"), kErrorSuccess);

  std::atomic<bool> second_done{false};
  std::string seen;
  std::thread second([&] {
    auto registry = NewRegistry();
    GetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "list", &seen);
    second_done = true;
  });
  // Whatever the second one does, it cannot get in before the first closes;
  // it then sees the first one's last write.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second_done);
  ASSERT_EQ(first->SetString(key, "list", "one|two"), kErrorSuccess);
  first->CloseKey(key);
  second.join();
  EXPECT_EQ(seen, "one|two");
}

// Root's change of a store that another user owns leaves every file and
// folder of it that user's, so that the user's next change is not refused:
// a rewritten hive keeps its owner, group and mode; what root creates takes
// its folder's owner and group. Runs only as root.
TEST_F(FileStoreTest, RootLeavesAUsersStoreTheUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const uid_t user = 65534;  // nobody
  const gid_t group = 65534;
  ASSERT_EQ(::chown(dir_.c_str(), user, group), 0);
  {
    auto registry = NewRegistry();
    ASSERT_EQ(SetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "v",
                       "user's"),
              kErrorSuccess);
  }
  // The hive as the user would have left it, with a mode of the user's own.
  ASSERT_EQ(::chown(UserFile().c_str(), user, group), 0);
  ASSERT_EQ(::chmod(UserFile().c_str(), 0640), 0);
  {
    auto registry = NewRegistry();
    ASSERT_EQ(SetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "w",
                       "root's"),
              kErrorSuccess);
    ASSERT_EQ(SetValue(registry.get(), kHkeyLocalMachine, "SOFTWARE\\A", "v",
                       "root's"),
              kErrorSuccess);
  }
  const struct {
    std::string path;
    unsigned mode;  // 0: any
  } expected[] = {
      {UserFile(), 0640},        {dir_ + "/user", 0},
      {UserFile() + ".lock", 0}, {dir_ + "/machine", 0},
      {MachineFile(), 0644},     {MachineFile() + ".lock", 0},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.path);
    struct stat st;
    ASSERT_EQ(::stat(e.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_gid, group);
    if (e.mode != 0) {
      EXPECT_EQ(st.st_mode & 07777, e.mode);
    }
  }
  EXPECT_NE(ReadFile(UserFile()).find("root's"), std::string::npos);
}

// The files of a user: writable only where this process may write.
class ReadOnlyFiles : public ForwardingPosixFiles {
 public:
  explicit ReadOnlyFiles(std::string unwritable)
      : ForwardingPosixFiles(DefaultPosixFiles()),
        unwritable_(std::move(unwritable)) {}
  bool MayWrite(const std::string& path) override {
    return path != unwritable_ && ForwardingPosixFiles::MayWrite(path);
  }

 private:
  std::string unwritable_;
};

// A change that cannot be written says why, naming what stands in the way.
TEST_F(FileStoreTest, RefusedChangeSaysWhy) {
  {
    auto registry = NewRegistry();
    ASSERT_EQ(
        SetValue(registry.get(), kHkeyCurrentUser, "Software\\A", "v", "x"),
        kErrorSuccess);
  }
  const struct {
    std::string unwritable;
    std::string why;
  } cases[] = {
      {UserFile(), ": the file belongs to user " + std::to_string(::geteuid())},
      {dir_ + "/user", ": the folder " + dir_ + "/user may not be written"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unwritable);
    ReadOnlyFiles files(c.unwritable);
    StoreRegistry registry(
        NewFileHiveStorage(&files, dir_ + "/machine", dir_ + "/user"));
    EXPECT_EQ(SetValue(&registry, kHkeyCurrentUser, "Software\\A", "v", "y"),
              kErrorAccessDenied);
    const std::string detail = registry.LastErrorDetail();
    EXPECT_NE(detail.find("HKEY_CURRENT_USER (" + UserFile() +
                          ") may not be written by this user" + c.why),
              std::string::npos)
        << detail;
  }
}

}  // namespace
}  // namespace tavik
