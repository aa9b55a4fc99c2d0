#include "platform/vmp/strings.h"

#include "platform/base/utf.h"

namespace vmp {

int UTF8String::compare(const UTF8String& other) const {
  return text_.compare(other.text_);
}

WideString::WideString(const char* utf8)
    : text_(tavik::Utf8ToUtf16OrReplace(utf8 == nullptr ? "" : utf8)) {}

WideString::WideString(const UTF8String& utf8)
    : text_(tavik::Utf8ToUtf16OrReplace(utf8.string())) {}

UTF8String StringAlgorithm::UTF8Encode(const WideString& text) {
  return UTF8String(tavik::Utf16ToUtf8OrReplace(text.string()));
}

WideString StringAlgorithm::UTF8Decode(const UTF8String& text) {
  return WideString(tavik::Utf8ToUtf16OrReplace(text.string()));
}

bool StringAlgorithm::UTF8Encode(const WideString& text, UTF8String* out) {
  std::string converted;
  if (!tavik::Utf16ToUtf8(text.string(), &converted)) return false;
  *out = UTF8String(std::move(converted));
  return true;
}

bool StringAlgorithm::UTF8Decode(const UTF8String& text, WideString* out) {
  std::u16string converted;
  if (!tavik::Utf8ToUtf16(text.string(), &converted)) return false;
  *out = WideString(std::move(converted));
  return true;
}

}  // namespace vmp
