#include "platform/regstore/hive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tavik {
namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

HiveKey* AddKey(HiveKey* root, const std::vector<std::string>& names) {
  HiveKey* key = root;
  for (const std::string& name : names) {
    auto& slot = key->subkeys[FoldCase(name)];
    if (!slot) {
      slot = std::make_unique<HiveKey>();
      slot->name = name;
    }
    key = slot.get();
  }
  return key;
}

TEST(HiveFormatTest, AnyTextRoundTripsOnOneLine) {
  const std::string texts[] = {
      "",
      "C:\\Lib\\lib.vlmrlib",
      "say \"hi\"",
      "line\nbreak",
      "cr\r\nlf",
      "tab\there",
      std::string("nul\0inside", 10),
      "\x01\x1f\x7f",
      "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
      "bad \xFF\xFE bytes \xC3",  // not UTF-8
      "overlong \xC0\xAF surrogate \xED\xA0\x80",
      "\\x41 is not an escape here",
      std::string(100000, 'x'),
  };
  for (const std::string& text : texts) {
    HiveKey root;
    HiveKey* key = AddKey(&root, {"Soft", "K"});
    key->values.push_back(HiveValue{text, kRegSz, text});
    std::string serialized = SerializeHive(HiveId::kCurrentUser, root);
    // The value stays one line: header, blank, two sections of two lines.
    EXPECT_EQ(std::count(serialized.begin(), serialized.end(), '\n'), 7)
        << serialized;
    HiveKey parsed;
    ASSERT_TRUE(ParseHive(HiveId::kCurrentUser, serialized, &parsed).ok())
        << serialized;
    HiveKey* back = parsed.FindSubKey("soft")->FindSubKey("k");
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->values.size(), 1u);
    EXPECT_EQ(back->values[0].name, text);
    EXPECT_EQ(back->values[0].data, text);
  }
}

TEST(HiveFormatTest, WritesAnExportThatPeopleCanRead) {
  HiveKey root;
  AddKey(&root, {"SOFTWARE", "Velmora", "Empty"});
  HiveKey* key = AddKey(&root, {"SOFTWARE", "Velmora", "Lib", "2011"});
  key->values.push_back(HiveValue{"LibraryPaths", kRegSz, "C:\\a|\"b\"\n"});
  key->values.push_back(HiveValue{"", kRegSz, "default"});
  key->values.push_back(
      HiveValue{"Count", kRegDword, std::string("\x2a\0\0\0", 4)});
  key->values.push_back(HiveValue{"Blob", kRegBinary, "\x01\xff"});
  key->values.push_back(HiveValue{"Multi", 7, std::string("A\0\0\0", 4)});
  EXPECT_EQ(SerializeHive(HiveId::kLocalMachine, root),
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Empty]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Lib]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Lib\\2011]\n"
                "\"LibraryPaths\"=\"C:\\\\a|\\\"b\\\"\\n\"\n"
                "@=\"default\"\n"
                "\"Count\"=dword:0000002a\n"
                "\"Blob\"=hex:01,ff\n"
                "\"Multi\"=hex(7):41,00,00,00\n\n");
}

TEST(HiveFormatTest, ReadsWhatOtherWritersProduce) {
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[hkey_current_user\\Software\\A]\r\n"
      "\"X\"=\"1\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\B\\]\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\a]\r\n"
      "\"x\"=\"2\"\r\n"
      "\"D\"=dword:FF\r\n";
  HiveKey root;
  Status status = ParseHive(HiveId::kCurrentUser, text, &root);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(SerializeHive(HiveId::kCurrentUser, root),
            std::string(kHeader) +
                "[HKEY_CURRENT_USER\\Software]\n\n"
                "[HKEY_CURRENT_USER\\Software\\A]\n"
                "\"X\"=\"2\"\n"
                "\"D\"=dword:000000ff\n\n"
                "[HKEY_CURRENT_USER\\Software\\B]\n"
                "\"Bin\"=hex:01,02,03\n\n");
}

TEST(HiveFormatTest, EmptyOrBlankTextIsAnEmptyHive) {
  for (const char* text : {"", "\n\n", "  \r\n"}) {
    HiveKey root;
    AddKey(&root, {"Stale"});
    ASSERT_TRUE(ParseHive(HiveId::kLocalMachine, text, &root).ok());
    EXPECT_TRUE(root.subkeys.empty());
  }
}

TEST(HiveFormatTest, RefusesWhatItCannotRewriteFaithfully) {
  const std::string h = "Windows Registry Editor Version 5.00\n";
  const struct {
    std::string text;
    int line;
  } cases[] = {
      {"REGEDIT4\n", 1},
      {"garbage", 1},
      {h + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n", 2},
      {h + "[HKEY_CURRENT_USER\\Software]\n", 2},
      {h + "[HKEY_LOCAL_MACHINEX\\A]\n", 2},
      {h + "[HKEY_LOCAL_MACHINE\\A\n", 2},
      {h + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
      {h + "[HKEY_LOCAL_MACHINE\\]\n", 2},
      {h + "\"v\"=\"x\"\n", 2},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=-\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\\qb\"\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\\x4\"\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unclosed\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"a\" tail\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1,02\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"\"x\"\n", 3},
      {h + "[HKEY_LOCAL_MACHINE\\A]\nv=\"x\"\n", 3},
  };
  for (const auto& c : cases) {
    HiveKey root;
    Status status = ParseHive(HiveId::kLocalMachine, c.text, &root);
    EXPECT_EQ(status.code(), Status::Code::kCorrupt) << c.text;
    EXPECT_NE(status.message().find("line " + std::to_string(c.line) + ":"),
              std::string::npos)
        << status.message();
  }
}

TEST(HiveFormatTest, KeyPaths) {
  const struct {
    std::string path;
    long status;
    std::vector<std::string> names;
  } cases[] = {
      {"", kErrorSuccess, {}},
      {"A", kErrorSuccess, {"A"}},
      {"SOFTWARE\\Velmora\\VLMRAssetLibrary\\",
       kErrorSuccess,
       {"SOFTWARE", "Velmora", "VLMRAssetLibrary"}},
      {"\\A", kErrorBadPathname, {}},
      {"A\\\\B", kErrorBadPathname, {}},
      {"A\\\\", kErrorBadPathname, {}},
      {"A\nB", kErrorInvalidParameter, {}},
      {"A\xFF", kErrorInvalidParameter, {}},
      {"caf\xC3\xA9 [x]", kErrorSuccess, {"caf\xC3\xA9 [x]"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> names;
    EXPECT_EQ(SplitKeyPath(c.path, &names), c.status) << c.path;
    if (c.status == kErrorSuccess) {
      EXPECT_EQ(names, c.names) << c.path;
    }
  }
}

}  // namespace
}  // namespace tavik
