// vmpkg check and vmpkg refs: dry runs of the update run, told through its
// observer. Nothing here decides what a run does; it only shows it.
//
// The reports are written as the run tells them: a list is kept until the
// run leaves it, an asset's text until its last list, and nothing longer, so
// a check of a million assets needs no more memory than the run itself.
#include "tools/check_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/sdk/kpath.h"
#include "platform/sdk/qsn_sdk.h"
#include "tools/block_writer.h"
#include "update/update_library_package.h"
#include "update/update_observer.h"

namespace vmpkg {

namespace {

using OrderedJson = nlohmann::ordered_json;
using tavik::ExitCode;

// Appends the decimal digits of `value`.
void AppendNumber(size_t value, std::string* out) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out->append(digits, end);
}

// How `text` prints in JSON: as it is (nothing to escape, nothing that
// might not be UTF-8), as it is with each backslash doubled (the
// separators of a path as the tool spells it), or only through the
// serialiser. Eight bytes at a time: most texts are plain paths.
enum class JsonText { kPlain, kBackslashes, kOther };
JsonText KindOfJsonText(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  // b < 0x20 exactly when b & 0x60 == 0, for b below 0x80.
  constexpr uint64_t kBelow20 = 0x6060606060606060ull;
  // Nonzero when a byte of `x` is zero (exact as to whether one is).
  auto zero_byte = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  // Bytes of 0x80 and more, below 0x20 or '"'; and backslashes.
  auto other = [&](uint64_t x) {
    return (x & kHighs) | zero_byte(x & kBelow20) |
           zero_byte(x ^ (kOnes * '"'));
  };
  auto backslash = [&](uint64_t x) { return zero_byte(x ^ (kOnes * '\\')); };
  const size_t n = text.size();
  uint64_t others = 0, backslashes = 0;
  if (n < 8) {
    uint64_t x = kOnes * ' ';  // plain padding
    if (n > 0) std::memcpy(&x, text.data(), n);
    others = other(x);
    backslashes = backslash(x);
  } else {
    // The last word may overlap the one before it.
    for (size_t i = 0;; i += 8) {
      if (i + 8 > n) i = n - 8;
      uint64_t x;
      std::memcpy(&x, text.data() + i, 8);
      others |= other(x);
      backslashes |= backslash(x);
      if (others != 0 || i + 8 == n) break;
    }
  }
  if (others != 0) return JsonText::kOther;
  return backslashes != 0 ? JsonText::kBackslashes : JsonText::kPlain;
}

bool PlainJsonText(std::string_view text) {
  return KindOfJsonText(text) == JsonText::kPlain;
}

// A report on its way out: text gathered in a block and written in pieces.
// Strings go through nlohmann's own serialiser, as a whole document's
// dump(2) would print them: escaped, and with what is not UTF-8 shown as
// U+FFFD.
class Output {
 public:
  explicit Output(std::FILE* out)
      : writer_(out, kBlock), block_(writer_.NewBlock()) {}

  // Most pieces are a few bytes of the layout: the copy into the block is
  // kept inline, the rest out of the way.
  __attribute__((always_inline)) void Put(std::string_view text) {
    if (text.size() > kBlock - block_.used) {
      PutAcross(text);
      return;
    }
    std::memcpy(block_.data.get() + block_.used, text.data(), text.size());
    block_.used += text.size();
  }
  // Paths make most of a report's strings, and a few folders most of the
  // paths: a path is escaped as its folder part (up to its last separator)
  // and its name, the folder's escape kept for the next path in it. Text
  // cut just after an ASCII byte escapes, in nlohmann's serialiser, to the
  // escapes of its two parts, whatever the bytes around the cut.
  void String(std::string_view text) {
    const JsonText kind = KindOfJsonText(text);
    if (kind != JsonText::kOther && 2 * text.size() + 2 <= kBlock) {
      if (2 * text.size() + 2 > kBlock - block_.used) Flush();
      char* at = block_.data.get() + block_.used;
      *at++ = '"';
      if (kind == JsonText::kPlain) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
      } else {
        for (char c : text) {
          *at++ = c;
          if (c == '\\') *at++ = '\\';
        }
      }
      *at++ = '"';
      block_.used = static_cast<size_t>(at - block_.data.get());
      return;
    }
    Put("\"");
    if (kind == JsonText::kPlain) {
      Put(text);
    } else {
      size_t cut = text.size();
      while (cut > 0 && text[cut - 1] != '\\' && text[cut - 1] != '/') --cut;
      if (cut > 0) Folder(text.substr(0, cut));
      Escaped(text.substr(cut));
    }
    Put("\"");
  }
  void Number(size_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Put(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void Int(int value) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Put(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  void Bool(bool value) { Put(value ? "true" : "false"); }

  // Writes what is left and flushes; false (with a message on `err`) when
  // any write failed.
  bool Finish(std::FILE* err) {
    Flush();
    if (!writer_.Finish()) {
      std::fprintf(err, "vmpkg: can't write the output\n");
      return false;
    }
    return true;
  }

 private:
  static constexpr size_t kBlock = 1 << 16;
  static constexpr size_t kFoldersKept = 1024;

  __attribute__((noinline)) void PutAcross(std::string_view text) {
    Flush();
    while (text.size() > kBlock) {
      std::memcpy(block_.data.get(), text.data(), kBlock);
      block_.used = kBlock;
      Flush();
      text.remove_prefix(kBlock);
    }
    std::memcpy(block_.data.get() + block_.used, text.data(), text.size());
    block_.used += text.size();
  }
  void Flush() {
    if (block_.used > 0) block_ = writer_.Write(std::move(block_));
  }

  // Puts nlohmann's escape of `text`, without its quotes; `kept` (if not
  // null) gets a copy.
  void Escaped(std::string_view text, std::string* kept = nullptr) {
    if (PlainJsonText(text)) {
      Put(text);
      if (kept != nullptr) kept->assign(text);
      return;
    }
    // One value and one serialiser serve every string: making them per
    // string (as dump() does) costs more than most strings' escaping.
    escaped_.clear();
    string_.get_ref<std::string&>().assign(text);
    serializer_.dump(string_, /*pretty_print=*/false, /*ensure_ascii=*/false,
                     /*indent_step=*/0);
    std::string_view inner =
        std::string_view(escaped_).substr(1, escaped_.size() - 2);
    Put(inner);
    if (kept != nullptr) kept->assign(inner);
  }
  void Folder(std::string_view folder) {
    auto found = folders_.find(folder);
    if (found != folders_.end()) {
      Put(found->second);
      return;
    }
    std::string kept;
    Escaped(folder, &kept);
    if (folders_.size() >= kFoldersKept) folders_.clear();
    folders_.emplace(std::string(folder), std::move(kept));
  }

  BlockWriter writer_;
  BlockWriter::Block block_;
  // Folders' escapes, by folder.
  std::map<std::string, std::string, std::less<>> folders_;
  std::string escaped_;  // before serializer_, which appends to it
  nlohmann::detail::serializer<OrderedJson> serializer_{
      nlohmann::detail::output_adapter<char, std::string>(escaped_), ' ',
      nlohmann::detail::error_handler_t::replace};
  OrderedJson string_ = std::string();
};

// Texts kept in one block, so that once it has grown, keeping another list
// costs no allocation.
class Texts {
 public:
  void Clear() {
    data_.clear();
    ends_.clear();
  }
  void Add(std::string_view text) {
    data_.append(text);
    ends_.push_back(data_.size());
  }
  void Assign(const std::vector<std::string>& items) {
    Clear();
    for (const std::string& item : items) Add(item);
  }
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](size_t k) const {
    size_t start = k == 0 ? 0 : ends_[k - 1];
    return std::string_view(data_).substr(start, ends_[k] - start);
  }

 private:
  std::string data_;
  std::vector<size_t> ends_;
};

// `"key": ` as dump(2) prints it at nesting `level`, after the member before
// it (`first`: none).
std::string MemberText(const char* key, int level, bool first) {
  std::string text = first ? "" : ",\n";
  text.append(2 * static_cast<size_t>(level), ' ');
  text += "\"";
  text += key;
  text += "\": ";
  return text;
}

// Between the elements of an array at `level`: "[\n" before the first.
std::string ElementText(bool first, int level) {
  std::string text = first ? "[\n" : ",\n";
  text.append(2 * static_cast<size_t>(level), ' ');
  return text;
}

// The check report's JSON, laid out as dump(2) lays out the whole document:
// the document's members at level 1, assets at 2, their members at 3, lists
// at 4, list members at 5, the elements of a list's arrays at 6 and their
// members at 7. Made once, shared by every check.
struct JsonLayout {
  const std::string asset_open = "{\n" + MemberText("name", 3, true);
  const std::string lists = MemberText("lists", 3, false);
  const std::string skipped = MemberText("skipped", 3, false);
  const std::string skipped_property = "{\n" + MemberText("property", 5, true);
  const std::string skipped_why = MemberText("why", 5, false);
  const std::string skipped_close = "\n        }";
  const std::string asset_close = "\n    }";
  const std::string list_open = "{\n" + MemberText("property", 5, true);
  const std::string before = MemberText("before", 5, false);
  const std::string after = MemberText("after", 5, false);
  const std::string entries = MemberText("entries", 5, false);
  const std::string entry_index = "{\n" + MemberText("index", 7, true);
  const std::string entry = MemberText("entry", 7, false);
  const std::string resolved = MemberText("resolved", 7, false);
  const std::string exists = MemberText("exists", 7, false);
  const std::string element_close = "\n            }";
  const std::string added = MemberText("added", 5, false);
  const std::string folder_number = MemberText("folder_number", 7, false);
  const std::string folder = MemberText("folder", 7, false);
  const std::string taken = MemberText("taken", 7, false);
  const std::string same_stem = MemberText("same_stem", 7, false);
  const std::string dropped = MemberText("dropped", 5, false);
  const std::string entry0_changes = MemberText("entry0_changes", 5, false);
  const std::string emptied = MemberText("emptied", 5, false);
  const std::string list_close = "\n        }";
  // The first member of an object among a list's array elements, after the
  // object before it (if any); and the array's end after the last object.
  const std::string object6[2] = {
      ElementText(true, 6) + entry_index,
      element_close + ElementText(false, 6) + entry_index};
  const std::string objects6_end = element_close + "\n          ]";
  // Elements: the first and the later ones.
  const std::string element2[2] = {ElementText(true, 2), ElementText(false, 2)};
  const std::string element4[2] = {ElementText(true, 4), ElementText(false, 4)};
  const std::string element6[2] = {ElementText(true, 6), ElementText(false, 6)};
  const std::string element8[2] = {ElementText(true, 8), ElementText(false, 8)};
  // An array's end at a level, when it had elements.
  const std::string close1 = "\n  ]";
  const std::string close3 = "\n      ]";
  const std::string close5 = "\n          ]";
  const std::string close7 = "\n              ]";

  static const JsonLayout& Get() {
    static const JsonLayout layout;
    return layout;
  }
};

struct AddedEntry {
  size_t index = 0;  // where it lands in the list
  int number = 0;    // the numbered folder it was found in
  std::string entry;
  std::string folder;
  std::string taken;
  // Every file of the folder with the stem, in listing order, `taken`
  // first.
  Texts same_stem;
};

// One reference list as the run tells it, kept from List to ListDone; its
// buffers serve every list of the run in turn.
struct ListState {
  bool open = false;
  std::string property;
  Texts before;
  Texts after;
  // Per entry of `before`, where its resolved path is in `resolved_text`
  // (an empty one: it resolves nowhere).
  std::vector<std::pair<size_t, size_t>> resolved;
  std::string resolved_text;
  std::vector<char> exists;  // per entry told
  std::vector<AddedEntry> added;
  size_t added_count = 0;  // of `added`, those of this list
  std::vector<std::pair<size_t, std::string>> dropped;
  size_t dropped_count = 0;  // of `dropped`, those of this list

  void Start(const std::string& name, const std::vector<std::string>& entries,
             bool detail) {
    open = true;
    added_count = 0;
    dropped_count = 0;
    exists.clear();
    if (!detail) return;
    property = name;
    before.Assign(entries);
    after.Clear();
    resolved.clear();
    resolved_text.clear();
  }
  std::string_view Resolved(size_t k) const {
    if (k >= resolved.size()) return std::string_view();
    return std::string_view(resolved_text)
        .substr(resolved[k].first, resolved[k].second);
  }
  // With detail only.
  size_t changes() const { return added_count + dropped_count; }
  bool entry0_changes() const {
    return after.empty() || before.empty() || after[0] != before[0];
  }
};

// What a check comes to, told by the run: the summary always, and with a
// report to make, each asset's part of it as soon as the run is done with
// the asset. The text and the JSON report are the two forms of one walk.
class CheckReport : public tavik::UpdateObserver {
 public:
  enum class Form { kNone, kText, kJson };

  CheckReport(const CheckOptions& options, Form form, Output* out)
      : options_(options), form_(form), out_(out), json_(JsonLayout::Get()) {
    if (form_ == Form::kJson) {
      out_->Put("{\n  \"schema\": \"vmpkg-check/1\",\n  \"library\": ");
      out_->String(options_.library);
      out_->Put(",\n  \"remove\": ");
      out_->Bool(options_.remove);
      out_->Put(",\n  \"assets\": ");
    }
  }

  void ReadOnlyAttribute(bool set) override { attribute_set_ = set; }
  void ReadOnlyProperty(bool present, bool value) override {
    property_present_ = present;
    property_value_ = value;
  }
  void Asset(const std::string& name) override {
    EndAsset();
    asset_open_ = true;
    if (form_ == Form::kNone) return;
    skipped_.clear();
    asset_lists_ = 0;
    if (form_ == Form::kJson) {
      out_->Put(json_.element2[assets_ == 0 ? 0 : 1]);
      out_->Put(json_.asset_open);
      out_->String(name);
      out_->Put(json_.lists);
    } else {
      asset_name_ = name;
      lists_text_.clear();
    }
    ++assets_;
  }
  void Skipped(const std::string& property, const std::string& why) override {
    if (!asset_open_ || form_ == Form::kNone) return;
    skipped_.emplace_back(property, why);
  }
  void List(const std::string& property,
            const std::vector<std::string>& entries) override {
    if (!asset_open_) return;
    EndList();
    list_.Start(property, entries, form_ != Form::kNone);
  }
  void Entry(size_t index, const std::string& resolved, bool exists) override {
    if (!list_.open) return;
    if (list_.exists.size() <= index) list_.exists.resize(index + 1, 0);
    list_.exists[index] = exists ? 1 : 0;
    // Only the JSON report shows where entries resolve.
    if (form_ != Form::kJson) return;
    if (list_.resolved.size() <= index) list_.resolved.resize(index + 1);
    list_.resolved[index] = {list_.resolved_text.size(), resolved.size()};
    list_.resolved_text += resolved;
  }
  void Added(int number, const std::string& relative, const std::string& folder,
             const std::string& taken,
             const std::vector<std::string_view>& same_stem) override {
    if (!list_.open) return;
    ++reference_changes_;
    if (form_ == Form::kNone) return;
    if (list_.added.size() <= list_.added_count) list_.added.emplace_back();
    AddedEntry& added = list_.added[list_.added_count++];
    added.index = list_.before.size() + list_.added_count - 1;
    added.number = number;
    added.entry = relative;
    added.folder = folder;
    added.taken = taken;
    added.same_stem.Clear();
    for (std::string_view name : same_stem) added.same_stem.Add(name);
  }
  void Dropped(size_t index, const std::string& entry) override {
    if (!list_.open) return;
    ++reference_changes_;
    if (form_ == Form::kNone) return;
    if (list_.dropped.size() <= list_.dropped_count) {
      list_.dropped.emplace_back();
    }
    auto& dropped = list_.dropped[list_.dropped_count++];
    dropped.first = index;
    dropped.second = entry;
  }
  void ListDone(const std::vector<std::string>& entries) override {
    if (!list_.open) return;
    if (form_ != Form::kNone) list_.after.Assign(entries);
    EndList();
  }
  void Finished(const tavik::RunOutcome& outcome) override {
    EndAsset();
    exit_code_ = outcome.code;
    reason_ = outcome.Reason();
    outcome_ = outcome;
  }

  CheckSummary Summary() const {
    CheckSummary summary;
    summary.outcome = outcome_;
    summary.changes = Changes();
    summary.unresolved = options_.remove ? 0 : unresolved_;
    if (exit_code_ != ExitCode::kDone) {
      summary.exit_code = static_cast<int>(exit_code_);
    } else if (options_.strict && summary.unresolved > 0) {
      summary.exit_code = kExitCheckUnresolved;
    } else if (summary.changes > 0) {
      summary.exit_code = kExitCheckPending;
    }
    return summary;
  }

  // The end of the report, once the run has finished.
  void Close(const CheckSummary& summary) {
    if (form_ == Form::kJson) {
      CloseJson(summary);
    } else if (form_ == Form::kText) {
      CloseText(summary);
    }
  }

 private:
  bool ClearsAttribute() const { return attribute_set_; }
  bool SetsProperty() const { return property_present_ && !property_value_; }
  size_t Changes() const {
    if (exit_code_ != ExitCode::kDone) return 0;
    return reference_changes_ + (ClearsAttribute() ? 1 : 0) +
           (SetsProperty() ? 1 : 0);
  }

  // The files of an addition's same_stem, in order.
  template <typename Visit>
  static void EachSameStem(const AddedEntry& a, Visit visit) {
    for (size_t k = 0; k < a.same_stem.size(); ++k) visit(a.same_stem[k]);
  }
  static size_t SameStemCount(const AddedEntry& a) {
    return a.same_stem.size();
  }

  void EndList() {
    if (!list_.open) return;
    list_.open = false;
    for (char e : list_.exists) unresolved_ += e ? 0 : 1;
    if (form_ == Form::kJson) {
      JsonList();
    } else if (form_ == Form::kText) {
      TextList();
    }
    ++asset_lists_;
  }

  void EndAsset() {
    EndList();
    if (!asset_open_) return;
    asset_open_ = false;
    if (form_ == Form::kJson) {
      JsonAssetEnd();
    } else if (form_ == Form::kText) {
      TextAssetEnd();
    }
  }

  // --- text ---

  void TextList() {
    const ListState& list = list_;
    std::string& text = lists_text_;
    const size_t mark = text.size();
    text += "  ";
    text += list.property;
    text += '\n';
    const size_t start = text.size();
    for (size_t i = 0; i < list.added_count; ++i) {
      const AddedEntry& a = list.added[i];
      text += "    + ";
      text += a.entry;
      text += "    (folder ";
      AppendNumber(static_cast<size_t>(a.number), &text);
      text += ": ";
      text += a.taken;
      if (SameStemCount(a) > 1) {
        text += ", the first of ";
        bool first = true;
        EachSameStem(a, [&](std::string_view name) {
          if (!first) text += ", ";
          first = false;
          text += name;
        });
        text += " in listing order";
      }
      text += ")\n";
    }
    for (size_t i = 0; i < list.dropped_count; ++i) {
      text += "    - ";
      text += list.dropped[i].second;
      text += "    (entry ";
      AppendNumber(list.dropped[i].first, &text);
      text += ", resolves to no file)\n";
    }
    if (list.changes() > 0 && list.entry0_changes()) {
      text += "    entry 0: ";
      if (!list.before.empty()) text += list.before[0];
      text += " -> ";
      if (list.after.empty()) {
        text += "(none)";
      } else {
        text += list.after[0];
      }
      text += '\n';
    }
    if (list.changes() > 0 && list.after.empty()) {
      text += "    the list becomes empty\n";
    }
    if (!options_.remove) {
      for (size_t k = 0; k < list.exists.size(); ++k) {
        if (list.exists[k] || k >= list.before.size()) continue;
        text += "    ? ";
        text += list.before[k];
        text += "    (entry ";
        AppendNumber(k, &text);
        text += ", resolves to no file";
        if (k == 0) text += "; no variants are looked for";
        text += ")\n";
      }
    }
    // A list with nothing to say is not named.
    if (text.size() == start) text.resize(mark);
  }

  void TextAssetEnd() {
    if (skipped_.empty() && lists_text_.empty()) return;
    out_->Put("asset ");
    out_->Put(asset_name_);
    out_->Put("\n");
    for (const auto& [property, why] : skipped_) {
      out_->Put("  ");
      out_->Put(property);
      out_->Put(": left alone, ");
      out_->Put(why);
      out_->Put("\n");
    }
    out_->Put(lists_text_);
  }

  void CloseText(const CheckSummary& summary) {
    if (exit_code_ == ExitCode::kDone) {
      if (ClearsAttribute()) {
        out_->Put("library file: its read-only mark is cleared\n");
      }
      if (SetsProperty()) {
        out_->Put("package property \"read only\": false -> true\n");
      }
    }
    if (options_.strict && summary.unresolved > 0) {
      out_->Put("strict: " + std::to_string(summary.unresolved) +
                (summary.unresolved == 1 ? " reference resolves"
                                         : " references resolve") +
                " to no file\n");
    }
    std::string line = "Tavik -l " + std::string(options_.remove ? "-r " : "") +
                       options_.library + " would exit " +
                       std::to_string(static_cast<int>(summary.outcome.code)) +
                       ": ";
    if (exit_code_ != ExitCode::kDone) {
      line += reason_ + "\n";
    } else if (summary.changes == 0) {
      line += reason_.empty() ? std::string("nothing to do")
                              : reason_ + ", nothing to do";
      line += "\n";
    } else {
      line +=
          std::to_string(summary.changes) +
          (summary.changes == 1 ? " change pending\n" : " changes pending\n");
    }
    out_->Put(line);
  }

  // --- JSON ---

  // The strings at `level` (6 or 8), an array's elements, and its end.
  void JsonStrings(const Texts& items, int level) {
    if (items.empty()) {
      out_->Put("[]");
      return;
    }
    const std::string* element = level == 6 ? json_.element6 : json_.element8;
    for (size_t k = 0; k < items.size(); ++k) {
      out_->Put(element[k == 0 ? 0 : 1]);
      out_->String(items[k]);
    }
    out_->Put(level == 6 ? json_.close5 : json_.close7);
  }
  void CloseArray(bool any, const std::string& close) {
    out_->Put(any ? std::string_view(close) : std::string_view("[]"));
  }

  void JsonList() {
    const ListState& list = list_;
    out_->Put(json_.element4[asset_lists_ == 0 ? 0 : 1]);
    out_->Put(json_.list_open);
    out_->String(list.property);
    out_->Put(json_.before);
    JsonStrings(list.before, 6);
    out_->Put(json_.after);
    JsonStrings(list.after, 6);
    out_->Put(json_.entries);
    for (size_t k = 0; k < list.before.size(); ++k) {
      out_->Put(json_.object6[k == 0 ? 0 : 1]);
      out_->Number(k);
      out_->Put(json_.entry);
      out_->String(list.before[k]);
      out_->Put(json_.resolved);
      std::string_view resolved = list.Resolved(k);
      if (resolved.empty()) {
        out_->Put("null");
      } else {
        out_->String(resolved);
      }
      out_->Put(json_.exists);
      out_->Bool(k < list.exists.size() && list.exists[k]);
    }
    CloseArray(!list.before.empty(), json_.objects6_end);
    out_->Put(json_.added);
    for (size_t i = 0; i < list.added_count; ++i) {
      const AddedEntry& a = list.added[i];
      out_->Put(json_.object6[i == 0 ? 0 : 1]);
      out_->Number(a.index);
      out_->Put(json_.entry);
      out_->String(a.entry);
      out_->Put(json_.folder_number);
      out_->Int(a.number);
      out_->Put(json_.folder);
      out_->String(a.folder);
      out_->Put(json_.taken);
      out_->String(a.taken);
      out_->Put(json_.same_stem);
      size_t n = 0;
      EachSameStem(a, [&](std::string_view name) {
        out_->Put(json_.element8[n++ == 0 ? 0 : 1]);
        out_->String(name);
      });
      CloseArray(n > 0, json_.close7);
    }
    CloseArray(list.added_count > 0, json_.objects6_end);
    out_->Put(json_.dropped);
    for (size_t i = 0; i < list.dropped_count; ++i) {
      out_->Put(json_.object6[i == 0 ? 0 : 1]);
      out_->Number(list.dropped[i].first);
      out_->Put(json_.entry);
      out_->String(list.dropped[i].second);
    }
    CloseArray(list.dropped_count > 0, json_.objects6_end);
    out_->Put(json_.entry0_changes);
    out_->Bool(list.changes() > 0 && list.entry0_changes());
    out_->Put(json_.emptied);
    out_->Bool(list.changes() > 0 && list.after.empty());
    out_->Put(json_.list_close);
  }

  void JsonAssetEnd() {
    CloseArray(asset_lists_ > 0, json_.close3);
    out_->Put(json_.skipped);
    for (size_t i = 0; i < skipped_.size(); ++i) {
      out_->Put(json_.element4[i == 0 ? 0 : 1]);
      out_->Put(json_.skipped_property);
      out_->String(skipped_[i].first);
      out_->Put(json_.skipped_why);
      out_->String(skipped_[i].second);
      out_->Put(json_.skipped_close);
    }
    CloseArray(!skipped_.empty(), json_.close3);
    out_->Put(json_.asset_close);
  }

  // The summary members follow the assets: they are known only once the
  // run is over.
  void CloseJson(const CheckSummary& summary) {
    CloseArray(assets_ > 0, json_.close1);
    out_->Put(",\n  \"tavik_exit_code\": ");
    out_->Int(static_cast<int>(summary.outcome.code));
    out_->Put(",\n  \"reason\": ");
    out_->String(reason_);
    out_->Put(",\n  \"exit_code\": ");
    out_->Int(summary.exit_code);
    out_->Put(",\n  \"changes\": ");
    out_->Number(summary.changes);
    out_->Put(",\n  \"unresolved\": ");
    out_->Number(summary.unresolved);
    out_->Put(",\n  \"file\": {\n    \"read_only_attribute_cleared\": ");
    out_->Bool(exit_code_ == ExitCode::kDone && ClearsAttribute());
    out_->Put(",\n    \"read_only_property\": ");
    if (property_present_) {
      out_->Bool(property_value_);
    } else {
      out_->Put("null");
    }
    out_->Put("\n  }\n}\n");
  }

  const CheckOptions& options_;
  const Form form_;
  Output* out_;  // null with Form::kNone
  const JsonLayout& json_;

  bool attribute_set_ = false;
  bool property_present_ = false;
  bool property_value_ = false;
  size_t reference_changes_ = 0;
  size_t unresolved_ = 0;  // entries told as resolving to no file
  ExitCode exit_code_ = ExitCode::kDone;
  std::string reason_;
  tavik::RunOutcome outcome_;

  bool asset_open_ = false;
  std::string asset_name_;
  size_t assets_ = 0;
  size_t asset_lists_ = 0;  // of the current asset
  std::vector<std::pair<std::string, std::string>> skipped_;
  std::string lists_text_;  // the current asset's lists, in text
  ListState list_;
};

// The run Tavik -l [-r] LIB makes after its registry step, dry and
// observed: the same first step, then the update run.
void DryRun(const std::string& library, bool remove,
            tavik::UpdateObserver* observer, tavik::FileSystem* fs,
            const std::function<bool()>& stop = {}) {
  tavik::UpdateRunOptions options;
  options.remove = remove;
  options.dryRun = true;
  options.observer = observer;
  options.stop = stop;
  tavik::RunLibraryUpdate(library, options, fs);
}

// vmpkg refs: every stored reference as the run resolves it, one line (or
// JSON object) each, written as the run tells them.
class RefsReport : public tavik::UpdateObserver {
 public:
  RefsReport(const std::string& library, bool json, Output* out)
      : library_(library), json_(json), out_(out) {}

  void Asset(const std::string& name) override {
    Start();
    asset_ = name;
    in_list_ = false;
  }
  void List(const std::string& property,
            const std::vector<std::string>& entries) override {
    property_ = property;
    before_.assign(entries.begin(), entries.end());
    in_list_ = true;
  }
  void ListDone(const std::vector<std::string>&) override { in_list_ = false; }
  void Entry(size_t index, const std::string& resolved, bool exists) override {
    if (!in_list_ || index >= before_.size()) return;
    const char* state = exists             ? "resolves"
                        : resolved.empty() ? "unresolvable"
                                           : "missing";
    if (!json_) {
      out_->Put(asset_);
      out_->Put("\t");
      out_->Put(property_);
      out_->Put("\t");
      out_->Number(index);
      out_->Put("\t");
      out_->Put(before_[index]);
      out_->Put("\t");
      out_->Put(state);
      out_->Put("\t");
      out_->Put(resolved);
      out_->Put("\n");
      return;
    }
    out_->Put(references_ == 0 ? "[\n    {\n" : ",\n    {\n");
    ++references_;
    out_->Put("      \"asset\": ");
    out_->String(asset_);
    out_->Put(",\n      \"property\": ");
    out_->String(property_);
    out_->Put(",\n      \"index\": ");
    out_->Number(index);
    out_->Put(",\n      \"entry\": ");
    out_->String(before_[index]);
    out_->Put(",\n      \"resolved\": ");
    if (resolved.empty()) {
      out_->Put("null");
    } else {
      out_->String(resolved);
    }
    out_->Put(",\n      \"exists\": ");
    out_->Bool(exists);
    out_->Put("\n    }");
  }
  void Finished(const tavik::RunOutcome& outcome) override {
    exit_code_ = outcome.code;
    reason_ = outcome.Reason();
    if (outcome.code == ExitCode::kDone) Start();
  }

  // The end of the report, for a run that was done.
  void Close() {
    if (!json_) return;
    out_->Put(references_ == 0 ? "[]" : "\n  ]");
    out_->Put("\n}\n");
  }

  ExitCode exit_code() const { return exit_code_; }
  const std::string& reason() const { return reason_; }
  bool started() const { return started_; }

 private:
  // A refused run prints nothing: the report starts with the first asset,
  // which comes only once the library has opened.
  void Start() {
    if (started_) return;
    started_ = true;
    if (!json_) return;
    out_->Put("{\n  \"schema\": \"vmpkg-refs/1\",\n  \"library\": ");
    out_->String(library_);
    out_->Put(",\n  \"references\": ");
  }

  const std::string& library_;
  const bool json_;
  Output* out_;
  bool started_ = false;
  size_t references_ = 0;
  std::string asset_;
  std::string property_;
  std::vector<std::string> before_;
  bool in_list_ = false;
  ExitCode exit_code_ = ExitCode::kDone;
  std::string reason_;
};

}  // namespace

CheckSummary CheckLibrary(const CheckOptions& options, std::FILE* out,
                          std::FILE* err) {
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  if (out == nullptr) {
    CheckReport report(options, CheckReport::Form::kNone, nullptr);
    DryRun(options.library, options.remove, &report, fs, options.stop);
    return report.Summary();
  }
  Output output(out);
  CheckReport report(
      options,
      options.json ? CheckReport::Form::kJson : CheckReport::Form::kText,
      &output);
  DryRun(options.library, options.remove, &report, fs, options.stop);
  CheckSummary summary = report.Summary();
  report.Close(summary);
  if (!output.Finish(err)) summary.exit_code = kExitFailed;
  return summary;
}

int Check(const CheckOptions& options, std::FILE* out, std::FILE* err) {
  return CheckLibrary(options, out, err).exit_code;
}

int Refs(const std::string& library, bool json, std::FILE* out,
         std::FILE* err) {
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  Output output(out);
  RefsReport report(library, json, &output);
  DryRun(library, /*remove=*/false, &report, fs);
  if (report.exit_code() != ExitCode::kDone) {
    // Nothing was written: a dry run refuses before it tells any asset.
    std::fprintf(err, "vmpkg: %s\n", report.reason().c_str());
    return kExitFailed;
  }
  report.Close();
  return output.Finish(err) ? kExitOk : kExitFailed;
}

}  // namespace vmpkg
