// The media folder of the benchmarks' generated libraries: asset a has three
// empty files, tex_<a>.png, .jpg and .tif, in three of the numbered folders
// 1 to 10, so every reference has two variants to be found.
#ifndef TAVIK_BENCH_BENCH_MEDIA_H_
#define TAVIK_BENCH_BENCH_MEDIA_H_

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace bench_media {

constexpr int kFolders = 10;

// The numbered folder (1-based) that holds file k (0 to 2) of asset a.
inline int FolderOf(int a, int k) {
  static const int kOffsets[3] = {0, 3, 7};
  return (a + kOffsets[k]) % kFolders + 1;
}

inline std::string FileName(int a, int k) {
  static const char* const kExtensions[3] = {".png", ".jpg", ".tif"};
  return "tex_" + std::to_string(a) + kExtensions[k];
}

// The files of `assets` assets under `media`; false when one can't be made.
inline bool MakeMedia(const std::filesystem::path& media, int assets) {
  for (int f = 1; f <= kFolders; ++f) {
    std::filesystem::create_directories(media / std::to_string(f));
  }
  for (int a = 0; a < assets; ++a) {
    for (int k = 0; k < 3; ++k) {
      std::string path = (media / std::to_string(FolderOf(a, k))).string() +
                         "/" + FileName(a, k);
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return false;
      ::close(fd);
    }
  }
  return true;
}

}  // namespace bench_media

#endif  // TAVIK_BENCH_BENCH_MEDIA_H_
