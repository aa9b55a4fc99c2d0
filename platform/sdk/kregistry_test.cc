#include "platform/sdk/kregistry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/regstore/store_registry.h"

namespace qsnsdk_cm_infra {
namespace {

using tavik::HiveId;
using tavik::MemoryHiveStorage;
using tavik::StoreRegistry;

class KRegistryTest : public ::testing::Test {
 protected:
  KRegistryTest()
      : storage_(new MemoryHiveStorage),
        registry_(std::unique_ptr<tavik::HiveStorage>(storage_)) {}

  const std::string& Machine() { return storage_->text[0]; }
  const std::string& User() { return storage_->text[1]; }

  MemoryHiveStorage* storage_;  // owned by registry_
  StoreRegistry registry_;
};

TEST_F(KRegistryTest, ConnectCreatesOnlyWhenAsked) {
  KRegistry reg(&registry_);
  EXPECT_FALSE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, false, true));
  EXPECT_FALSE(reg.IsConnected());
  EXPECT_EQ(User(), "");
  EXPECT_FALSE(reg.Close());

  ASSERT_TRUE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, true, true));
  EXPECT_NE(User().find("[HKEY_CURRENT_USER\\Software\\Maker\\Lib]"),
            std::string::npos);
  EXPECT_EQ(Machine(), "");
  EXPECT_TRUE(reg.Close());
  EXPECT_TRUE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, false, false));
  // Only a local connection is offered.
  EXPECT_FALSE(
      reg.Connect("Software\\Maker\\Lib\\", "\\\\other", false, true, true));
  EXPECT_FALSE(reg.IsConnected());
}

TEST_F(KRegistryTest, ReadsBackExactlyWhatItWrote) {
  const std::string texts[] = {
      "C:\\Lib\\lib.vlmrlib",
      "D:\\Bibliothek\\\xC3\xBC\xC3\x9F\\lib.vlmrlib|\xE6\x97\xA5.vlmrlib",
      "/srv/line\nbreak \"quoted\"",
      std::string(200000, 'p'),
      "",
  };
  for (const std::string& text : texts) {
    KRegistry writer(&registry_);
    ASSERT_TRUE(
        writer.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, true, true));
    ASSERT_TRUE(writer.WriteString("2011", "LibraryPaths", text.c_str()));
    writer.Close();
    KRegistry reader(&registry_);
    ASSERT_TRUE(
        reader.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, false, true));
    KString out("stale");
    EXPECT_EQ(reader.ReadString("2011", "libraryPATHS", "", out).str(), text);
  }
}

TEST_F(KRegistryTest, DefaultWhenValueOrSubkeyIsMissing) {
  KRegistry reg(&registry_);
  KString out("stale");
  EXPECT_EQ(reg.ReadString("2011", "LibraryPaths", "none", out), "none");
  EXPECT_EQ(reg.ReadStringValue("2011", "LibraryPaths", &out).code(),
            tavik::Status::Code::kInvalidArgument);
  EXPECT_FALSE(reg.WriteString("2011", "LibraryPaths", "x"));

  ASSERT_TRUE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, true, false));
  EXPECT_EQ(reg.ReadString("2011", "LibraryPaths", "", out), "");
  EXPECT_EQ(reg.ReadStringValue("2011", "LibraryPaths", &out).code(),
            tavik::Status::Code::kNotFound);
  ASSERT_TRUE(reg.WriteString("2011", "Other", "x"));
  EXPECT_EQ(reg.ReadString("2011", "LibraryPaths", "d", out), "d");
  EXPECT_EQ(reg.ReadStringValue("2011", "LibraryPaths", &out).code(),
            tavik::Status::Code::kNotFound);
  // The root key's own values are reached with no subkey.
  ASSERT_TRUE(reg.WriteString(nullptr, "AtRoot", "r"));
  EXPECT_EQ(reg.ReadString("", "AtRoot", "", out), "r");
}

TEST_F(KRegistryTest, ValueOfAnotherTypeIsNotTakenForEmpty) {
  storage_->text[1] =
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_CURRENT_USER\\Software\\Maker\\Lib\\2011]\n"
      "\"LibraryPaths\"=hex:41,42\n";
  KRegistry reg(&registry_);
  ASSERT_TRUE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, false, true));
  KString out;
  EXPECT_EQ(reg.ReadString("2011", "LibraryPaths", "dflt", out), "dflt");
  EXPECT_EQ(reg.ReadStringValue("2011", "LibraryPaths", &out).code(),
            tavik::Status::Code::kCorrupt);
}

TEST_F(KRegistryTest, EachViewHasItsOwnMachineKeys) {
  for (bool use64BitView : {false, true}) {
    KRegistry reg(&registry_);
    ASSERT_TRUE(reg.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, true,
                            use64BitView));
    reg.WriteString("2011", "LibraryPaths", use64BitView ? "64" : "32");
  }
  EXPECT_NE(Machine().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker\\Lib\\2011]\n"
                           "\"LibraryPaths\"=\"64\""),
            std::string::npos);
  EXPECT_NE(Machine().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Maker\\"
                           "Lib\\2011]\n\"LibraryPaths\"=\"32\""),
            std::string::npos);
  KRegistry reg(&registry_);
  KString out;
  ASSERT_TRUE(
      reg.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, false, false));
  EXPECT_EQ(reg.ReadString("2011", "LibraryPaths", "", out), "32");
}

TEST_F(KRegistryTest, HiveThatMayNotBeWrittenRefusesTheConnection) {
  storage_->writable[0] = false;
  KRegistry reg(&registry_);
  EXPECT_FALSE(
      reg.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, true, true));
  EXPECT_FALSE(
      reg.Connect("SOFTWARE\\Maker\\Lib\\", nullptr, true, false, true));
  EXPECT_TRUE(
      reg.Connect("Software\\Maker\\Lib\\", nullptr, false, true, true));
}

TEST_F(KRegistryTest, ConnectionHoldsTheHiveUntilClosed) {
  {
    KRegistry reg(&registry_);
    ASSERT_TRUE(
        reg.Connect("Software\\Maker\\Lib\\", nullptr, false, true, true));
    reg.WriteString("2011", "LibraryPaths", "a");
    EXPECT_EQ(storage_->lock_count[1], 1);
    reg.Close();
    EXPECT_EQ(storage_->lock_count[1], 0);
    ASSERT_TRUE(
        reg.Connect("Software\\Maker\\Lib\\", nullptr, false, true, true));
  }
  // Destruction closes an open connection.
  EXPECT_EQ(storage_->lock_count[1], 0);
}

}  // namespace
}  // namespace qsnsdk_cm_infra
