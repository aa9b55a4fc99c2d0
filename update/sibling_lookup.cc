#include "update/sibling_lookup.h"

#include "platform/sdk/kdir.h"
#include "platform/sdk/kpath.h"

namespace tavik {

using qsnsdk_cm_infra::ExtractFileName;
using qsnsdk_cm_infra::ExtractParentDirectory;
using qsnsdk_cm_infra::FileNameView;
using qsnsdk_cm_infra::KDir;
using qsnsdk_cm_infra::MakeFullPath;

namespace {

bool IsDotEntry(const char* name) {
  return std::string(name) == "." || std::string(name) == "..";
}

}  // namespace

KString FindSiblingByStem(KString path, FileSystem* fs) {
  KString stem = ExtractFileName(path, false);
  KString folder = ExtractParentDirectory(path, -1);
  KDir dir(fs);
  if (folder.IsEmpty() || !dir.Open(folder)) return KString();
  for (const char* name = dir.Name(); name != nullptr; name = dir.Name()) {
    if (!IsDotEntry(name) && dir.IsRegularFile() &&
        ExtractFileName(name, false) == stem) {
      KString found = MakeFullPath(folder, name);
      dir.Close();
      return found;
    }
    if (!dir.Next()) break;
  }
  dir.Close();
  return KString();
}

SiblingLookup::SiblingLookup(FileSystem* fs) : fs_(fs) {}

const SiblingLookup::Folder& SiblingLookup::Listing(const std::string& folder) {
  auto found = folders_.find(folder);
  if (found != folders_.end()) return found->second;
  Folder& entry = folders_[folder];
  Result<std::vector<DirEntry>> entries = fs_->ListDirectory(folder);
  if (entries.ok()) {
    KDir::SortEntries(&*entries);
    for (const DirEntry& e : *entries) {
      if (!e.is_regular_file || e.name == "." || e.name == "..") continue;
      entry.files.insert(e.name);
      // emplace keeps the first entry in listing order for each stem.
      entry.first_by_stem.emplace(FileNameView(e.name, false), e.name);
    }
  }
  return entry;
}

KString SiblingLookup::Find(const KString& path) {
  return FindInFolder(ExtractParentDirectory(path, -1),
                      ExtractFileName(path, false).str());
}

const std::vector<const SiblingLookup::Folder*>& SiblingLookup::NumberedFolders(
    const std::string& prefix, const std::string& suffix, int count) {
  // References of one library mostly share their numbered folders: the last
  // answer is checked before the map.
  if (last_ != nullptr && count == last_count_ && prefix == last_prefix_ &&
      suffix == last_suffix_) {
    return *last_;
  }
  last_prefix_ = prefix;
  last_suffix_ = suffix;
  last_count_ = count;
  std::string key = prefix;
  key.push_back('\0');
  key += suffix;
  key.push_back('\0');
  key += std::to_string(count);
  auto found = numbered_.find(key);
  if (found == numbered_.end()) {
    std::vector<const Folder*> folders;
    for (int i = 1; i <= count; ++i) {
      folders.push_back(&Listing(prefix + std::to_string(i) + suffix));
    }
    found = numbered_.emplace(std::move(key), std::move(folders)).first;
  }
  last_ = &found->second;
  return *last_;
}

const std::string* SiblingLookup::FirstWithStem(const Folder& folder,
                                                const std::string& stem) {
  auto it = folder.first_by_stem.find(stem);
  return it == folder.first_by_stem.end() ? nullptr : &it->second;
}

KString SiblingLookup::FindInFolder(const KString& folder,
                                    const std::string& stem) {
  if (folder.IsEmpty()) return KString();
  const std::string* name = FirstWithStem(Listing(folder.str()), stem);
  return name ? MakeFullPath(folder, name->c_str()) : KString();
}

bool SiblingLookup::FileExists(const KString& path) {
  KString folder = ExtractParentDirectory(path, -1);
  if (!folder.IsEmpty() &&
      Listing(folder.str()).files.count(ExtractFileName(path, true).str())) {
    return true;
  }
  return fs_->FileExists(path.str());
}

}  // namespace tavik
