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

#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/metadata.h"
#include "update/sibling_lookup.h"
#include "update/update_observer.h"

namespace tavik {

// A short-lived view of one primitive as a string array. Appending marks it
// modified; when the view ends, a modified array is stored back as the
// primitive's value, and an unmodified view leaves the primitive untouched.
class StringArrayProperty {
 public:
  // `primitive` is borrowed and must outlive the view.
  explicit StringArrayProperty(vmp::IPrimitive* primitive);
  ~StringArrayProperty();
  StringArrayProperty(const StringArrayProperty&) = delete;
  StringArrayProperty& operator=(const StringArrayProperty&) = delete;

  // False when the value is not a string array the view can read; the view
  // then has no entries and never stores.
  bool valid() const { return static_cast<bool>(array_); }
  size_t count() const;
  vmp::WideString get(size_t index) const;
  void append(const vmp::WideString& text);

 private:
  bool modified_ = false;
  vmp::IPrimitive* primitive_;
  vmp::SharedPtr<vmp::IStringArray> array_;
};

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

}  // namespace tavik

#endif  // TAVIK_UPDATE_COMPLETE_ASSET_REFERENCES_H_
