#include "platform/regstore/store_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tavik {
namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

// The store over memory hives.
class StoreRegistryTest : public ::testing::Test {
 protected:
  StoreRegistryTest()
      : storage_(new MemoryHiveStorage),
        registry_(std::unique_ptr<HiveStorage>(storage_), true) {}

  std::string& Text(HiveId hive) {
    return storage_->text[static_cast<int>(hive)];
  }

  long Create(RegKey hive, const std::string& path, uint32_t access) {
    RegKey key = kNoRegKey;
    long status = registry_.CreateKey(hive, path, access, &key);
    if (status == kErrorSuccess) registry_.CloseKey(key);
    return status;
  }

  bool Exists(HiveId hive, const std::string& section) {
    return Text(hive).find("[" + std::string(HiveName(hive)) + "\\" + section +
                           "]\n") != std::string::npos;
  }

  MemoryHiveStorage* storage_;  // owned by registry_
  StoreRegistry registry_;
};

TEST_F(StoreRegistryTest, NamesIgnoreCaseAndKeepIt) {
  RegKey key = kNoRegKey;
  ASSERT_EQ(
      registry_.CreateKey(kHkeyCurrentUser, "Software\\MyApp", kKeyWrite, &key),
      kErrorSuccess);
  EXPECT_EQ(registry_.SetString(key, "Name", "one"), kErrorSuccess);
  EXPECT_EQ(registry_.SetString(key, "NAME", "two"), kErrorSuccess);
  registry_.CloseKey(key);

  ASSERT_EQ(
      registry_.OpenKey(kHkeyCurrentUser, "SOFTWARE\\myapp\\", kKeyRead, &key),
      kErrorSuccess);
  std::string text;
  EXPECT_EQ(registry_.QueryString(key, "name", &text), kErrorSuccess);
  EXPECT_EQ(text, "two");
  EXPECT_EQ(registry_.QueryString(key, "other", &text), kErrorFileNotFound);
  registry_.CloseKey(key);
  EXPECT_EQ(Create(kHkeyCurrentUser, "SOFTWARE\\MYAPP\\Sub", kKeyWrite),
            kErrorSuccess);
  EXPECT_EQ(Text(HiveId::kCurrentUser),
            std::string(kHeader) + "[HKEY_CURRENT_USER\\Software]\n\n" +
                "[HKEY_CURRENT_USER\\Software\\MyApp]\n\"Name\"=\"two\"\n\n" +
                "[HKEY_CURRENT_USER\\Software\\MyApp\\Sub]\n\n");
}

TEST_F(StoreRegistryTest, ThirtyTwoBitViewOfMachineSoftwareIsRedirected) {
  const struct {
    RegKey hive;
    std::string path;
    uint32_t view;
    bool native64;
    std::string section;  // where the key lands
  } cases[] = {
      {kHkeyLocalMachine, "SOFTWARE\\V\\L", kKeyWow64_32Key, true,
       "SOFTWARE\\WOW6432Node\\V\\L"},
      {kHkeyLocalMachine, "software\\V\\L", kKeyWow64_32Key, true,
       "software\\WOW6432Node\\V\\L"},
      {kHkeyLocalMachine, "SOFTWARE\\V\\L", kKeyWow64_64Key, false,
       "SOFTWARE\\V\\L"},
      {kHkeyLocalMachine, "SOFTWARE\\V\\L", 0, true, "SOFTWARE\\V\\L"},
      {kHkeyLocalMachine, "SOFTWARE\\V\\L", 0, false,
       "SOFTWARE\\WOW6432Node\\V\\L"},
      {kHkeyLocalMachine, "SOFTWARE\\Wow6432Node\\V", kKeyWow64_32Key, true,
       "SOFTWARE\\Wow6432Node\\V"},
      {kHkeyLocalMachine, "SYSTEM\\V", kKeyWow64_32Key, true, "SYSTEM\\V"},
      {kHkeyCurrentUser, "Software\\V\\L", kKeyWow64_32Key, true,
       "Software\\V\\L"},
  };
  for (const auto& c : cases) {
    auto* storage = new MemoryHiveStorage;
    StoreRegistry registry(std::unique_ptr<HiveStorage>(storage), c.native64);
    RegKey key = kNoRegKey;
    ASSERT_EQ(registry.CreateKey(c.hive, c.path, kKeyWrite | c.view, &key),
              kErrorSuccess);
    // A value written through a subkey opened on the redirected key stays
    // in that view.
    RegKey sub = kNoRegKey;
    ASSERT_EQ(registry.CreateKey(key, "2011", kKeyWrite | c.view, &sub),
              kErrorSuccess);
    registry.SetString(sub, "v", "x");
    registry.CloseKey(sub);
    registry.CloseKey(key);
    HiveId hive = c.hive == kHkeyLocalMachine ? HiveId::kLocalMachine
                                              : HiveId::kCurrentUser;
    EXPECT_NE(storage->text[static_cast<int>(hive)].find(
                  "[" + std::string(HiveName(hive)) + "\\" + c.section +
                  "\\2011]\n\"v\"=\"x\"\n"),
              std::string::npos)
        << c.path << " view " << c.view << "\n"
        << storage->text[static_cast<int>(hive)];
  }
}

TEST_F(StoreRegistryTest, KeyWithSubkeysCannotBeDeleted) {
  ASSERT_EQ(Create(kHkeyLocalMachine, "SOFTWARE\\A\\B", kKeyWrite),
            kErrorSuccess);
  RegKey b = kNoRegKey;
  ASSERT_EQ(
      registry_.OpenKey(kHkeyLocalMachine, "SOFTWARE\\A\\B", kKeyAllAccess, &b),
      kErrorSuccess);
  ASSERT_EQ(registry_.SetString(b, "v", "x"), kErrorSuccess);

  EXPECT_EQ(registry_.DeleteKeyInView(kHkeyLocalMachine, "SOFTWARE\\A",
                                      kKeyWow64_64Key),
            kErrorAccessDenied);
  EXPECT_TRUE(Exists(HiveId::kLocalMachine, "SOFTWARE\\A"));
  EXPECT_EQ(registry_.DeleteKeyInView(kHkeyLocalMachine, "software\\a\\b\\",
                                      kKeyWow64_64Key),
            kErrorSuccess);
  EXPECT_FALSE(Exists(HiveId::kLocalMachine, "SOFTWARE\\A\\B"));
  EXPECT_EQ(Text(HiveId::kLocalMachine).find("\"v\""), std::string::npos);
  // The handle still open on the deleted key is dead.
  std::string text;
  EXPECT_EQ(registry_.QueryString(b, "v", &text), kErrorKeyDeleted);
  EXPECT_EQ(registry_.SetString(b, "v", "y"), kErrorKeyDeleted);
  EXPECT_EQ(registry_.CloseKey(b), kErrorSuccess);
  EXPECT_EQ(
      registry_.DeleteKeyInDefaultView(kHkeyLocalMachine, "SOFTWARE\\A\\B"),
      kErrorFileNotFound);
  EXPECT_EQ(registry_.DeleteKeyInView(kHkeyLocalMachine, "SOFTWARE\\A",
                                      kKeyWow64_32Key),
            kErrorFileNotFound);
  EXPECT_EQ(registry_.DeleteKeyInDefaultView(kHkeyLocalMachine, "SOFTWARE\\A"),
            kErrorSuccess);
  EXPECT_EQ(registry_.DeleteKeyInDefaultView(kHkeyLocalMachine, ""),
            kErrorInvalidParameter);
}

TEST_F(StoreRegistryTest, ReadOnlyHiveRefusesEveryWrite) {
  ASSERT_EQ(Create(kHkeyLocalMachine, "SOFTWARE\\A", kKeyWrite), kErrorSuccess);
  RegKey key = kNoRegKey;
  ASSERT_EQ(
      registry_.OpenKey(kHkeyLocalMachine, "SOFTWARE\\A", kKeyWrite, &key),
      kErrorSuccess);
  ASSERT_EQ(registry_.SetString(key, "v", "x"), kErrorSuccess);
  registry_.CloseKey(key);
  storage_->writable[0] = false;
  const std::string before = Text(HiveId::kLocalMachine);

  EXPECT_EQ(Create(kHkeyLocalMachine, "SOFTWARE\\A", kKeyWrite),
            kErrorAccessDenied);
  EXPECT_EQ(Create(kHkeyLocalMachine, "SOFTWARE\\New", kKeyRead),
            kErrorAccessDenied);
  EXPECT_EQ(
      registry_.OpenKey(kHkeyLocalMachine, "SOFTWARE\\A", kKeyAllAccess, &key),
      kErrorAccessDenied);
  EXPECT_EQ(registry_.DeleteKeyInDefaultView(kHkeyLocalMachine, "SOFTWARE\\A"),
            kErrorAccessDenied);
  // Reading works, also through the rights RegOpenKeyA grants, and a read
  // handle cannot write.
  ASSERT_EQ(
      registry_.OpenKeyAnsiDefault(kHkeyLocalMachine, "SOFTWARE\\A", &key),
      kErrorSuccess);
  std::string text;
  EXPECT_EQ(registry_.QueryString(key, "v", &text), kErrorSuccess);
  EXPECT_EQ(text, "x");
  EXPECT_EQ(registry_.SetString(key, "v", "y"), kErrorAccessDenied);
  registry_.CloseKey(key);
  EXPECT_EQ(Text(HiveId::kLocalMachine), before);
  // The other hive is not affected.
  EXPECT_EQ(Create(kHkeyCurrentUser, "Software\\A", kKeyWrite), kErrorSuccess);
}

TEST_F(StoreRegistryTest, UnparseableHiveIsNeverRewritten) {
  const std::string broken = "Windows Registry Editor Version 5.00\n[oops\n";
  Text(HiveId::kLocalMachine) = broken;
  RegKey key = kNoRegKey;
  EXPECT_EQ(
      registry_.CreateKey(kHkeyLocalMachine, "SOFTWARE\\A", kKeyWrite, &key),
      kErrorBadDb);
  EXPECT_EQ(registry_.DeleteKeyInView(kHkeyLocalMachine, "SOFTWARE\\A",
                                      kKeyWow64_64Key),
            kErrorBadDb);
  EXPECT_EQ(Text(HiveId::kLocalMachine), broken);
  EXPECT_EQ(storage_->save_count[0], 0);
  EXPECT_EQ(storage_->lock_count[0], 0);
}

TEST_F(StoreRegistryTest, HiveIsLockedWhileAKeyIsOpen) {
  RegKey a = kNoRegKey;
  RegKey b = kNoRegKey;
  ASSERT_EQ(registry_.CreateKey(kHkeyCurrentUser, "Software\\A", kKeyWrite, &a),
            kErrorSuccess);
  EXPECT_EQ(storage_->lock_count[1], 1);
  ASSERT_EQ(registry_.CreateKey(a, "B", kKeyWrite, &b), kErrorSuccess);
  EXPECT_EQ(storage_->lock_count[1], 1);
  registry_.CloseKey(a);
  EXPECT_EQ(storage_->lock_count[1], 1);
  // A change made by someone else while unlocked is seen at the next lock.
  registry_.CloseKey(b);
  EXPECT_EQ(storage_->lock_count[1], 0);
  Text(HiveId::kCurrentUser) +=
      "[HKEY_CURRENT_USER\\Software\\A\\B]\n\"v\"=\"other\"\n";
  ASSERT_EQ(registry_.OpenKey(kHkeyCurrentUser, "Software\\A\\B", kKeyRead, &b),
            kErrorSuccess);
  std::string text;
  EXPECT_EQ(registry_.QueryString(b, "v", &text), kErrorSuccess);
  EXPECT_EQ(text, "other");
  registry_.CloseKey(b);
  EXPECT_EQ(registry_.CloseKey(b), kErrorInvalidHandle);
  EXPECT_EQ(storage_->lock_count[1], 0);
}

// Saves fail on demand.
class FailingStorage : public MemoryHiveStorage {
 public:
  bool fail = false;
  long Save(HiveId hive, const std::string& text) override {
    if (fail) return kErrorRegistryIoFailed;
    return MemoryHiveStorage::Save(hive, text);
  }
};

TEST(StoreRegistryFailureTest, FailedSaveLeavesTheHiveAsSaved) {
  auto* storage = new FailingStorage;
  StoreRegistry registry{std::unique_ptr<HiveStorage>(storage)};
  RegKey key = kNoRegKey;
  ASSERT_EQ(
      registry.CreateKey(kHkeyCurrentUser, "Software\\A", kKeyAllAccess, &key),
      kErrorSuccess);
  ASSERT_EQ(registry.SetString(key, "v", "old"), kErrorSuccess);
  storage->fail = true;
  EXPECT_EQ(registry.SetString(key, "v", "new"), kErrorRegistryIoFailed);
  RegKey sub = kNoRegKey;
  EXPECT_EQ(registry.CreateKey(key, "Sub", kKeyWrite, &sub),
            kErrorRegistryIoFailed);
  EXPECT_EQ(registry.OpenKey(key, "Sub", kKeyRead, &sub), kErrorFileNotFound);
  std::string text;
  EXPECT_EQ(registry.QueryString(key, "v", &text), kErrorSuccess);
  EXPECT_EQ(text, "old");
  registry.CloseKey(key);
}

TEST_F(StoreRegistryTest, OnlyStringValuesReadAsText) {
  Text(HiveId::kCurrentUser) =
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n"
      "\"d\"=dword:00000001\n\"s\"=\"text\"\n";
  RegKey key = kNoRegKey;
  ASSERT_EQ(registry_.OpenKey(kHkeyCurrentUser, "A", kKeyAllAccess, &key),
            kErrorSuccess);
  std::string text;
  EXPECT_EQ(registry_.QueryString(key, "d", &text), kErrorInvalidData);
  EXPECT_EQ(registry_.QueryString(key, "s", &text), kErrorSuccess);
  ASSERT_EQ(registry_.SetString(key, "s", "changed"), kErrorSuccess);
  registry_.CloseKey(key);
  // The other value is kept as it was.
  EXPECT_NE(Text(HiveId::kCurrentUser).find("\"d\"=dword:00000001\n"),
            std::string::npos);
  uint32_t count = 7;
  EXPECT_EQ(registry_.CountSubKeys(kHkeyCurrentUser, &count), kErrorSuccess);
  EXPECT_EQ(count, 1u);
}

TEST_F(StoreRegistryTest, BadArgumentsFailCleanly) {
  RegKey key = 12345;
  EXPECT_EQ(registry_.OpenKey(kHkeyCurrentUser, "\\A", kKeyRead, &key),
            kErrorBadPathname);
  EXPECT_EQ(key, kNoRegKey);
  EXPECT_EQ(registry_.CreateKey(kHkeyCurrentUser, "A\nB", kKeyWrite, &key),
            kErrorInvalidParameter);
  EXPECT_EQ(registry_.CreateKey(kHkeyCurrentUser, "A", kKeyWrite | kKeyWow64Res,
                                &key),
            kErrorInvalidParameter);
  EXPECT_EQ(registry_.OpenKey(0x4242, "A", kKeyRead, &key),
            kErrorInvalidHandle);
  uint32_t count = 0;
  EXPECT_EQ(registry_.CountSubKeys(0x4242, &count), kErrorInvalidHandle);
  EXPECT_EQ(storage_->save_count[1], 0);
  EXPECT_EQ(storage_->lock_count[1], 0);
}

}  // namespace
}  // namespace tavik
