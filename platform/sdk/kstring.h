// KString: the scene SDK's 8-bit string. Every text it holds is UTF-8, paths
// included. Lengths and indices are in bytes; no operation throws, and every
// search reports absence as -1 or false.
#ifndef TAVIK_PLATFORM_SDK_KSTRING_H_
#define TAVIK_PLATFORM_SDK_KSTRING_H_

#include <string>

namespace qsnsdk_cm_infra {

class KString {
 public:
  KString() = default;
  // A null pointer makes the empty string.
  KString(const char* text);  // NOLINT(runtime/explicit): texts mix freely.
  explicit KString(std::string text) : text_(std::move(text)) {}
  // The plain decimal text of the number ("-12", "0", "10").
  explicit KString(int number);

  // Both give the NUL-terminated text; valid until the string changes.
  const char* Buffer() const { return text_.c_str(); }
  operator const char*() const { return text_.c_str(); }  // NOLINT
  const std::string& str() const { return text_; }

  int GetLen() const { return static_cast<int>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }

  // Exact byte equality.
  bool operator==(const KString& other) const { return text_ == other.text_; }
  bool operator!=(const KString& other) const { return text_ != other.text_; }
  bool operator==(const char* other) const { return *this == KString(other); }
  bool operator!=(const char* other) const { return !(*this == other); }
  KString operator+(const KString& other) const;
  KString& operator+=(const KString& other);

  // 0 when equal ignoring the letter case of ASCII letters; otherwise the
  // sign of the first difference of the case-folded bytes.
  int CompareNoCase(const KString& other) const;

  // Index of the first occurrence of `text` at or after `start`, or -1. An
  // empty `text` is found at `start` when start <= GetLen().
  int Find(const KString& text, int start = 0) const;
  // Replaces the first occurrence of `text` that begins at or after `start`.
  // False, and the string unchanged, when there is none, when `text` is
  // empty, or when `start` lies past the end.
  bool FindAndReplace(const KString& text, const KString& replacement,
                      unsigned start = 0);
  // Index of the last occurrence of the character, or -1.
  int ReverseFind(char c) const;
  // Replaces every occurrence of `from`; returns how many there were.
  int ReplaceAll(char from, char to);

  // The first / last n bytes; the whole string when it is shorter, the empty
  // string for n <= 0.
  KString Left(int n) const;
  KString Right(int n) const;

  // The pieces between separators, numbered from 0 at the left. Every
  // separator splits, so "a\\\\b" has the three pieces "a", "" and "b"; the
  // empty string has no pieces. GetToken outside [0, count) gives "".
  int GetTokenCount(char separator) const;
  KString GetToken(int index, char separator) const;

 private:
  std::string text_;
};

inline KString operator+(const char* left, const KString& right) {
  return KString(left) + right;
}

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_KSTRING_H_
