// Helpers shared by the package tests: a scratch folder and whole-file
// reads and writes that bypass the library under test.
#ifndef TAVIK_PLATFORM_VMP_PACKAGE_TEST_UTIL_H_
#define TAVIK_PLATFORM_VMP_PACKAGE_TEST_UTIL_H_

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vmp {
namespace testing_util {

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> sequence{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("vmp_test_" + std::to_string(stamp) + "_" +
             std::to_string(sequence.fetch_add(1)));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const {
    return (path_ / name).string();
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path path_;
};

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
