// Conversions between the tool's UTF-8 text and the UTF-16 text of the
// Windows wide API. Windows-only helpers, used by the *_win.cc files.
#ifndef TAVIK_PLATFORM_OS_WIN_TEXT_H_
#define TAVIK_PLATFORM_OS_WIN_TEXT_H_

#include <string>

namespace tavik {

// UTF-8 to the wide text of the Windows API. Returns false for text that is
// not valid UTF-8; a path that cannot be converted exactly must never be
// opened by a lossy neighbour.
bool ToWide(const std::string& text, std::wstring* out);
// Wide text back to UTF-8; lone surrogates become U+FFFD.
std::string FromWide(const std::wstring& text);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_WIN_TEXT_H_
