#include "update/sibling_lookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <string>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/memory_file_system.h"

namespace tavik {
namespace {

// Listings that answer for absence, as on a byte-exact file system.
class ExactListings : public ForwardingFileSystem {
 public:
  explicit ExactListings(FileSystem* target) : ForwardingFileSystem(target) {}
  bool ListingIsExact(const std::string&) override { return true; }
};

class SiblingLookupTest : public ::testing::Test {
 protected:
  // As on a disk, a file and a folder never take each other's place.
  void Touch(const std::string& relative) {
    std::string path = root_ + "/" + relative;
    if (!fs_.DirectoryExists(path)) fs_.PutFile(path, "");
  }
  void Mkdir(const std::string& relative) {
    std::string path = root_ + "/" + relative;
    if (!fs_.FileExists(path)) fs_.MakeFolder(path);
  }
  // The tool's "\"-separated form of a path under the root.
  KString Path(const std::string& relative) const {
    std::string p = root_ + "/" + relative;
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return KString(p);
  }

  MemoryFileSystem fs_;
  std::string root_ = "/media";
};

TEST_F(SiblingLookupTest, FindsTheFirstFileWithTheStem) {
  Touch("5/a.jpg");
  Touch("6/a.tif");
  Touch("6/a.png");
  Touch("7/ab");
  Touch("7/a.b.png");
  Mkdir("8/a.png");  // a folder is never a reference
  Touch("8/b.png");
  Touch("9/.png");
  Touch("9/A.png");
  Touch("10/a");
  Touch("10/a.");
  struct Case {
    const char* candidate;
    const char* found;  // relative to the root, "" for none
  } cases[] = {
      {"5/a.png", "5\\a.jpg"}, {"6/a.png", "6\\a.png"},  // listed before a.tif
      {"7/a.png", ""},  // "ab" is not cut to "a"
      {"7/ab.png", "7\\ab"},   {"7/a.b.jpg", "7\\a.b.png"}, {"8/a.png", ""},
      {"9/a.png", ""},  // stems compare with their letter case
      {"9/.png", "9\\.png"},   {"10/a.png", "10\\a"},  // "a" lists before "a."
      {"11/a.png", ""},                                // missing folder
  };
  SiblingLookup lookup(&fs_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.candidate);
    KString expected = *c.found ? Path(c.found) : KString();
    EXPECT_EQ(FindSiblingByStem(Path(c.candidate), &fs_), expected);
    EXPECT_EQ(lookup.Find(Path(c.candidate)), expected);
  }
}

// A name too long for a slot is left out of the table; the file system
// then answers for that folder, so nothing is judged missing wrongly.
TEST_F(SiblingLookupTest, NameTooLongForASlotIsAskedOfTheFileSystem) {
  const std::string long_name = std::string(70000, 'x') + ".png";
  Touch("3/" + long_name);
  Touch("3/a.png");
  ExactListings exact(&fs_);
  SiblingLookup lookup(&exact);
  EXPECT_TRUE(lookup.FileExists(Path("3/" + long_name)));
  EXPECT_TRUE(lookup.FileExists(Path("3/a.png")));
  EXPECT_FALSE(lookup.FileExists(Path("3/b.png")));
}

// A listing's names fill blocks that grow as it does; a name at either
// end of a block, and the longest a slot holds, must still be found.
TEST_F(SiblingLookupTest, NamesAcrossManyBlocksAreAllFound) {
  std::vector<std::string> names;
  for (int i = 0; i < 4000; ++i) {
    names.push_back(std::to_string(i) + std::string(i % 300, 'n') + ".png");
  }
  names.push_back(std::string(0xFFFF - 4, 'L') + ".tif");
  for (const std::string& name : names) Touch("3/" + name);
  ExactListings exact(&fs_);
  SiblingLookup lookup(&exact);
  for (const std::string& name : names) {
    ASSERT_TRUE(lookup.FileExists(Path("3/" + name))) << name.size();
    const std::string stem = name.substr(0, name.size() - 4);
    EXPECT_EQ(Path("3/" + name).str(),
              lookup.Find(Path("3/" + stem + ".jpg")).str())
        << name.size();
  }
  EXPECT_FALSE(lookup.FileExists(Path("3/4000.png")));
}

// The run-wide lookup must give exactly the literal search's answers.
TEST_F(SiblingLookupTest, RunWideLookupAgreesWithTheLiteralSearch) {
  std::mt19937 random(42);
  const char* stems[] = {"a", "A", "b", "a.b", "ab", "b_1", "\xc3\xa9"};
  const char* extensions[] = {"", ".png", ".jpg", ".PNG", ".", ".tar.gz"};
  for (int folder = 1; folder <= 4; ++folder) {
    for (int i = 0; i < 25; ++i) {
      std::string name =
          std::string(stems[random() % 7]) + extensions[random() % 6];
      std::string relative = std::to_string(folder) + "/" + name;
      if (random() % 5 == 0) {
        Mkdir(relative);
      } else {
        Touch(relative);
      }
    }
  }
  // Listings come in whatever order the system gives; the answer may not
  // depend on it.
  class ShuffledListings : public ForwardingFileSystem {
   public:
    explicit ShuffledListings(FileSystem* target)
        : ForwardingFileSystem(target) {}
    Result<DirListing> ListDirectory(const std::string& path) override {
      Result<DirListing> entries = ForwardingFileSystem::ListDirectory(path);
      if (entries.ok()) std::shuffle(entries->begin(), entries->end(), random_);
      return entries;
    }

   private:
    std::mt19937 random_{3};
  } shuffled(&fs_);
  SiblingLookup lookup(&shuffled);
  for (int folder = 0; folder <= 5; ++folder) {
    for (const char* stem : stems) {
      for (const char* extension : {".png", ".x", ""}) {
        KString candidate =
            Path(std::to_string(folder) + "/" + stem + extension);
        EXPECT_EQ(lookup.Find(candidate), FindSiblingByStem(candidate, &fs_))
            << candidate.str();
      }
    }
  }
  EXPECT_EQ(lookup.listed_folders(), 6u);
}

// Counts the existence tests that reach the file system.
class CountingFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool FileExists(const std::string& path) override {
    ++file_exists_calls;
    return ForwardingFileSystem::FileExists(path);
  }
  int file_exists_calls = 0;
};

// On the disk, the listing's answers are the file system's, and where the
// listing answers for every name an absent one costs no look-up.
TEST(SiblingLookupDiskTest, FileExistsAgreesWithTheFileSystem) {
  testing_util::ScratchDir scratch;
  std::string root = scratch.path();
  scratch.Mkdir("plain/sub");
  scratch.Touch("plain/a.png");
  scratch.Touch("plain/B.png");
  scratch.Touch("odd/a.png");
  std::error_code no_links;  // a system without links keeps "odd" plain
  std::filesystem::create_symlink(scratch.File("odd/none"),
                                  scratch.File("odd/dangling"), no_links);
  struct Case {
    const char* relative;
    bool listing_answers_absence;  // when the file system's listing is exact
  } cases[] = {
      {"plain/a.png", true},  {"plain/A.png", true},   {"plain/b.png", true},
      {"plain/B.png", true},  {"plain/sub", true},     {"plain/none.png", true},
      {"plain\\a.png", true}, {"plain/a.png/", false}, {"odd/a.png", false},
      {"odd/A.png", false},   {"odd/dangling", false}, {"missing/a.png", false},
  };
  FileSystem* disk = DefaultFileSystem();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    std::string path = root + "/" + c.relative;
    CountingFileSystem counting(disk);
    SiblingLookup lookup(&counting);
    bool exists = lookup.FileExists(KString(path));
    EXPECT_EQ(exists, disk->FileExists(path));
    if (!exists && c.listing_answers_absence &&
        disk->ListingIsExact(root + "/plain")) {
      EXPECT_EQ(counting.file_exists_calls, 0);
    }
  }
}

// Folders listed ahead answer as if listed when asked, and are not listed
// again; a lookup let go while it lists ahead stops without harm.
TEST_F(SiblingLookupTest, FoldersListedAheadAnswerOnceListed) {
  Touch("1/a.png");
  Touch("2/a.jpg");
  Touch("2/b.png");
  Mkdir("3");
  class Counting : public ForwardingFileSystem {
   public:
    using ForwardingFileSystem::ForwardingFileSystem;
    Result<DirListing> ListDirectory(const std::string& path) override {
      ++listings;
      return ForwardingFileSystem::ListDirectory(path);
    }
    bool ListsConcurrently() override { return true; }
    std::atomic<int> listings{0};
  };
  const std::string prefix = Path("").str();
  {
    Counting counting(&fs_);
    SiblingLookup lookup(&counting);
    lookup.ListAhead(prefix, "", 4);  // folder 4 does not exist
    const std::vector<const SiblingLookup::Folder*>& folders =
        lookup.NumberedFolders(prefix, "", 4);
    ASSERT_EQ(folders.size(), 4u);
    std::vector<std::string_view> found;
    SiblingLookup::FirstWithStemInEach(folders, SiblingLookup::MakeStem("a"),
                                       99, &found);
    EXPECT_EQ(found, (std::vector<std::string_view>{"a.png", "a.jpg", "", ""}));
    EXPECT_TRUE(lookup.FileExists(Path("2/b.png")));
    EXPECT_FALSE(lookup.FileExists(Path("3/b.png")));
    EXPECT_EQ(lookup.listed_folders(), 4u);
    EXPECT_EQ(counting.listings, 4);
  }
  for (int i = 0; i < 20; ++i) {
    SiblingLookup lookup(&fs_);
    lookup.ListAhead(prefix, "", 10);
  }
}

}  // namespace
}  // namespace tavik
