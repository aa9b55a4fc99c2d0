#include "update/reference_variants.h"

#include <climits>
#include <string>
#include <vector>

namespace tavik {

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

KString CandidatePath(const KString& resolved, const NumberedFolder& folder,
                      int i) {
  std::vector<std::string> tokens = SplitAll(resolved.str(), false);
  tokens[tokens.size() - 1 - folder.depth] = std::to_string(i);
  std::string out;
  for (size_t k = 0; k < tokens.size(); ++k) {
    if (k > 0) out.push_back('\\');
    out += tokens[k];
  }
  return KString(out);
}

bool RelativeForm(const KString& entry, const KString& resolved,
                  const NumberedFolder& folder, int i,
                  const KString& siblingName, KString* relative) {
  std::vector<std::string> pieces = SplitAll(entry.str(), true);
  std::vector<std::string> tokens = SplitAll(resolved.str(), false);
  if (pieces.size() < static_cast<size_t>(folder.depth) + 1) return false;
  size_t at = pieces.size() - 1 - folder.depth;
  if (pieces[at] != tokens[tokens.size() - 1 - folder.depth]) return false;
  pieces[at] = std::to_string(i);
  pieces.back() = siblingName.str();
  std::string out;
  for (size_t k = 0; k < pieces.size(); ++k) {
    if (k > 0) out.push_back('/');
    out += pieces[k];
  }
  *relative = KString(out);
  return true;
}

}  // namespace tavik
