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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/sdk/kpath.h"
#include "platform/sdk/qsn_sdk.h"
#include "tools/json_writer.h"
#include "update/update_library_package.h"
#include "update/update_observer.h"

namespace vmpkg {

namespace {

using tavik::ExitCode;

// Appends the decimal digits of `value`.
void AppendNumber(size_t value, std::string* out) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out->append(digits, end);
}

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

// The report's keys, escaped once and shared by every check.
struct Keys {
  const JsonKey name{"name"}, lists{"lists"}, skipped{"skipped"},
      property{"property"}, why{"why"}, before{"before"}, after{"after"},
      entries{"entries"}, index{"index"}, entry{"entry"}, resolved{"resolved"},
      exists{"exists"}, added{"added"}, folder_number{"folder_number"},
      folder{"folder"}, taken{"taken"}, same_stem{"same_stem"},
      dropped{"dropped"}, entry0_changes{"entry0_changes"}, emptied{"emptied"},
      asset{"asset"};

  static const Keys& Get() {
    static const Keys keys;
    return keys;
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

  CheckReport(const CheckOptions& options, Form form, JsonWriter* out)
      : options_(options), form_(form), out_(out), keys_(Keys::Get()) {
    if (form_ == Form::kJson) {
      out_->BeginObject();
      out_->Key("schema");
      out_->String("vmpkg-check/1");
      out_->Key("library");
      out_->String(options_.library);
      out_->Key("remove");
      out_->Bool(options_.remove);
      out_->Key("assets");
      out_->BeginArray();
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
      out_->BeginObject();
      out_->Key(keys_.name);
      out_->String(name);
      out_->Key(keys_.lists);
      out_->BeginArray();
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
    outcome_ = outcome;
  }

  CheckSummary Summary() const {
    CheckSummary summary;
    summary.outcome = outcome_;
    summary.changes = Changes();
    summary.unresolved = options_.remove ? 0 : unresolved_;
    if (outcome_.code != ExitCode::kDone) {
      summary.exit_code = static_cast<int>(outcome_.code);
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
    if (outcome_.code != ExitCode::kDone) return 0;
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
    out_->Raw("asset ");
    out_->Raw(asset_name_);
    out_->Raw("\n");
    for (const auto& [property, why] : skipped_) {
      out_->Raw("  ");
      out_->Raw(property);
      out_->Raw(": left alone, ");
      out_->Raw(why);
      out_->Raw("\n");
    }
    out_->Raw(lists_text_);
  }

  void CloseText(const CheckSummary& summary) {
    if (outcome_.code == ExitCode::kDone) {
      if (ClearsAttribute()) {
        out_->Raw("library file: its read-only mark is cleared\n");
      }
      if (SetsProperty()) {
        out_->Raw("package property \"read only\": false -> true\n");
      }
    }
    if (options_.strict && summary.unresolved > 0) {
      out_->Raw("strict: " + std::to_string(summary.unresolved) +
                (summary.unresolved == 1 ? " reference resolves"
                                         : " references resolve") +
                " to no file\n");
    }
    std::string line = "Tavik -l " + std::string(options_.remove ? "-r " : "") +
                       options_.library + " would exit " +
                       std::to_string(static_cast<int>(summary.outcome.code)) +
                       ": ";
    const std::string reason = outcome_.Reason();
    if (outcome_.code != ExitCode::kDone) {
      line += reason + "\n";
    } else if (summary.changes == 0) {
      line += reason.empty() ? std::string("nothing to do")
                             : reason + ", nothing to do";
      line += "\n";
    } else {
      line +=
          std::to_string(summary.changes) +
          (summary.changes == 1 ? " change pending\n" : " changes pending\n");
    }
    out_->Raw(line);
  }

  // --- JSON ---

  void JsonStrings(const Texts& items) {
    out_->BeginArray();
    for (size_t k = 0; k < items.size(); ++k) out_->String(items[k]);
    out_->EndArray();
  }

  void JsonList() {
    const ListState& list = list_;
    const Keys& k = keys_;
    out_->BeginObject();
    out_->Key(k.property);
    out_->String(list.property);
    out_->Key(k.before);
    JsonStrings(list.before);
    out_->Key(k.after);
    JsonStrings(list.after);
    out_->Key(k.entries);
    out_->BeginArray();
    for (size_t e = 0; e < list.before.size(); ++e) {
      out_->BeginObject();
      out_->Key(k.index);
      out_->UInt(e);
      out_->Key(k.entry);
      out_->String(list.before[e]);
      out_->Key(k.resolved);
      std::string_view resolved = list.Resolved(e);
      if (resolved.empty()) {
        out_->Null();
      } else {
        out_->String(resolved);
      }
      out_->Key(k.exists);
      out_->Bool(e < list.exists.size() && list.exists[e]);
      out_->EndObject();
    }
    out_->EndArray();
    out_->Key(k.added);
    out_->BeginArray();
    for (size_t i = 0; i < list.added_count; ++i) {
      const AddedEntry& a = list.added[i];
      out_->BeginObject();
      out_->Key(k.index);
      out_->UInt(a.index);
      out_->Key(k.entry);
      out_->String(a.entry);
      out_->Key(k.folder_number);
      out_->Int(a.number);
      out_->Key(k.folder);
      out_->String(a.folder);
      out_->Key(k.taken);
      out_->String(a.taken);
      out_->Key(k.same_stem);
      out_->BeginArray();
      EachSameStem(a, [&](std::string_view name) { out_->String(name); });
      out_->EndArray();
      out_->EndObject();
    }
    out_->EndArray();
    out_->Key(k.dropped);
    out_->BeginArray();
    for (size_t i = 0; i < list.dropped_count; ++i) {
      out_->BeginObject();
      out_->Key(k.index);
      out_->UInt(list.dropped[i].first);
      out_->Key(k.entry);
      out_->String(list.dropped[i].second);
      out_->EndObject();
    }
    out_->EndArray();
    out_->Key(k.entry0_changes);
    out_->Bool(list.changes() > 0 && list.entry0_changes());
    out_->Key(k.emptied);
    out_->Bool(list.changes() > 0 && list.after.empty());
    out_->EndObject();
  }

  void JsonAssetEnd() {
    out_->EndArray();  // lists
    out_->Key(keys_.skipped);
    out_->BeginArray();
    for (const auto& [property, why] : skipped_) {
      out_->BeginObject();
      out_->Key(keys_.property);
      out_->String(property);
      out_->Key(keys_.why);
      out_->String(why);
      out_->EndObject();
    }
    out_->EndArray();
    out_->EndObject();
  }

  // The summary members follow the assets: they are known only once the
  // run is over.
  void CloseJson(const CheckSummary& summary) {
    out_->EndArray();  // assets
    out_->Key("tavik_exit_code");
    out_->Int(static_cast<int>(summary.outcome.code));
    out_->Key("reason");
    out_->String(outcome_.Reason());
    out_->Key("exit_code");
    out_->Int(summary.exit_code);
    out_->Key("changes");
    out_->UInt(summary.changes);
    out_->Key("unresolved");
    out_->UInt(summary.unresolved);
    out_->Key("file");
    out_->BeginObject();
    out_->Key("read_only_attribute_cleared");
    out_->Bool(outcome_.code == ExitCode::kDone && ClearsAttribute());
    out_->Key("read_only_property");
    if (property_present_) {
      out_->Bool(property_value_);
    } else {
      out_->Null();
    }
    out_->EndObject();
    out_->EndObject();
    out_->Raw("\n");
  }

  const CheckOptions& options_;
  const Form form_;
  JsonWriter* out_;  // null with Form::kNone; the text report goes through
                     // it as Raw bytes
  const Keys& keys_;

  bool attribute_set_ = false;
  bool property_present_ = false;
  bool property_value_ = false;
  size_t reference_changes_ = 0;
  size_t unresolved_ = 0;      // entries told as resolving to no file
  tavik::RunOutcome outcome_;  // how the run ended, once it has

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
  RefsReport(const std::string& library, bool json, JsonWriter* out)
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
      char digits[24];
      auto end = std::to_chars(digits, digits + sizeof digits, index).ptr;
      for (std::string_view field :
           {std::string_view(asset_), std::string_view(property_),
            std::string_view(digits, static_cast<size_t>(end - digits)),
            std::string_view(before_[index]), std::string_view(state)}) {
        out_->Raw(field);
        out_->Raw("\t");
      }
      out_->Raw(resolved);
      out_->Raw("\n");
      return;
    }
    const Keys& k = Keys::Get();
    out_->BeginObject();
    out_->Key(k.asset);
    out_->String(asset_);
    out_->Key(k.property);
    out_->String(property_);
    out_->Key(k.index);
    out_->UInt(index);
    out_->Key(k.entry);
    out_->String(before_[index]);
    out_->Key(k.resolved);
    if (resolved.empty()) {
      out_->Null();
    } else {
      out_->String(resolved);
    }
    out_->Key(k.exists);
    out_->Bool(exists);
    out_->EndObject();
  }
  void Finished(const tavik::RunOutcome& outcome) override {
    outcome_ = outcome;
    if (outcome.code == ExitCode::kDone) Start();
  }

  // The end of the report, for a run that was done.
  void Close() {
    if (!json_) return;
    out_->EndArray();
    out_->EndObject();
    out_->Raw("\n");
  }

  const tavik::RunOutcome& outcome() const { return outcome_; }
  bool started() const { return started_; }

 private:
  // A refused run prints nothing: the report starts with the first asset,
  // which comes only once the library has opened.
  void Start() {
    if (started_) return;
    started_ = true;
    if (!json_) return;
    out_->BeginObject();
    out_->Key("schema");
    out_->String("vmpkg-refs/1");
    out_->Key("library");
    out_->String(library_);
    out_->Key("references");
    out_->BeginArray();
  }

  const std::string& library_;
  const bool json_;
  JsonWriter* out_;
  bool started_ = false;
  std::string asset_;
  std::string property_;
  std::vector<std::string> before_;
  bool in_list_ = false;
  tavik::RunOutcome outcome_;
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
  BlockSink sink(out);
  JsonWriter output(&sink);
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
  BlockSink sink(out);
  JsonWriter output(&sink);
  RefsReport report(library, json, &output);
  DryRun(library, /*remove=*/false, &report, fs);
  if (report.outcome().code != ExitCode::kDone) {
    // Nothing was written: a dry run refuses before it tells any asset.
    std::fprintf(err, "vmpkg: %s\n", report.outcome().Reason().c_str());
    return kExitFailed;
  }
  report.Close();
  return output.Finish(err) ? kExitOk : kExitFailed;
}

}  // namespace vmpkg
