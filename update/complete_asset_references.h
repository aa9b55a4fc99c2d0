// Reference completion for one asset.
//
// An asset group may hold a child group "QSN" holding a child group "refs";
// each property of "refs" is a string array of references. Entry 0 is the
// reference in use, the further entries its alternatives, stored as
// "/"-separated path tails relative to the library's media folder.
//
// Completion mode: entry 0 is resolved; when its file lies in a numbered
// folder (see reference_variants.h), the same-stem files in the sibling
// folders numbered 1 to `count` are looked up and each one found whose
// relative form is not yet among entries 1 and on is appended.
// Remove mode: every entry that no longer resolves to an existing file is
// dropped; the survivors keep their order (the first becomes entry 0).
//
// A property that is not a string-array primitive, or whose value is not a
// well-formed string array, is left exactly as it is: the tool never writes
// what it cannot read back.
#ifndef TAVIK_UPDATE_COMPLETE_ASSET_REFERENCES_H_
#define TAVIK_UPDATE_COMPLETE_ASSET_REFERENCES_H_

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/metadata.h"
#include "update/asset_read_ahead.h"
#include "update/reference_variants.h"
#include "update/sibling_lookup.h"
#include "update/update_observer.h"

namespace tavik {

// Completes (or with `remove` prunes) the reference lists of one asset.
// `manager` resolves references (project "QSM" registered); `asset` is held
// for the call and released on return. `siblings` (borrowed) answers the
// existence tests and the sibling lookups for the whole run; its answers
// are those of FindSiblingByStem, the literal search. `observer` (borrowed,
// may be null) is told every decision (see update_observer.h); with one,
// every entry of a list is resolved, in completion mode too, to tell it.
void CompleteAssetReferences(qsnsdk_cm_infra::KQsnXRefManager* manager,
                             vmp::SharedPtr<vmp::IGroup> asset, int count,
                             bool remove, SiblingLookup* siblings,
                             UpdateObserver* observer = nullptr);

// CompleteAssetReferences for the assets of a whole run, one after another,
// with the same arguments: the buffers of the lists are kept from one asset
// to the next, so that once they have grown a list costs no allocation for
// its entries.
class AssetReferenceUpdater {
 public:
  // Every pointer is borrowed, as by CompleteAssetReferences. With
  // `dry_run` the lists are changed in memory only, never stored back into
  // their properties: the observer is told the same, and a run that never
  // saves has no use for the stored values.
  AssetReferenceUpdater(qsnsdk_cm_infra::KQsnXRefManager* manager, int count,
                        bool remove, SiblingLookup* siblings,
                        UpdateObserver* observer, bool dry_run = false);
  AssetReferenceUpdater(const AssetReferenceUpdater&) = delete;
  AssetReferenceUpdater& operator=(const AssetReferenceUpdater&) = delete;
  // Finishes what is still pending (see Update).
  ~AssetReferenceUpdater() { Finish(); }

  // Completes or prunes the lists of `asset`. Without an observer a
  // completion may be left pending until later calls: the lookups of a
  // list wait on memory while the next lists are read. Finish (or the
  // destructor) completes every pending list; call it before the library
  // is saved.
  void Update(vmp::IGroup* asset);
  // Update for every asset `reader` (borrowed) gives, for a dry run: the
  // lists are read on the reader's thread, and nothing is stored back.
  // Pruning asks about the lists a few ahead of those it decides on, so
  // that the lookups wait on memory together; each list is decided and
  // told before the next.
  // `stop` (may be empty) is asked before each asset; false when it ended
  // the walk.
  bool UpdateAll(AssetReadAhead* reader, const std::function<bool()>& stop);
  void Finish();

 private:
  // One list on its way: read, resolved, its folders' slots fetched, then
  // completed. The list's handle is held until it is completed.
  struct ListWork {
    vmp::SharedPtr<vmp::IPrimitive> primitive;
    std::string name;  // for the diagnostics only
    vmp::Utf8StringArray array;
    std::string resolved;  // entry 0's
    bool resolves = false;
    ReferenceVariants variants;
    // The numbered folders of entry 0; null when it has none.
    const std::vector<const SiblingLookup::Folder*>* folders = nullptr;
    SiblingLookup::Stem stem{};
    // Entry 0's own folder among them, when it is one of them, and its
    // file's name (a view into `variants`).
    size_t own = 0;
    bool own_known = false;
    std::string_view own_name;
  };

  // The questions of a list being pruned: each entry resolved and, where
  // it names a folder, its question to that folder's listing (views of
  // `resolved`).
  struct PruneWork {
    std::vector<std::string> resolved;
    std::vector<char> resolves;
    std::vector<SiblingLookup::FileQuestion> questions;
  };
  // Decides on an asset read ahead, its lists at once; their buffers stay
  // the asset's.
  void Update(ReadAsset* asset);
  // Asks about every list of `asset` into ahead_, in order.
  void AskAhead(const ReadAsset& asset);
  // Resolves the entries of `array` and asks about them, fetching the
  // listings' slots; FetchNames then fetches the names those slots hold.
  void Ask(const vmp::Utf8StringArray& array, PruneWork* work);
  static void FetchNames(const PruneWork& work);
  // Tells the observer of a property left alone.
  void Skip(const std::string& name, const char* why);
  // Prunes or completes `work` at once and tells the observer.
  void Decide(ListWork* work);
  void Prune(ListWork* work);
  // The stages of a completion, in order.
  void Begin(ListWork* work);
  static void FetchNames(const ListWork& work);

  void Complete(ListWork* work);
  // Resolves one entry's text into `resolved`; false when it names no
  // path.
  bool ResolveEntry(std::string_view text, std::string* resolved) const;
  // Resolves entry `index` of `work` into `resolved` and tells the
  // observer; true when its file exists.
  bool Resolve(const ListWork& work, size_t index, std::string* resolved);
  // The entries of `work` into entries_, whose strings keep their room
  // from one list to the next.
  const std::vector<std::string>& Entries(const ListWork& work);
  // Writes the list back into its property, unless this is a dry run.
  void Store(ListWork* work);

  qsnsdk_cm_infra::KQsnXRefManager* manager_;
  int count_;
  bool remove_;
  SiblingLookup* siblings_;
  UpdateObserver* observer_;
  bool store_;
  // Whether the list last pruned or completed was changed (then ListDone's
  // entries are not List's).
  bool changed_ = false;
  std::vector<std::string> entries_;  // told to the observer
  const vmp::WideString qsn_name_;
  const vmp::WideString refs_name_;
  // Lists pending completion: work_[(first_ + k) % size] for k < pending_.
  // A list's slots are fetched when it begins, its names when the list
  // kNameLead places after it begins, and it is completed when the ring is
  // full: far enough apart for the fetches to arrive first.
  static constexpr size_t kNameLead = 2;
  std::array<ListWork, 5> work_;
  size_t first_ = 0;
  size_t pending_ = 0;
  std::vector<bool> keep_;
  std::vector<std::string_view> siblings_found_;
  std::vector<std::string_view> same_stem_;  // told with an addition
  std::string other_;
  std::string relative_;
  PruneWork prune_;  // a list asked about when it is decided
  // Lists asked about ahead, in order: ahead_[(ahead_first_ + k) % size]
  // for k < ahead_count_; their names are fetched kNamesAhead lists before
  // they are decided.
  static constexpr size_t kListsAhead = 8;
  static constexpr size_t kNamesAhead = 4;
  std::vector<PruneWork> ahead_ = std::vector<PruneWork>(kListsAhead + 1);
  size_t ahead_first_ = 0;
  size_t ahead_count_ = 0;
  std::vector<std::string_view> paths_;
  // Lists in a row whose folders were all listed already (see Prune).
  static constexpr int kQuietLists = 64;
  int quiet_lists_ = 0;
};

}  // namespace tavik

#endif  // TAVIK_UPDATE_COMPLETE_ASSET_REFERENCES_H_
