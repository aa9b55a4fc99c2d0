#include "platform/kdir.h"

#include <algorithm>

namespace qsnsdk_cm_infra {

namespace {

int Rank(const std::string& name) {
  if (name == ".") return 0;
  if (name == "..") return 1;
  return 2;
}

unsigned char Upper(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

bool ListsBefore(const tavik::DirEntry& a, const tavik::DirEntry& b) {
  int ra = Rank(a.name);
  int rb = Rank(b.name);
  if (ra != rb) return ra < rb;
  // UTF-8 byte order equals code point order; NTFS compares UTF-16 units,
  // which differs only above U+FFFF against U+E000..U+FFFF, never for the
  // names a library holds in practice.
  const std::string& x = a.name;
  const std::string& y = b.name;
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char cx = Upper(x[i]);
    unsigned char cy = Upper(y[i]);
    if (cx != cy) return cx < cy;
  }
  if (x.size() != y.size()) return x.size() < y.size();
  return x < y;
}

}  // namespace

KDir::KDir(tavik::FileSystem* fs) : fs_(fs ? fs : tavik::DefaultFileSystem()) {}

void KDir::SortEntries(std::vector<tavik::DirEntry>* entries) {
  std::sort(entries->begin(), entries->end(), ListsBefore);
}

bool KDir::Open(const KString& folder) {
  entries_.clear();
  current_ = 0;
  if (folder.IsEmpty() || !fs_->ListDirectory(folder.str(), &entries_).ok()) {
    entries_.clear();
    return false;
  }
  SortEntries(&entries_);
  return true;
}

const char* KDir::Name() const {
  return current_ < entries_.size() ? entries_[current_].name.c_str() : nullptr;
}

bool KDir::IsDirectory() const {
  return current_ < entries_.size() && entries_[current_].is_directory;
}

bool KDir::IsRegularFile() const {
  return current_ < entries_.size() && entries_[current_].is_regular_file;
}

bool KDir::Next() {
  if (current_ >= entries_.size()) return false;
  ++current_;
  return current_ < entries_.size();
}

void KDir::Close() {
  entries_.clear();
  current_ = 0;
}

}  // namespace qsnsdk_cm_infra
