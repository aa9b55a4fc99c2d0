// The reader of registry exports that the scenario backends compare: a
// misread export would let two different registries pass as equal.
#include "tests/reg_export.h"

#include <gtest/gtest.h>

namespace tavik_test {
namespace {

// UTF-16LE bytes with a byte order mark, as Wine's `reg export` writes them.
std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(RegExportTest, ReadsWineAndStoreForms) {
  struct Case {
    std::string file;
    RegTree want;
  } cases[] = {
      // Wine: UTF-16, CRLF, escaped quotes and backslashes, non-ASCII and a
      // character outside the BMP, an empty key, a default value.
      {Utf16File(
           u"Windows Registry Editor Version 5.00\r\n\r\n"
           u"[HKEY_CURRENT_USER\\Software\\Velmora]\r\n\r\n"
           u"[HKEY_CURRENT_USER\\Software\\Velmora\\A\\2011]\r\n"
           u"\"LibraryPaths\"=\"Z:\\\\a \\\"q\\\"\\\\\u00e9|\U0001F600\"\r\n"
           u"@=\"\"\r\n"),
       {{"HKEY_CURRENT_USER\\Software\\Velmora", {}},
        {"HKEY_CURRENT_USER\\Software\\Velmora\\A\\2011",
         {{"LibraryPaths", "Z:\\a \"q\"\\\xc3\xa9|\xf0\x9f\x98\x80"},
          {"", ""}}}}},
      // The POSIX store: UTF-8, LF, \xHH escapes, values of other types
      // with hex data continued over lines.
      {"Windows Registry Editor Version 5.00\n\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora]\n"
       "\"Line\"=\"a\\nb\\x01c\\\\\"\n"
       "\"Count\"=dword:0000002a\n"
       "\"Blob\"=hex:01,02,\\\n  03\n",
       {{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora",
         {{"Line",
           "a\nb\x01"
           "c\\"},
          {"Count", "=dword:0000002a"},
          {"Blob", "=hex:01,02,03"}}}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    std::optional<RegTree> tree = ParseRegExport(c.file);
    ASSERT_TRUE(tree.has_value()) << c.file;
    EXPECT_EQ(*tree, c.want) << RegTreeText(*tree);
  }
}

TEST(RegExportTest, RefusesWhatItCannotRead) {
  for (const char* file : {
           "\"Name\"=\"value before any section\"\n",
           "[HKEY_CURRENT_USER\\Software\n",
           "[K]\n\"unterminated=\"x\"\n",
           "[K]\n\"Name\"=\"text\" trailing\n",
           "[K]\nsomething else\n",
           "[K]\n\"Name\"=\"bad \\xZZ escape\"\n",
       }) {
    EXPECT_FALSE(ParseRegExport(file).has_value()) << file;
  }
}

TEST(RegExportTest, SubtreeComparesKeyNamesWithoutCase) {
  RegTree tree = {{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora", {}},
                  {"HKEY_LOCAL_MACHINE\\Software\\velmora\\Lib", {{"a", "1"}}},
                  {"HKEY_LOCAL_MACHINE\\SOFTWARE\\VelmoraX", {}},
                  {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", {}}};
  RegTree want = {{"", {}}, {"Lib", {{"a", "1"}}}};
  EXPECT_EQ(RegSubtree(tree, "HKEY_LOCAL_MACHINE\\software\\VELMORA"), want);
}

}  // namespace
}  // namespace tavik_test
