#include "update/reference_variants.h"

#include <climits>
#include <string>
#include <vector>

#include "platform/kpath.h"

namespace tavik {

using qsnsdk_cm_infra::ExtractFileName;

namespace {

std::vector<std::string> SplitAll(const std::string& text, bool drop_empty) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    if (c == '\\' || c == '/') {
      if (!drop_empty || !piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!drop_empty || !piece.empty()) pieces.push_back(piece);
  return pieces;
}

}  // namespace

int LeadingNumber(const KString& text) {
  const char* p = text.Buffer();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= INT_MAX) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool FindNumberedFolder(const KString& resolved, NumberedFolder* folder) {
  int tokens = resolved.GetTokenCount('\\');
  if (tokens < 2) return false;
  int parent = LeadingNumber(resolved.GetToken(tokens - 2, '\\'));
  if (parent >= 1) {
    *folder = {parent, 1};
    return true;
  }
  int grandparent = LeadingNumber(resolved.GetToken(tokens - 3, '\\'));
  if (grandparent <= 0) return false;
  *folder = {grandparent, 2};
  return true;
}

bool ReferenceVariants::Init(const KString& entry, const KString& resolved) {
  if (!FindNumberedFolder(resolved, &folder_)) return false;
  std::vector<std::string> tokens = SplitAll(resolved.str(), false);
  size_t at = tokens.size() - 1 - folder_.depth;
  prefix_.clear();
  for (size_t k = 0; k < at; ++k) prefix_ += tokens[k] + "\\";
  middle_ = folder_.depth == 2 ? "\\" + tokens[at + 1] : "";
  file_ = "\\" + tokens.back();
  stem_ = ExtractFileName(KString(tokens.back()), false).str();

  std::vector<std::string> pieces = SplitAll(entry.str(), true);
  has_relative_ = pieces.size() >= static_cast<size_t>(folder_.depth) + 1 &&
                  pieces[pieces.size() - 1 - folder_.depth] == tokens[at];
  entry_prefix_.clear();
  entry_middle_.clear();
  if (has_relative_) {
    size_t entry_at = pieces.size() - 1 - folder_.depth;
    for (size_t k = 0; k < entry_at; ++k) entry_prefix_ += pieces[k] + "/";
    if (folder_.depth == 2) entry_middle_ = "/" + pieces[entry_at + 1];
  }
  return true;
}

KString ReferenceVariants::Candidate(int i) const {
  return KString(prefix_ + std::to_string(i) + middle_ + file_);
}

KString ReferenceVariants::CandidateFolder(int i) const {
  return KString(prefix_ + std::to_string(i) + middle_);
}

bool ReferenceVariants::Relative(int i, const std::string& siblingName,
                                 KString* out) const {
  if (!has_relative_) return false;
  *out = KString(entry_prefix_ + std::to_string(i) + entry_middle_ + "/" +
                 siblingName);
  return true;
}

KString CandidatePath(const KString& resolved, const NumberedFolder& folder,
                      int i) {
  ReferenceVariants variants;
  if (!variants.Init(KString(), resolved) ||
      variants.folder().depth != folder.depth) {
    return resolved;
  }
  return variants.Candidate(i);
}

bool RelativeForm(const KString& entry, const KString& resolved,
                  const NumberedFolder& folder, int i,
                  const KString& siblingName, KString* relative) {
  ReferenceVariants variants;
  if (!variants.Init(entry, resolved) ||
      variants.folder().depth != folder.depth) {
    return false;
  }
  return variants.Relative(i, siblingName.str(), relative);
}

}  // namespace tavik
