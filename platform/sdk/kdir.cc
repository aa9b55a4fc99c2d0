#include "platform/sdk/kdir.h"

#include <algorithm>

namespace qsnsdk_cm_infra {

namespace {

int Rank(const std::string& name) {
  if (name.size() == 1 && name[0] == '.') return 0;
  if (name.size() == 2 && name[0] == '.' && name[1] == '.') return 1;
  return 2;
}

// The key NTFS orders names by: ASCII letters folded to upper case, then
// compared ordinally. UTF-8 byte order equals code point order; NTFS compares
// UTF-16 units, which differs only above U+FFFF against U+E000..U+FFFF, never
// for the names a library holds in practice.
std::string FoldedKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

}  // namespace

KDir::KDir(tavik::FileSystem* fs) : fs_(fs ? fs : tavik::DefaultFileSystem()) {}

void KDir::SortEntries(std::vector<tavik::DirEntry>* entries) {
  // Keys are made once per entry, not once per comparison; names that fold
  // to the same key (possible on POSIX) keep their byte order.
  struct Keyed {
    int rank;
    std::string key;
    tavik::DirEntry* entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(entries->size());
  for (tavik::DirEntry& e : *entries) {
    keyed.push_back({Rank(e.name), FoldedKey(e.name), &e});
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    int c = a.key.compare(b.key);
    if (c != 0) return c < 0;
    return a.entry->name < b.entry->name;
  });
  std::vector<tavik::DirEntry> sorted;
  sorted.reserve(entries->size());
  for (Keyed& k : keyed) sorted.push_back(std::move(*k.entry));
  entries->swap(sorted);
}

bool KDir::Open(const KString& folder) {
  entries_.clear();
  current_ = 0;
  if (folder.IsEmpty()) return false;
  tavik::Result<std::vector<tavik::DirEntry>> listed =
      fs_->ListDirectory(folder.str());
  if (!listed.ok()) return false;
  entries_ = std::move(*listed);
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
