// The asset package library's strings: UTF8String (UTF-8 bytes) and
// WideString (UTF-16 units). Names and values cross the library as
// WideString; StringAlgorithm converts between the two.
#ifndef TAVIK_PLATFORM_VMP_STRINGS_H_
#define TAVIK_PLATFORM_VMP_STRINGS_H_

#include <cstddef>
#include <string>
#include <utility>

namespace vmp {

class UTF8String {
 public:
  UTF8String() = default;
  UTF8String(const char* text)  // NOLINT: literals convert naturally
      : text_(text == nullptr ? "" : text) {}
  UTF8String(std::string text) : text_(std::move(text)) {}  // NOLINT

  const std::string& string() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  size_t length() const { return text_.size(); }  // bytes
  bool empty() const { return text_.empty(); }

  // Byte-wise: 0 when equal, negative/positive as memcmp orders them.
  int compare(const UTF8String& other) const;

  bool operator==(const UTF8String& other) const {
    return text_ == other.text_;
  }
  bool operator!=(const UTF8String& other) const {
    return text_ != other.text_;
  }

 private:
  std::string text_;
};

class WideString {
 public:
  WideString() = default;
  WideString(const char16_t* text)  // NOLINT
      : text_(text == nullptr ? u"" : text) {}
  WideString(const char16_t* units, size_t length) : text_(units, length) {}
  WideString(std::u16string text) : text_(std::move(text)) {}  // NOLINT
  // UTF-8 text decoded to UTF-16; a byte sequence that is not UTF-8 becomes
  // U+FFFD (use StringAlgorithm's strict form to detect it).
  WideString(const char* utf8);  // NOLINT: lets "" and "QSN" be names
  explicit WideString(const UTF8String& utf8);

  const std::u16string& string() const { return text_; }
  // The units, zero-terminated; null when the string is empty.
  const char16_t* value() const {
    return text_.empty() ? nullptr : text_.c_str();
  }
  size_t length() const { return text_.size(); }  // UTF-16 units
  bool empty() const { return text_.empty(); }

  bool operator==(const WideString& other) const {
    return text_ == other.text_;
  }
  bool operator!=(const WideString& other) const {
    return text_ != other.text_;
  }

 private:
  std::u16string text_;
};

class StringAlgorithm {
 public:
  // UTF-16 to UTF-8 and back. These forms never fail: an invalid unit or
  // byte sequence (a lone surrogate, a stray byte) becomes U+FFFD.
  static UTF8String UTF8Encode(const WideString& text);
  static WideString UTF8Decode(const UTF8String& text);

  // Strict forms: false, and `out` untouched, when the input does not
  // convert exactly.
  static bool UTF8Encode(const WideString& text, UTF8String* out);
  static bool UTF8Decode(const UTF8String& text, WideString* out);
};

}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_STRINGS_H_
