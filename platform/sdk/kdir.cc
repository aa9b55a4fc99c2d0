#include "platform/sdk/kdir.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace qsnsdk_cm_infra {

namespace {

int Rank(std::string_view name) {
  if (name.size() == 1 && name[0] == '.') return 0;
  if (name.size() == 2 && name[0] == '.' && name[1] == '.') return 1;
  return 2;
}

// The key NTFS orders names by: ASCII letters folded to upper case, then
// compared ordinally. UTF-8 byte order equals code point order; NTFS compares
// UTF-16 units, which differs only above U+FFFF against U+E000..U+FFFF, never
// for the names a library holds in practice.
void AppendFoldedKey(const std::string& name, std::string* keys) {
  for (char c : name) {
    keys->push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A')
                                         : c);
  }
}

}  // namespace

KDir::KDir(tavik::FileSystem* fs) : fs_(fs) {}

void KDir::SortEntries(tavik::DirListing* entries) {
  // Keys are made once per entry, all in one block, and carry their first
  // eight bytes as a number, which settles most comparisons; names that fold
  // to the same key (possible on POSIX) keep their byte order.
  struct Keyed {
    uint64_t head;  // the key's first 8 bytes, big-endian, zero-padded
    uint32_t start;
    uint32_t length;
    uint32_t index;
    int rank;
  };
  size_t total = 0;
  for (const tavik::DirEntry& e : *entries) total += e.name.size();
  std::string keys;
  keys.reserve(total);
  std::vector<Keyed> keyed;
  keyed.reserve(entries->size());
  for (size_t i = 0; i < entries->size(); ++i) {
    const std::string& name = (*entries)[i].name;
    Keyed k{0, static_cast<uint32_t>(keys.size()),
            static_cast<uint32_t>(name.size()), static_cast<uint32_t>(i),
            Rank(name)};
    AppendFoldedKey(name, &keys);
    for (size_t b = 0; b < 8; ++b) {
      unsigned char c = b < name.size() ? keys[k.start + b] : 0;
      k.head = (k.head << 8) | c;
    }
    keyed.push_back(k);
  }
  const tavik::DirListing& names = *entries;
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.head != b.head) return a.head < b.head;
    int c = std::string_view(keys)
                .substr(a.start, a.length)
                .compare(std::string_view(keys).substr(b.start, b.length));
    if (c != 0) return c < 0;
    return names[a.index].name < names[b.index].name;
  });
  tavik::DirListing sorted;
  sorted.reserve(entries->size());
  for (const Keyed& k : keyed) sorted.push_back(std::move((*entries)[k.index]));
  entries->swap(sorted);
}

bool KDir::ListsBefore(std::string_view a, std::string_view b) {
  int ra = Rank(a);
  int rb = Rank(b);
  if (ra != rb) return ra < rb;
  auto fold = [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  };
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(fold(a[i]));
    unsigned char cb = static_cast<unsigned char>(fold(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool KDir::Open(const KString& folder) {
  entries_.clear();
  current_ = 0;
  if (folder.IsEmpty()) return false;
  tavik::Result<tavik::DirListing> listed = fs_->ListDirectory(folder.str());
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
