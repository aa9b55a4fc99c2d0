// ScratchDir: the one scratch folder helper of the tests that must touch
// the disk, unit and end-to-end alike. A fresh folder under the system's
// temporary folder, removed with everything in it when the object goes;
// std::filesystem only, no shell, so it works the same on every system.
#ifndef TAVIK_PLATFORM_BASE_SCRATCH_DIR_TEST_UTIL_H_
#define TAVIK_PLATFORM_BASE_SCRATCH_DIR_TEST_UTIL_H_

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavik {
namespace testing_util {

// Makes a new, empty folder "<stem>_<suffix>" under the system's temporary
// folder and returns its path (the caller removes it). The folder is one
// that no other caller, in this process or another, was given: a name that
// is taken is passed over. Empty when no folder can be made.
inline std::string MakeScratchFolder(const std::string& stem) {
  static std::atomic<unsigned> sequence{0};
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) return std::string();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path path =
        temp / (stem + "_" + std::to_string(stamp % 1000000007) + "_" +
                std::to_string(random() % 100000) + "_" +
                std::to_string(sequence.fetch_add(1)));
    // create_directory is true only for the caller that made the folder.
    if (std::filesystem::create_directory(path, ec)) return path.string();
    if (ec && ec != std::errc::file_exists) return std::string();
  }
  return std::string();
}

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& stem = "tavik_test")
      : path_(MakeScratchFolder(stem)) {
    // Never fall back to the working folder: fail the test that made it.
    if (path_.empty()) throw std::runtime_error("can't make a scratch folder");
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder, in the system's own form.
  std::string path() const { return path_.string(); }
  // `relative` ("/"-separated) below the folder, in the system's form.
  std::string File(const std::string& relative) const {
    return (path_ / std::filesystem::path(relative)).make_preferred().string();
  }
  // Makes the folder `relative` and the folders above it. Like Touch, does
  // nothing where a file of the other kind is in the way.
  void Mkdir(const std::string& relative) const {
    std::error_code ignored;
    std::filesystem::create_directories(File(relative), ignored);
  }
  // Makes an empty file (and the folders above it).
  void Touch(const std::string& relative) const {
    std::filesystem::path file(File(relative));
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    std::ofstream(file, std::ios::binary);
  }
  // The names of the folder's entries, in no particular order.
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

}  // namespace testing_util
}  // namespace tavik

#endif  // TAVIK_PLATFORM_BASE_SCRATCH_DIR_TEST_UTIL_H_
