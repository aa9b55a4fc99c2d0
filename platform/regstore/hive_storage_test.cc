#include "platform/regstore/hive_storage.h"

#include <gtest/gtest.h>

#include <string>

namespace tavik {
namespace {

TEST(HiveDirectoriesTest, RootVariableThenDefaults) {
  const struct {
    const char* root;
    const char* xdg;
    const char* home;
    std::string machine;
    std::string user;
  } cases[] = {
      {"/r", "/x", "/h", "/r", "/r"},
      {"", "/x", "/h", "/var/lib/tavik/registry", "/x/tavik/registry"},
      {nullptr, nullptr, "/h", "/var/lib/tavik/registry",
       "/h/.config/tavik/registry"},
      {nullptr, "relative", "/h", "/var/lib/tavik/registry",
       "/h/.config/tavik/registry"},
      {nullptr, "", "", "/var/lib/tavik/registry", ""},
  };
  for (const auto& c : cases) {
    std::string machine, user;
    HiveDirectories(c.root, c.xdg, c.home, &machine, &user);
    EXPECT_EQ(machine, c.machine);
    EXPECT_EQ(user, c.user);
  }
}

}  // namespace
}  // namespace tavik
