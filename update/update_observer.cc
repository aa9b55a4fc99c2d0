#include "update/update_observer.h"

#include <algorithm>
#include <cstdint>
#include <functional>
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

std::unordered_map<std::string, std::vector<std::string>> SameStemGroups(
    const DirListing& entries) {
  // One pass over a table of the files by stem: a folder of a library's
  // media holds hundreds of thousands of files, few of which share a stem,
  // and the table is let go on return.
  std::vector<uint32_t> files;
  std::vector<uint64_t> hashes;
  for (size_t i = 0; i < entries.size(); ++i) {
    const DirEntry& e = entries[i];
    if (!e.is_regular_file || e.name == "." || e.name == "..") continue;
    files.push_back(static_cast<uint32_t>(i));
    hashes.push_back(
        std::hash<std::string_view>()(FileNameView(e.name, false)));
  }
  size_t capacity = 16;
  while (capacity < 2 * files.size()) capacity *= 2;
  const size_t mask = capacity - 1;
  std::vector<uint32_t> table(capacity, 0);  // place in `files` + 1; 0 empty
  std::vector<bool> shared(files.size(), false);
  bool any = false;
  for (size_t f = 0; f < files.size(); ++f) {
    std::string_view stem = FileNameView(entries[files[f]].name, false);
    for (size_t slot = hashes[f] & mask;; slot = (slot + 1) & mask) {
      if (table[slot] == 0) {
        table[slot] = static_cast<uint32_t>(f + 1);
        break;
      }
      size_t other = table[slot] - 1;
      if (hashes[other] == hashes[f] &&
          FileNameView(entries[files[other]].name, false) == stem) {
        shared[f] = shared[other] = true;
        any = true;
        break;
      }
    }
  }
  std::unordered_map<std::string, std::vector<std::string>> groups;
  if (!any) return groups;
  for (size_t f = 0; f < files.size(); ++f) {
    if (!shared[f]) continue;
    const std::string& name = entries[files[f]].name;
    groups[std::string(FileNameView(name, false))].push_back(name);
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
