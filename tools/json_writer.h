// A report's JSON written as the report is made, never held whole.
//
// Layout: the bytes are exactly those of nlohmann's
// ordered_json::dump(2, ' ', false, error_handler_t::replace) of the same
// document: two spaces of indentation per level, `"key": value`, ",\n"
// between members and elements, `{}` and `[]` for empty ones, and no
// newline after the document (Raw("\n") puts one). Escaping: strings and
// keys print as that dump prints them: `"` and `\` escaped, \b \f \n \r \t,
// other bytes below 0x20 as \u00xx, everything else as it is, and what is
// not UTF-8 replaced by U+FFFD as that dump's replace handler does it (one
// per byte that starts no sequence, one per sequence broken off, the byte
// that broke it then read afresh; one for a sequence cut short by the
// text's end). The writer borrows its sink, which must outlive it; once
// Finish is called nothing more may be written. One writer serves one
// report on one thread: it is not thread-safe (a BlockSink's writes happen
// on a thread of its own, which the writer never sees). Calls out of
// order (a value in an object without its key, an End that does not match
// its Begin) are the caller's error, caught by assertions only.
#ifndef TAVIK_TOOLS_JSON_WRITER_H_
#define TAVIK_TOOLS_JSON_WRITER_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "tools/block_writer.h"

namespace vmpkg {

// Where a writer's bytes go: memory it lends the writer to fill, a space at
// a time.
class JsonSink {
 public:
  struct Space {
    char* data = nullptr;
    size_t size = 0;  // at least 1
  };

  virtual ~JsonSink() = default;
  // Takes the first `used` bytes of the space last given (0 before the
  // first call) and gives the next one; the space given before is the
  // writer's no longer.
  virtual Space Next(size_t used) = 0;
  // Takes the first `used` bytes of the space last given; no call follows.
  // False when any write failed, this one or an earlier one.
  virtual bool Finish(size_t used) = 0;
};

// The blocks of a BlockWriter of its own on `out` (borrowed; nothing else
// may write to it until Finish), written on the BlockWriter's thread.
class BlockSink : public JsonSink {
 public:
  static constexpr size_t kBlockSize = 1 << 16;

  explicit BlockSink(std::FILE* out, size_t block_size = kBlockSize);
  Space Next(size_t used) override;
  bool Finish(size_t used) override;

 private:
  const size_t block_size_;
  BlockWriter writer_;
  BlockWriter::Block block_;
};

// The whole output in a string: for tests, and for a report made whole
// before it is written.
class StringSink : public JsonSink {
 public:
  // Spaces of `space_size` bytes, at least 1 (small ones put the space
  // boundaries where a test wants them).
  explicit StringSink(size_t space_size = BlockSink::kBlockSize);
  Space Next(size_t used) override;
  bool Finish(size_t used) override;
  // The whole output, once Finish was called.
  const std::string& text() const { return text_; }

 private:
  const size_t space_size_;
  std::string text_;
  size_t taken_ = 0;
};

// A key escaped once, for the keys a report writes over and over.
class JsonKey {
 public:
  explicit JsonKey(std::string_view key);

 private:
  friend class JsonWriter;
  static constexpr size_t kChunk = 32;
  // With its quotes and ": ", and kChunk bytes of padding after them, so a
  // short key is put by a copy of a fixed size.
  std::string padded_;
  size_t size_ = 0;
};

class JsonWriter {
 public:
  explicit JsonWriter(JsonSink* sink);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  void BeginObject() { Open('{'); }
  void EndObject() { Close('{', '}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close('[', ']'); }
  // A member's key; its value is the next value written.
  void Key(std::string_view key) {
    BeforeKey();
    Quoted(key);
    Put(std::string_view(": ", 2));
  }
  void Key(const JsonKey& key) {
    BeforeKey();
    if (key.size_ <= JsonKey::kChunk &&
        static_cast<size_t>(end_ - at_) >= JsonKey::kChunk) {
      std::memcpy(at_, key.padded_.data(), JsonKey::kChunk);
      at_ += key.size_;
      return;
    }
    Put(std::string_view(key.padded_.data(), key.size_));
  }
  // The values. A text is printed as escaping promises, whatever its bytes.
  void String(std::string_view text) {
    Separate();
    Quoted(text);
  }
  void Null() {
    Separate();
    Put(std::string_view("null", 4));
  }
  void Bool(bool value) {
    Separate();
    Put(value ? std::string_view("true", 4) : std::string_view("false", 5));
  }
  void Int(int64_t value);
  void UInt(uint64_t value);
  // `value` laid out in its place as dump(2) lays out a sub-document (with
  // the replace handler): for doubles and small values built whole.
  void Value(const nlohmann::ordered_json& value);
  // Bytes put as they are, outside the layout: the newline after the
  // document, or a text report written through the same sink.
  void Raw(std::string_view bytes) { Put(bytes); }

  // The number of objects and arrays open.
  size_t depth() const { return depth_; }

  // Hands what is left to the sink and finishes it; false, with "vmpkg:
  // can't write the output" on `err` (when not null), when any write
  // failed. Later calls give the same answer and write nothing.
  bool Finish(std::FILE* err);

 private:
  // Levels whose line break is one copy; deeper ones take several.
  static constexpr size_t kRunLevels = 128;
  static constexpr size_t kChunk = 64;
  static constexpr size_t kChunkLevels = (kChunk - 2) / 2;
  static constexpr size_t kSmallChunk = 16;
  static constexpr size_t kSmallLevels = (kSmallChunk - 2) / 2;

  // Most pieces are a few bytes of the layout: the copy into the space is
  // kept inline, the rest out of the way.
  __attribute__((always_inline)) void Put(std::string_view bytes) {
    if (bytes.size() > static_cast<size_t>(end_ - at_)) {
      PutAcross(bytes);
      return;
    }
    std::memcpy(at_, bytes.data(), bytes.size());
    at_ += bytes.size();
  }
  // The next space, what was filled handed on.
  void NextSpace();
  void PutAcross(std::string_view bytes);
  // ",\n" (after the first member or element) or "\n", and the indentation
  // of `level`.
  // A copy of a fixed size (a few vector moves) with the end put back: a
  // copy of the exact length, short as it is, costs more.
  // Most breaks of a report are at a few levels only: those up to 7 fit
  // one 16-byte move.
  __attribute__((always_inline)) void Break(bool first, size_t level) {
    const size_t skip = first ? 1 : 0;
    if (level <= kChunkLevels && static_cast<size_t>(end_ - at_) >= kChunk) {
      if (level <= kSmallLevels) {
        std::memcpy(at_, kRun + skip, kSmallChunk);
      } else {
        std::memcpy(at_, kRun + skip, kChunk);
      }
      at_ += 2 + 2 * level - skip;
      return;
    }
    SlowBreak(skip, level);
  }
  void SlowBreak(size_t skip, size_t level);
  __attribute__((always_inline)) void PutChar(char c) {
    if (at_ == end_) NextSpace();
    *at_++ = c;
  }
  template <typename Number>
  void Digits(Number value);
  // What comes before a value: nothing after a key or at the top, else the
  // break before an element.
  __attribute__((always_inline)) void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    assert(kinds_.empty() || kinds_.back() == '[');
    if (depth_ == 0) return;
    Break(first_, depth_);
    first_ = false;
  }
  __attribute__((always_inline)) void BeforeKey() {
    assert(!kinds_.empty() && kinds_.back() == '{' && !after_key_);
    Break(first_, depth_);
    first_ = false;
    after_key_ = true;
  }
  __attribute__((always_inline)) void Open(char kind) {
    Separate();
    PutChar(kind);
    kinds_.push_back(kind);
    ++depth_;
    first_ = true;
  }
  __attribute__((always_inline)) void Close(char kind, char bracket) {
    assert(!kinds_.empty() && kinds_.back() == kind && !after_key_);
    (void)kind;
    kinds_.pop_back();
    --depth_;
    if (!first_) Break(/*first=*/true, depth_);
    PutChar(bracket);
    first_ = false;
  }
  // `text` in quotes, escaped.
  void Quoted(std::string_view text);
  // The escape of `text`, without quotes, however long.
  void Escaped(std::string_view text);

  // ",\n" and the indentation of kRunLevels levels.
  static const char* const kRun;

  JsonSink* sink_;
  char* start_ = nullptr;  // of the space being filled
  char* at_ = nullptr;
  char* end_ = nullptr;
  size_t capacity_ = 0;      // of the space being filled
  std::vector<char> kinds_;  // '{' or '[' per open object or array
  size_t depth_ = 0;         // kinds_.size(), kept where breaks read it
  bool first_ = true;        // nothing yet in the innermost one
  bool after_key_ = false;
  bool finished_ = false;
  bool finish_result_ = false;
};

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_JSON_WRITER_H_
