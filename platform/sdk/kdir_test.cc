#include "platform/sdk/kdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace qsnsdk_cm_infra {
namespace {

// The order spelt out: "." then "..", then names by their ASCII letters
// folded to upper case, compared byte for byte, then by their own bytes.
bool ListedBefore(const std::string& a, const std::string& b) {
  auto rank = [](const std::string& n) {
    return n == "." ? 0 : n == ".." ? 1 : 2;
  };
  auto fold = [](std::string n) {
    for (char& c : n) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return n;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  if (fold(a) != fold(b)) return fold(a) < fold(b);
  return a < b;
}

// Names sharing long prefixes, differing in case, length and bytes above
// 0x7F, so that keys tie on their first eight bytes and past them.
TEST(KDirTest, SortsAsTheSpeltOutOrder) {
  const char* pieces[] = {"a", "A",        "tex_1234", "TEX_1234", "_", "b.png",
                          ".", "\xc3\xa9", "z",        "0",        "~"};
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    tavik::DirListing entries = {{"..", true, false}, {".", true, false}};
    for (int i = 0; i < 60; ++i) {
      std::string name;
      for (int k = 1 + random() % 4; k > 0; --k) name += pieces[random() % 11];
      entries.push_back({name, false, true});
    }
    std::vector<std::string> expected;
    for (const tavik::DirEntry& e : entries) expected.push_back(e.name);
    std::sort(expected.begin(), expected.end(), ListedBefore);
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
      const std::string& a = entries[i].name;
      const std::string& b = entries[i + 1].name;
      EXPECT_EQ(KDir::ListsBefore(a, b), ListedBefore(a, b)) << a << " " << b;
      EXPECT_EQ(KDir::ListsBefore(b, a), ListedBefore(b, a)) << b << " " << a;
    }
    KDir::SortEntries(&entries);
    std::vector<std::string> got;
    for (const tavik::DirEntry& e : entries) got.push_back(e.name);
    EXPECT_EQ(expected, got);
  }
}

}  // namespace
}  // namespace qsnsdk_cm_infra
