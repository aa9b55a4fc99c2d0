#include "tools/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>

namespace vmpkg {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
// b < 0x20 exactly when b & 0x60 == 0, for b below 0x80.
constexpr uint64_t kBelow20 = 0x6060606060606060ull;

// Nonzero when a byte of `x` is zero (exact as to whether one is).
inline uint64_t ZeroByte(uint64_t x) { return (x - kOnes) & ~x & kHighs; }
// Nonzero when a byte of `x` is 0x80 or more, below 0x20, or '"'.
inline uint64_t OtherBytes(uint64_t x) {
  return (x & kHighs) | ZeroByte(x & kBelow20) | ZeroByte(x ^ (kOnes * '"'));
}
inline uint64_t Backslashes(uint64_t x) { return ZeroByte(x ^ (kOnes * '\\')); }

inline bool PlainByte(unsigned char b) {
  return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
}

// How `text` prints: as it is (nothing to escape, nothing that might not be
// UTF-8), as it is with each backslash doubled (the separators of a path as
// the tool spells it), or only through the escaper. Eight bytes at a time:
// most texts are plain paths.
enum class TextKind { kPlain, kBackslashes, kOther };
TextKind KindOf(std::string_view text) {
  const size_t n = text.size();
  if (n < 8) {
    // Bytes one by one: a short text copied into a word is read back
    // slower than a word's own bytes are tested.
    TextKind kind = TextKind::kPlain;
    for (char c : text) {
      if (c == '\\') {
        kind = TextKind::kBackslashes;
      } else if (!PlainByte(static_cast<unsigned char>(c))) {
        return TextKind::kOther;
      }
    }
    return kind;
  }
  uint64_t others = 0, backslashes = 0;
  // The last word may overlap the one before it.
  for (size_t i = 0;; i += 8) {
    if (i + 8 > n) i = n - 8;
    uint64_t x;
    std::memcpy(&x, text.data() + i, 8);
    others |= OtherBytes(x);
    backslashes |= Backslashes(x);
    if (others != 0 || i + 8 == n) break;
  }
  if (others != 0) return TextKind::kOther;
  return backslashes != 0 ? TextKind::kBackslashes : TextKind::kPlain;
}

// The first byte from `p` that does not print as it is by itself.
const unsigned char* SkipPlain(const unsigned char* p,
                               const unsigned char* end) {
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    if ((OtherBytes(x) | Backslashes(x)) != 0) break;
    p += 8;
  }
  while (p != end && PlainByte(*p)) ++p;
  return p;
}

// At a byte of 0x80 or more: the length of the well-formed UTF-8 sequence
// it starts (positive), or minus the number of bytes one U+FFFD replaces.
// A byte that can start no sequence is replaced alone; a sequence broken
// off is replaced up to the byte that broke it, which is read afresh; one
// cut short by the end of the text is replaced to the end.
int Sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = *p;
  int length;
  // The range of the second byte; the later ones are 80..BF. The limits
  // keep out overlong forms, surrogates and what lies beyond U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0xC2) {
    return -1;
  } else if (lead < 0xE0) {
    length = 2;
  } else if (lead < 0xF0) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead < 0xF5) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k < length; ++k) {
    if (p + k == end) return -k;
    const unsigned char b = p[k];
    if (b < low || b > high) return -k;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

// Gives `out(const char*, size_t)` the escape of `text`, in pieces.
template <typename Out>
void EscapeInto(std::string_view text, Out&& out) {
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  const auto end = p + text.size();
  while (p != end) {
    // What prints as it is comes in one piece, well-formed UTF-8 with it.
    const unsigned char* run = p;
    int length = 0;
    for (;;) {
      p = SkipPlain(p, end);
      if (p == end || *p < 0x80) break;
      length = Sequence(p, end);
      if (length < 0) break;
      p += length;
    }
    if (p != run) out(reinterpret_cast<const char*>(run), p - run);
    if (p == end) break;
    if (*p >= 0x80) {
      out("\xEF\xBF\xBD", 3);
      p += -length;
      continue;
    }
    const unsigned char b = *p++;
    char escape[6] = {'\\', 0, 0, 0, 0, 0};
    switch (b) {
      case '"':
      case '\\':
        escape[1] = static_cast<char>(b);
        break;
      case '\b':
        escape[1] = 'b';
        break;
      case '\f':
        escape[1] = 'f';
        break;
      case '\n':
        escape[1] = 'n';
        break;
      case '\r':
        escape[1] = 'r';
        break;
      case '\t':
        escape[1] = 't';
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        escape[1] = 'u';
        escape[2] = '0';
        escape[3] = '0';
        escape[4] = kHex[b >> 4];
        escape[5] = kHex[b & 0xF];
        out(escape, 6);
        continue;
      }
    }
    out(escape, 2);
  }
}

constexpr size_t kRunSize = 2 + 2 * 128;
constexpr std::array<char, kRunSize> MakeRun() {
  std::array<char, kRunSize> run{};
  run[0] = ',';
  run[1] = '\n';
  for (size_t i = 2; i < run.size(); ++i) run[i] = ' ';
  return run;
}
constexpr std::array<char, kRunSize> kRunArray = MakeRun();

}  // namespace

const char* const JsonWriter::kRun = kRunArray.data();

BlockSink::BlockSink(std::FILE* out, size_t block_size)
    : block_size_(block_size),
      writer_(out, block_size),
      block_(writer_.NewBlock()) {}

JsonSink::Space BlockSink::Next(size_t used) {
  block_.used = used;
  if (used > 0) block_ = writer_.Write(std::move(block_));
  return {block_.data.get(), block_size_};
}

bool BlockSink::Finish(size_t used) {
  block_.used = used;
  if (used > 0) block_ = writer_.Write(std::move(block_));
  return writer_.Finish();
}

StringSink::StringSink(size_t space_size) : space_size_(space_size) {
  assert(space_size > 0);
}

JsonSink::Space StringSink::Next(size_t used) {
  taken_ += used;
  text_.resize(taken_ + space_size_);
  return {&text_[taken_], space_size_};
}

bool StringSink::Finish(size_t used) {
  taken_ += used;
  text_.resize(taken_);
  return true;
}

JsonKey::JsonKey(std::string_view key) {
  StringSink sink(64);
  JsonWriter writer(&sink);
  writer.String(key);
  writer.Raw(": ");
  writer.Finish(nullptr);
  size_ = sink.text().size();
  padded_ = sink.text() + std::string(kChunk, ' ');
}

JsonWriter::JsonWriter(JsonSink* sink) : sink_(sink) { NextSpace(); }

void JsonWriter::NextSpace() {
  const JsonSink::Space space = sink_->Next(static_cast<size_t>(at_ - start_));
  start_ = at_ = space.data;
  end_ = space.data + space.size;
  capacity_ = space.size;
}

void JsonWriter::PutAcross(std::string_view bytes) {
  while (bytes.size() > static_cast<size_t>(end_ - at_)) {
    const size_t room = static_cast<size_t>(end_ - at_);
    std::memcpy(at_, bytes.data(), room);
    at_ += room;
    bytes.remove_prefix(room);
    NextSpace();
  }
  std::memcpy(at_, bytes.data(), bytes.size());
  at_ += bytes.size();
}

void JsonWriter::SlowBreak(size_t skip, size_t level) {
  static_assert(kRunSize == 2 + 2 * kRunLevels && kChunk + 1 <= kRunSize);
  Put(std::string_view(kRun + skip, 2 - skip));
  for (size_t spaces = 2 * level; spaces > 0;) {
    const size_t piece = std::min(spaces, 2 * kRunLevels);
    Put(std::string_view(kRun + 2, piece));
    spaces -= piece;
  }
}

template <typename Number>
void JsonWriter::Digits(Number value) {
  constexpr size_t kMost = 24;
  if (static_cast<size_t>(end_ - at_) >= kMost) {
    at_ = std::to_chars(at_, at_ + kMost, value).ptr;
    return;
  }
  char digits[kMost];
  const char* end = std::to_chars(digits, digits + kMost, value).ptr;
  Put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void JsonWriter::Int(int64_t value) {
  Separate();
  Digits(value);
}

void JsonWriter::UInt(uint64_t value) {
  Separate();
  Digits(value);
}

void JsonWriter::Value(const nlohmann::ordered_json& value) {
  Separate();
  using Json = nlohmann::ordered_json;
  const std::string text =
      value.dump(2, ' ', false, Json::error_handler_t::replace);
  // A JSON string holds no raw newline: each one in the text starts a line
  // of the sub-document, indented from the value's own place.
  const size_t level = depth_;
  std::string_view rest(text);
  for (size_t newline = rest.find('\n'); newline != std::string_view::npos;
       newline = rest.find('\n')) {
    Put(rest.substr(0, newline));
    Break(/*first=*/true, level);
    rest.remove_prefix(newline + 1);
  }
  Put(rest);
}

// Paths make most of a report's strings: those with nothing to escape, or
// backslashes alone, are copied without the escaper when they fit a space.
// The escapes of folder parts are not kept: looking one up cost more than
// escaping the folder again.
void JsonWriter::Quoted(std::string_view text) {
  const TextKind kind = KindOf(text);
  const size_t n = text.size();
  if (kind == TextKind::kPlain && n + 2 <= capacity_) {
    if (n + 2 > static_cast<size_t>(end_ - at_)) NextSpace();
    *at_++ = '"';
    std::memcpy(at_, text.data(), n);
    at_ += n;
    *at_++ = '"';
    return;
  }
  if (kind == TextKind::kBackslashes && 2 * n + 2 <= capacity_) {
    if (2 * n + 2 > static_cast<size_t>(end_ - at_)) NextSpace();
    char* at = at_;
    *at++ = '"';
    for (char c : text) {
      *at++ = c;
      if (c == '\\') *at++ = '\\';
    }
    *at++ = '"';
    at_ = at;
    return;
  }
  PutChar('"');
  if (kind == TextKind::kPlain) {
    Put(text);
  } else {
    Escaped(text);
  }
  PutChar('"');
}

void JsonWriter::Escaped(std::string_view text) {
  EscapeInto(text, [this](const char* piece, size_t size) {
    Put(std::string_view(piece, size));
  });
}

bool JsonWriter::Finish(std::FILE* err) {
  if (!finished_) {
    finished_ = true;
    finish_result_ = sink_->Finish(static_cast<size_t>(at_ - start_));
    start_ = at_ = end_ = nullptr;
    capacity_ = 0;
    if (!finish_result_ && err != nullptr) {
      std::fprintf(err, "vmpkg: can't write the output\n");
    }
  }
  return finish_result_;
}

}  // namespace vmpkg
