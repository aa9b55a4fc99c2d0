// vmpkg registry: the LibraryPaths lists as the tool's own registry sees them
// (the registry store on POSIX, the Windows registry on Windows), and with
// `check` what is wrong with them.
#include "tools/registry_report.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/status.h"
#include "platform/os/file_system.h"
#include "platform/os/registry.h"
#include "platform/sdk/kpath.h"
#include "registration/library_paths.h"
#include "tools/exit_codes.h"
#include "tools/output.h"

namespace vmpkg {

namespace {

using OrderedJson = nlohmann::ordered_json;

// Absolute on either system: "/...", "\...", or a drive letter followed by
// ":" and a separator. Anything else depends on the folder of whoever reads
// the list.
bool IsAbsolutePath(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 3 &&
         ((path[0] >= 'A' && path[0] <= 'Z') ||
          (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

struct Problem {
  std::string what;  // "missing", "relative", "duplicate", "unreadable", ...
  std::string text;  // in words
};

struct EntryReport {
  std::string path;
  std::vector<Problem> problems;
};

struct ViewReport {
  int bits = 64;
  tavik::LibraryPathsReading reading;
  std::vector<EntryReport> entries;
  std::vector<Problem> problems;  // of the view as a whole
};

ViewReport Inspect(bool perUser, int bits, bool check, tavik::Registry* reg,
                   tavik::FileSystem* fs) {
  ViewReport view;
  view.bits = bits;
  view.reading = tavik::ReadLibraryPaths(perUser, bits == 64, reg);
  const tavik::Status& read = view.reading.read;
  if (check && !read.ok() && read.code() != tavik::Status::Code::kNotFound) {
    view.problems.push_back({"unreadable", read.message()});
  }
  if (check &&
      view.reading.writable.code() == tavik::Status::Code::kAccessDenied) {
    view.problems.push_back({"not_writable", view.reading.writable.message()});
  }
  std::map<std::string, size_t> first_index;
  for (size_t i = 0; i < view.reading.entries.size(); ++i) {
    EntryReport entry;
    entry.path = view.reading.entries[i];
    if (check) {
      if (entry.path.empty()) {
        entry.problems.push_back({"empty", "empty entry"});
      } else {
        if (!IsAbsolutePath(entry.path)) {
          entry.problems.push_back(
              {"relative", "relative path: it depends on the reader's folder"});
        }
        if (!qsnsdk_cm_infra::FileExist(qsnsdk_cm_infra::KString(entry.path),
                                        fs)) {
          entry.problems.push_back({"missing", "no file at this path"});
        }
      }
      auto [it, inserted] = first_index.emplace(entry.path, i);
      if (!inserted) {
        entry.problems.push_back(
            {"duplicate", "duplicate of entry " + std::to_string(it->second)});
      }
    }
    view.entries.push_back(std::move(entry));
  }
  return view;
}

size_t ProblemCount(const std::vector<ViewReport>& views) {
  size_t n = 0;
  for (const ViewReport& v : views) {
    n += v.problems.size();
    for (const EntryReport& e : v.entries) n += e.problems.size();
  }
  return n;
}

std::string Human(const std::vector<ViewReport>& views, bool check) {
  std::string out;
  for (const ViewReport& view : views) {
    out += view.reading.key + " (" + std::to_string(view.bits) + "-bit view)\n";
    const tavik::Status& read = view.reading.read;
    if (read.code() == tavik::Status::Code::kNotFound) {
      out += "  no list\n";
    } else if (!read.ok() && !check) {
      out += "  can't read the list: " + read.message() + "\n";
    }
    for (const Problem& p : view.problems) out += "  ! " + p.text + "\n";
    for (size_t i = 0; i < view.entries.size(); ++i) {
      const EntryReport& e = view.entries[i];
      out += "  " + std::to_string(i) + "\t" + e.path + "\n";
      for (const Problem& p : e.problems) out += "    ! " + p.text + "\n";
    }
  }
  if (check) {
    size_t n = ProblemCount(views);
    out += n == 0 ? std::string("no problems\n")
                  : std::to_string(n) + (n == 1 ? " problem\n" : " problems\n");
  }
  return out;
}

OrderedJson Problems(const std::vector<Problem>& problems) {
  OrderedJson array = OrderedJson::array();
  for (const Problem& p : problems) {
    array.push_back({{"problem", p.what}, {"text", p.text}});
  }
  return array;
}

std::string Json(const std::vector<ViewReport>& views, bool check,
                 bool perUser) {
  OrderedJson doc;
  doc["schema"] = "vmpkg-registry/1";
  doc["hive"] = perUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
  OrderedJson list = OrderedJson::array();
  for (const ViewReport& view : views) {
    OrderedJson v;
    v["view"] = view.bits;
    v["key"] = view.reading.key;
    const tavik::Status& read = view.reading.read;
    v["found"] = read.ok();
    v["error"] = read.ok() || read.code() == tavik::Status::Code::kNotFound
                     ? OrderedJson(nullptr)
                     : OrderedJson(read.message());
    v["writable"] = view.reading.writable.ok();
    OrderedJson entries = OrderedJson::array();
    for (const EntryReport& e : view.entries) {
      OrderedJson entry;
      entry["path"] = e.path;
      if (check) entry["problems"] = Problems(e.problems);
      entries.push_back(std::move(entry));
    }
    v["entries"] = std::move(entries);
    if (check) v["problems"] = Problems(view.problems);
    list.push_back(std::move(v));
  }
  doc["views"] = std::move(list);
  if (check) doc["problem_count"] = ProblemCount(views);
  return doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

// The distinct paths of the views, in list order; a list that cannot be
// read is said on `err` and fails the run. So does a path holding a line
// break, which cannot be printed one a line: a script reading the lines
// would take its pieces for paths (and a removal of a piece can match
// inside another entry), so it is left out and named, escaped, on `err`.
int PathsReport(const std::vector<ViewReport>& views, std::FILE* out,
                std::FILE* err) {
  int code = kExitOk;
  std::set<std::string> seen;
  std::string text;
  for (const ViewReport& view : views) {
    const tavik::Status& read = view.reading.read;
    if (!read.ok() && read.code() != tavik::Status::Code::kNotFound) {
      std::fprintf(err, "vmpkg: can't read %s (%d-bit view): %s\n",
                   view.reading.key.c_str(), view.bits, read.message().c_str());
      code = kExitFailed;
    }
    for (const EntryReport& e : view.entries) {
      if (e.path.empty() || !seen.insert(e.path).second) continue;
      if (e.path.find_first_of("\r\n") != std::string::npos) {
        std::fprintf(err,
                     "vmpkg: a listed path holds a line break, left out: %s\n",
                     JsonQuoted(e.path).c_str());
        code = kExitFailed;
        continue;
      }
      text += e.path + "\n";
    }
  }
  return WriteAll(text, out, err) ? code : kExitFailed;
}

}  // namespace

bool IsAbsoluteLibraryPath(const std::string& path) {
  return IsAbsolutePath(path);
}

int RegistryReport(const RegistryOptions& options, std::FILE* out,
                   std::FILE* err) {
  tavik::Registry* registry = tavik::DefaultRegistry();
  tavik::FileSystem* fs = tavik::DefaultFileSystem();
  std::vector<ViewReport> views;
  for (int bits : {32, 64}) {
    if (options.view != 0 && options.view != bits) continue;
    views.push_back(
        Inspect(options.perUser, bits, options.check, registry, fs));
  }
  if (options.paths) return PathsReport(views, out, err);
  std::string text = options.json ? Json(views, options.check, options.perUser)
                                  : Human(views, options.check);
  if (!WriteAll(text, out, err)) return kExitFailed;
  if (options.check) return ProblemCount(views) > 0 ? kExitFailed : kExitOk;
  for (const ViewReport& view : views) {
    const tavik::Status& read = view.reading.read;
    if (!read.ok() && read.code() != tavik::Status::Code::kNotFound) {
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace vmpkg
