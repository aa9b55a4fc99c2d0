#include "platform/sdk/kstring.h"

#include <gtest/gtest.h>

namespace qsnsdk_cm_infra {
namespace {

TEST(KStringTest, FindAndReplaceHonoursStartAndEnds) {
  struct Case {
    const char* text;
    const char* find;
    const char* replacement;
    unsigned start;
    bool found;
    const char* result;
  } cases[] = {
      {"a|b|a", "a", "x", 0, true, "x|b|a"},
      {"a|b|a", "a", "x", 1, true, "a|b|x"},
      {"a|b|a", "a", "x", 4, true, "a|b|x"},
      {"a|b|a", "a", "x", 5, false, "a|b|a"},   // start at the end
      {"a|b|a", "a", "x", 99, false, "a|b|a"},  // start past the end
      {"a|b|a", "c", "x", 0, false, "a|b|a"},
      {"a|b|a", "", "x", 0, false, "a|b|a"},
      {"P|Q", "P|", "", 0, true, "Q"},
      {"\\3\\a\\3\\", "\\3\\", "\\10\\", 3, true, "\\3\\a\\10\\"},
  };
  for (const Case& c : cases) {
    KString s(c.text);
    EXPECT_EQ(s.FindAndReplace(c.find, c.replacement, c.start), c.found)
        << c.text << " " << c.find << " " << c.start;
    EXPECT_EQ(s, c.result);
  }
}

TEST(KStringTest, FindIsExactAndBounded) {
  KString s("Q|p|P");
  EXPECT_EQ(s.Find("P"), 4);
  EXPECT_EQ(s.Find("p"), 2);
  EXPECT_EQ(s.Find("|", 2), 3);
  EXPECT_EQ(s.Find("X"), -1);
  EXPECT_EQ(s.Find("P", 6), -1);
  EXPECT_EQ(s.Find("P", -1), -1);
  EXPECT_EQ(KString().Find("a"), -1);
}

TEST(KStringTest, TokensCountEveryPiece) {
  KString path("D:\\Lib\\lib.qsm\\3\\a.png");
  ASSERT_EQ(path.GetTokenCount('\\'), 5);
  EXPECT_EQ(path.GetToken(0, '\\'), "D:");
  EXPECT_EQ(path.GetToken(3, '\\'), "3");
  EXPECT_EQ(path.GetToken(4, '\\'), "a.png");
  EXPECT_EQ(path.GetToken(5, '\\'), "");
  EXPECT_EQ(path.GetToken(-1, '\\'), "");
  KString unc("\\\\srv\\x\\");
  EXPECT_EQ(unc.GetTokenCount('\\'), 5);
  EXPECT_EQ(unc.GetToken(2, '\\'), "srv");
  EXPECT_EQ(unc.GetToken(4, '\\'), "");
  EXPECT_EQ(KString().GetTokenCount('\\'), 0);
  EXPECT_EQ(KString("a").GetTokenCount('\\'), 1);
}

TEST(KStringTest, CompareNoCaseFoldsAsciiOnlyOverWholeText) {
  EXPECT_EQ(KString("-R").CompareNoCase("-r"), 0);
  EXPECT_NE(KString("-r ").CompareNoCase("-r"), 0);
  EXPECT_NE(KString("-").CompareNoCase("-r"), 0);
  EXPECT_EQ(KString("\xc3\x84").CompareNoCase("\xc3\x84"), 0);
  EXPECT_NE(KString("\xc3\x84").CompareNoCase("\xc3\xa4"), 0);
  EXPECT_LT(KString("a").CompareNoCase("B"), 0);
}

TEST(KStringTest, LeftRightAndNumbers) {
  KString s("abc");
  EXPECT_EQ(s.Left(2), "ab");
  EXPECT_EQ(s.Left(9), "abc");
  EXPECT_EQ(s.Left(-1), "");
  EXPECT_EQ(s.Right(2), "bc");
  EXPECT_EQ(s.Right(9), "abc");
  EXPECT_EQ(s.Right(0), "");
  EXPECT_EQ(KString(10), "10");
  EXPECT_EQ(KString(-7), "-7");
  EXPECT_EQ(KString(static_cast<const char*>(nullptr)), "");
  KString t("a\\b\\c");
  EXPECT_EQ(t.ReplaceAll('\\', '/'), 2);
  EXPECT_EQ(t, "a/b/c");
  EXPECT_EQ(t.ReverseFind('/'), 3);
  EXPECT_EQ(t.ReverseFind('x'), -1);
}

}  // namespace
}  // namespace qsnsdk_cm_infra
