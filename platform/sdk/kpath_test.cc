#include "platform/sdk/kpath.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/memory_file_system.h"
#include "platform/sdk/kdir.h"
#include "platform/sdk/qsn_sdk.h"

namespace qsnsdk_cm_infra {
namespace {

TEST(KPathTest, TakesPathsApart) {
  struct Case {
    const char* path;
    const char* name;
    const char* stem;
    const char* extension;
    const char* parent;
    const char* qsm;
  } cases[] = {
      {"D:\\Lib\\lib.vlmrlib", "lib.vlmrlib", "lib", "vlmrlib", "D:\\Lib",
       "D:\\Lib\\lib.qsm"},
      {"D:/Lib/a.b.png", "a.b.png", "a.b", "png", "D:/Lib", "D:/Lib/a.b.qsm"},
      {"lib", "lib", "lib", "", "", "lib.qsm"},
      {"x.y\\lib", "lib", "lib", "", "x.y", "x.y\\lib.qsm"},
      {"/home/u/.profile", ".profile", ".profile", "", "/home/u",
       "/home/u/.profile.qsm"},
      {"/a", "a", "a", "", "/", "/a.qsm"},
      {"a.", "a.", "a", "", "", "a.qsm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileName(c.path, true), c.name);
    EXPECT_EQ(ExtractFileName(c.path, false), c.stem);
    EXPECT_EQ(ExtractFileExtension(c.path), c.extension);
    EXPECT_EQ(ExtractParentDirectory(c.path, -1), c.parent);
    EXPECT_EQ(ChangeFileExtension(c.path, ".qsm"), c.qsm);
  }
  EXPECT_EQ(ExtractParentDirectory("D:\\a\\b\\c.png", 2), "D:\\a");
  EXPECT_EQ(MakeFullPath("D:\\Lib", "a.png"), "D:\\Lib\\a.png");
  EXPECT_EQ(MakeFullPath("D:\\Lib\\", "a.png"), "D:\\Lib\\a.png");
  EXPECT_EQ(MakeFullPath("", "a.png"), "a.png");
}

TEST(XRefTest, ResolvesAgainstRegisteredProjects) {
  KQsnXRefManager manager(tavik::DefaultFileSystem());
  KString out("untouched");
  EXPECT_FALSE(manager.GetResolvedUrl("3/a.png", out));  // no project yet
  EXPECT_EQ(out, "untouched");
  ASSERT_TRUE(manager.AddXRefProject("QSM", "D:/Lib/lib.qsm/"));
  struct Case {
    const char* reference;
    bool resolves;
    const char* path;
  } cases[] = {
      {"3/a.png", true, "D:\\Lib\\lib.qsm\\3\\a.png"},
      {"3\\maps//b.jpg", true, "D:\\Lib\\lib.qsm\\3\\maps\\b.jpg"},
      {"3/a.png/", true, "D:\\Lib\\lib.qsm\\3\\a.png"},
      {"3/.x/a..png", true, "D:\\Lib\\lib.qsm\\3\\.x\\a..png"},
      {"...", true, "D:\\Lib\\lib.qsm\\..."},
      {"./3/../4/a.png", true, "D:\\Lib\\lib.qsm\\4\\a.png"},
      {"../other/a.png", true, "D:\\Lib\\other\\a.png"},
      {"../lib.qsm/3/a.png", true, "D:\\Lib\\lib.qsm\\3\\a.png"},
      {"../../a.png", true, "D:\\a.png"},
      {"../../../a.png", true, "D:\\a.png"},  // stops at the root
      {"3/..", false, ""},
      {"", false, ""},
      // Drive letters name files on Windows only; elsewhere "E:" would be
      // read against the current folder.
      {"E:/x/y.png", DriveLetterPathsNameFiles(), "E:\\x\\y.png"},
      {"\\\\srv\\share/y.png", true, "\\\\srv\\share\\y.png"},
      {"/home/u/y.png", true, "\\home\\u\\y.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference);
    KString resolved;
    EXPECT_EQ(manager.GetResolvedUrl(c.reference, resolved), c.resolves);
    if (c.resolves) {
      EXPECT_EQ(resolved, c.path);
    }
  }
}

TEST(XRefTest, ClimbsLexicallyUpToTheFolderRoot) {
  struct Case {
    const char* folder;
    const char* reference;
    const char* path;  // null: unresolvable
  } cases[] = {
      {"/home/u/lib.qsm", "../../../a.png", "\\a.png"},
      {"/home/u/lib.qsm", "../../../../a.png", "\\a.png"},
      {"\\\\srv\\share\\lib.qsm", "../a.png", "\\\\srv\\share\\a.png"},
      {"\\\\srv\\share\\lib.qsm", "../../a.png", "\\\\srv\\share\\a.png"},
      {"C:\\lib.qsm", "../x/../b.png", "C:\\b.png"},
      {"C:\\lib.qsm", "../../b.png", "C:\\b.png"},
      {"/../lib.qsm", "../c.png", "\\c.png"},
      // The folder's own ".." counts; a relative folder stays relative.
      {"/a/b/../lib.qsm", "../c.png", "\\a\\c.png"},
      {"lib.qsm", "../c.png", "c.png"},
      {"../lib.qsm", "../../c.png", "..\\..\\c.png"},
      // Plain references under roots and relative folders.
      {"C:\\", "a/b.png", "C:\\a\\b.png"},
      {"/", "a.png", "\\a.png"},
      {"\\\\srv\\share", "a.png", "\\\\srv\\share\\a.png"},
      {"lib.qsm", "3\\a.png", "lib.qsm\\3\\a.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " " + c.reference);
    KQsnXRefManager manager(tavik::DefaultFileSystem());
    ASSERT_TRUE(manager.AddXRefProject("QSM", c.folder));
    KString resolved("untouched");
    EXPECT_EQ(manager.GetResolvedUrl(c.reference, resolved), c.path != nullptr);
    EXPECT_EQ(resolved, c.path ? c.path : "untouched");
  }
}

// One rule for every form: "." and ".." are applied to the text, as Windows
// reads a path, and stop at the root, whether the reference is relative or
// rooted, whatever its separators, and whether or not the pieces before a
// ".." exist. Every row names the same file in a different spelling, or
// says what else it names; the answers are those of both systems.
TEST(XRefTest, ReadsEveryFormAsWindowsReadsAPath) {
  const std::string file = "\\T\\lib.qsm\\3\\a.png";
  const std::string eight = "../../../../../../../../";
  enum Kind { kPlain, kDrive };  // kDrive: resolves where drives name files
  struct Case {
    const char* folder;
    std::string reference;
    const char* path;  // null: unresolvable
    Kind kind = kPlain;
  } cases[] = {
      // Relative, with "." and ".." first, between, last.
      {"/T/lib.qsm", "3/a.png", file.c_str()},
      {"/T/lib.qsm", "./3/a.png", file.c_str()},
      {"/T/lib.qsm", "3/./a.png", file.c_str()},
      {"/T/lib.qsm", "3/a.png/.", file.c_str()},
      {"/T/lib.qsm", "3/x/../a.png", file.c_str()},
      {"/T/lib.qsm", "nosuch/../3/a.png", file.c_str()},
      {"/T/lib.qsm", "3/a.png/x/..", file.c_str()},
      {"/T/lib.qsm", "3/a.png/..", "\\T\\lib.qsm\\3"},
      {"/T/lib.qsm", "1/../a.png", "\\T\\lib.qsm\\a.png"},
      // Out of the folder and back, up to its root and above it.
      {"/T/lib.qsm", "../lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "../../T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "../../../T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", eight + "T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", eight + "T/nosuch/../lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "x/" + eight + "T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "..\\..\\..\\T\\lib.qsm\\.\\3\\a.png", file.c_str()},
      {"/T/lib.qsm", "3\\..\\..\\lib.qsm\\3\\a.png", file.c_str()},
      // Rooted: the same rule.
      {"/T/lib.qsm", "/T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "/T/lib.qsm/nosuch/../3/a.png", file.c_str()},
      {"/T/lib.qsm", "/./T/./lib.qsm/3/./a.png", file.c_str()},
      {"/T/lib.qsm", "/T/lib.qsm/3/a.png/..", "\\T\\lib.qsm\\3"},
      {"/T/lib.qsm", "/T/lib.qsm/1/../a.png", "\\T\\lib.qsm\\a.png"},
      {"/T/lib.qsm", "/../T/lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "/../../T/x/../lib.qsm/3/a.png", file.c_str()},
      {"/T/lib.qsm", "\\T\\lib.qsm\\3\\..\\3\\a.png", file.c_str()},
      {"/T/lib.qsm", "//srv/share/../x/./a.png", "\\\\srv\\share\\x\\a.png"},
      {"/T/lib.qsm", "\\\\srv\\share\\..\\..\\a.png", "\\\\srv\\share\\a.png"},
      {"/T/lib.qsm", "/..", "\\"},
      {"/T/lib.qsm", "//srv/share/x/..", "\\\\srv\\share"},
      // Drive letters, where they name files.
      {"/T/lib.qsm", "C:\\T\\lib.qsm\\x\\..\\3\\a.png",
       "C:\\T\\lib.qsm\\3\\a.png", kDrive},
      {"/T/lib.qsm", "C:/../../T/./lib.qsm/3/a.png", "C:\\T\\lib.qsm\\3\\a.png",
       kDrive},
      {"/T/lib.qsm", "c:\\..", "c:\\", kDrive},
      {"C:\\T\\lib.qsm", eight + "T/lib.qsm/3/a.png",
       "C:\\T\\lib.qsm\\3\\a.png"},
      {"C:\\T\\lib.qsm", "nosuch\\..\\3\\a.png", "C:\\T\\lib.qsm\\3\\a.png"},
      // A relative folder climbs into ".." that are read where it is.
      {"lib.qsm", "x/../../3/a.png", "3\\a.png"},
      {"lib.qsm", "../../3/a.png", "..\\3\\a.png"},
      {"../lib.qsm", eight + "3/a.png",
       "..\\..\\..\\..\\..\\..\\..\\..\\3\\a.png"},
      // Nothing of its own named.
      {"/T/lib.qsm", "", nullptr},
      {"/T/lib.qsm", ".", nullptr},
      {"/T/lib.qsm", "3/..", nullptr},
      {"/T/lib.qsm", "./3/./..", nullptr},
      {"/T/lib.qsm", eight, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " " + c.reference);
    KQsnXRefManager manager(tavik::DefaultFileSystem());
    ASSERT_TRUE(manager.AddXRefProject("QSM", c.folder));
    const bool resolves =
        c.path != nullptr && (c.kind == kPlain || DriveLetterPathsNameFiles());
    KString resolved("untouched");
    EXPECT_EQ(manager.GetResolvedUrl(c.reference.c_str(), resolved), resolves);
    EXPECT_EQ(resolved, resolves ? c.path : "untouched");
    // The buffer-reusing form gives the same answer over an earlier one.
    std::string reused = "\\a\\much\\longer\\earlier\\answer\\than\\any";
    EXPECT_EQ(manager.ResolveInto(c.reference, &reused), resolves);
    if (resolves) {
      EXPECT_EQ(reused, c.path);
      // What a reference resolves to is read the same way again: nothing is
      // left for the file system to apply.
      std::string again;
      if (c.path[0] == '\\' || c.kind == kDrive) {
        ASSERT_TRUE(manager.ResolveInto(c.path, &again));
        EXPECT_EQ(again, c.path);
      }
    }
  }
}

// With several projects, the first under which the path is there answers,
// however the reference is written; else the first project.
TEST(XRefTest, FirstProjectHoldingThePathAnswers) {
  tavik::MemoryFileSystem files;
  files.PutFile("/b/lib.qsm/3/a.png", "x");
  files.MakeFolder("/a/lib.qsm");
  KQsnXRefManager manager(&files);
  ASSERT_TRUE(manager.AddXRefProject("A", "/a/lib.qsm"));
  ASSERT_TRUE(manager.AddXRefProject("B", "/b/lib.qsm"));
  struct Case {
    const char* reference;
    const char* path;
  } cases[] = {
      {"3/a.png", "\\b\\lib.qsm\\3\\a.png"},
      {"x/../3/./a.png", "\\b\\lib.qsm\\3\\a.png"},
      {"../../../b/lib.qsm/3", "\\b\\lib.qsm\\3"},
      {"3/b.png", "\\a\\lib.qsm\\3\\b.png"},
      {"../../../../c.png", "\\c.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference);
    std::string resolved;
    ASSERT_TRUE(manager.ResolveInto(c.reference, &resolved));
    EXPECT_EQ(resolved, c.path);
  }
  std::string untouched = "untouched";
  EXPECT_FALSE(manager.ResolveInto("3/..", &untouched));
  EXPECT_EQ(untouched, "untouched");
}

class TempDir : public tavik::testing_util::ScratchDir {};

TEST(KDirTest, ListsInOneOrderWithDotsFirst) {
  TempDir dir;
  for (const char* name : {"b.png", "A.tif", "a.png", "!x", "_y", "B", "10"}) {
    dir.Touch(name);
  }
  dir.Mkdir("sub");
  // Links are followed, as Windows follows them. Where links cannot be made
  // (Windows without the right to), the test has nothing to show.
  std::error_code error;
  std::filesystem::create_symlink("b.png", dir.File("link_f"), error);
  if (!error) {
    std::filesystem::create_directory_symlink("sub", dir.File("link_d"), error);
  }
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  KDir listing(tavik::DefaultFileSystem());
  // The lister takes "\" separated paths on every system.
  std::string backslashed = dir.path();
  for (char& c : backslashed) {
    if (c == '/') c = '\\';
  }
  ASSERT_TRUE(listing.Open(backslashed.c_str()));
  std::vector<std::string> names;
  for (const char* name = listing.Name(); name; name = listing.Name()) {
    names.push_back(name);
    if (names.back() == "sub" || names.back() == "link_d") {
      EXPECT_TRUE(listing.IsDirectory()) << names.back();
      EXPECT_FALSE(listing.IsRegularFile()) << names.back();
    }
    if (names.back() == "b.png" || names.back() == "link_f") {
      EXPECT_TRUE(listing.IsRegularFile()) << names.back();
    }
    if (!listing.Next()) break;
  }
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "!x", "10", "a.png",
                                             "A.tif", "B", "b.png", "link_d",
                                             "link_f", "sub", "_y"}));
  EXPECT_EQ(listing.Name(), nullptr);
  listing.Close();
  EXPECT_EQ(listing.Name(), nullptr);
  EXPECT_FALSE(listing.Open((dir.path() + "/missing").c_str()));
  EXPECT_EQ(listing.Name(), nullptr);
}

TEST(KDirTest, ExistenceDistinguishesFilesAndFolders) {
  TempDir dir;
  dir.Touch("f");
  dir.Mkdir("d");
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  EXPECT_TRUE(FileExist((dir.path() + "\\f").c_str(), fs));
  EXPECT_FALSE(FileExist((dir.path() + "\\d").c_str(), fs));
  EXPECT_TRUE(KDirectoryExist((dir.path() + "\\d").c_str(), fs));
  EXPECT_FALSE(KDirectoryExist((dir.path() + "\\f").c_str(), fs));
  EXPECT_FALSE(FileExist("", fs));
  EXPECT_FALSE(FileExist((dir.path() + "\\none").c_str(), fs));
}

}  // namespace
}  // namespace qsnsdk_cm_infra
