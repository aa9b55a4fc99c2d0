// Concurrent runs over the registry store's hive files: each run has a
// StoreRegistry of its own over the same folder, as separate processes do,
// so they meet only at the hive's lock file.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/regstore/hive_storage.h"
#include "platform/regstore/store_registry.h"
#include "registration/library_paths.h"

namespace tavik {
namespace {

constexpr char kOld[] = "C:\\Lib\\old.vlmrlib";

std::unique_ptr<StoreRegistry> Connect(const std::string& dir) {
  return std::make_unique<StoreRegistry>(NewFileHiveStorage(dir, dir), true);
}

// The list in one view; nullopt when the value or its keys are missing.
std::optional<std::string> List(Registry* registry, bool perUser,
                                bool use64BitView) {
  RegKey key = kNoRegKey;
  std::string path =
      std::string(perUser ? kUserLibraryRootKey : kMachineLibraryRootKey) +
      kVersionKey;
  if (registry->OpenKey(
          perUser ? kHkeyCurrentUser : kHkeyLocalMachine, path,
          kKeyRead | (use64BitView ? kKeyWow64_64Key : kKeyWow64_32Key),
          &key) != kErrorSuccess) {
    return std::nullopt;
  }
  std::string text;
  long status = registry->QueryString(key, kLibraryPathsValue, &text);
  registry->CloseKey(key);
  if (status != kErrorSuccess) return std::nullopt;
  return text;
}

// Tells when a Lock call finds the lock held by another.
class ProbingStorage : public HiveStorage {
 public:
  ProbingStorage(std::unique_ptr<HiveStorage> target,
                 std::function<void()> on_busy)
      : target_(std::move(target)), on_busy_(std::move(on_busy)) {}

  long Lock(HiveId hive, uint32_t timeout_ms, std::string* text,
            bool* writable) override {
    long status = target_->Lock(hive, 0, text, writable);
    if (status != kErrorTimeout) return status;
    on_busy_();
    return target_->Lock(hive, timeout_ms, text, writable);
  }
  long Save(HiveId hive, const std::string& text) override {
    return target_->Save(hive, text);
  }
  void Unlock(HiveId hive) override { target_->Unlock(hive); }

 private:
  std::unique_ptr<HiveStorage> target_;
  std::function<void()> on_busy_;
};

// Widens the window between writing the emptied list and deleting its key:
// before the first deletion, another run adds `path_` and this one goes on
// only once that run has finished or is found waiting for the lock.
class AddBeforeDeletion : public ForwardingRegistry {
 public:
  AddBeforeDeletion(Registry* target, std::string dir, std::string path,
                    bool perUser)
      : ForwardingRegistry(target),
        dir_(std::move(dir)),
        path_(std::move(path)),
        perUser_(perUser) {}
  ~AddBeforeDeletion() override { Join(); }

  long DeleteKeyInView(RegKey hive, const std::string& subkey,
                       uint32_t viewFlag) override {
    if (!adder_.joinable()) {
      adder_ = std::thread([this] {
        StoreRegistry other(
            std::make_unique<ProbingStorage>(NewFileHiveStorage(dir_, dir_),
                                             [this] { Signal(); }),
            true);
        RegisterLibraryPath(KString(path_), perUser_, false, &other);
        Signal();
      });
      std::unique_lock<std::mutex> lock(mutex_);
      signalled_.wait(lock, [this] { return signal_; });
    }
    return ForwardingRegistry::DeleteKeyInView(hive, subkey, viewFlag);
  }

  void Join() {
    if (adder_.joinable()) adder_.join();
  }
  bool Hooked() const { return adder_.joinable(); }

 private:
  void Signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    signal_ = true;
    signalled_.notify_all();
  }

  std::string dir_;
  std::string path_;
  bool perUser_;
  std::thread adder_;
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool signal_ = false;
};

TEST(LibraryPathsConcurrencyTest, AdditionBesideAnEmptyingRemovalIsKept) {
  for (bool perUser : {false, true}) {
    SCOPED_TRACE(perUser ? "per user" : "machine-wide");
    testing_util::ScratchDir dir;
    const std::string added = "D:\\Lib\\new.vlmrlib";
    RegisterLibraryPath(KString(kOld), perUser, false,
                        Connect(dir.path()).get());
    {
      std::unique_ptr<StoreRegistry> store = Connect(dir.path());
      AddBeforeDeletion remover(store.get(), dir.path(), added, perUser);
      RegisterLibraryPath(KString(kOld), perUser, true, &remover);
      ASSERT_TRUE(remover.Hooked());
      remover.Join();
    }
    std::unique_ptr<StoreRegistry> reader = Connect(dir.path());
    for (bool use64BitView : {false, true}) {
      EXPECT_EQ(List(reader.get(), perUser, use64BitView), added)
          << (use64BitView ? "64-bit view" : "32-bit view");
    }
  }
}

// One removal that empties the list against one addition, started together,
// round after round: nothing widens the window.
TEST(LibraryPathsConcurrencyTest, RoundsOfRemovalAgainstAddition) {
  constexpr int kRounds = 40;  // the unmended code loses a path in 1 of 7
  testing_util::ScratchDir dir;
  int lost = 0;
  for (int round = 0; round < kRounds; ++round) {
    bool perUser = round % 2 == 1;
    const std::string added = "D:\\Lib\\" + std::to_string(round) + ".vlmrlib";
    {
      std::unique_ptr<StoreRegistry> setup = Connect(dir.path());
      RegisterLibraryPath(KString(kOld), perUser, false, setup.get());
    }
    std::atomic<int> ready{0};
    auto run = [&](const std::string& path, bool remove) {
      std::unique_ptr<StoreRegistry> store = Connect(dir.path());
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      RegisterLibraryPath(KString(path), perUser, remove, store.get());
    };
    std::thread remover(run, std::string(kOld), true);
    std::thread adder(run, added, false);
    remover.join();
    adder.join();

    std::unique_ptr<StoreRegistry> reader = Connect(dir.path());
    for (bool use64BitView : {false, true}) {
      if (List(reader.get(), perUser, use64BitView) != added) ++lost;
    }
    // The next round starts from no list.
    RegisterLibraryPath(KString(added), perUser, true, reader.get());
  }
  EXPECT_EQ(lost, 0) << "lists without the added path, of " << 2 * kRounds;
}

// A run that holds the lock and stops keeps later runs waiting only for the
// limit; they then leave the list as it is.
TEST(LibraryPathsConcurrencyTest, HeldLockSkipsTheChangeAfterTheLimit) {
  for (bool perUser : {false, true}) {
    for (bool remove : {false, true}) {
      SCOPED_TRACE(std::string(perUser ? "per user" : "machine-wide") +
                   (remove ? ", removal" : ", addition"));
      testing_util::ScratchDir dir;
      RegisterLibraryPath(KString(kOld), perUser, false,
                          Connect(dir.path()).get());
      std::unique_ptr<StoreRegistry> holder = Connect(dir.path());
      std::unique_ptr<ListLock> held;
      ASSERT_EQ(holder->LockList(perUser ? kHkeyCurrentUser : kHkeyLocalMachine,
                                 0, &held),
                kErrorSuccess);

      std::unique_ptr<StoreRegistry> waiter = Connect(dir.path());
      RegisterLibraryPath(KString(remove ? kOld : "D:\\x.vlmrlib"), perUser,
                          remove, waiter.get(), 100);
      held.reset();  // as the hung run ending would
      for (bool use64BitView : {false, true}) {
        EXPECT_EQ(List(waiter.get(), perUser, use64BitView), kOld);
      }
      // The other hive was never held.
      RegisterLibraryPath(KString(kOld), !perUser, false, waiter.get(), 100);
      EXPECT_EQ(List(waiter.get(), !perUser, true), kOld);
    }
  }
}

}  // namespace
}  // namespace tavik
