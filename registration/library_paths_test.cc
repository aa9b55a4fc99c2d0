#include "registration/library_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/regstore/store_registry.h"

namespace tavik {
namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
constexpr char kMachineVersionKey[] =
    "SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011";

uint32_t ViewFlag(bool use64BitView) {
  return use64BitView ? kKeyWow64_64Key : kKeyWow64_32Key;
}

class LibraryPathsTest : public ::testing::Test {
 protected:
  LibraryPathsTest()
      : storage_(new MemoryHiveStorage),
        registry_(std::unique_ptr<HiveStorage>(storage_), true) {}

  static RegKey Hive(bool perUser) {
    return perUser ? kHkeyCurrentUser : kHkeyLocalMachine;
  }
  static std::string RootKey(bool perUser) {
    return perUser ? kUserLibraryRootKey : kMachineLibraryRootKey;
  }

  // The list in one view; nullopt when the value or its keys are missing.
  std::optional<std::string> List(bool perUser, bool use64BitView) {
    RegKey key = kNoRegKey;
    if (registry_.OpenKey(Hive(perUser), RootKey(perUser) + "2011",
                          kKeyRead | ViewFlag(use64BitView),
                          &key) != kErrorSuccess) {
      return std::nullopt;
    }
    std::string text;
    long status = registry_.QueryString(key, "LibraryPaths", &text);
    registry_.CloseKey(key);
    if (status != kErrorSuccess) return std::nullopt;
    return text;
  }

  void SetList(bool perUser, bool use64BitView, const std::string& text) {
    RegKey key = kNoRegKey;
    ASSERT_EQ(registry_.CreateKey(Hive(perUser), RootKey(perUser) + "2011",
                                  kKeyWrite | ViewFlag(use64BitView), &key),
              kErrorSuccess);
    ASSERT_EQ(registry_.SetString(key, "LibraryPaths", text), kErrorSuccess);
    registry_.CloseKey(key);
  }

  bool KeyExists(RegKey hive, const std::string& path, uint32_t view) {
    RegKey key = kNoRegKey;
    if (registry_.OpenKey(hive, path, kKeyRead | view, &key) != kErrorSuccess) {
      return false;
    }
    registry_.CloseKey(key);
    return true;
  }

  int Saves() { return storage_->save_count[0] + storage_->save_count[1]; }

  MemoryHiveStorage* storage_;  // owned by registry_
  StoreRegistry registry_;
};

struct ListCase {
  std::optional<std::string> before;  // nullopt: no value, no keys
  std::string path;
  std::optional<std::string> after;
  bool writes;
};

TEST_F(LibraryPathsTest, AddingAppendsWholeEntries) {
  const ListCase cases[] = {
      {std::nullopt, "P", "P", true},
      {"", "P", "P", true},
      {"Q", "P", "Q|P", true},
      {"Q|R", "P", "Q|R|P", true},
      {"P", "P", "P", false},
      {"Q|P|R", "P", "Q|P|R", false},
      {"Q|", "P", "Q||P", true},
      // Another spelling of the same file is another path.
      {"C:\\Lib\\a.vlmrlib", "c:\\lib\\A.VLMRLIB",
       "C:\\Lib\\a.vlmrlib|c:\\lib\\A.VLMRLIB", true},
      {"C:\\Lib\\a.vlmrlib", "C:/Lib/a.vlmrlib",
       "C:\\Lib\\a.vlmrlib|C:/Lib/a.vlmrlib", true},
      // A path that is only a part of a listed entry is not listed.
      {"C:\\Lib\\a.vlmrlib.bak", "C:\\Lib\\a.vlmrlib",
       "C:\\Lib\\a.vlmrlib.bak|C:\\Lib\\a.vlmrlib", true},
      {"Q|XP", "P", "Q|XP|P", true},
      {"caf\xC3\xA9", "\xE6\x97\xA5", "caf\xC3\xA9|\xE6\x97\xA5", true},
  };
  for (bool perUser : {false, true}) {
    for (const ListCase& c : cases) {
      storage_->text[0].clear();
      storage_->text[1].clear();
      if (c.before) SetList(perUser, false, *c.before);
      int saves = Saves();
      AddLibraryPath(KString(c.path), perUser, KString(RootKey(perUser)), false,
                     &registry_);
      EXPECT_EQ(List(perUser, false), c.after) << c.path;
      EXPECT_EQ(Saves() > saves, c.writes) << c.path;
      if (!perUser) {
        EXPECT_EQ(List(false, true), std::nullopt);
      }
    }
  }
}

TEST_F(LibraryPathsTest, RemovingTakesOutOneWholeEntry) {
  const ListCase cases[] = {
      {"P|Q", "P", "Q", true},
      {"Q|P", "P", "Q", true},
      {"Q|P|R", "P", "Q|R", true},
      {"P|Q|P", "P", "Q|P", true},
      {"Q", "P", "Q", false},
      {"", "P", "", false},
      {std::nullopt, "P", std::nullopt, false},
      // Entries that merely contain the path stay as they are.
      {"PX|P", "P", "PX", true},
      {"XP|Q", "P", "XP|Q", false},
      {"P|PX", "P", "PX", true},
      {"QP|P|R", "P", "QP|R", true},
      {"C:\\a.vlmrlib.bak|C:\\a.vlmrlib", "C:\\a.vlmrlib", "C:\\a.vlmrlib.bak",
       true},
      {"Q||P", "P", "Q|", true},
      {"P||Q", "P", "|Q", true},
  };
  for (const ListCase& c : cases) {
    storage_->text[0].clear();
    if (c.before) SetList(false, true, *c.before);
    int saves = Saves();
    RemoveLibraryPath(KString(c.path), false, KString(kMachineLibraryRootKey),
                      true, &registry_);
    EXPECT_EQ(List(false, true), c.after) << *c.before;
    EXPECT_EQ(Saves() > saves, c.writes) << *c.before;
  }
}

TEST_F(LibraryPathsTest, RemovingTheLastPathDeletesTheEmptiedKeys) {
  SetList(false, true, "P");
  SetList(false, false, "P|Q");
  RemoveLibraryPath(KString("P"), false, KString(kMachineLibraryRootKey), true,
                    &registry_);
  EXPECT_FALSE(
      KeyExists(kHkeyLocalMachine, kMachineLibraryRootKey, kKeyWow64_64Key));
  EXPECT_TRUE(
      KeyExists(kHkeyLocalMachine, "SOFTWARE\\Velmora", kKeyWow64_64Key));
  // The other view is not touched.
  EXPECT_EQ(List(false, false), "P|Q");
}

TEST_F(LibraryPathsTest, RemovingWithoutRootKeyCreatesNothing) {
  RemoveLibraryPath(KString("P"), false, KString(kMachineLibraryRootKey), true,
                    &registry_);
  RegisterLibraryPath(KString("P"), true, true, &registry_);
  EXPECT_EQ(storage_->text[0], "");
  EXPECT_EQ(storage_->text[1], "");
}

TEST_F(LibraryPathsTest, BothViewsMachineWideOrPerUser) {
  RegisterLibraryPath(KString("C:\\Lib\\lib.vlmrlib"), false, false,
                      &registry_);
  EXPECT_EQ(storage_->text[0],
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\"
                "2011]\n\"LibraryPaths\"=\"C:\\\\Lib\\\\lib.vlmrlib\"\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora\\"
                "VLMRAssetLibrary]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora\\"
                "VLMRAssetLibrary\\2011]\n"
                "\"LibraryPaths\"=\"C:\\\\Lib\\\\lib.vlmrlib\"\n\n");
  EXPECT_EQ(storage_->text[1], "");

  // HKEY_CURRENT_USER\Software is one key in both views: the second
  // addition finds the path listed, the second removal finds nothing.
  RegisterLibraryPath(KString("P"), true, false, &registry_);
  EXPECT_EQ(storage_->text[1],
            std::string(kHeader) +
                "[HKEY_CURRENT_USER\\Software]\n\n"
                "[HKEY_CURRENT_USER\\Software\\Velmora]\n\n"
                "[HKEY_CURRENT_USER\\Software\\Velmora\\VLMRAssetLibrary]\n\n"
                "[HKEY_CURRENT_USER\\Software\\Velmora\\VLMRAssetLibrary\\"
                "2011]\n\"LibraryPaths\"=\"P\"\n\n");
  RegisterLibraryPath(KString("P"), true, true, &registry_);
  EXPECT_EQ(storage_->text[1],
            std::string(kHeader) + "[HKEY_CURRENT_USER\\Software]\n\n" +
                "[HKEY_CURRENT_USER\\Software\\Velmora]\n\n");
  RegisterLibraryPath(KString("C:\\Lib\\lib.vlmrlib"), false, true, &registry_);
  EXPECT_EQ(storage_->text[0],
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora]\n\n");
}

TEST_F(LibraryPathsTest, PathHoldingTheSeparatorLeavesTheListAlone) {
  SetList(false, true, "Q");
  SetList(false, false, "Q|a");
  int saves = Saves();
  for (bool remove : {false, true}) {
    for (const char* path : {"a|b", "|", "Q|a", ""}) {
      RegisterLibraryPath(KString(path), false, remove, &registry_);
      AddLibraryPath(KString(path), true, KString(kUserLibraryRootKey), true,
                     &registry_);
      RemoveLibraryPath(KString(path), false, KString(kMachineLibraryRootKey),
                        false, &registry_);
    }
  }
  EXPECT_EQ(Saves(), saves);
  EXPECT_EQ(List(false, true), "Q");
  EXPECT_EQ(List(false, false), "Q|a");
  EXPECT_EQ(storage_->text[1], "");
}

TEST_F(LibraryPathsTest, ValueThatCannotBeReadIsNotOverwritten) {
  storage_->text[0] = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\" +
                      kMachineVersionKey + "]\n\"LibraryPaths\"=hex:50,00\n";
  const std::string before = storage_->text[0];
  AddLibraryPath(KString("P"), false, KString(kMachineLibraryRootKey), true,
                 &registry_);
  RemoveLibraryPath(KString("P"), false, KString(kMachineLibraryRootKey), true,
                    &registry_);
  EXPECT_EQ(storage_->text[0], before);
}

TEST_F(LibraryPathsTest, ReadingAListChangesNothingAndSaysWhy) {
  SetList(false, true, "/a.vlmrlib||rel.vlmrlib");
  std::string saved = storage_->text[0];
  int saves = storage_->save_count[0];

  LibraryPathsReading found = ReadLibraryPaths(false, true, &registry_);
  EXPECT_TRUE(found.read.ok()) << found.read.message();
  EXPECT_TRUE(found.writable.ok()) << found.writable.message();
  EXPECT_EQ(found.key,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011");
  EXPECT_EQ(found.entries,
            (std::vector<std::string>{"/a.vlmrlib", "", "rel.vlmrlib"}));

  // The other view has no list; the user's hive has no keys at all.
  EXPECT_EQ(ReadLibraryPaths(false, false, &registry_).read.code(),
            Status::Code::kNotFound);
  LibraryPathsReading user = ReadLibraryPaths(true, true, &registry_);
  EXPECT_EQ(user.read.code(), Status::Code::kNotFound);
  EXPECT_TRUE(user.writable.ok());
  EXPECT_EQ(storage_->text[0], saved);
  EXPECT_EQ(storage_->save_count[0], saves);
  EXPECT_EQ(storage_->text[1], "");

  // A hive the user may not write: readable, and said to be so.
  storage_->writable[0] = false;
  LibraryPathsReading locked = ReadLibraryPaths(false, true, &registry_);
  EXPECT_TRUE(locked.read.ok());
  EXPECT_EQ(locked.writable.code(), Status::Code::kAccessDenied);
  EXPECT_NE(locked.writable.message().find("may not be written"),
            std::string::npos)
      << locked.writable.message();

  // A hive that cannot be parsed: the line and the reason.
  storage_->text[0] = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n";
  LibraryPathsReading broken = ReadLibraryPaths(false, true, &registry_);
  EXPECT_EQ(broken.read.code(), Status::Code::kCorrupt);
  EXPECT_NE(broken.read.message().find("line 3"), std::string::npos)
      << broken.read.message();
}

TEST_F(LibraryPathsTest, HundredsOfLongEntriesStayIntact) {
  std::vector<std::string> entries;
  for (int i = 0; i < 400; ++i) {
    entries.push_back("D:\\Bibliotheken\\\xC3\xBC" +
                      std::string(200, static_cast<char>('a' + i % 26)) + "\\" +
                      std::to_string(i) + "\\lib.vlmrlib");
  }
  std::string list;
  for (const std::string& entry : entries) {
    list += (list.empty() ? "" : "|") + entry;
  }
  ASSERT_GT(list.size(), 90000u);
  SetList(false, false, list);
  const std::string added = "E:\\new\\lib.vlmrlib";
  RegisterLibraryPath(KString(added), false, false, &registry_);
  EXPECT_EQ(List(false, false), list + "|" + added);
  EXPECT_EQ(List(false, true), added);

  RegisterLibraryPath(KString(entries[200]), false, true, &registry_);
  std::string expected;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i != 200) expected += (expected.empty() ? "" : "|") + entries[i];
  }
  EXPECT_EQ(List(false, false), expected + "|" + added);
  EXPECT_EQ(List(false, true), added);
}

// Fails the calls that a test names, and logs the rest.
class ScriptedRegistry : public ForwardingRegistry {
 public:
  using ForwardingRegistry::ForwardingRegistry;

  KeyDeletion deletion = KeyDeletion::kViewAware;
  uint32_t deny_view = 0;  // connections in this view are denied
  bool fail_first_delete = false;
  bool fail_count = false;
  std::vector<std::string> log;

  long CreateKey(RegKey parent, const std::string& subkey, uint32_t access,
                 RegKey* result) override {
    if (IsHive(parent)) log.push_back("create " + Describe(subkey, access));
    if (IsHive(parent) && (access & deny_view)) return kErrorAccessDenied;
    return ForwardingRegistry::CreateKey(parent, subkey, access, result);
  }
  long OpenKey(RegKey parent, const std::string& subkey, uint32_t access,
               RegKey* result) override {
    if (IsHive(parent)) log.push_back("open " + Describe(subkey, access));
    if (IsHive(parent) && (access & deny_view)) return kErrorAccessDenied;
    return ForwardingRegistry::OpenKey(parent, subkey, access, result);
  }
  KeyDeletion ProbeKeyDeletion() override {
    log.push_back("probe");
    return deletion;
  }
  long DeleteKeyInView(RegKey hive, const std::string& subkey,
                       uint32_t viewFlag) override {
    log.push_back("deleteEx " + Describe(subkey, viewFlag));
    if (fail_first_delete) return kErrorAccessDenied;
    return ForwardingRegistry::DeleteKeyInView(hive, subkey, viewFlag);
  }
  long DeleteKeyInDefaultView(RegKey hive, const std::string& subkey) override {
    log.push_back("delete " + subkey);
    if (fail_first_delete) return kErrorAccessDenied;
    return ForwardingRegistry::DeleteKeyInDefaultView(hive, subkey);
  }
  long OpenKeyAnsi(RegKey parent, const std::string& subkey, uint32_t access,
                   RegKey* result) override {
    log.push_back("openA " + Describe(subkey, access));
    return ForwardingRegistry::OpenKeyAnsi(parent, subkey, access, result);
  }
  long OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                          RegKey* result) override {
    log.push_back("openA " + subkey);
    return ForwardingRegistry::OpenKeyAnsiDefault(parent, subkey, result);
  }
  long CountSubKeys(RegKey key, uint32_t* count) override {
    log.push_back("count");
    if (fail_count) return kErrorInvalidHandle;
    return ForwardingRegistry::CountSubKeys(key, count);
  }

 private:
  static bool IsHive(RegKey key) {
    return key == kHkeyLocalMachine || key == kHkeyCurrentUser;
  }
  static std::string Describe(const std::string& subkey, uint32_t flags) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%#x", static_cast<unsigned>(flags));
    return subkey + " " + hex;
  }
};

TEST_F(LibraryPathsTest, ThirtyTwoBitViewFirstAndTheSecondRunsAnyway) {
  ScriptedRegistry scripted(&registry_);
  scripted.deny_view = kKeyWow64_32Key;
  RegisterLibraryPath(KString("P"), false, false, &scripted);
  EXPECT_EQ(scripted.log,
            (std::vector<std::string>{
                "create SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0x2021f",
                "create SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0x2011f"}));
  EXPECT_EQ(List(false, false), std::nullopt);
  EXPECT_EQ(List(false, true), "P");

  SetList(false, false, "P");
  scripted.log.clear();
  scripted.deny_view = kKeyWow64_64Key;
  RegisterLibraryPath(KString("P"), false, true, &scripted);
  EXPECT_EQ(scripted.log,
            (std::vector<std::string>{
                "open SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0x2021f", "probe",
                "deleteEx SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011 0x200",
                "openA SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0xf023f", "count",
                "deleteEx SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0x200",
                "open SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0x2011f"}));
  EXPECT_EQ(List(false, false), std::nullopt);
  EXPECT_EQ(List(false, true), "P");
}

TEST_F(LibraryPathsTest, DeletionAddressesTheViewExplicitly) {
  for (bool use64BitView : {true, false}) {
    SetList(false, use64BitView, "");
    ScriptedRegistry scripted(&registry_);
    LibraryKeyLocation location{false, use64BitView,
                                KString(kMachineLibraryRootKey)};
    location.DeleteEmptyVersionKey(&scripted);
    const std::string view = use64BitView ? "0x100" : "0x200";
    EXPECT_EQ(scripted.log,
              (std::vector<std::string>{
                  "probe",
                  "deleteEx SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011 " + view,
                  "openA SOFTWARE\\Velmora\\VLMRAssetLibrary\\ " +
                      std::string(use64BitView ? "0xf013f" : "0xf023f"),
                  "count",
                  "deleteEx SOFTWARE\\Velmora\\VLMRAssetLibrary\\ " + view}));
    EXPECT_FALSE(KeyExists(kHkeyLocalMachine, kMachineLibraryRootKey,
                           ViewFlag(use64BitView)));
  }
}

TEST_F(LibraryPathsTest, WhatKeepsTheKeysAlive) {
  const std::string root =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\"
      "VLMRAssetLibrary]\n";
  const std::string version =
      "[HKEY_LOCAL_MACHINE\\" + std::string(kMachineVersionKey) + "]\n";
  const struct {
    std::string name;
    std::string hive;  // below the header
    bool version_left;
    bool root_left;
  } cases[] = {
      {"other values go with the version key",
       version + "\"LibraryPaths\"=\"P\"\n\"Other\"=\"x\"\n", false, false},
      {"a subkey keeps both",
       version + "\"LibraryPaths\"=\"P\"\n" + "[HKEY_LOCAL_MACHINE\\" +
           kMachineVersionKey + "\\Sub]\n",
       true, true},
      {"another version key keeps the root",
       version + "\"LibraryPaths\"=\"P\"\n" +
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2012]\n",
       false, true},
      {"values of the root key do not keep it",
       root + "\"Setting\"=\"1\"\n" + version + "\"LibraryPaths\"=\"P\"\n",
       false, false},
  };
  for (const auto& c : cases) {
    storage_->text[0] = kHeader + c.hive;
    RemoveLibraryPath(KString("P"), false, KString(kMachineLibraryRootKey),
                      true, &registry_);
    EXPECT_EQ(KeyExists(kHkeyLocalMachine, kMachineVersionKey, 0),
              c.version_left)
        << c.name;
    EXPECT_EQ(KeyExists(kHkeyLocalMachine, kMachineLibraryRootKey, 0),
              c.root_left)
        << c.name;
    EXPECT_TRUE(KeyExists(kHkeyLocalMachine, "SOFTWARE\\Velmora", 0)) << c.name;
    if (c.version_left) {
      EXPECT_EQ(List(false, true), "") << c.name;
    }
  }
}

TEST_F(LibraryPathsTest, FailuresEndTheDeletionWhereTheyHappen) {
  const struct {
    bool fail_first_delete;
    bool fail_count;
    std::vector<std::string> log;
    bool version_left;
  } cases[] = {
      {true,
       false,
       {"probe", "deleteEx " + std::string(kMachineVersionKey) + " 0x100"},
       true},
      {false,
       true,
       {"probe", "deleteEx " + std::string(kMachineVersionKey) + " 0x100",
        "openA SOFTWARE\\Velmora\\VLMRAssetLibrary\\ 0xf013f", "count"},
       false},
  };
  for (const auto& c : cases) {
    SetList(false, true, "");
    ScriptedRegistry scripted(&registry_);
    scripted.fail_first_delete = c.fail_first_delete;
    scripted.fail_count = c.fail_count;
    LibraryKeyLocation{false, true, KString(kMachineLibraryRootKey)}
        .DeleteEmptyVersionKey(&scripted);
    EXPECT_EQ(scripted.log, c.log);
    EXPECT_EQ(KeyExists(kHkeyLocalMachine, kMachineVersionKey, 0),
              c.version_left);
    EXPECT_TRUE(KeyExists(kHkeyLocalMachine, kMachineLibraryRootKey, 0));
  }
}

TEST_F(LibraryPathsTest, WithoutRegDeleteKeyExTheOwnViewIsUsed) {
  ScriptedRegistry scripted(&registry_);
  scripted.deletion = KeyDeletion::kPlain;
  RegisterLibraryPath(KString("P"), true, false, &scripted);
  scripted.log.clear();
  RegisterLibraryPath(KString("P"), true, true, &scripted);
  // The first call deletes the shared keys; the second finds no root key.
  EXPECT_EQ(scripted.log,
            (std::vector<std::string>{
                "open Software\\Velmora\\VLMRAssetLibrary\\ 0x2021f", "probe",
                "delete Software\\Velmora\\VLMRAssetLibrary\\2011",
                "openA Software\\Velmora\\VLMRAssetLibrary\\", "count",
                "delete Software\\Velmora\\VLMRAssetLibrary\\",
                "open Software\\Velmora\\VLMRAssetLibrary\\ 0x2011f"}));
  EXPECT_FALSE(KeyExists(kHkeyCurrentUser, kUserLibraryRootKey, 0));

  // Plain deletion addresses the process's own view, whatever the location
  // says; a call made after the version key is gone ends at its first
  // deletion.
  SetList(false, true, "");
  for (bool use64BitView : {false, true}) {
    scripted.log.clear();
    LibraryKeyLocation{false, use64BitView, KString(kMachineLibraryRootKey)}
        .DeleteEmptyVersionKey(&scripted);
  }
  EXPECT_EQ(scripted.log,
            (std::vector<std::string>{
                "probe", "delete " + std::string(kMachineVersionKey)}));
  EXPECT_FALSE(
      KeyExists(kHkeyLocalMachine, kMachineLibraryRootKey, kKeyWow64_64Key));
}

TEST_F(LibraryPathsTest, WithoutAdvapiNothingIsDeleted) {
  ScriptedRegistry scripted(&registry_);
  scripted.deletion = KeyDeletion::kNone;
  SetList(false, false, "P");
  RegisterLibraryPath(KString("P"), false, true, &scripted);
  EXPECT_EQ(List(false, false), "");
  EXPECT_EQ(std::count(scripted.log.begin(), scripted.log.end(), "probe"), 1);
  for (const std::string& call : scripted.log) {
    EXPECT_EQ(call.find("delete"), std::string::npos) << call;
  }
}

}  // namespace
}  // namespace tavik
