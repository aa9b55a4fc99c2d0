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

#include <string>
#include <string_view>
#include <vector>

#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/metadata.h"
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
  // Every pointer is borrowed, as by CompleteAssetReferences.
  AssetReferenceUpdater(qsnsdk_cm_infra::KQsnXRefManager* manager, int count,
                        bool remove, SiblingLookup* siblings,
                        UpdateObserver* observer);
  AssetReferenceUpdater(const AssetReferenceUpdater&) = delete;
  AssetReferenceUpdater& operator=(const AssetReferenceUpdater&) = delete;

  void Update(vmp::IGroup* asset);

 private:
  void Prune(vmp::IPrimitive* primitive);
  void Complete(vmp::IPrimitive* primitive, const std::string& name);
  // Resolves entry `index` into `resolved` and tells the observer; true
  // when its file exists.
  bool Resolve(size_t index, std::string* resolved);
  // Resolve(0) for completion: also finds the numbered folders of entry 0
  // (null when it has none, or its file does not exist) and checks the
  // file through them.
  bool ResolveFirst(const std::vector<const SiblingLookup::Folder*>** folders);
  std::vector<std::string> Entries() const;

  qsnsdk_cm_infra::KQsnXRefManager* manager_;
  int count_;
  bool remove_;
  SiblingLookup* siblings_;
  UpdateObserver* observer_;
  const vmp::WideString qsn_name_;
  const vmp::WideString refs_name_;
  vmp::Utf8StringArray array_;
  std::vector<bool> keep_;
  std::vector<std::string_view> siblings_found_;
  ReferenceVariants variants_;
  std::string resolved_;
  std::string other_;
  std::string relative_;
  std::string own_folder_;
  std::vector<std::string> resolved_all_;  // one per entry, when pruning
  std::vector<bool> resolves_;
  std::vector<SiblingLookup::FileQuestion> questions_;
};

}  // namespace tavik

#endif  // TAVIK_UPDATE_COMPLETE_ASSET_REFERENCES_H_
