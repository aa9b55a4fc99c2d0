// Strict conversions between UTF-8 and UTF-16. "Strict" means what Windows
// does with MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS: overlong forms,
// surrogate code points in UTF-8, lone surrogates in UTF-16 and anything
// above U+10FFFF are refused rather than replaced, so a text that converts
// converts back to exactly the same bytes.
#ifndef TAVIK_PLATFORM_BASE_UTF_H_
#define TAVIK_PLATFORM_BASE_UTF_H_

#include <string>
#include <string_view>

namespace tavik {

bool IsValidUtf8(const std::string& text);

// On failure returns false and leaves *out unspecified.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
bool Utf16ToUtf8(const std::u16string& text, std::string* out);

// Lenient forms for display and for text that is already known to be valid:
// an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16OrReplace(const std::string& text);
std::string Utf16ToUtf8OrReplace(const std::u16string& text);
// The lenient forms appending to `out`, for many texts into one buffer.
void AppendUtf8AsUtf16OrReplace(std::string_view text, std::u16string* out);
void AppendUtf16AsUtf8OrReplace(std::u16string_view text, std::string* out);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_BASE_UTF_H_
