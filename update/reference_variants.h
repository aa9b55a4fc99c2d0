// The path arithmetic of reference completion: where the numbered folder of
// a resolved reference is, the candidate path for another folder number, and
// the relative form under which a sibling found there is stored.
//
// A reference's resolved path P ("\"-separated) lies in a numbered folder in
// one of two forms:
//  - parent form: the folder holding the file has a name whose leading
//    decimal number (as atoi reads it) is 1 or more: "...\3\a.png";
//  - grandparent form: otherwise the folder above it does: "...\2\maps\b.jpg".
// The number's own path segment is rewritten in place, whatever its digit
// count and whatever lies between it and the file, so no other segment that
// happens to hold the same text is ever touched.
#ifndef TAVIK_UPDATE_REFERENCE_VARIANTS_H_
#define TAVIK_UPDATE_REFERENCE_VARIANTS_H_

#include <string>
#include <string_view>

#include "platform/sdk/kstring.h"

namespace tavik {

using qsnsdk_cm_infra::KString;

struct NumberedFolder {
  int number = 0;  // the folder's number, 1 or more
  int depth =
      0;  // segments from the file to the folder: 1 parent, 2 grandparent
};

// The candidate paths and relative forms of one reference, worked out once so
// that each folder number costs two concatenations.
class ReferenceVariants {
 public:
  // False when P has no numbered folder; the object is unusable then.
  bool Init(std::string_view entry, std::string_view resolved);

  const NumberedFolder& folder() const { return folder_; }
  // P with the number's segment replaced by `i`, and the folder that holds it.
  KString Candidate(int i) const;
  KString CandidateFolder(int i) const;
  // CandidateFolder(i) is prefix() + i + suffix().
  const std::string& prefix() const { return prefix_; }
  const std::string& suffix() const { return middle_; }
  // The stem of P's file name, which every candidate shares.
  const std::string& stem() const { return stem_; }
  // P's file name (its last segment).
  std::string_view file_name() const {
    return std::string_view(file_).substr(1);
  }
  // True when the folder holding P is CandidateFolder(folder().number)
  // spelt exactly ("3", not "03" or "3a"; no "/"): the listing of that
  // numbered folder then answers for P itself.
  bool own_is_candidate() const { return own_is_candidate_; }
  // The relative form of a sibling found for folder number `i`: the entry E
  // with its number segment replaced by `i` and its file name by the
  // sibling's, joined with "/" (E's empty segments dropped; segments before
  // the number, "../lib.qsm/" for one, kept as they are). False unless E's
  // last segments, from the number's to the file's, are P's own, as can
  // fail for a reference whose stored form does not mirror its resolved
  // path ("3/./a.png", "3/x/../a.png"); such a sibling is not stored.
  bool Relative(int i, const std::string& siblingName, KString* out) const;
  // The same, written into `out` (its buffer reused).
  bool Relative(int i, std::string_view siblingName, std::string* out) const;

 private:
  NumberedFolder folder_;
  std::string prefix_;  // P up to the number's segment, with its "\"
  std::string middle_;  // "\maps" in the grandparent form, else ""
  std::string file_;    // "\a.png"
  std::string stem_;
  bool own_is_candidate_ = false;
  bool has_relative_ = false;
  std::string entry_prefix_;  // E up to the number's segment, with its "/"
  std::string entry_middle_;  // "/maps" in the grandparent form, else ""
};

// atoi's reading of `text` (leading blanks, an optional sign, digits), with
// values beyond the int range clamped instead of undefined.
int LeadingNumber(std::string_view text);

// False when P has fewer than two segments or neither form applies. P is
// meant as the SDK resolves it, "." and ".." applied; a grandparent form
// whose middle segment is ".." is no form at all, as its file is not in the
// numbered folder.
bool FindNumberedFolder(std::string_view resolved, NumberedFolder* folder);

}  // namespace tavik

#endif  // TAVIK_UPDATE_REFERENCE_VARIANTS_H_
