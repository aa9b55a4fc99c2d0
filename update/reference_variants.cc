#include "update/reference_variants.h"

#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sdk/kpath.h"

namespace tavik {

using qsnsdk_cm_infra::ExtractFileName;

namespace {

// The pieces between separators ("\\" or "/"), as views into `text`.
std::vector<std::string_view> SplitAll(std::string_view text, bool drop_empty) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\\' || text[i] == '/') {
      if (!drop_empty || i > start) {
        pieces.push_back(text.substr(start, i - start));
      }
      start = i + 1;
    }
  }
  return pieces;
}

void AppendNumber(std::string* out, int i) {
  char digits[12];
  char* end = digits + sizeof digits;
  char* p = end;
  unsigned value =
      i < 0 ? 0u - static_cast<unsigned>(i) : static_cast<unsigned>(i);
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (i < 0) *--p = '-';
  out->append(p, static_cast<size_t>(end - p));
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
  // Only the last three "\\"-separated tokens matter; they are found from
  // the end without splitting the whole path.
  std::string_view path = resolved.str();
  size_t last = path.rfind('\\');
  if (last == std::string_view::npos) return false;  // fewer than two tokens
  size_t before =
      last == 0 ? std::string_view::npos : path.rfind('\\', last - 1);
  size_t parent_start = before == std::string_view::npos ? 0 : before + 1;
  int parent = LeadingNumber(
      std::string(path.substr(parent_start, last - parent_start)).c_str());
  if (parent >= 1) {
    *folder = {parent, 1};
    return true;
  }
  if (before == std::string_view::npos) return false;  // no grandparent token
  size_t earlier =
      before == 0 ? std::string_view::npos : path.rfind('\\', before - 1);
  size_t grand_start = earlier == std::string_view::npos ? 0 : earlier + 1;
  int grandparent = LeadingNumber(
      std::string(path.substr(grand_start, before - grand_start)).c_str());
  if (grandparent <= 0) return false;
  *folder = {grandparent, 2};
  return true;
}

bool ReferenceVariants::Init(const KString& entry, const KString& resolved) {
  if (!FindNumberedFolder(resolved, &folder_)) return false;
  std::vector<std::string_view> tokens = SplitAll(resolved.str(), false);
  size_t at = tokens.size() - 1 - folder_.depth;
  prefix_.clear();
  for (size_t k = 0; k < at; ++k) {
    prefix_.append(tokens[k]);
    prefix_.push_back('\\');
  }
  middle_.clear();
  if (folder_.depth == 2) {
    middle_.push_back('\\');
    middle_.append(tokens[at + 1]);
  }
  file_.assign(1, '\\');
  file_.append(tokens.back());
  stem_ = ExtractFileName(KString(std::string(tokens.back())), false).str();

  std::vector<std::string_view> pieces = SplitAll(entry.str(), true);
  // The entry's tail (number, middle, file) must be P's own, piece for
  // piece: then no "." or ".." acts on it, and replacing the number piece
  // names the candidate whatever the entry's head ("../lib.qsm/" included).
  has_relative_ = pieces.size() >= static_cast<size_t>(folder_.depth) + 1;
  for (size_t j = 0; has_relative_ && j <= static_cast<size_t>(folder_.depth);
       ++j) {
    has_relative_ =
        pieces[pieces.size() - 1 - j] == tokens[tokens.size() - 1 - j];
  }
  entry_prefix_.clear();
  entry_middle_.clear();
  if (has_relative_) {
    // The entry's own root ("/", "\\", a drive's "C:" is a segment) stays:
    // dropping empty segments must not turn "/x/3/a.png" into "x/1/a.png".
    for (char c : entry.str()) {
      if (c != '/' && c != '\\') break;
      entry_prefix_.push_back(c);
    }
    size_t entry_at = pieces.size() - 1 - folder_.depth;
    for (size_t k = 0; k < entry_at; ++k) {
      entry_prefix_.append(pieces[k]);
      entry_prefix_.push_back('/');
    }
    if (folder_.depth == 2) {
      entry_middle_.push_back('/');
      entry_middle_.append(pieces[entry_at + 1]);
    }
  }
  return true;
}

KString ReferenceVariants::Candidate(int i) const {
  std::string out = CandidateFolder(i).str();
  out += file_;
  return KString(std::move(out));
}

KString ReferenceVariants::CandidateFolder(int i) const {
  std::string out;
  out.reserve(prefix_.size() + middle_.size() + file_.size() + 4);
  out += prefix_;
  AppendNumber(&out, i);
  out += middle_;
  return KString(std::move(out));
}

bool ReferenceVariants::Relative(int i, const std::string& siblingName,
                                 KString* out) const {
  if (!has_relative_) return false;
  std::string text;
  text.reserve(entry_prefix_.size() + entry_middle_.size() +
               siblingName.size() + 5);
  text += entry_prefix_;
  AppendNumber(&text, i);
  text += entry_middle_;
  text.push_back('/');
  text += siblingName;
  *out = KString(std::move(text));
  return true;
}

}  // namespace tavik
