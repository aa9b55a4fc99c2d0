#include "update/reference_variants.h"

#include <climits>
#include <string>
#include <string_view>

#include "platform/sdk/kpath.h"

namespace tavik {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The last `count` pieces between separators of `text` (either kind), last
// first, skipping empty ones when `drop_empty`; `*head_end` is where the
// earliest of them starts. False when there are fewer.
bool LastPieces(std::string_view text, bool drop_empty, size_t count,
                std::string_view* pieces, size_t* head_end) {
  size_t found = 0;
  size_t end = text.size();
  for (size_t i = text.size(); found < count; --i) {
    if (i == 0 || IsSeparator(text[i - 1])) {
      if (!drop_empty || end > i) {
        pieces[found++] = text.substr(i, end - i);
        *head_end = i;
      }
      if (i == 0) break;
      end = i - 1;
    }
  }
  return found == count;
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

int LeadingNumber(std::string_view text) {
  size_t p = 0;
  while (p < text.size() &&
         (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r'))) {
    ++p;
  }
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
    negative = text[p++] == '-';
  }
  long long value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    if (value <= INT_MAX) value = value * 10 + (text[p] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool FindNumberedFolder(std::string_view path, NumberedFolder* folder) {
  // Only the last three "\\"-separated tokens matter; they are found from
  // the end without splitting the whole path.
  size_t last = path.rfind('\\');
  if (last == std::string_view::npos) return false;  // fewer than two tokens
  size_t before =
      last == 0 ? std::string_view::npos : path.rfind('\\', last - 1);
  size_t parent_start = before == std::string_view::npos ? 0 : before + 1;
  int parent = LeadingNumber(path.substr(parent_start, last - parent_start));
  if (parent >= 1) {
    *folder = {parent, 1};
    return true;
  }
  if (before == std::string_view::npos) return false;  // no grandparent token
  // The file of "...\\1\\..\\a.png" is not in folder 1.
  if (path.substr(parent_start, last - parent_start) == "..") return false;
  size_t earlier =
      before == 0 ? std::string_view::npos : path.rfind('\\', before - 1);
  size_t grand_start = earlier == std::string_view::npos ? 0 : earlier + 1;
  int grandparent =
      LeadingNumber(path.substr(grand_start, before - grand_start));
  if (grandparent <= 0) return false;
  *folder = {grandparent, 2};
  return true;
}

bool ReferenceVariants::Init(std::string_view entry,
                             std::string_view resolved) {
  if (!FindNumberedFolder(resolved, &folder_)) return false;
  const size_t depth = static_cast<size_t>(folder_.depth);
  // tokens[0] is P's file name, tokens[depth] the number's segment.
  std::string_view tokens[3];
  size_t at = 0;
  if (!LastPieces(resolved, false, depth + 1, tokens, &at)) return false;
  prefix_.assign(resolved.substr(0, at));
  if (prefix_.find('/') != std::string::npos) {
    for (char& c : prefix_) {
      if (c == '/') c = '\\';
    }
  }
  middle_.clear();
  if (depth == 2) {
    middle_.push_back('\\');
    middle_.append(tokens[1]);
  }
  file_.assign(1, '\\');
  file_.append(tokens[0]);
  stem_.assign(qsnsdk_cm_infra::NameStem(tokens[0]));
  // P's own folder is CandidateFolder(number) letter for letter when its
  // number is written as AppendNumber writes it and P uses "\\" only.
  std::string number;
  AppendNumber(&number, folder_.number);
  own_is_candidate_ =
      tokens[depth] == number && resolved.find('/') == std::string_view::npos;

  // The entry's tail (number, middle, file) must be P's own, piece for
  // piece: then no "." or ".." acts on it, and replacing the number piece
  // names the candidate whatever the entry's head ("../lib.qsm/" included).
  std::string_view pieces[3];
  size_t head_end = 0;
  has_relative_ = LastPieces(entry, true, depth + 1, pieces, &head_end);
  for (size_t j = 0; has_relative_ && j <= depth; ++j) {
    has_relative_ = pieces[j] == tokens[j];
  }
  entry_prefix_.clear();
  entry_middle_.clear();
  if (has_relative_) {
    // The entry's own root ("/", "\\", a drive's "C:" is a segment) stays:
    // dropping empty segments must not turn "/x/3/a.png" into "x/1/a.png".
    size_t k = 0;
    while (k < head_end && IsSeparator(entry[k])) {
      entry_prefix_.push_back(entry[k++]);
    }
    size_t start = k;
    for (; k < head_end; ++k) {
      if (!IsSeparator(entry[k])) continue;
      if (k > start) {
        entry_prefix_.append(entry.substr(start, k - start));
        entry_prefix_.push_back('/');
      }
      start = k + 1;
    }
    if (depth == 2) {
      entry_middle_.push_back('/');
      entry_middle_.append(pieces[1]);
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
  std::string text;
  if (!Relative(i, std::string_view(siblingName), &text)) return false;
  *out = KString(std::move(text));
  return true;
}

bool ReferenceVariants::Relative(int i, std::string_view siblingName,
                                 std::string* out) const {
  if (!has_relative_) return false;
  out->clear();
  out->append(entry_prefix_);
  AppendNumber(out, i);
  out->append(entry_middle_);
  out->push_back('/');
  out->append(siblingName);
  return true;
}

}  // namespace tavik
