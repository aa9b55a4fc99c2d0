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
                                             UpdateObserver* observer)
    : manager_(manager),
      count_(count),
      remove_(remove),
      siblings_(siblings),
      observer_(observer),
      qsn_name_(u"QSN"),
      refs_name_(u"refs") {}

std::vector<std::string> AssetReferenceUpdater::Entries() const {
  std::vector<std::string> entries;
  for (size_t k = 0; k < array_.count(); ++k) {
    entries.emplace_back(array_.get(k));
  }
  return entries;
}

// Resolves an entry as every decision of the run does, and tells the
// observer (if any) the answer.
bool AssetReferenceUpdater::Resolve(size_t index, std::string* resolved) {
  std::string_view text = array_.get(index);
  // No file name holds U+0000; the text before it must not be judged in the
  // whole entry's place.
  bool resolves = text.find('\0') == std::string_view::npos &&
                  manager_->ResolveInto(text, resolved);
  bool exists = resolves && siblings_->FileExists(*resolved);
  if (observer_ != nullptr) {
    observer_->Entry(index, resolves ? *resolved : std::string(), exists);
  }
  return exists;
}

void AssetReferenceUpdater::Prune(vmp::IPrimitive* primitive) {
  size_t n = array_.count();
  keep_.assign(n, false);
  // Every entry is resolved and its folder's slot fetched before any is
  // checked, so that the checks wait on memory together.
  if (resolved_all_.size() < n) resolved_all_.resize(n);
  resolves_.assign(n, false);
  questions_.resize(n);
  for (size_t k = 0; k < n; ++k) {
    std::string_view text = array_.get(k);
    resolves_[k] = text.find('\0') == std::string_view::npos &&
                   manager_->ResolveInto(text, &resolved_all_[k]);
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
      if (!keep_[k]) observer_->Dropped(k, std::string(array_.get(k)));
    }
  }
  if (kept == n) return;
  // Survivors keep their stored units, so an entry that is not exact text
  // is never rewritten into another one.
  array_.Keep(keep_);
  array_.Store(primitive);
}

bool AssetReferenceUpdater::ResolveFirst(
    const std::vector<const SiblingLookup::Folder*>** folders) {
  *folders = nullptr;
  std::string_view text = array_.get(0);
  bool resolves = text.find('\0') == std::string_view::npos &&
                  manager_->ResolveInto(text, &resolved_);
  bool exists = false;
  if (resolves && count_ >= 1 && variants_.Init(text, resolved_)) {
    // The numbered folders are known before the reference is checked: its
    // own folder is usually one of them, and the questions to all of them
    // then wait on memory together.
    *folders = &siblings_->NumberedFolders(variants_.prefix(),
                                           variants_.suffix(), count_);
    const SiblingLookup::Stem stem = SiblingLookup::MakeStem(variants_.stem());
    for (const SiblingLookup::Folder* folder : **folders) {
      folder->PrefetchSlot(stem);
    }
    const size_t own = static_cast<size_t>(variants_.folder().number) - 1;
    std::string_view folder, name;
    size_t cut = resolved_.rfind('\\');
    if (cut != std::string::npos) {
      folder = std::string_view(resolved_).substr(0, cut);
      name = std::string_view(resolved_).substr(cut + 1);
    }
    own_folder_ = variants_.prefix();
    own_folder_ += std::to_string(variants_.folder().number);
    own_folder_ += variants_.suffix();
    if (own < (*folders)->size() && cut != std::string::npos && cut > 0 &&
        folder == own_folder_ && name.find('/') == std::string_view::npos) {
      exists =
          siblings_->FileExistsIn(*(**folders)[own], resolved_, name, stem);
    } else {
      exists = siblings_->FileExists(resolved_);
    }
  } else if (resolves) {
    exists = siblings_->FileExists(resolved_);
  }
  if (observer_ != nullptr) {
    observer_->Entry(0, resolves ? resolved_ : std::string(), exists);
  }
  if (!exists) *folders = nullptr;
  return exists;
}

void AssetReferenceUpdater::Complete(vmp::IPrimitive* primitive,
                                     const std::string& name) {
  size_t n = array_.count();
  if (kDebugOutput) {
    DebugPrint("<uri name=%s>%s</uri>\n", name.c_str(),
               std::string(array_.get(0)).c_str());
  }
  const std::vector<const SiblingLookup::Folder*>* folders = nullptr;
  bool usable = ResolveFirst(&folders);
  if (observer_ != nullptr) {
    // Only entry 0 decides; the others are resolved to be told.
    for (size_t k = 1; k < n; ++k) Resolve(k, &other_);
  }
  if (!usable) {
    DebugPrint("%s: %s resolves to no file\n", name.c_str(),
               std::string(array_.get(0)).c_str());
    return;
  }
  // No numbered folder (or none asked for): nothing to complete.
  if (folders == nullptr) return;
  const ReferenceVariants& variants = variants_;
  // The sibling found in each numbered folder 1..count (index i - 1), empty
  // where there is none; the reference's own folder is not looked at. The
  // names are views of the run's listings.
  SiblingLookup::FirstWithStemInEach(
      *folders, SiblingLookup::MakeStem(variants.stem()),
      static_cast<size_t>(variants.folder().number) - 1, &siblings_found_);
  bool appended = false;
  for (int i = 1; i <= count_; ++i) {
    std::string_view sibling = siblings_found_[static_cast<size_t>(i - 1)];
    if (sibling.empty()) continue;
    if (!variants.Relative(i, sibling, &relative_)) continue;
    // Only the entries the list held before count as already listed.
    bool listed = false;
    for (size_t k = 1; k < n && !listed; ++k) {
      listed = array_.get(k) == relative_;
    }
    if (listed) continue;
    array_.Append(relative_);
    appended = true;
    if (observer_ != nullptr) {
      observer_->Added(i, relative_, variants.CandidateFolder(i).str(),
                       std::string(sibling));
    }
    if (kDebugOutput) {
      DebugPrint("ADDED: <uri name=%s>%s</uri>\n", name.c_str(),
                 MakeFullPath(variants.CandidateFolder(i),
                              std::string(sibling).c_str())
                     .Buffer());
    }
  }
  if (appended) array_.Store(primitive);
}

void AssetReferenceUpdater::Update(vmp::IGroup* asset) {
  if (asset == nullptr) return;
  SharedPtr<vmp::IGroup> qsn = asset->group(qsn_name_);
  if (!qsn) return;
  SharedPtr<vmp::IGroup> refs = qsn->group(refs_name_);
  if (!refs) return;
  if (kDebugOutput) DebugPrint("\n%s\n", Utf8(asset->name()).c_str());
  if (observer_ != nullptr) observer_->Asset(Utf8(asset->name()));

  SharedPtr<vmp::IIterator> properties = refs->properties();
  for (SharedPtr<vmp::IObject> item = properties->current(); item;
       properties->next(), item = properties->current()) {
    SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(item);
    if (!primitive) continue;
    // The name serves only the diagnostics.
    std::string name = kDebugOutput || observer_ != nullptr
                           ? Utf8(primitive->descriptor().name())
                           : std::string();
    if (!array_.Read(*primitive)) {
      const char* why = primitive->type() != vmp::PrimitiveType::kStringArray
                            ? "not a string array"
                            : "not a readable string array";
      DebugPrint("%s: left alone, %s\n", name.c_str(), why);
      if (observer_ != nullptr) observer_->Skipped(name, why);
      continue;
    }
    if (array_.count() == 0) continue;
    if (observer_ != nullptr) observer_->List(name, Entries());
    if (remove_) {
      Prune(primitive.get());
    } else {
      Complete(primitive.get(), name);
    }
    if (observer_ != nullptr) observer_->ListDone(Entries());
  }
}

void CompleteAssetReferences(KQsnXRefManager* manager,
                             SharedPtr<vmp::IGroup> asset, int count,
                             bool remove, SiblingLookup* siblings,
                             UpdateObserver* observer) {
  AssetReferenceUpdater updater(manager, count, remove, siblings, observer);
  updater.Update(asset.get());
}

}  // namespace tavik
