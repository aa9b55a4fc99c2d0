#include "platform/base/utf.h"

namespace tavik {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[*i]; advances *i. Returns false (advancing by
// one byte) on an invalid sequence.
bool DecodeUtf8(std::string_view text, size_t* i, char32_t* cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(*i);
  size_t need;
  char32_t value;
  char32_t min;
  if (b0 < 0x80) {
    *cp = b0;
    ++*i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    need = 1, value = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2, value = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3, value = b0 & 0x07, min = 0x10000;
  } else {
    ++*i;
    return false;
  }
  if (text.size() - *i <= need) {
    ++*i;
    return false;
  }
  for (size_t k = 1; k <= need; ++k) {
    unsigned char b = byte(*i + k);
    if ((b & 0xC0) != 0x80) {
      ++*i;
      return false;
    }
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++*i;
    return false;
  }
  *cp = value;
  *i += need + 1;
  return true;
}

void EncodeUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void EncodeUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one code point at text[*i]; false on a lone surrogate.
bool DecodeUtf16(std::u16string_view text, size_t* i, char32_t* cp) {
  char16_t u = text[*i];
  ++*i;
  if (u < 0xD800 || u > 0xDFFF) {
    *cp = u;
    return true;
  }
  if (u >= 0xDC00 || *i >= text.size()) return false;
  char16_t low = text[*i];
  if (low < 0xDC00 || low > 0xDFFF) return false;
  ++*i;
  *cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
        (static_cast<char32_t>(low) - 0xDC00);
  return true;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!DecodeUtf8(text, &i, &cp)) return false;
  }
  return true;
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  out->reserve(text.size());
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!DecodeUtf8(text, &i, &cp)) return false;
    EncodeUtf16(cp, out);
  }
  return true;
}

bool Utf16ToUtf8(const std::u16string& text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  size_t i = 0;
  char32_t cp;
  while (i < text.size()) {
    if (!DecodeUtf16(text, &i, &cp)) return false;
    EncodeUtf8(cp, out);
  }
  return true;
}

// Names and paths are mostly ASCII: those convert unit for unit without
// the general decoder.
void AppendUtf8AsUtf16OrReplace(std::string_view text, std::u16string* out) {
  size_t ascii = 0;
  while (ascii < text.size() &&
         static_cast<unsigned char>(text[ascii]) < 0x80) {
    ++ascii;
  }
  // Widened in place: appending a range of another type would build a
  // temporary string first.
  size_t at = out->size();
  out->resize(at + ascii);
  char16_t* wide = &(*out)[0] + at;
  for (size_t k = 0; k < ascii; ++k) {
    wide[k] = static_cast<unsigned char>(text[k]);
  }
  size_t i = ascii;
  char32_t cp;
  while (i < text.size()) {
    EncodeUtf16(DecodeUtf8(text, &i, &cp) ? cp : kReplacement, out);
  }
}

void AppendUtf16AsUtf8OrReplace(std::u16string_view text, std::string* out) {
  size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  size_t at = out->size();
  out->resize(at + ascii);
  char* narrow = &(*out)[0] + at;
  for (size_t k = 0; k < ascii; ++k) narrow[k] = static_cast<char>(text[k]);
  size_t i = ascii;
  char32_t cp;
  while (i < text.size()) {
    EncodeUtf8(DecodeUtf16(text, &i, &cp) ? cp : kReplacement, out);
  }
}

std::u16string Utf8ToUtf16OrReplace(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  AppendUtf8AsUtf16OrReplace(text, &out);
  return out;
}

std::string Utf16ToUtf8OrReplace(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf16AsUtf8OrReplace(text, &out);
  return out;
}

}  // namespace tavik
