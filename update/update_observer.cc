#include "update/update_observer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/sdk/kdir.h"
#include "platform/sdk/kpath.h"
#include "update/update_library_package.h"

namespace tavik {

using qsnsdk_cm_infra::FileNameView;
using qsnsdk_cm_infra::KDir;
using qsnsdk_cm_infra::KString;

std::vector<std::string> FilesWithStem(const KString& folder,
                                       const std::string& stem,
                                       FileSystem* fs) {
  std::vector<std::string> found;
  KDir dir(fs);
  if (folder.IsEmpty() || !dir.Open(folder)) return found;
  for (const char* name = dir.Name(); name != nullptr; name = dir.Name()) {
    std::string entry(name);
    if (entry != "." && entry != ".." && dir.IsRegularFile() &&
        FileNameView(entry, false) == stem) {
      found.push_back(entry);
    }
    if (!dir.Next()) break;
  }
  return found;
}

std::string_view ListedStem(std::string_view name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] != '\\' && name[start - 1] != '/') {
    --start;
  }
  return qsnsdk_cm_infra::NameStem(name.substr(start));
}

std::unordered_map<std::string, std::vector<std::string>> SameStemGroups(
    const DirListing& entries) {
  // One pass over a table of the files by stem: a folder of a library's
  // media holds hundreds of thousands of files, few of which share a stem.
  // A slot holds an entry's place (+ 1; 0 is empty) and 32 bits of its
  // stem's hash, 8 bytes a file at half load, let go on return.
  struct Slot {
    uint32_t entry;
    uint32_t hash;
  };
  auto dot_entry = [](const std::string& name) {
    return (name.size() == 1 || name.size() == 2) && name[0] == '.' &&
           name.back() == '.';
  };
  // A stem is a few bytes: hashed eight at a time.
  auto hash_of = [](std::string_view text) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ text.size();
    for (size_t i = 0; i < text.size(); i += 8) {
      uint64_t word = 0;
      std::memcpy(&word, text.data() + i, std::min<size_t>(8, text.size() - i));
      h = (h ^ word) * 0xff51afd7ed558ccdull;
      h ^= h >> 32;
    }
    return h;
  };
  size_t files = 0;
  for (const DirEntry& e : entries) files += e.is_regular_file ? 1 : 0;
  size_t capacity = 16;
  while (capacity < 2 * files) capacity *= 2;
  const size_t mask = capacity - 1;
  std::vector<Slot> table(capacity, Slot{0, 0});
  std::vector<bool> shared(entries.size(), false);
  bool any = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const DirEntry& e = entries[i];
    if (!e.is_regular_file || dot_entry(e.name)) continue;
    std::string_view stem = ListedStem(e.name);
    const uint64_t full = hash_of(stem);
    const uint32_t hash = static_cast<uint32_t>(full >> 32);
    for (size_t slot = full & mask;; slot = (slot + 1) & mask) {
      Slot& s = table[slot];
      if (s.entry == 0) {
        s = Slot{static_cast<uint32_t>(i + 1), hash};
        break;
      }
      if (s.hash == hash && ListedStem(entries[s.entry - 1].name) == stem) {
        shared[i] = shared[s.entry - 1] = true;
        any = true;
        break;
      }
    }
  }
  std::unordered_map<std::string, std::vector<std::string>> groups;
  if (!any) return groups;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!shared[i]) continue;
    const std::string& name = entries[i].name;
    groups[std::string(ListedStem(name))].push_back(name);
  }
  for (auto& [stem, names] : groups) {
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) {
                return KDir::ListsBefore(a, b);
              });
  }
  return groups;
}

bool ReadBoolProperty(vmp::IGroup* group, const vmp::WideString& name,
                      bool* present) {
  *present = false;
  vmp::SharedPtr<vmp::IProperty> property = FindProperty(group, name);
  if (!property) return false;
  vmp::SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(property);
  if (!primitive || primitive->type() != vmp::PrimitiveType::kBool ||
      primitive->size() == 0) {
    return false;
  }
  unsigned char byte = 0;
  if (!primitive->read(&byte, 0, 1)) return false;
  *present = true;
  return byte != 0;
}

}  // namespace tavik
