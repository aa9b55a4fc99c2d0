#include "platform/base/utf.h"
#include "platform/os/win_text.h"

namespace tavik {

bool ToWide(const std::string& text, std::wstring* out) {
  std::u16string wide;
  if (!Utf8ToUtf16(text, &wide)) return false;
  out->assign(wide.begin(), wide.end());
  return true;
}

std::string FromWide(const std::wstring& text) {
  return Utf16ToUtf8OrReplace(std::u16string(text.begin(), text.end()));
}

}  // namespace tavik
