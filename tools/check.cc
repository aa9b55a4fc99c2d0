// vmpkg check and vmpkg refs: dry runs of the update run, told through its
// observer. Nothing here decides what a run does; it only shows it.
//
// The reports are written as the run tells them: a list is kept until the
// run leaves it, an asset's text until its last list, and nothing longer, so
// a check of a million assets needs no more memory than the run itself.
#include <charconv>
#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/sdk/kpath.h"
#include "platform/sdk/qsn_sdk.h"
#include "tools/commands.h"
#include "tools/vmpkg.h"
#include "update/update_library_package.h"
#include "update/update_observer.h"

namespace vmpkg {

namespace {

using OrderedJson = nlohmann::ordered_json;
using tavik::ExitCode;

// A report on its way out: text gathered in a buffer and written in pieces.
// Strings go through nlohmann's own serialiser, as a whole document's
// dump(2) would print them: escaped, and with what is not UTF-8 shown as
// U+FFFD.
class Output {
 public:
  explicit Output(std::FILE* out) : out_(out) {}

  void Put(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kFlushAt) Flush();
  }
  void Indent(int level) {
    buffer_.append(2 * static_cast<size_t>(level), ' ');
  }
  void String(std::string_view text) {
    // One value and one serialiser serve every string: making them per
    // string (as dump() does) costs more than most strings' escaping.
    string_.get_ref<std::string&>().assign(text);
    serializer_.dump(string_, /*pretty_print=*/false, /*ensure_ascii=*/false,
                     /*indent_step=*/0);
  }
  void Number(size_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    buffer_.append(digits, end);
  }
  void Int(int value) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    buffer_.append(digits, end);
  }
  void Bool(bool value) { buffer_.append(value ? "true" : "false"); }

  // Writes what is left and flushes; false (with a message on `err`) when
  // any write failed.
  bool Finish(std::FILE* err) {
    Flush();
    if (failed_ || std::fflush(out_) != 0 || std::ferror(out_)) {
      std::fprintf(err, "vmpkg: can't write the output\n");
      return false;
    }
    return true;
  }

 private:
  static constexpr size_t kFlushAt = 1 << 16;

  void Flush() {
    if (!failed_ && !buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), out_) !=
            buffer_.size()) {
      failed_ = true;
    }
    buffer_.clear();
  }

  std::FILE* out_;
  std::string buffer_;  // before serializer_, which appends to it
  nlohmann::detail::serializer<OrderedJson> serializer_{
      nlohmann::detail::output_adapter<char, std::string>(buffer_), ' ',
      nlohmann::detail::error_handler_t::replace};
  OrderedJson string_ = std::string();
  bool failed_ = false;
};

struct AddedEntry {
  size_t index = 0;  // where it lands in the list
  int number = 0;    // the numbered folder it was found in
  std::string entry;
  std::string folder;
  std::string taken;
  std::vector<std::string> same_stem;  // listing order; `taken` first
};

// One reference list as the run tells it, kept from List to ListDone; its
// buffers serve every list of the run in turn.
struct ListState {
  bool open = false;
  std::string property;
  std::vector<std::string> before;
  std::vector<std::string> after;
  std::vector<std::string> resolved;  // per entry of `before`; "" none
  std::vector<bool> exists;           // per entry told
  std::vector<AddedEntry> added;
  size_t added_count = 0;  // of `added`, those of this list
  std::vector<std::pair<size_t, std::string>> dropped;

  void Start(const std::string& name, const std::vector<std::string>& entries,
             bool detail) {
    open = true;
    added_count = 0;
    dropped.clear();
    exists.clear();
    after.clear();
    if (!detail) return;
    property = name;
    before.assign(entries.begin(), entries.end());
    resolved.clear();
  }
  // With detail only.
  size_t changes() const { return added_count + dropped.size(); }
  bool entry0_changes() const {
    return after.empty() || before.empty() || after.front() != before.front();
  }
};

// What a check comes to, told by the run: the summary always, and with a
// report to make, each asset's part of it as soon as the run is done with
// the asset. The text and the JSON report are the two forms of one walk.
class CheckReport : public tavik::UpdateObserver {
 public:
  enum class Form { kNone, kText, kJson };

  CheckReport(const CheckOptions& options, Form form, Output* out,
              tavik::FileSystem* fs)
      : options_(options), form_(form), out_(out), fs_(fs) {
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
  bool WantsListings() override { return form_ != Form::kNone; }
  void FolderListed(const std::string& path,
                    const tavik::DirListing& entries) override {
    auto groups = std::make_unique<Groups>(tavik::SameStemGroups(entries));
    std::lock_guard<std::mutex> lock(listed_mutex_);
    // The first listing of a folder stays: answers already given point
    // into it.
    listed_.try_emplace(path, std::move(groups));
  }

  void Asset(const std::string& name) override {
    EndAsset();
    asset_open_ = true;
    if (form_ == Form::kNone) return;
    asset_name_ = name;
    skipped_.clear();
    asset_lists_ = 0;
    if (form_ == Form::kJson) {
      out_->Put(assets_ == 0 ? "[\n" : ",\n");
      out_->Indent(2);
      out_->Put("{\n");
      out_->Indent(3);
      out_->Put("\"name\": ");
      out_->String(name);
      out_->Put(",\n");
      out_->Indent(3);
      out_->Put("\"lists\": ");
    } else {
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
    if (list_.exists.size() <= index) list_.exists.resize(index + 1);
    list_.exists[index] = exists;
    if (form_ == Form::kNone) return;
    if (list_.resolved.size() <= index) list_.resolved.resize(index + 1);
    list_.resolved[index] = resolved;
  }
  void Added(int number, const std::string& relative, const std::string& folder,
             const std::string& taken) override {
    if (!list_.open) return;
    ++reference_changes_;
    if (form_ == Form::kNone) {
      ++list_.added_count;
      return;
    }
    if (list_.added.size() <= list_.added_count) list_.added.emplace_back();
    AddedEntry& added = list_.added[list_.added_count++];
    added.index = list_.before.size() + list_.added_count - 1;
    added.number = number;
    added.entry = relative;
    added.folder = folder;
    added.taken = taken;
    SameStem(folder, taken, &added.same_stem);
  }
  void Dropped(size_t index, const std::string& entry) override {
    if (!list_.open) return;
    ++reference_changes_;
    if (form_ != Form::kNone) list_.dropped.emplace_back(index, entry);
  }
  void ListDone(const std::vector<std::string>& entries) override {
    if (!list_.open) return;
    if (form_ != Form::kNone)
      list_.after.assign(entries.begin(), entries.end());
    EndList();
  }
  void Finished(ExitCode code, const std::string& why) override {
    EndAsset();
    exit_code_ = code;
    reason_ = why;
  }

  CheckSummary Summary() const {
    CheckSummary summary;
    summary.tavik_exit_code = static_cast<int>(exit_code_);
    summary.reason = reason_;
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
  using Groups = std::unordered_map<std::string, std::vector<std::string>>;

  bool ClearsAttribute() const { return attribute_set_; }
  bool SetsProperty() const { return property_present_ && !property_value_; }
  size_t Changes() const {
    if (exit_code_ != ExitCode::kDone) return 0;
    return reference_changes_ + (ClearsAttribute() ? 1 : 0) +
           (SetsProperty() ? 1 : 0);
  }

  // FilesWithStem(folder, stem of taken), from the run's own listing of
  // the folder where it passed by (it always does: `taken` comes from it).
  void SameStem(const std::string& folder, const std::string& taken,
                std::vector<std::string>* same_stem) {
    std::string_view stem = qsnsdk_cm_infra::FileNameView(taken, false);
    const Groups* groups = nullptr;
    {
      std::lock_guard<std::mutex> lock(listed_mutex_);
      auto found = listed_.find(folder);
      if (found != listed_.end()) groups = found->second.get();
    }
    if (groups == nullptr) {
      *same_stem = tavik::FilesWithStem(qsnsdk_cm_infra::KString(folder),
                                        std::string(stem), fs_);
      return;
    }
    auto group = groups->find(std::string(stem));
    if (group != groups->end()) {
      *same_stem = group->second;
    } else {
      same_stem->assign(1, taken);
    }
  }

  void EndList() {
    if (!list_.open) return;
    list_.open = false;
    for (bool e : list_.exists) unresolved_ += e ? 0 : 1;
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
    size_t mark = lists_text_.size();
    lists_text_ += "  ";
    lists_text_ += list.property;
    lists_text_ += "\n";
    size_t start = lists_text_.size();
    for (size_t i = 0; i < list.added_count; ++i) {
      const AddedEntry& a = list.added[i];
      lists_text_ += "    + ";
      lists_text_ += a.entry;
      lists_text_ += "    (folder ";
      lists_text_ += std::to_string(a.number);
      lists_text_ += ": ";
      lists_text_ += a.taken;
      if (a.same_stem.size() > 1) {
        lists_text_ += ", the first of ";
        for (size_t k = 0; k < a.same_stem.size(); ++k) {
          if (k > 0) lists_text_ += ", ";
          lists_text_ += a.same_stem[k];
        }
        lists_text_ += " in listing order";
      }
      lists_text_ += ")\n";
    }
    for (const auto& [index, entry] : list.dropped) {
      lists_text_ += "    - ";
      lists_text_ += entry;
      lists_text_ += "    (entry ";
      lists_text_ += std::to_string(index);
      lists_text_ += ", resolves to no file)\n";
    }
    if (list.changes() > 0 && list.entry0_changes()) {
      lists_text_ += "    entry 0: ";
      lists_text_ += list.before.empty() ? std::string() : list.before.front();
      lists_text_ += " -> ";
      lists_text_ +=
          list.after.empty() ? std::string("(none)") : list.after.front();
      lists_text_ += "\n";
    }
    if (list.changes() > 0 && list.after.empty()) {
      lists_text_ += "    the list becomes empty\n";
    }
    if (!options_.remove) {
      for (size_t k = 0; k < list.exists.size(); ++k) {
        if (list.exists[k] || k >= list.before.size()) continue;
        lists_text_ += "    ? ";
        lists_text_ += list.before[k];
        lists_text_ += "    (entry ";
        lists_text_ += std::to_string(k);
        lists_text_ += ", resolves to no file";
        if (k == 0) lists_text_ += "; no variants are looked for";
        lists_text_ += ")\n";
      }
    }
    // A list with nothing to say is not named.
    if (lists_text_.size() == start) lists_text_.resize(mark);
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
                       std::to_string(summary.tavik_exit_code) + ": ";
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

  // --- JSON, laid out as dump(2) lays out the whole document ---

  // `[` or `[]`, the strings one a line at `level`, and `]`.
  void JsonStrings(const std::vector<std::string>& items, int level) {
    if (items.empty()) {
      out_->Put("[]");
      return;
    }
    out_->Put("[\n");
    for (size_t k = 0; k < items.size(); ++k) {
      if (k > 0) out_->Put(",\n");
      out_->Indent(level);
      out_->String(items[k]);
    }
    out_->Put("\n");
    out_->Indent(level - 1);
    out_->Put("]");
  }
  // `"key": ` at `level`, after the member before it.
  void Member(const char* key, int level, bool first = false) {
    if (!first) out_->Put(",\n");
    out_->Indent(level);
    out_->Put("\"");
    out_->Put(key);
    out_->Put("\": ");
  }
  // Between the elements of an array at `level`: "[\n" before the first.
  void Element(bool first, int level) {
    out_->Put(first ? "[\n" : ",\n");
    out_->Indent(level);
  }
  void CloseArray(bool any, int level) {
    if (!any) {
      out_->Put("[]");
      return;
    }
    out_->Put("\n");
    out_->Indent(level);
    out_->Put("]");
  }

  void JsonList() {
    const ListState& list = list_;
    // Assets at level 2, their members at 3, lists at 4, list members at 5.
    Element(asset_lists_ == 0, 4);
    out_->Put("{\n");
    Member("property", 5, true);
    out_->String(list.property);
    Member("before", 5);
    JsonStrings(list.before, 6);
    Member("after", 5);
    JsonStrings(list.after, 6);
    Member("entries", 5);
    for (size_t k = 0; k < list.before.size(); ++k) {
      Element(k == 0, 6);
      out_->Put("{\n");
      Member("index", 7, true);
      out_->Number(k);
      Member("entry", 7);
      out_->String(list.before[k]);
      Member("resolved", 7);
      if (k < list.resolved.size() && !list.resolved[k].empty()) {
        out_->String(list.resolved[k]);
      } else {
        out_->Put("null");
      }
      Member("exists", 7);
      out_->Bool(k < list.exists.size() && list.exists[k]);
      out_->Put("\n");
      out_->Indent(6);
      out_->Put("}");
    }
    CloseArray(!list.before.empty(), 5);
    Member("added", 5);
    for (size_t i = 0; i < list.added_count; ++i) {
      const AddedEntry& a = list.added[i];
      Element(i == 0, 6);
      out_->Put("{\n");
      Member("index", 7, true);
      out_->Number(a.index);
      Member("entry", 7);
      out_->String(a.entry);
      Member("folder_number", 7);
      out_->Int(a.number);
      Member("folder", 7);
      out_->String(a.folder);
      Member("taken", 7);
      out_->String(a.taken);
      Member("same_stem", 7);
      JsonStrings(a.same_stem, 8);
      out_->Put("\n");
      out_->Indent(6);
      out_->Put("}");
    }
    CloseArray(list.added_count > 0, 5);
    Member("dropped", 5);
    for (size_t i = 0; i < list.dropped.size(); ++i) {
      Element(i == 0, 6);
      out_->Put("{\n");
      Member("index", 7, true);
      out_->Number(list.dropped[i].first);
      Member("entry", 7);
      out_->String(list.dropped[i].second);
      out_->Put("\n");
      out_->Indent(6);
      out_->Put("}");
    }
    CloseArray(!list.dropped.empty(), 5);
    Member("entry0_changes", 5);
    out_->Bool(list.changes() > 0 && list.entry0_changes());
    Member("emptied", 5);
    out_->Bool(list.changes() > 0 && list.after.empty());
    out_->Put("\n");
    out_->Indent(4);
    out_->Put("}");
  }

  void JsonAssetEnd() {
    CloseArray(asset_lists_ > 0, 3);
    Member("skipped", 3);
    for (size_t i = 0; i < skipped_.size(); ++i) {
      Element(i == 0, 4);
      out_->Put("{\n");
      Member("property", 5, true);
      out_->String(skipped_[i].first);
      Member("why", 5);
      out_->String(skipped_[i].second);
      out_->Put("\n");
      out_->Indent(4);
      out_->Put("}");
    }
    CloseArray(!skipped_.empty(), 3);
    out_->Put("\n");
    out_->Indent(2);
    out_->Put("}");
  }

  // The summary members follow the assets: they are known only once the
  // run is over.
  void CloseJson(const CheckSummary& summary) {
    CloseArray(assets_ > 0, 1);
    Member("tavik_exit_code", 1);
    out_->Int(summary.tavik_exit_code);
    Member("reason", 1);
    out_->String(summary.reason);
    Member("exit_code", 1);
    out_->Int(summary.exit_code);
    Member("changes", 1);
    out_->Number(summary.changes);
    Member("unresolved", 1);
    out_->Number(summary.unresolved);
    Member("file", 1);
    out_->Put("{\n");
    Member("read_only_attribute_cleared", 2, true);
    out_->Bool(exit_code_ == ExitCode::kDone && ClearsAttribute());
    Member("read_only_property", 2);
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
  tavik::FileSystem* fs_;

  bool attribute_set_ = false;
  bool property_present_ = false;
  bool property_value_ = false;
  size_t reference_changes_ = 0;
  size_t unresolved_ = 0;  // entries told as resolving to no file
  ExitCode exit_code_ = ExitCode::kDone;
  std::string reason_;

  bool asset_open_ = false;
  std::string asset_name_;
  size_t assets_ = 0;
  size_t asset_lists_ = 0;  // of the current asset
  std::vector<std::pair<std::string, std::string>> skipped_;
  std::string lists_text_;  // the current asset's lists, in text
  ListState list_;

  // The run lists folders from more than one thread.
  std::mutex listed_mutex_;
  std::unordered_map<std::string, std::unique_ptr<Groups>> listed_;
};

// The run Tavik -l [-r] LIB makes after its registry step: the library
// file's existence decides as it does in the driver, then the update run,
// here dry and observed.
void DryRun(const std::string& library, bool remove,
            tavik::UpdateObserver* observer, tavik::FileSystem* fs) {
  if (library.empty()) {
    observer->Finished(ExitCode::kNoPath, "no library path");
    return;
  }
  if (!qsnsdk_cm_infra::FileExist(qsnsdk_cm_infra::KString(library), fs)) {
    observer->Finished(remove ? ExitCode::kDone : ExitCode::kMissingFile,
                       "library file " + library + " missing");
    return;
  }
  qsnsdk_cm_infra::KQsnSdkManager manager(fs);
  tavik::UpdateRunOptions options;
  options.remove = remove;
  options.dryRun = true;
  options.observer = observer;
  tavik::UpdateLibraryPackage(&manager, qsnsdk_cm_infra::KString(library),
                              options, fs);
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
  void Finished(ExitCode code, const std::string& why) override {
    exit_code_ = code;
    reason_ = why;
    if (code == ExitCode::kDone) Start();
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
    CheckReport report(options, CheckReport::Form::kNone, nullptr, fs);
    DryRun(options.library, options.remove, &report, fs);
    return report.Summary();
  }
  Output output(out);
  CheckReport report(
      options,
      options.json ? CheckReport::Form::kJson : CheckReport::Form::kText,
      &output, fs);
  DryRun(options.library, options.remove, &report, fs);
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
