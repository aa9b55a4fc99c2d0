#include "update/sibling_lookup.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/sdk/kdir.h"
#include "platform/sdk/kpath.h"

namespace tavik {

using qsnsdk_cm_infra::ExtractFileName;
using qsnsdk_cm_infra::ExtractParentDirectory;
using qsnsdk_cm_infra::KDir;
using qsnsdk_cm_infra::MakeFullPath;
using qsnsdk_cm_infra::NameStem;

namespace {

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

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

SiblingLookup::~SiblingLookup() {
  stop_ = true;
  Settle();
}

void SiblingLookup::ListAhead(const std::string& prefix,
                              const std::string& suffix, int count) {
  Settle();
  ahead_todo_.clear();
  for (int i = 1; i <= count; ++i) {
    std::string path = prefix + std::to_string(i) + suffix;
    if (folders_.count(path) != 0) continue;
    Folder* entry = &folders_[path];
    ahead_todo_.emplace_back(std::move(path), entry);
  }
  if (ahead_todo_.empty()) return;
  try {
    ahead_ = std::thread([this] { FillAll(ahead_todo_); });
  } catch (const std::system_error&) {
    // Listed when first asked about instead.
    for (const auto& [path, entry] : ahead_todo_) folders_.erase(path);
    ahead_todo_.clear();
  }
}

namespace {

// Eight bytes at a time: names and stems are hashed once per listed file
// and once per question.
uint64_t HashText(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t hash = 0x9e3779b97f4a7c15ull ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    hash = (hash ^ word) * 0xbf58476d1ce4e5b9ull;
    hash ^= hash >> 31;
  }
  if (n > 0) {
    uint64_t word = 0;
    std::memcpy(&word, p, n);
    hash = (hash ^ word) * 0x94d049bb133111ebull;
  }
  hash ^= hash >> 29;
  hash *= 0xbf58476d1ce4e5b9ull;
  return hash ^ (hash >> 32);
}

uint64_t TagBits(uint64_t hash) { return (hash & 0xFFFF) << 48; }

// `path` cut at its last separator into the folder (as
// ExtractParentDirectory gives it: "\\" for a root) and the name; false
// when it holds no separator.
bool SplitPath(std::string_view path, std::string_view* folder,
               std::string_view* name) {
  size_t cut = path.size();
  while (cut > 0 && path[cut - 1] != '\\' && path[cut - 1] != '/') --cut;
  if (cut == 0) return false;
  *folder = path.substr(0, cut == 1 ? 1 : cut - 1);
  *name = path.substr(cut);
  return true;
}

}  // namespace

void SiblingLookup::Folder::Add(std::string_view name) {
  // The last block's places end one short of 2^32, so that place + 1 fits.
  constexpr size_t kMaxBlocks = (size_t{1} << (32 - kPlaceBits)) - 1;
  const size_t need = name.size() + 2;
  if (name.size() > 0xFFFF) {
    left_out_ = true;
    return;
  }
  if (blocks_.empty() || block_used_.back() + need > last_block_size_) {
    if (blocks_.size() >= kMaxBlocks) {
      left_out_ = true;
      return;
    }
    constexpr size_t kFirstBlock = size_t{16} << 10;
    constexpr size_t kLargestBlock = size_t{1} << kPlaceBits;
    last_block_size_ = std::max(
        need, blocks_.empty() ? kFirstBlock
                              : std::min(2 * last_block_size_, kLargestBlock));
    blocks_.emplace_back(new char[last_block_size_]);
    block_used_.push_back(0);
  }
  char* at = blocks_.back().get() + block_used_.back();
  at[0] = static_cast<char>(name.size() & 0xFF);
  at[1] = static_cast<char>(name.size() >> 8);
  std::memcpy(at + 2, name.data(), name.size());
  block_used_.back() += static_cast<uint32_t>(need);
  ++count_;
}

namespace {

// Where `text` (whose HashText is `hash`) is in `table`, or the empty slot
// where it would go, starting at `start`; `key` gives a slot's text.
template <typename Key>
size_t Probe(const LargeVector<uint64_t>& table, size_t start,
             std::string_view text, uint64_t hash, Key key) {
  const uint64_t tag = TagBits(hash);
  const size_t size = table.size();
  for (size_t i = start;;) {
    uint64_t slot = table[i];
    if (slot == 0 || ((slot & (0xFFFFull << 48)) == tag && key(slot) == text)) {
      return i;
    }
    if (++i == size) i = 0;
  }
}

}  // namespace

void SiblingLookup::Folder::Seal() {
  by_stem_.assign(count_ + count_ / 3 + 2, 0);
  auto stem = [this](uint64_t slot) { return NameStem(SlotName(slot)); };
  ForEachName([&](std::string_view text, uint64_t place) {
    // The first file of each stem in KDir's order keeps the slot; names
    // arrive unsorted.
    std::string_view stem_text = NameStem(text);
    uint64_t hash = HashText(stem_text);
    size_t i = Probe(by_stem_, StartOf(hash), stem_text, hash, stem);
    if (by_stem_[i] != 0) {
      std::vector<uint64_t>& shared = shared_stems_[i];
      if (shared.empty()) shared.push_back(by_stem_[i] & ~(0xFFFFull << 48));
      shared.push_back(place);
    }
    if (by_stem_[i] == 0 || KDir::ListsBefore(text, SlotName(by_stem_[i]))) {
      by_stem_[i] = place | TagBits(hash);
    }
  });
}

void SiblingLookup::Folder::FilesWithStem(
    const Stem& stem, std::vector<std::string_view>* names) const {
  names->clear();
  auto key = [this](uint64_t slot) { return NameStem(SlotName(slot)); };
  const size_t i =
      Probe(by_stem_, StartOf(stem.hash), stem.text, stem.hash, key);
  if (by_stem_[i] == 0) return;
  auto shared = shared_stems_.find(i);
  if (shared == shared_stems_.end()) {
    names->push_back(SlotName(by_stem_[i]));
    return;
  }
  for (uint64_t place : shared->second) names->push_back(SlotName(place));
  std::sort(names->begin(), names->end(),
            [](std::string_view a, std::string_view b) {
              return KDir::ListsBefore(a, b);
            });
}

void SiblingLookup::Folder::MakeNameTable() const {
  by_name_.assign(by_stem_.size(), 0);
  auto name = [this](uint64_t slot) { return SlotName(slot); };
  ForEachName([&](std::string_view text, uint64_t place) {
    uint64_t hash = HashText(text);
    size_t i = Probe(by_name_, StartOf(hash), text, hash, name);
    if (by_name_[i] == 0) by_name_[i] = place | TagBits(hash);
  });
}

bool SiblingLookup::Folder::HasFile(std::string_view name) const {
  return HasFile(name, MakeStem(NameStem(name)));
}

bool SiblingLookup::Folder::HasFile(std::string_view name,
                                    const Stem& stem) const {
  // A file named `name` has its stem: no slot for the stem, no file. When
  // the stem's first file is another one, the whole-name table answers; it
  // is made on first need, which most runs never meet.
  std::string_view first;
  if (!FirstWithStem(stem, &first)) return false;
  if (first == name) return true;
  if (by_name_.empty()) MakeNameTable();
  auto key = [this](uint64_t slot) { return SlotName(slot); };
  uint64_t hash = HashText(name);
  return by_name_[Probe(by_name_, StartOf(hash), name, hash, key)] != 0;
}

bool SiblingLookup::Folder::FirstWithStem(const Stem& stem,
                                          std::string_view* name) const {
  auto key = [this](uint64_t slot) { return NameStem(SlotName(slot)); };
  uint64_t slot =
      by_stem_[Probe(by_stem_, StartOf(stem.hash), stem.text, stem.hash, key)];
  if (slot == 0) return false;
  *name = SlotName(slot);
  return true;
}

void SiblingLookup::Folder::PrefetchSlot(const Stem& stem) const {
  __builtin_prefetch(&by_stem_[StartOf(stem.hash)]);
}

void SiblingLookup::Folder::PrefetchName(const Stem& stem) const {
  uint64_t slot = by_stem_[StartOf(stem.hash)];
  if (slot == 0 || (slot & (0xFFFFull << 48)) != TagBits(stem.hash)) return;
  __builtin_prefetch(SlotText(slot));
}

SiblingLookup::Stem SiblingLookup::MakeStem(std::string_view text) {
  return Stem{text, HashText(text)};
}

const SiblingLookup::Folder& SiblingLookup::Listing(std::string_view folder) {
  // The folders of one library's references are few and asked for in turn:
  // the recent ones are compared from their ends, where numbered folders
  // differ, before the map.
  auto same = [folder](const Recent& recent) {
    return recent.listing != nullptr && recent.folder.size() == folder.size() &&
           std::memcmp(recent.folder.data(), folder.data(), folder.size()) == 0;
  };
  if (same(recent_[last_recent_])) return *recent_[last_recent_].listing;
  for (size_t i = 0; i < recent_.size(); ++i) {
    if (same(recent_[i])) {
      last_recent_ = i;
      return *recent_[i].listing;
    }
  }
  last_recent_ = next_recent_;
  Recent& slot = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % recent_.size();
  slot.folder.assign(folder);
  auto found = folders_.find(slot.folder);
  if (found != folders_.end()) {
    slot.listing = &found->second;
    return found->second;
  }
  Folder& entry = folders_[slot.folder];
  slot.listing = &entry;
  Fill(slot.folder, &entry);
  return entry;
}

void SiblingLookup::Fill(const std::string& path, Folder* entry) const {
  // An entry that is neither file nor folder (a link to nothing, a type
  // that could not be read) leaves the file system to answer for it.
  bool typed = true;
  Folder listed;
  Status s = fs_->VisitDirectory(path, [&](const DirEntry& e) {
    typed = typed && (e.is_regular_file || e.is_directory);
    if (e.is_regular_file && !IsDotEntry(e.name)) listed.Add(e.name);
  });
  if (s.ok()) {
    listed.set_exact(typed && fs_->ListingIsExact(path));
    *entry = std::move(listed);
  }
  entry->Seal();
}

void SiblingLookup::FillAll(
    const std::vector<std::pair<std::string, Folder*>>& todo) const {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k; !stop_ && (k = next++) < todo.size();) {
      Fill(todo[k].first, todo[k].second);
    }
  };
  if (todo.size() > 1 && fs_->ListsConcurrently() &&
      std::thread::hardware_concurrency() > 1) {
    // Listing a folder is mostly the system's work and building its table
    // mostly memory's: two folders at a time.
    try {
      std::thread helper(work);
      work();
      helper.join();
      return;
    } catch (const std::system_error&) {
      // No thread to be had: the rest is listed here.
    }
  }
  work();
}

KString SiblingLookup::Find(const KString& path) {
  Settle();
  return FindInFolder(ExtractParentDirectory(path, -1),
                      ExtractFileName(path, false).str());
}

const std::vector<const SiblingLookup::Folder*>& SiblingLookup::NumberedFolders(
    const std::string& prefix, const std::string& suffix, int count) {
  Settle();
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
    std::vector<std::pair<std::string, Folder*>> todo;
    for (int i = 1; i <= count; ++i) {
      std::string path = prefix + std::to_string(i) + suffix;
      if (folders_.count(path) != 0) continue;
      Folder* entry = &folders_[path];
      todo.emplace_back(std::move(path), entry);
    }
    FillAll(todo);
    std::vector<const Folder*> folders;
    for (int i = 1; i <= count; ++i) {
      folders.push_back(&Listing(prefix + std::to_string(i) + suffix));
    }
    found = numbered_.emplace(std::move(key), std::move(folders)).first;
  }
  last_ = &found->second;
  return *last_;
}

bool SiblingLookup::FirstWithStem(const Folder& folder, const Stem& stem,
                                  std::string_view* name) {
  return folder.FirstWithStem(stem, name);
}

void SiblingLookup::FirstWithStemInEach(
    const std::vector<const Folder*>& folders, const Stem& stem, size_t skip,
    std::vector<std::string_view>* found) {
  found->assign(folders.size(), std::string_view());
  for (size_t i = 0; i < folders.size(); ++i) {
    if (i != skip) folders[i]->FirstWithStem(stem, &(*found)[i]);
  }
}

KString SiblingLookup::FindInFolder(const KString& folder,
                                    const std::string& stem) {
  Settle();
  if (folder.IsEmpty()) return KString();
  std::string_view name;
  if (!FirstWithStem(Listing(folder.str()), MakeStem(stem), &name)) {
    return KString();
  }
  return MakeFullPath(folder, std::string(name).c_str());
}

bool SiblingLookup::FileExistsIn(const Folder& listing, std::string_view path,
                                 std::string_view name, const Stem& stem) {
  if (listing.HasFile(name, stem)) return true;
  if (listing.exact()) return false;
  return fs_->FileExists(std::string(path));
}

size_t SiblingLookup::ListFoldersOf(
    const std::vector<std::string_view>& paths) {
  Settle();
  std::vector<std::pair<std::string, Folder*>> todo;
  for (std::string_view path : paths) {
    std::string_view folder, name;
    if (!SplitPath(path, &folder, &name)) continue;
    // Only a guide: a folder whose hash is taken by another is listed
    // later, when it is first asked about.
    if (!asked_.insert(HashText(folder)).second) continue;
    std::string key(folder);
    if (folders_.count(key) != 0) continue;
    Folder* entry = &folders_[key];
    todo.emplace_back(std::move(key), entry);
  }
  FillAll(todo);
  return todo.size();
}

SiblingLookup::FileQuestion SiblingLookup::Ask(std::string_view path) {
  Settle();
  FileQuestion question;
  question.path = path;
  std::string_view folder;
  if (!SplitPath(path, &folder, &question.name)) return question;
  question.listing = &Listing(folder);
  question.stem = MakeStem(NameStem(question.name));
  return question;
}

void SiblingLookup::Prefetch(const FileQuestion& question, bool name) {
  if (question.listing == nullptr) return;
  if (name) {
    question.listing->PrefetchName(question.stem);
  } else {
    question.listing->PrefetchSlot(question.stem);
  }
}

bool SiblingLookup::Answer(const FileQuestion& question) {
  if (question.listing == nullptr) {
    return fs_->FileExists(std::string(question.path));
  }
  return FileExistsIn(*question.listing, question.path, question.name,
                      question.stem);
}

bool SiblingLookup::FileExists(std::string_view path) {
  return Answer(Ask(path));
}

}  // namespace tavik
