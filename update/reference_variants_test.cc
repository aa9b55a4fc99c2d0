#include "update/reference_variants.h"

#include <gtest/gtest.h>

namespace tavik {
namespace {

TEST(ReferenceVariantsTest, FindsTheNumberedFolder) {
  struct Case {
    const char* resolved;
    bool found;
    int number;
    int depth;
  } cases[] = {
      {"D:\\Lib\\lib.qsm\\3\\a.png", true, 3, 1},
      {"D:\\Lib\\lib.qsm\\2\\maps\\b.jpg", true, 2, 2},
      {"D:\\Lib\\lib.qsm\\12\\a.png", true, 12, 1},
      {"D:\\Lib\\lib.qsm\\0\\a.png", false, 0, 0},  // 0 is no number
      {"D:\\Lib\\lib.qsm\\0\\x\\a.png", false, 0, 0},
      {"D:\\Lib\\lib.qsm\\4\\0\\a.png", true, 4, 2},  // parent 0: grandparent
      {"D:\\Lib\\lib.qsm\\-3\\a.png", false, 0, 0},
      {"D:\\Lib\\lib.qsm\\3abc\\a.png", true, 3, 1},  // atoi's reading
      {"x\\a.png", false, 0, 0},                      // two tokens, no number
      {"7\\a.png", true, 7, 1},
      {"a.png", false, 0, 0},
      {"D:\\99999999999\\a.png", true, 2147483647, 1},  // clamped, not UB
      // A folder left again by ".." holds nothing.
      {"D:\\Lib\\lib.qsm\\1\\..\\a.png", false, 0, 0},
      {"D:\\Lib\\lib.qsm\\2\\..x\\a.png", true, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.resolved);
    NumberedFolder folder;
    ASSERT_EQ(FindNumberedFolder(c.resolved, &folder), c.found);
    if (c.found) {
      EXPECT_EQ(folder.number, c.number);
      EXPECT_EQ(folder.depth, c.depth);
    }
  }
}

TEST(ReferenceVariantsTest, RewritesOnlyTheNumbersOwnSegment) {
  struct Case {
    const char* entry;
    const char* resolved;
    int i;
    const char* sibling;
    const char* candidate;
    const char* relative;  // nullptr: no relative form
  } cases[] = {
      {"3/a.png", "D:\\Lib\\lib.qsm\\3\\a.png", 5, "a.png",
       "D:\\Lib\\lib.qsm\\5\\a.png", "5/a.png"},
      {"3/a.png", "D:\\Lib\\lib.qsm\\3\\a.png", 10, "a.png",
       "D:\\Lib\\lib.qsm\\10\\a.png", "10/a.png"},
      {"12/a.png", "D:\\Lib\\lib.qsm\\12\\a.png", 5, "a.png",
       "D:\\Lib\\lib.qsm\\5\\a.png", "5/a.png"},
      {"10/a.png", "D:\\Lib\\lib.qsm\\10\\a.png", 1, "a.png",
       "D:\\Lib\\lib.qsm\\1\\a.png", "1/a.png"},
      {"3/a.png", "D:\\Lib\\lib.qsm\\3\\a.png", 7, "a.jpeg",
       "D:\\Lib\\lib.qsm\\7\\a.png", "7/a.jpeg"},
      {"2/maps/b.jpg", "D:\\Lib\\lib.qsm\\2\\maps\\b.jpg", 7, "b.jpg",
       "D:\\Lib\\lib.qsm\\7\\maps\\b.jpg", "7/maps/b.jpg"},
      // A folder between number and file of any length.
      {"2/textures/b.jpg", "D:\\Lib\\lib.qsm\\2\\textures\\b.jpg", 10, "b.tif",
       "D:\\Lib\\lib.qsm\\10\\textures\\b.jpg", "10/textures/b.tif"},
      // An earlier segment holding the same text stays as it is.
      {"3/3/a.png", "D:\\3\\lib.qsm\\3\\3\\a.png", 4, "a.png",
       "D:\\3\\lib.qsm\\3\\4\\a.png", "3/4/a.png"},
      {"3//a.png", "D:\\q\\3\\a.png", 2, "a.png", "D:\\q\\2\\a.png", "2/a.png"},
      // The stored form does not mirror the resolved path: nothing stored.
      {"a.png", "D:\\q\\3\\a.png", 2, "a.png", "D:\\q\\2\\a.png", nullptr},
      {"x/3/../a.png", "D:\\q\\x\\a.png\\3\\a.png", 2, "a.png",
       "D:\\q\\x\\a.png\\2\\a.png", nullptr},
      // An absolute reference keeps its own root.
      {"/x/3/s.png", "\\x\\3\\s.png", 1, "s.png", "\\x\\1\\s.png",
       "/x/1/s.png"},
      {"\\\\srv\\share\\3\\s.png", "\\\\srv\\share\\3\\s.png", 2, "s.png",
       "\\\\srv\\share\\2\\s.png", "\\\\srv/share/2/s.png"},
      {"C:\\x\\4\\w.png", "C:\\x\\4\\w.png", 5, "w.png", "C:\\x\\5\\w.png",
       "C:/x/5/w.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " i=" + std::to_string(c.i));
    ReferenceVariants variants;
    ASSERT_TRUE(variants.Init(c.entry, c.resolved));
    EXPECT_EQ(variants.Candidate(c.i), c.candidate);
    KString relative("unset");
    bool has = variants.Relative(c.i, c.sibling, &relative);
    EXPECT_EQ(has, c.relative != nullptr);
    if (c.relative) {
      EXPECT_EQ(relative, c.relative);
    }
  }
}

}  // namespace
}  // namespace tavik
