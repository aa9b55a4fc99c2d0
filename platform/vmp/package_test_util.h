// Helpers shared by the package tests: the scratch folder and whole-file
// reads and writes that bypass the library under test.
#ifndef TAVIK_PLATFORM_VMP_PACKAGE_TEST_UTIL_H_
#define TAVIK_PLATFORM_VMP_PACKAGE_TEST_UTIL_H_

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"

namespace vmp {
namespace testing_util {

using tavik::testing_util::ScratchDir;

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testing_util
}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_PACKAGE_TEST_UTIL_H_
