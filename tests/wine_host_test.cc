// The host facts the Wine runs depend on: the 32-bit probe's answers and
// the architecture read from a Windows program's header.
#include "tests/wine_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tavik_test {
namespace {

namespace fs = std::filesystem;

TEST(WineHostTest, ProbeAnswersYesOrNoWithReason) {
  std::string script =
      std::string(TAVIK_SOURCE_DIR) + "/scripts/host-x86-32.sh";
  fs::path out =
      fs::temp_directory_path() / ("tavik_probe_" + std::to_string(::getpid()));
  struct Case {
    std::string forced;  // TAVIK_HOST_X86_32, empty: probe for real
    int exit_code;       // -2: either, matching the answer
    std::string answer;  // exact answer, empty: "yes" or "no: ..."
  } cases[] = {
      {"no: forced by hand", 1, "no: forced by hand"},
      {"yes", 0, "yes"},
      {"", -2, ""},
  };
  for (const Case& c : cases) {
    ProcessResult r =
        RunProcess({script}, {{"TAVIK_HOST_X86_32", c.forced}}, out.string());
    std::string answer = r.out.substr(0, r.out.find('\n'));
    if (!c.answer.empty()) {
      EXPECT_EQ(answer, c.answer);
      EXPECT_EQ(r.exit_code, c.exit_code) << c.forced;
    } else if (answer == "yes") {
      EXPECT_EQ(r.exit_code, 0);
    } else {
      EXPECT_EQ(answer.rfind("no: ", 0), 0u) << r.out;
      EXPECT_GT(answer.size(), 4u) << "no reason given";
      EXPECT_EQ(r.exit_code, 1);
    }
  }
  fs::remove(out);
}

TEST(WineHostTest, ReadsTheArchitectureFromTheHeader) {
  auto program = [](uint16_t machine, uint32_t pe_offset, bool pe_magic) {
    std::string bytes(pe_offset + 24, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[60 + i] = char(pe_offset >> (8 * i));
    if (pe_magic) bytes.replace(pe_offset, 2, "PE");
    bytes[pe_offset + 4] = char(machine & 0xff);
    bytes[pe_offset + 5] = char(machine >> 8);
    return bytes;
  };
  struct Case {
    const char* name;
    std::string bytes;
    int bits;
  } cases[] = {
      {"i386", program(0x014c, 128, true), 32},
      {"x86-64", program(0x8664, 200, true), 64},
      {"arm64", program(0xaa64, 128, true), 0},
      {"no PE signature", program(0x014c, 128, false), 0},
      {"header past the end", program(0x014c, 128, true).substr(0, 130), 0},
      {"not a program", "#!/bin/sh\n", 0},
      {"empty", "", 0},
  };
  fs::path file =
      fs::temp_directory_path() / ("tavik_pe_" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_EQ(WindowsProgramBits(file.string()), c.bits) << c.name;
  }
  EXPECT_EQ(WindowsProgramBits((file / "missing").string()), 0);
  fs::remove(file);
}

}  // namespace
}  // namespace tavik_test
