// vmpkg check --registered: every library of the registered lists, each by
// the check of `vmpkg check LIB` (CheckLibrary), several at once. What a
// library's state is comes from that check's summary and from the path; the
// report is made whole at the end, in list order, so an interrupted run
// leaves nothing half written.
#include "tools/audit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/base/status.h"
#include "platform/os/interrupt.h"
#include "platform/os/registry.h"
#include "platform/os/terminal.h"
#include "registration/library_paths.h"
#include "tools/check_report.h"
#include "tools/output.h"
#include "tools/registry_report.h"

namespace vmpkg {

namespace {

using Clock = std::chrono::steady_clock;
using OrderedJson = nlohmann::ordered_json;

// In the order of the summary line.
enum class State {
  kUpToDate,
  kPending,
  kUnresolved,
  kDuplicate,
  kRelative,
  kLibraryMissing,
  kMediaMissing,
  kUnreadable,
  kInvalid,
};
constexpr int kStateCount = 9;

struct StateName {
  const char* json;
  const char* summary;  // after a count
};
constexpr StateName kStateNames[kStateCount] = {
    {"up_to_date", "up to date"},
    {"pending", "with changes pending"},
    {"unresolved", "with references resolving to no file"},
    {"duplicate", "listed twice in one list"},
    {"relative", "relative path"},
    {"library_missing", "library file missing"},
    {"media_missing", "media folder missing"},
    {"unreadable", "cannot be read"},
    {"invalid", "not a valid library"},
};

struct ListReading {
  bool perUser = false;
  int bits = 64;
  tavik::LibraryPathsReading reading;
};

std::string ListName(bool perUser, int bits) {
  return std::string(perUser ? "HKCU " : "HKLM ") + std::to_string(bits);
}

struct Place {
  size_t list = 0;  // index into the readings
  std::vector<size_t> indexes;
};

struct Library {
  std::string path;
  std::vector<Place> places;  // in list order
  bool relative = false;
  bool twice = false;  // twice or more in one list
  std::string twice_in;
  bool checked = false;
  CheckSummary summary;
};

// The state the check alone gives, in the check's own order.
State CheckState(const Library& lib, const RegisteredCheckOptions& options) {
  const CheckSummary& s = lib.summary;
  switch (s.outcome.cause) {
    case tavik::RunCause::kLibraryMissing:  // with -r too, at Tavik's 0
      return State::kLibraryMissing;
    case tavik::RunCause::kMediaMissing:
      return State::kMediaMissing;
    case tavik::RunCause::kUnreadable:
      return State::kUnreadable;
    case tavik::RunCause::kDone:
      break;
    default:
      return State::kInvalid;
  }
  if (options.strict && s.unresolved > 0) return State::kUnresolved;
  if (s.changes > 0) return State::kPending;
  if (s.unresolved > 0) return State::kUnresolved;
  return State::kUpToDate;
}

State StateOf(const Library& lib, const RegisteredCheckOptions& options) {
  if (lib.relative) return State::kRelative;
  State state = CheckState(lib, options);
  bool refused = state == State::kLibraryMissing ||
                 state == State::kMediaMissing || state == State::kInvalid ||
                 state == State::kUnreadable;
  return lib.twice && !refused ? State::kDuplicate : state;
}

// What the library adds to the run's exit code.
int ExitOf(const Library& lib, const RegisteredCheckOptions& options) {
  if (lib.relative) return kExitCheckMissing;
  int code = lib.summary.exit_code;
  // With -r a missing library file is no refusal to Tavik, but it is still
  // a registration that leads nowhere.
  if (CheckState(lib, options) == State::kLibraryMissing) {
    code = kExitCheckMissing;
  }
  if (lib.twice) code = WorseExitCode(code, kExitCheckPending);
  return code;
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string CheckText(const Library& lib, State state) {
  const CheckSummary& s = lib.summary;
  std::string changes = Counted(s.changes, "change pending", "changes pending");
  std::string unresolved =
      Counted(s.unresolved, "reference resolves to no file",
              "references resolve to no file");
  switch (state) {
    case State::kLibraryMissing:
      return "library file missing";
    case State::kMediaMissing:
      return "media folder missing";
    case State::kInvalid:
      return s.outcome.Reason();
    case State::kUnreadable:
      return "cannot be read: " + s.outcome.status.message();
    case State::kPending:
      return s.unresolved > 0 ? changes + "; " + unresolved : changes;
    case State::kUnresolved:
      return s.changes > 0 ? unresolved + "; " + changes : unresolved;
    default:
      return "up to date";
  }
}

std::string StateText(const Library& lib, State state,
                      const RegisteredCheckOptions& options) {
  if (state == State::kRelative) return "relative path, not checked";
  if (state == State::kDuplicate) {
    return "listed twice in " + lib.twice_in + "; " +
           CheckText(lib, CheckState(lib, options));
  }
  return CheckText(lib, state);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// The progress line, on a terminal only; `clear` takes it away again.
class Progress {
 public:
  Progress(std::FILE* err, size_t total)
      : err_(err), total_(total), shown_(tavik::IsTerminal(err)) {}

  void Show(size_t done, double seconds) {
    if (!shown_ || seconds < 1.0) return;
    std::string line = "vmpkg: " + std::to_string(done) + " of " +
                       std::to_string(total_) + " libraries checked, " +
                       std::to_string(static_cast<long long>(seconds)) + " s";
    size_t width = std::max(width_, line.size());
    line.resize(width, ' ');
    width_ = width;
    std::fprintf(err_, "\r%s", line.c_str());
    std::fflush(err_);
  }
  void Clear() {
    if (width_ == 0) return;
    std::fprintf(err_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(err_);
    width_ = 0;
  }

 private:
  std::FILE* err_;
  size_t total_;
  bool shown_;
  size_t width_ = 0;
};

// Checks `todo` with `jobs` threads; false when interrupted before every
// check was made. A check that throws ends the run with its exception.
bool CheckAll(const std::vector<Library*>& todo, unsigned jobs,
              const RegisteredCheckOptions& options, Clock::time_point start,
              std::FILE* err) {
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  size_t done = 0;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable changed;
  auto work = [&] {
    while (!stop.load() && !tavik::Interrupted()) {
      size_t i = next.fetch_add(1);
      if (i >= todo.size()) break;
      Library* lib = todo[i];
      try {
        CheckOptions check;
        check.library = lib->path;
        check.remove = options.remove;
        check.strict = options.strict;
        // A check under way gives up at the next asset once the run stops.
        check.stop = [&stop] { return stop.load() || tavik::Interrupted(); };
        lib->summary = CheckLibrary(check, nullptr, err);
        if (check.stop()) break;
        lib->checked = true;
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
        stop.store(true);
      }
      std::lock_guard<std::mutex> lock(mutex);
      ++done;
      changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
  };

  // The calling thread only waits: it shows the progress and watches for
  // Ctrl-C.
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < jobs; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads than asked for do the same work.
      if (threads.empty()) throw;
      break;
    }
  }

  Progress progress(err, todo.size());
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (done < todo.size() && !stop.load() && !tavik::Interrupted()) {
      changed.wait_for(lock, std::chrono::milliseconds(100));
      size_t now_done = done;
      lock.unlock();
      progress.Show(
          now_done,
          std::chrono::duration<double>(Clock::now() - start).count());
      lock.lock();
    }
  }
  stop.store(true);
  for (std::thread& t : threads) t.join();
  progress.Clear();
  if (failure) std::rethrow_exception(failure);
  for (const Library* lib : todo) {
    if (!lib->checked) return false;
  }
  return true;
}

// A field of the text report as it stands, unless a tab, a line break or
// another control character in it (or a leading quote) would make the
// line mean something else: then as a JSON string, quotes and escapes
// included.
std::string TextField(const std::string& text) {
  const bool plain = (text.empty() || text[0] != '"') &&
                     std::none_of(text.begin(), text.end(), [](char c) {
                       return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                     });
  return plain ? text : JsonQuoted(text);
}

OrderedJson NullOr(bool present, OrderedJson value) {
  return present ? std::move(value) : OrderedJson(nullptr);
}

struct Report {
  std::vector<ListReading> lists;
  std::vector<Library> libraries;
  unsigned jobs = 1;
  double seconds = 0;
  int exit_code = kExitOk;
};

bool ListUnreadable(const ListReading& list) {
  const tavik::Status& read = list.reading.read;
  return !read.ok() && read.code() != tavik::Status::Code::kNotFound;
}

std::string TextReport(const Report& report,
                       const RegisteredCheckOptions& options) {
  std::string out;
  for (const ListReading& list : report.lists) {
    if (!ListUnreadable(list)) continue;
    out += "can't read " + list.reading.key + " (" + std::to_string(list.bits) +
           "-bit view): " + list.reading.read.message() + "\n";
  }
  size_t counts[kStateCount] = {};
  for (const Library& lib : report.libraries) {
    State state = StateOf(lib, options);
    ++counts[static_cast<int>(state)];
    std::string lists;
    for (const Place& place : lib.places) {
      const ListReading& list = report.lists[place.list];
      if (!lists.empty()) lists += ", ";
      lists += ListName(list.perUser, list.bits);
    }
    out += TextField(lib.path) + "\t" + lists + "\t" +
           TextField(StateText(lib, state, options)) + "\n";
  }
  out += Counted(report.libraries.size(), "library", "libraries") + ", " +
         Seconds(report.seconds);
  std::string sep = ": ";
  for (int s = 0; s < kStateCount; ++s) {
    if (counts[s] == 0) continue;
    out += sep + std::to_string(counts[s]) + " " + kStateNames[s].summary;
    sep = ", ";
  }
  return out + "\n";
}

std::string JsonReport(const Report& report,
                       const RegisteredCheckOptions& options) {
  OrderedJson doc;
  doc["schema"] = "vmpkg-check-registered/1";
  doc["remove"] = options.remove;
  doc["strict"] = options.strict;
  OrderedJson lists = OrderedJson::array();
  for (const ListReading& list : report.lists) {
    const tavik::Status& read = list.reading.read;
    OrderedJson l;
    l["hive"] = list.perUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
    l["view"] = list.bits;
    l["key"] = list.reading.key;
    l["found"] = read.ok();
    l["error"] = NullOr(ListUnreadable(list), read.message());
    l["entries"] = list.reading.entries.size();
    lists.push_back(std::move(l));
  }
  doc["lists"] = std::move(lists);
  OrderedJson libraries = OrderedJson::array();
  size_t counts[kStateCount] = {};
  for (const Library& lib : report.libraries) {
    State state = StateOf(lib, options);
    ++counts[static_cast<int>(state)];
    OrderedJson l;
    l["path"] = lib.path;
    OrderedJson places = OrderedJson::array();
    for (const Place& place : lib.places) {
      const ListReading& list = report.lists[place.list];
      places.push_back(
          {{"hive", list.perUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE"},
           {"view", list.bits},
           {"indexes", place.indexes}});
    }
    l["lists"] = std::move(places);
    l["state"] = kStateNames[static_cast<int>(state)].json;
    const CheckSummary& s = lib.summary;
    l["exit_code"] = NullOr(lib.checked, s.exit_code);
    l["tavik_exit_code"] =
        NullOr(lib.checked, static_cast<int>(s.outcome.code));
    l["changes"] = NullOr(lib.checked, s.changes);
    l["unresolved"] = NullOr(lib.checked, s.unresolved);
    l["reason"] = NullOr(lib.checked, s.outcome.Reason());
    libraries.push_back(std::move(l));
  }
  doc["libraries"] = std::move(libraries);
  OrderedJson summary;
  summary["libraries"] = report.libraries.size();
  OrderedJson states;
  for (int s = 0; s < kStateCount; ++s) states[kStateNames[s].json] = counts[s];
  summary["states"] = std::move(states);
  size_t unreadable_lists = 0;
  for (const ListReading& list : report.lists) {
    unreadable_lists += ListUnreadable(list) ? 1 : 0;
  }
  summary["unreadable_lists"] = unreadable_lists;
  summary["exit_code"] = report.exit_code;
  summary["seconds"] = report.seconds;
  summary["jobs"] = report.jobs;
  doc["summary"] = std::move(summary);
  return doc.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

}  // namespace

int CheckRegistered(const RegisteredCheckOptions& options, std::FILE* out,
                    std::FILE* err) {
  Clock::time_point start = Clock::now();
  tavik::CatchInterrupts();
  Report report;
  tavik::Registry* registry = tavik::DefaultRegistry();
  for (bool perUser : {false, true}) {
    if (perUser ? !options.user : !options.machine) continue;
    for (int bits : {32, 64}) {
      if (options.view != 0 && options.view != bits) continue;
      ListReading list;
      list.perUser = perUser;
      list.bits = bits;
      list.reading = tavik::ReadLibraryPaths(perUser, bits == 64, registry);
      report.lists.push_back(std::move(list));
    }
  }

  std::map<std::string, size_t> where;
  for (size_t l = 0; l < report.lists.size(); ++l) {
    const std::vector<std::string>& entries = report.lists[l].reading.entries;
    for (size_t i = 0; i < entries.size(); ++i) {
      auto [it, added] = where.emplace(entries[i], report.libraries.size());
      if (added) {
        report.libraries.emplace_back();
        report.libraries.back().path = entries[i];
        report.libraries.back().relative = !IsAbsoluteLibraryPath(entries[i]);
      }
      Library& lib = report.libraries[it->second];
      if (lib.places.empty() || lib.places.back().list != l) {
        lib.places.push_back(Place{l, {}});
      } else if (!lib.twice) {
        lib.twice = true;
        lib.twice_in = ListName(report.lists[l].perUser, report.lists[l].bits);
      }
      lib.places.back().indexes.push_back(i);
    }
  }

  std::vector<Library*> todo;
  for (Library& lib : report.libraries) {
    if (!lib.relative) todo.push_back(&lib);
  }
  unsigned jobs = options.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  report.jobs = jobs;
  jobs = static_cast<unsigned>(std::min<size_t>(jobs, todo.size()));
  if (!CheckAll(todo, std::max(jobs, 1u), options, start, err) ||
      tavik::Interrupted()) {
    std::fprintf(err, "vmpkg: interrupted; no report written\n");
    return kExitInterrupted;
  }
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();

  for (const Library& lib : report.libraries) {
    report.exit_code = WorseExitCode(report.exit_code, ExitOf(lib, options));
  }
  for (const ListReading& list : report.lists) {
    if (ListUnreadable(list)) {
      report.exit_code = WorseExitCode(report.exit_code, kExitListUnreadable);
    }
  }
  std::string text =
      options.json ? JsonReport(report, options) : TextReport(report, options);
  bool to_file = !options.output.empty() && options.output != "-";
  std::FILE* file = to_file ? std::fopen(options.output.c_str(), "wb") : out;
  if (file == nullptr) {
    std::fprintf(err, "vmpkg: can't write %s\n", options.output.c_str());
    return kExitFailed;
  }
  bool written = WriteAll(text, file, err);
  if (to_file && std::fclose(file) != 0 && written) {
    std::fprintf(err, "vmpkg: can't write %s\n", options.output.c_str());
    written = false;
  }
  return written ? report.exit_code : kExitFailed;
}

}  // namespace vmpkg
