// vmpkg check and vmpkg refs: dry runs of the update run, told through its
// observer. Nothing here decides what a run does; it only shows it.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
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

struct AddedEntry {
  size_t index = 0;  // where it lands in the list
  int number = 0;    // the numbered folder it was found in
  std::string entry;
  std::string folder;
  std::string taken;
  std::vector<std::string> same_stem;  // listing order; `taken` first
};

struct ListReport {
  std::string property;
  std::vector<std::string> before;
  std::vector<std::string> after;
  std::vector<std::string> resolved;  // per entry of `before`; "" none
  std::vector<bool> exists;           // per entry of `before`
  std::vector<AddedEntry> added;
  std::vector<std::pair<size_t, std::string>> dropped;

  size_t changes() const { return added.size() + dropped.size(); }
  bool entry0_changes() const {
    return after.empty() || after.front() != before.front();
  }
};

struct AssetReport {
  std::string name;
  std::vector<ListReport> lists;
  std::vector<std::pair<std::string, std::string>> skipped;  // property, why
};

// Everything the run told, in its order.
class RunReport : public tavik::UpdateObserver {
 public:
  explicit RunReport(tavik::FileSystem* fs) : fs_(fs) {}

  void ReadOnlyAttribute(bool set) override { attribute_set = set; }
  void ReadOnlyProperty(bool present, bool value) override {
    property_present = present;
    property_value = value;
  }
  void Asset(const std::string& name) override {
    assets.push_back(AssetReport());
    assets.back().name = name;
  }
  void Skipped(const std::string& property, const std::string& why) override {
    assets.back().skipped.emplace_back(property, why);
  }
  void List(const std::string& property,
            const std::vector<std::string>& entries) override {
    assets.back().lists.push_back(ListReport());
    ListReport& list = assets.back().lists.back();
    list.property = property;
    list.before = entries;
  }
  void Entry(size_t index, const std::string& resolved, bool exists) override {
    ListReport& list = assets.back().lists.back();
    if (list.resolved.size() <= index) {
      list.resolved.resize(index + 1);
      list.exists.resize(index + 1);
    }
    list.resolved[index] = resolved;
    list.exists[index] = exists;
  }
  void Added(int number, const std::string& relative, const std::string& folder,
             const std::string& taken) override {
    ListReport& list = assets.back().lists.back();
    AddedEntry added;
    added.index = list.before.size() + list.added.size();
    added.number = number;
    added.entry = relative;
    added.folder = folder;
    added.taken = taken;
    added.same_stem = tavik::FilesWithStem(
        qsnsdk_cm_infra::KString(folder),
        std::string(qsnsdk_cm_infra::FileNameView(taken, /*withExtension=*/
                                                  false)),
        fs_);
    list.added.push_back(std::move(added));
  }
  void Dropped(size_t index, const std::string& entry) override {
    assets.back().lists.back().dropped.emplace_back(index, entry);
  }
  void ListDone(const std::vector<std::string>& entries) override {
    assets.back().lists.back().after = entries;
  }
  void Finished(ExitCode code, const std::string& why) override {
    exit_code = code;
    reason = why;
  }

  // Run-wide counts.
  size_t ReferenceChanges() const {
    size_t n = 0;
    for (const AssetReport& a : assets) {
      for (const ListReport& l : a.lists) n += l.changes();
    }
    return n;
  }
  bool ClearsAttribute() const { return attribute_set; }
  bool SetsProperty() const { return property_present && !property_value; }
  size_t Changes() const {
    if (exit_code != ExitCode::kDone) return 0;
    return ReferenceChanges() + (ClearsAttribute() ? 1 : 0) +
           (SetsProperty() ? 1 : 0);
  }
  // References that resolve nowhere and stay: completion keeps them, a
  // pruning run drops them all.
  size_t UnresolvedAfter(bool remove) const {
    if (remove) return 0;
    size_t n = 0;
    for (const AssetReport& a : assets) {
      for (const ListReport& l : a.lists) {
        for (bool e : l.exists) n += e ? 0 : 1;
      }
    }
    return n;
  }

  bool attribute_set = false;
  bool property_present = false;
  bool property_value = false;
  std::vector<AssetReport> assets;
  ExitCode exit_code = ExitCode::kDone;
  std::string reason;

 private:
  tavik::FileSystem* fs_;
};

// The run Tavik -l [-r] LIB makes after its registry step: the library
// file's existence decides as it does in the driver, then the update run,
// here dry and observed.
void DryRun(const std::string& library, bool remove, RunReport* report) {
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  if (library.empty()) {
    report->Finished(ExitCode::kNoPath, "no library path");
    return;
  }
  if (!qsnsdk_cm_infra::FileExist(qsnsdk_cm_infra::KString(library), fs)) {
    if (remove) {
      report->Finished(ExitCode::kDone, "library file " + library + " missing");
    } else {
      report->Finished(ExitCode::kMissingFile,
                       "library file " + library + " missing");
    }
    return;
  }
  qsnsdk_cm_infra::KQsnSdkManager manager(fs);
  tavik::UpdateRunOptions options;
  options.remove = remove;
  options.dryRun = true;
  options.observer = report;
  tavik::UpdateLibraryPackage(&manager, qsnsdk_cm_infra::KString(library),
                              options, fs);
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

std::string TavikLine(const RunReport& report, bool remove,
                      const std::string& library) {
  std::string line = "Tavik -l " + std::string(remove ? "-r " : "") + library +
                     " would exit " +
                     std::to_string(static_cast<int>(report.exit_code)) + ": ";
  if (report.exit_code != ExitCode::kDone) return line + report.reason + "\n";
  size_t changes = report.Changes();
  if (changes == 0) {
    return line +
           (report.reason.empty() ? std::string("nothing to do")
                                  : report.reason + ", nothing to do") +
           "\n";
  }
  return line + std::to_string(changes) +
         (changes == 1 ? " change pending\n" : " changes pending\n");
}

std::string HumanReport(const RunReport& report, const CheckOptions& options) {
  std::string out;
  for (const AssetReport& asset : report.assets) {
    std::string body;
    for (const auto& [property, why] : asset.skipped) {
      body += "  " + property + ": left alone, " + why + "\n";
    }
    for (const ListReport& list : asset.lists) {
      std::string lines;
      for (const AddedEntry& a : list.added) {
        lines += "    + " + a.entry + "    (folder " +
                 std::to_string(a.number) + ": " + a.taken;
        if (a.same_stem.size() > 1) {
          lines += ", the first of " + Join(a.same_stem) + " in listing order";
        }
        lines += ")\n";
      }
      for (const auto& [index, entry] : list.dropped) {
        lines += "    - " + entry + "    (entry " + std::to_string(index) +
                 ", resolves to no file)\n";
      }
      if (list.changes() > 0 && list.entry0_changes()) {
        lines +=
            "    entry 0: " + list.before.front() + " -> " +
            (list.after.empty() ? std::string("(none)") : list.after.front()) +
            "\n";
      }
      if (list.changes() > 0 && list.after.empty()) {
        lines += "    the list becomes empty\n";
      }
      if (!options.remove) {
        for (size_t k = 0; k < list.exists.size(); ++k) {
          if (list.exists[k]) continue;
          lines += "    ? " + list.before[k] + "    (entry " +
                   std::to_string(k) + ", resolves to no file" +
                   (k == 0 ? "; no variants are looked for" : "") + ")\n";
        }
      }
      if (!lines.empty()) body += "  " + list.property + "\n" + lines;
    }
    if (!body.empty()) out += "asset " + asset.name + "\n" + body;
  }
  if (report.exit_code == ExitCode::kDone) {
    if (report.ClearsAttribute()) {
      out += "library file: its read-only mark is cleared\n";
    }
    if (report.SetsProperty()) {
      out += "package property \"read only\": false -> true\n";
    }
  }
  size_t unresolved = report.UnresolvedAfter(options.remove);
  if (options.strict && unresolved > 0) {
    out += "strict: " + std::to_string(unresolved) +
           (unresolved == 1 ? " reference resolves" : " references resolve") +
           " to no file\n";
  }
  out += TavikLine(report, options.remove, options.library);
  return out;
}

// Texts that are not UTF-8 (a path given as such bytes) are shown with
// U+FFFD rather than refused.
std::string JsonText(const OrderedJson& doc) {
  return doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

OrderedJson StringArray(const std::vector<std::string>& items) {
  OrderedJson array = OrderedJson::array();
  for (const std::string& item : items) array.push_back(item);
  return array;
}

OrderedJson JsonReport(const RunReport& report, const CheckOptions& options,
                       int exit_code) {
  OrderedJson doc;
  doc["schema"] = "vmpkg-check/1";
  doc["library"] = options.library;
  doc["remove"] = options.remove;
  doc["tavik_exit_code"] = static_cast<int>(report.exit_code);
  doc["reason"] = report.reason;
  doc["exit_code"] = exit_code;
  doc["changes"] = report.Changes();
  doc["unresolved"] = report.UnresolvedAfter(options.remove);
  OrderedJson file;
  file["read_only_attribute_cleared"] =
      report.exit_code == ExitCode::kDone && report.ClearsAttribute();
  if (report.property_present) {
    file["read_only_property"] = report.property_value;
  } else {
    file["read_only_property"] = nullptr;
  }
  doc["file"] = std::move(file);
  OrderedJson assets = OrderedJson::array();
  for (const AssetReport& asset : report.assets) {
    OrderedJson a;
    a["name"] = asset.name;
    OrderedJson lists = OrderedJson::array();
    for (const ListReport& list : asset.lists) {
      OrderedJson l;
      l["property"] = list.property;
      l["before"] = StringArray(list.before);
      l["after"] = StringArray(list.after);
      OrderedJson entries = OrderedJson::array();
      for (size_t k = 0; k < list.before.size(); ++k) {
        OrderedJson e;
        e["index"] = k;
        e["entry"] = list.before[k];
        e["resolved"] = k < list.resolved.size() && !list.resolved[k].empty()
                            ? OrderedJson(list.resolved[k])
                            : OrderedJson(nullptr);
        e["exists"] = k < list.exists.size() && list.exists[k];
        entries.push_back(std::move(e));
      }
      l["entries"] = std::move(entries);
      OrderedJson added = OrderedJson::array();
      for (const AddedEntry& x : list.added) {
        OrderedJson e;
        e["index"] = x.index;
        e["entry"] = x.entry;
        e["folder_number"] = x.number;
        e["folder"] = x.folder;
        e["taken"] = x.taken;
        e["same_stem"] = StringArray(x.same_stem);
        added.push_back(std::move(e));
      }
      l["added"] = std::move(added);
      OrderedJson dropped = OrderedJson::array();
      for (const auto& [index, entry] : list.dropped) {
        OrderedJson e;
        e["index"] = index;
        e["entry"] = entry;
        dropped.push_back(std::move(e));
      }
      l["dropped"] = std::move(dropped);
      l["entry0_changes"] = list.changes() > 0 && list.entry0_changes();
      l["emptied"] = list.changes() > 0 && list.after.empty();
      lists.push_back(std::move(l));
    }
    a["lists"] = std::move(lists);
    OrderedJson skipped = OrderedJson::array();
    for (const auto& [property, why] : asset.skipped) {
      skipped.push_back({{"property", property}, {"why", why}});
    }
    a["skipped"] = std::move(skipped);
    assets.push_back(std::move(a));
  }
  doc["assets"] = std::move(assets);
  return doc;
}

}  // namespace

int Check(const CheckOptions& options, std::FILE* out, std::FILE* err) {
  RunReport report(tavik::DefaultFileSystem());
  DryRun(options.library, options.remove, &report);
  int code = kExitOk;
  if (report.exit_code != ExitCode::kDone) {
    code = static_cast<int>(report.exit_code);
  } else if (options.strict && report.UnresolvedAfter(options.remove) > 0) {
    code = kExitCheckUnresolved;
  } else if (report.Changes() > 0) {
    code = kExitCheckPending;
  }
  std::string text = options.json ? JsonText(JsonReport(report, options, code))
                                  : HumanReport(report, options);
  if (!WriteAll(text, out, err)) return kExitFailed;
  return code;
}

int Refs(const std::string& library, bool json, std::FILE* out,
         std::FILE* err) {
  RunReport report(tavik::DefaultFileSystem());
  DryRun(library, /*remove=*/false, &report);
  if (report.exit_code != ExitCode::kDone) {
    std::fprintf(err, "vmpkg: %s\n", report.reason.c_str());
    return kExitFailed;
  }
  OrderedJson references = OrderedJson::array();
  std::string text;
  for (const AssetReport& asset : report.assets) {
    for (const ListReport& list : asset.lists) {
      for (size_t k = 0; k < list.before.size(); ++k) {
        const std::string& resolved =
            k < list.resolved.size() ? list.resolved[k] : std::string();
        bool exists = k < list.exists.size() && list.exists[k];
        const char* state = exists             ? "resolves"
                            : resolved.empty() ? "unresolvable"
                                               : "missing";
        if (json) {
          OrderedJson r;
          r["asset"] = asset.name;
          r["property"] = list.property;
          r["index"] = k;
          r["entry"] = list.before[k];
          r["resolved"] =
              resolved.empty() ? OrderedJson(nullptr) : OrderedJson(resolved);
          r["exists"] = exists;
          references.push_back(std::move(r));
        } else {
          text += asset.name + "\t" + list.property + "\t" + std::to_string(k) +
                  "\t" + list.before[k] + "\t" + state + "\t" + resolved + "\n";
        }
      }
    }
  }
  if (json) {
    OrderedJson doc;
    doc["schema"] = "vmpkg-refs/1";
    doc["library"] = library;
    doc["references"] = std::move(references);
    text = JsonText(doc);
  }
  return WriteAll(text, out, err) ? kExitOk : kExitFailed;
}

}  // namespace vmpkg
