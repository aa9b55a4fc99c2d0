#include "platform/sdk/kstring.h"

#include <algorithm>

namespace qsnsdk_cm_infra {

namespace {
char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

KString::KString(const char* text) : text_(text ? text : "") {}

KString::KString(int number) : text_(std::to_string(number)) {}

KString KString::operator+(const KString& other) const {
  return KString(text_ + other.text_);
}

KString& KString::operator+=(const KString& other) {
  text_ += other.text_;
  return *this;
}

int KString::CompareNoCase(const KString& other) const {
  size_t n = std::min(text_.size(), other.text_.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(FoldAscii(text_[i]));
    unsigned char b = static_cast<unsigned char>(FoldAscii(other.text_[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  if (text_.size() == other.text_.size()) return 0;
  return text_.size() < other.text_.size() ? -1 : 1;
}

int KString::Find(const KString& text, int start) const {
  if (start < 0 || static_cast<size_t>(start) > text_.size()) return -1;
  size_t pos = text_.find(text.text_, static_cast<size_t>(start));
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

bool KString::FindAndReplace(const KString& text, const KString& replacement,
                             unsigned start) {
  if (text.text_.empty() || start >= text_.size()) return false;
  size_t pos = text_.find(text.text_, start);
  if (pos == std::string::npos) return false;
  text_.replace(pos, text.text_.size(), replacement.text_);
  return true;
}

int KString::ReverseFind(char c) const {
  size_t pos = text_.rfind(c);
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int KString::ReplaceAll(char from, char to) {
  int count = 0;
  for (char& c : text_) {
    if (c == from) {
      c = to;
      ++count;
    }
  }
  return count;
}

KString KString::Left(int n) const {
  if (n <= 0) return KString();
  return KString(text_.substr(0, static_cast<size_t>(n)));
}

KString KString::Right(int n) const {
  if (n <= 0) return KString();
  size_t len = std::min(text_.size(), static_cast<size_t>(n));
  return KString(text_.substr(text_.size() - len));
}

int KString::GetTokenCount(char separator) const {
  if (text_.empty()) return 0;
  return static_cast<int>(std::count(text_.begin(), text_.end(), separator)) +
         1;
}

KString KString::GetToken(int index, char separator) const {
  if (index < 0 || text_.empty()) return KString();
  size_t begin = 0;
  for (int i = 0; i < index; ++i) {
    size_t sep = text_.find(separator, begin);
    if (sep == std::string::npos) return KString();
    begin = sep + 1;
  }
  size_t end = text_.find(separator, begin);
  return KString(text_.substr(
      begin, end == std::string::npos ? std::string::npos : end - begin));
}

}  // namespace qsnsdk_cm_infra
