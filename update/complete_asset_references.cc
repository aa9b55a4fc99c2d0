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

void AssetReferenceUpdater::Prune(ListWork* work) {
  vmp::Utf8StringArray& array = work->array;
  size_t n = array.count();
  keep_.assign(n, false);
  // Every entry is resolved and its folder's slot fetched before any is
  // checked, so that the checks wait on memory together.
  if (resolved_all_.size() < n) resolved_all_.resize(n);
  resolves_.assign(n, false);
  questions_.resize(n);
  paths_.clear();
  for (size_t k = 0; k < n; ++k) {
    resolves_[k] = ResolveEntry(array.get(k), &resolved_all_[k]);
    if (resolves_[k]) paths_.push_back(resolved_all_[k]);
  }
  // The first lists of a run name most of its folders: they are listed
  // together. Once lists stop naming new folders, any later one is listed
  // when first asked about.
  if (quiet_lists_ < kQuietLists) {
    quiet_lists_ = siblings_->ListFoldersOf(paths_) == 0 ? quiet_lists_ + 1 : 0;
  }
  for (size_t k = 0; k < n; ++k) {
    if (!resolves_[k]) continue;
    questions_[k] = siblings_->Ask(resolved_all_[k]);
    SiblingLookup::Prefetch(questions_[k], false);
  }
  for (size_t k = 0; k < n; ++k) {
    if (resolves_[k]) SiblingLookup::Prefetch(questions_[k], true);
  }
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    keep_[k] = resolves_[k] && siblings_->Answer(questions_[k]);
    if (observer_ != nullptr) {
      observer_->Entry(k, resolves_[k] ? resolved_all_[k] : std::string(),
                       keep_[k]);
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
      const char* why = primitive->type() != vmp::PrimitiveType::kStringArray
                            ? "not a string array"
                            : "not a readable string array";
      DebugPrint("%s: left alone, %s\n", work.name.c_str(), why);
      if (observer_ != nullptr) observer_->Skipped(work.name, why);
      continue;
    }
    if (work.array.count() == 0) continue;
    if (observer_ != nullptr) observer_->List(work.name, Entries(work));
    changed_ = false;
    work.primitive = std::move(primitive);
    if (remove_) {
      Prune(&work);
    } else {
      Begin(&work);
      if (pipelined) {
        // The list before this one fetches its names now; its slots were
        // asked for when it began.
        if (pending_ >= kNameLead) {
          FetchNames(work_[(first_ + pending_ - kNameLead) % work_.size()]);
        }
        ++pending_;
        continue;
      }
      FetchNames(work);
      Complete(&work);
    }
    if (observer_ != nullptr) {
      // An unchanged list is left as List was told it.
      observer_->ListDone(changed_ ? Entries(work) : entries_);
    }
    work.primitive.reset();
  }
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
