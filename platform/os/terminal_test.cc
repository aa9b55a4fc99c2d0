#include "platform/os/terminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/base/scratch_dir_test_util.h"

namespace tavik {
namespace {

TEST(TerminalTest, AFileOrNoStreamIsNoTerminal) {
  EXPECT_FALSE(IsTerminal(nullptr));
  testing_util::ScratchDir dir("tavik_terminal");
  std::string path = dir.path() + "/out.txt";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);
}

}  // namespace
}  // namespace tavik
