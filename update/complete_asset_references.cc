#include "update/complete_asset_references.h"

#include <string>
#include <vector>

#include "platform/base/debug_output.h"
#include "platform/sdk/kpath.h"
#include "update/reference_variants.h"

namespace tavik {

using qsnsdk_cm_infra::KQsnXRefManager;
using qsnsdk_cm_infra::MakeFullPath;
using vmp::SharedPtr;
using vmp::StringAlgorithm;
using vmp::WideString;

namespace {

std::string Utf8(const WideString& text) {
  return StringAlgorithm::UTF8Encode(text).string();
}

}  // namespace

AssetReferenceUpdater::AssetReferenceUpdater(KQsnXRefManager* manager,
                                             int count, bool remove,
                                             SiblingLookup* siblings,
                                             UpdateObserver* observer,
                                             bool dry_run)
    : manager_(manager),
      count_(count),
      remove_(remove),
      siblings_(siblings),
      observer_(observer),
      store_(!dry_run),
      qsn_name_(u"QSN"),
      refs_name_(u"refs") {}

const std::vector<std::string>& AssetReferenceUpdater::Entries(
    const ListWork& work) {
  size_t n = work.array.count();
  // The strings kept keep their room; only those past a longer list go.
  if (entries_.size() < n) entries_.resize(n);
  for (size_t k = 0; k < n; ++k) entries_[k].assign(work.array.get(k));
  entries_.resize(n);
  return entries_;
}

void AssetReferenceUpdater::Store(ListWork* work) {
  changed_ = true;
  if (store_) work->array.Store(work->primitive.get());
}

// Resolves an entry as every decision of the run does, and tells the
// observer (if any) the answer.
bool AssetReferenceUpdater::ResolveEntry(std::string_view text,
                                         std::string* resolved) const {
  // No file name holds U+0000; the text before it must not be judged in the
  // whole entry's place.
  return text.find('\0') == std::string_view::npos &&
         manager_->ResolveInto(text, resolved);
}

bool AssetReferenceUpdater::Resolve(const ListWork& work, size_t index,
                                    std::string* resolved) {
  bool resolves = ResolveEntry(work.array.get(index), resolved);
  bool exists = resolves && siblings_->FileExists(*resolved);
  if (observer_ != nullptr) {
    observer_->Entry(index, resolves ? *resolved : std::string(), exists);
  }
  return exists;
}

void AssetReferenceUpdater::Ask(const vmp::Utf8StringArray& array,
                                PruneWork* work) {
  size_t n = array.count();
  // Every entry is resolved and its folder's slot fetched before any is
  // checked, so that the checks wait on memory together.
  if (work->resolved.size() < n) work->resolved.resize(n);
  work->resolves.assign(n, 0);
  work->questions.resize(n);
  paths_.clear();
  for (size_t k = 0; k < n; ++k) {
    work->resolves[k] = ResolveEntry(array.get(k), &work->resolved[k]);
    if (work->resolves[k]) paths_.push_back(work->resolved[k]);
  }
  // The first lists of a run name most of its folders: they are listed
  // together. Once lists stop naming new folders, any later one is listed
  // when first asked about.
  if (quiet_lists_ < kQuietLists) {
    quiet_lists_ = siblings_->ListFoldersOf(paths_) == 0 ? quiet_lists_ + 1 : 0;
  }
  for (size_t k = 0; k < n; ++k) {
    if (!work->resolves[k]) continue;
    work->questions[k] = siblings_->Ask(work->resolved[k]);
    SiblingLookup::Prefetch(work->questions[k], false);
  }
}

void AssetReferenceUpdater::FetchNames(const PruneWork& work) {
  for (size_t k = 0; k < work.resolves.size(); ++k) {
    if (work.resolves[k]) SiblingLookup::Prefetch(work.questions[k], true);
  }
}

void AssetReferenceUpdater::Prune(ListWork* work) {
  vmp::Utf8StringArray& array = work->array;
  size_t n = array.count();
  keep_.assign(n, false);
  PruneWork* asked = &prune_;
  if (ahead_count_ > 0) {
    // In UpdateAll every list is asked about ahead, in order.
    asked = &ahead_[ahead_first_];
    ahead_first_ = (ahead_first_ + 1) % ahead_.size();
    --ahead_count_;
    if (ahead_count_ > kNamesAhead) {
      FetchNames(ahead_[(ahead_first_ + kNamesAhead) % ahead_.size()]);
    }
  } else {
    Ask(array, asked);
  }
  FetchNames(*asked);
  const std::vector<std::string>& resolved = asked->resolved;
  const std::vector<char>& resolves = asked->resolves;
  const std::vector<SiblingLookup::FileQuestion>& questions = asked->questions;
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    keep_[k] = resolves[k] && siblings_->Answer(questions[k]);
    if (observer_ != nullptr) {
      observer_->Entry(k, resolves[k] ? resolved[k] : std::string(), keep_[k]);
    }
    if (keep_[k]) ++kept;
  }
  if (observer_ != nullptr) {
    for (size_t k = 0; k < n; ++k) {
      if (!keep_[k]) observer_->Dropped(k, std::string(array.get(k)));
    }
  }
  if (kept == n) return;
  // Survivors keep their stored units, so an entry that is not exact text
  // is never rewritten into another one.
  array.Keep(keep_);
  Store(work);
}

void AssetReferenceUpdater::Begin(ListWork* work) {
  work->folders = nullptr;
  work->own_known = false;
  std::string_view text = work->array.get(0);
  work->resolves = ResolveEntry(text, &work->resolved);
  if (!work->resolves || count_ < 1 ||
      !work->variants.Init(text, work->resolved)) {
    return;
  }
  // The numbered folders are known before the reference is checked: its
  // own folder is usually one of them, and the questions to all of them
  // then wait on memory together.
  const ReferenceVariants& variants = work->variants;
  work->folders =
      &siblings_->NumberedFolders(variants.prefix(), variants.suffix(), count_);
  work->stem = SiblingLookup::MakeStem(variants.stem());
  for (const SiblingLookup::Folder* folder : *work->folders) {
    folder->PrefetchSlot(work->stem);
  }
  const size_t own = static_cast<size_t>(variants.folder().number) - 1;
  if (own < work->folders->size() && variants.own_is_candidate()) {
    work->own = own;
    work->own_known = true;
    work->own_name = variants.file_name();
  }
}

void AssetReferenceUpdater::FetchNames(const ListWork& work) {
  if (work.folders == nullptr) return;
  for (const SiblingLookup::Folder* folder : *work.folders) {
    folder->PrefetchName(work.stem);
  }
}

void AssetReferenceUpdater::Complete(ListWork* work) {
  vmp::Utf8StringArray& array = work->array;
  const std::string& name = work->name;
  size_t n = array.count();
  if (kDebugOutput) {
    DebugPrint("<uri name=%s>%s</uri>\n", name.c_str(),
               std::string(array.get(0)).c_str());
  }
  bool exists = false;
  if (work->own_known) {
    exists =
        siblings_->FileExistsIn(*(*work->folders)[work->own], work->resolved,
                                work->own_name, work->stem);
  } else if (work->resolves) {
    exists = siblings_->FileExists(work->resolved);
  }
  if (observer_ != nullptr) {
    observer_->Entry(0, work->resolves ? work->resolved : std::string(),
                     exists);
    // Only entry 0 decides; the others are resolved to be told.
    for (size_t k = 1; k < n; ++k) Resolve(*work, k, &other_);
  }
  if (!exists) {
    DebugPrint("%s: %s resolves to no file\n", name.c_str(),
               std::string(array.get(0)).c_str());
    return;
  }
  // No numbered folder (or none asked for): nothing to complete.
  if (work->folders == nullptr) return;
  const ReferenceVariants& variants = work->variants;
  // The sibling found in each numbered folder 1..count (index i - 1), empty
  // where there is none; the reference's own folder is not looked at. The
  // names are views of the run's listings.
  SiblingLookup::FirstWithStemInEach(
      *work->folders, work->stem,
      static_cast<size_t>(variants.folder().number) - 1, &siblings_found_);
  bool appended = false;
  for (int i = 1; i <= count_; ++i) {
    std::string_view sibling = siblings_found_[static_cast<size_t>(i - 1)];
    if (sibling.empty()) continue;
    if (!variants.Relative(i, sibling, &relative_)) continue;
    // Only the entries the list held before count as already listed.
    bool listed = false;
    for (size_t k = 1; k < n && !listed; ++k) {
      listed = array.get(k) == relative_;
    }
    if (listed) continue;
    array.Append(relative_);
    appended = true;
    if (observer_ != nullptr) {
      (*work->folders)[static_cast<size_t>(i - 1)]->FilesWithStem(work->stem,
                                                                  &same_stem_);
      observer_->Added(i, relative_, variants.CandidateFolder(i).str(),
                       std::string(sibling), same_stem_);
    }
    if (kDebugOutput) {
      DebugPrint("ADDED: <uri name=%s>%s</uri>\n", name.c_str(),
                 MakeFullPath(variants.CandidateFolder(i),
                              std::string(sibling).c_str())
                     .Buffer());
    }
  }
  if (appended) Store(work);
}

void AssetReferenceUpdater::Finish() {
  for (; pending_ > 0; --pending_) {
    ListWork& work = work_[first_];
    first_ = (first_ + 1) % work_.size();
    Complete(&work);
    work.primitive.reset();
  }
}

void AssetReferenceUpdater::Update(vmp::IGroup* asset) {
  if (asset == nullptr) return;
  SharedPtr<vmp::IGroup> qsn = asset->group(qsn_name_);
  if (!qsn) return;
  SharedPtr<vmp::IGroup> refs = qsn->group(refs_name_);
  if (!refs) return;
  if (kDebugOutput) DebugPrint("\n%s\n", Utf8(asset->name()).c_str());
  if (observer_ != nullptr) observer_->Asset(Utf8(asset->name()));
  // Completions wait for later lists only where nobody watches the order.
  const bool pipelined = !remove_ && observer_ == nullptr && !kDebugOutput;

  SharedPtr<vmp::IIterator> properties = refs->properties();
  for (SharedPtr<vmp::IObject> item = properties->current(); item;
       properties->next(), item = properties->current()) {
    SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(item);
    if (!primitive) continue;
    if (pending_ == work_.size()) {
      // The oldest list's names were fetched when the one after it began.
      ListWork& oldest = work_[first_];
      first_ = (first_ + 1) % work_.size();
      --pending_;
      Complete(&oldest);
      oldest.primitive.reset();
    }
    ListWork& work = work_[(first_ + pending_) % work_.size()];
    // The name serves only the diagnostics.
    work.name = kDebugOutput || observer_ != nullptr
                    ? Utf8(primitive->descriptor().name())
                    : std::string();
    if (!work.array.Read(*primitive)) {
      Skip(work.name, primitive->type() != vmp::PrimitiveType::kStringArray
                          ? "not a string array"
                          : "not a readable string array");
      continue;
    }
    if (work.array.count() == 0) continue;
    work.primitive = std::move(primitive);
    if (!pipelined) {
      Decide(&work);
      continue;
    }
    Begin(&work);
    // The list before this one fetches its names now; its slots were
    // asked for when it began.
    if (pending_ >= kNameLead) {
      FetchNames(work_[(first_ + pending_ - kNameLead) % work_.size()]);
    }
    ++pending_;
  }
}

bool AssetReferenceUpdater::UpdateAll(AssetReadAhead* reader,
                                      const std::function<bool()>& stop) {
  // Pruning asks about the lists of the assets ahead (as far as the
  // reader has them at hand) before it decides on the current one's.
  uint64_t current = 0;
  uint64_t asked_through = 0;  // the assets whose lists are in ahead_
  for (ReadAsset* asset = reader->Next(); asset != nullptr;
       asset = reader->Next()) {
    if (stop && stop()) return false;
    ++current;
    if (remove_ && asked_through < current) {
      // Not asked ahead (the first of a batch): ahead_ is empty, and the
      // asset's own lists go first.
      AskAhead(*asset);
      asked_through = current;
    }
    if (remove_) {
      for (ReadAsset* next; ahead_count_ < kListsAhead &&
                            (next = reader->Peek(static_cast<size_t>(
                                 asked_through + 1 - current))) != nullptr;
           ++asked_through) {
        AskAhead(*next);
      }
    }
    Update(asset);
  }
  return true;
}

void AssetReferenceUpdater::AskAhead(const ReadAsset& asset) {
  for (size_t k = 0; k < asset.list_count; ++k) {
    const ReadList& list = asset.lists[k];
    if (list.skipped != nullptr || list.array.count() == 0) continue;
    if (ahead_count_ == ahead_.size()) {
      // An asset of many lists: the ring grows, in order.
      std::vector<PruneWork> grown(ahead_.size() * 2 + 1);
      for (size_t i = 0; i < ahead_count_; ++i) {
        grown[i] = std::move(ahead_[(ahead_first_ + i) % ahead_.size()]);
      }
      ahead_ = std::move(grown);
      ahead_first_ = 0;
    }
    Ask(list.array, &ahead_[(ahead_first_ + ahead_count_) % ahead_.size()]);
    ++ahead_count_;
  }
}

void AssetReferenceUpdater::Update(ReadAsset* asset) {
  if (kDebugOutput) DebugPrint("\n%s\n", asset->name.c_str());
  if (observer_ != nullptr) observer_->Asset(asset->name);
  // Nothing is pending: lists read ahead are decided one by one.
  ListWork& work = work_[first_];
  for (size_t k = 0; k < asset->list_count; ++k) {
    ReadList& list = asset->lists[k];
    if (list.skipped != nullptr) {
      Skip(list.property, list.skipped);
      continue;
    }
    if (list.array.count() == 0) continue;
    // The buffers go back to the reader with the asset.
    work.name.swap(list.property);
    std::swap(work.array, list.array);
    Decide(&work);
    work.name.swap(list.property);
    std::swap(work.array, list.array);
  }
}

void AssetReferenceUpdater::Skip(const std::string& name, const char* why) {
  DebugPrint("%s: left alone, %s\n", name.c_str(), why);
  if (observer_ != nullptr) observer_->Skipped(name, why);
}

void AssetReferenceUpdater::Decide(ListWork* work) {
  if (observer_ != nullptr) observer_->List(work->name, Entries(*work));
  changed_ = false;
  if (remove_) {
    Prune(work);
  } else {
    Begin(work);
    FetchNames(*work);
    Complete(work);
  }
  if (observer_ != nullptr) {
    // An unchanged list is left as List was told it.
    observer_->ListDone(changed_ ? Entries(*work) : entries_);
  }
  work->primitive.reset();
}

void CompleteAssetReferences(KQsnXRefManager* manager,
                             SharedPtr<vmp::IGroup> asset, int count,
                             bool remove, SiblingLookup* siblings,
                             UpdateObserver* observer) {
  AssetReferenceUpdater updater(manager, count, remove, siblings, observer);
  updater.Update(asset.get());
  updater.Finish();
}

}  // namespace tavik
