// Measures whole update runs of the built Tavik against the file-level work
// that any crash-safe run must do on the same data (the floor):
//
//   floor = cat LIB >/dev/null; find MEDIA >/dev/null; cp LIB COPY; sync COPY
//
// For each size N it makes (once, then reuses) a media folder of 10 numbered
// folders holding 3 N files (asset a has files in three of the folders) and
// two libraries of N assets: one whose reference lists name one file each (a
// completion run appends the two siblings), one whose lists also name two
// files that do not exist (a pruning run drops them). Each round copies a
// library into place, flushes it, then times `Tavik -l` (or `-r -l`) and the
// floor one after the other, alternating which goes first. Medians of the
// rounds are printed with the run's peak memory (maximum resident set) and
// the memory bound: 2 x the larger of the library before and after the run,
// plus the bytes of the listing (names of the media files). With --vmpkg the
// same is measured for `vmpkg dump` and `vmpkg create` of the library.
//
// `vmpkg check` (of the completion library) and `vmpkg check -r` (of the
// pruning library), each with its text and its JSON report, are measured
// the same way against the floor of any check, which writes nothing:
//
//   check floor = cat LIB >/dev/null; find MEDIA >/dev/null
//
// The report goes to /dev/null in the timed rounds; one untimed run writes
// it to a file, whose size is the row's "out MiB". Their bound is 2 x the
// library.
//
//   update_bench [--work DIR] [--rounds R] [--vmpkg] [--bin DIR]
//                [--only ROW,...] [N[:R] ...]
//       default: --work /tmp/tavik_update_bench --rounds 5  100000 1000000
//
// N:R measures N assets over R rounds. --only measures the rows named
// (complete, prune, check, check-json, check-r, check-r-json) and no other.
//
// --bin takes Tavik and vmpkg from DIR instead of this build (to measure
// another build on the same data).
//
// The data sets stay in DIR/N for the next call (3 N empty files and two
// libraries: about 1.5 GB of disk and 3 million inodes for N = 1000000).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_media.h"
#include "platform/os/file_system.h"
#include "platform/vmp/package.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string tavik_exe = TAVIK_EXE;
std::string vmpkg_exe = VMPKG_EXE;

using bench_media::FileName;
using bench_media::FolderOf;
using bench_media::kFolders;
using bench_media::MakeMedia;

bool MakeLibrary(const std::string& path, int assets, bool prune) {
  vmp::SharedPtr<vmp::Package> package = vmp::Package::create(
      vmp::WideString(path.c_str()), true, tavik::DefaultFileSystem());
  vmp::IGroup* root = package->ipackage()->metadata()->root();
  auto read_only = root->addPrimitive("read only", vmp::PrimitiveType::kBool);
  unsigned char yes = 1;
  read_only->write(&yes, 0, 1);
  vmp::IGroup* scene =
      package->document(0)->scene()->assets()->metadata()->root();
  for (int a = 0; a < assets; ++a) {
    auto asset = scene->addGroup(("asset_" + std::to_string(a)).c_str());
    auto refs = asset->addGroup("QSN")->addGroup("refs");
    auto list = refs->addPrimitive("diffuse", vmp::PrimitiveType::kStringArray);
    auto array = vmp::IStringArray::create();
    for (int k = 0; k < (prune ? 3 : 1); ++k) {
      std::string entry = std::to_string(FolderOf(a, k)) + "/" + FileName(a, k);
      array->append(vmp::WideString(entry.c_str()));
    }
    if (prune) {
      // Two references that lead nowhere: the folder after the first one
      // holds no file of this asset.
      for (int k = 0; k < 2; ++k) {
        int folder = FolderOf(a, 0) % kFolders + 1;
        std::string entry = std::to_string(folder) + "/gone_" +
                            std::to_string(a) + (k ? ".jpg" : ".png");
        array->append(vmp::WideString(entry.c_str()));
      }
    }
    array->store(list.get());
  }
  return package->commit().ok();
}

struct Outcome {
  double seconds = 0;
  double peak_mib = 0;
  int exit_code = -1;
};

// Runs argv[0] with the arguments, standard output to `out` (or /dev/null)
// and standard input from `in` (or /dev/null).
Outcome Run(const std::vector<std::string>& args, const std::string& in = "",
            const std::string& out = "") {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Outcome outcome;
  auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int input = ::open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
    int output = ::open(out.empty() ? "/dev/null" : out.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input < 0 || output < 0) ::_exit(127);
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return outcome;
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.peak_mib = usage.ru_maxrss / 1024.0;
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

Outcome Shell(const std::string& command) {
  return Run({"/bin/sh", "-c", command});
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// Copies the library into place and flushes it, so that no write-back of
// the copy is left to fall into the measured run.
bool PutInPlace(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::permissions(to, fs::perms::owner_write, fs::perm_options::add, ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) {
    return false;
  }
  int fd = ::open(to.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

double Mib(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

struct DataSet {
  fs::path dir;
  uint64_t name_bytes = 0;
  fs::path library() const { return dir / "lib.vlmrlib"; }
  fs::path media() const { return dir / "lib.qsm"; }
  fs::path master(bool prune) const {
    return dir / (prune ? "prune.master" : "complete.master");
  }
};

bool Prepare(const fs::path& work, int n, DataSet* data) {
  data->dir = work / std::to_string(n);
  fs::path ready = data->dir / "ready";
  if (fs::exists(ready)) {
    FILE* f = std::fopen(ready.c_str(), "r");
    unsigned long long bytes = 0;
    bool ok = f && std::fscanf(f, "%llu", &bytes) == 1;
    if (f) std::fclose(f);
    data->name_bytes = bytes;
    if (ok) return true;
  }
  std::fprintf(stderr, "making the data set for %d assets in %s\n", n,
               data->dir.c_str());
  fs::remove_all(data->dir);
  fs::create_directories(data->dir);
  if (!MakeMedia(data->media(), n)) return false;
  uint64_t bytes = 0;
  for (const auto& folder : fs::directory_iterator(data->media())) {
    for (const auto& file : fs::directory_iterator(folder.path())) {
      bytes += file.path().filename().string().size();
    }
  }
  data->name_bytes = bytes;
  for (bool prune : {false, true}) {
    if (!MakeLibrary(data->master(prune).string(), n, prune)) return false;
  }
  FILE* f = std::fopen(ready.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "%llu\n", static_cast<unsigned long long>(bytes));
  std::fclose(f);
  return true;
}

struct Row {
  double run = 0, floor = 0, peak = 0, lib_in = 0, lib_out = 0;
};

bool Measure(const DataSet& data, bool prune, int rounds, Row* row) {
  std::vector<double> runs, floors, peaks;
  fs::path copy = data.dir / "floor.copy";
  std::string floor = "cat " + Quote(data.master(prune)) +
                      " >/dev/null; find " + Quote(data.media()) +
                      " >/dev/null; cp " + Quote(data.master(prune)) + " " +
                      Quote(copy) + " && sync " + Quote(copy);
  std::vector<std::string> tavik = {tavik_exe, "-l"};
  if (prune) tavik.push_back("-r");
  tavik.push_back(data.library().string());
  // Warm the page cache the same way for both.
  Shell(floor);
  for (int r = 0; r < rounds; ++r) {
    if (!PutInPlace(data.master(prune), data.library())) return false;
    Outcome f, t;
    if (r % 2 == 0) {
      t = Run(tavik);
      f = Shell(floor);
    } else {
      f = Shell(floor);
      if (!PutInPlace(data.master(prune), data.library())) return false;
      t = Run(tavik);
    }
    if (t.exit_code != 0 || f.exit_code != 0) {
      std::fprintf(stderr, "%s failed: Tavik %d, floor %d\n",
                   prune ? "pruning" : "completion", t.exit_code, f.exit_code);
      return false;
    }
    runs.push_back(t.seconds);
    floors.push_back(f.seconds);
    peaks.push_back(t.peak_mib);
    fs::remove(copy);
  }
  row->run = Median(runs);
  row->floor = Median(floors);
  row->peak = *std::max_element(peaks.begin(), peaks.end());
  row->lib_in = Mib(fs::file_size(data.master(prune)));
  row->lib_out = Mib(fs::file_size(data.library()));
  return true;
}

// A row of `vmpkg check`: its arguments before LIB, and which library.
struct CheckRow {
  const char* name;
  bool prune;
  std::vector<std::string> args;
};

const std::vector<CheckRow>& CheckRows() {
  static const std::vector<CheckRow> rows = {
      {"check", false, {"check"}},
      {"check-json", false, {"check", "--json"}},
      {"check-r", true, {"check", "-r"}},
      {"check-r-json", true, {"check", "-r", "--json"}},
  };
  return rows;
}

// `vmpkg check` exits 0 (nothing to do) or 1 (changes pending).
bool CheckExited(const Outcome& o) {
  return o.exit_code == 0 || o.exit_code == 1;
}

bool MeasureCheck(const DataSet& data, const CheckRow& check, int rounds,
                  Row* row) {
  if (!PutInPlace(data.master(check.prune), data.library())) return false;
  std::vector<std::string> args = {vmpkg_exe};
  args.insert(args.end(), check.args.begin(), check.args.end());
  args.push_back(data.library().string());
  const std::string floor = "cat " + Quote(data.library()) +
                            " >/dev/null; find " + Quote(data.media()) +
                            " >/dev/null";
  // The report's size, and the page cache warmed the same way for both.
  fs::path report = data.dir / "check.report";
  Outcome sized = Run(args, "", report.string());
  Shell(floor);
  if (!CheckExited(sized)) {
    std::fprintf(stderr, "%s failed: %d\n", check.name, sized.exit_code);
    return false;
  }
  row->lib_out = Mib(fs::file_size(report));
  fs::remove(report);
  std::vector<double> runs, floors, peaks;
  for (int r = 0; r < rounds; ++r) {
    Outcome f, t;
    if (r % 2 == 0) {
      t = Run(args);
      f = Shell(floor);
    } else {
      f = Shell(floor);
      t = Run(args);
    }
    if (!CheckExited(t) || f.exit_code != 0) {
      std::fprintf(stderr, "%s failed: vmpkg %d, floor %d\n", check.name,
                   t.exit_code, f.exit_code);
      return false;
    }
    runs.push_back(t.seconds);
    floors.push_back(f.seconds);
    peaks.push_back(t.peak_mib);
  }
  row->run = Median(runs);
  row->floor = Median(floors);
  row->peak = *std::max_element(peaks.begin(), peaks.end());
  row->lib_in = Mib(fs::file_size(data.library()));
  return true;
}

void MeasureVmpkg(const DataSet& data, int n) {
  fs::path json = data.dir / "dump.json";
  fs::path made = data.dir / "made.vlmrlib";
  Outcome dump =
      Run({vmpkg_exe, "dump", data.master(false).string()}, "", json.string());
  Outcome create =
      Run({vmpkg_exe, "create", made.string(), "--force"}, json.string());
  double lib = Mib(fs::file_size(data.master(false)));
  double bound = 2 * lib;
  std::printf("%9d %-12s %8.1f %8s %8.3f %8s %7s %9.1f %9.1f %6.2f%s\n", n,
              "dump", lib, "", dump.seconds, "", "", dump.peak_mib, bound,
              dump.peak_mib / bound, dump.exit_code == 0 ? "" : "  FAILED");
  std::printf("%9d %-12s %8.1f %8s %8.3f %8s %7s %9.1f %9.1f %6.2f%s\n", n,
              "create", lib, "", create.seconds, "", "", create.peak_mib, bound,
              create.peak_mib / bound, create.exit_code == 0 ? "" : "  FAILED");
  fs::remove(json);
  fs::remove(made);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = "/tmp/tavik_update_bench";
  int rounds = 5;
  bool vmpkg = false;
  std::string only;                        // ",row,row," or empty: every row
  std::vector<std::pair<int, int>> sizes;  // assets, rounds (0: --rounds)
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--vmpkg") {
      vmpkg = true;
    } else if (arg == "--bin" && i + 1 < argc) {
      tavik_exe = std::string(argv[++i]) + "/Tavik";
      vmpkg_exe = std::string(argv[i]) + "/vmpkg";
    } else if (arg == "--only" && i + 1 < argc) {
      only = "," + std::string(argv[++i]) + ",";
    } else if (std::atoi(arg.c_str()) > 0) {
      size_t colon = arg.find(':');
      int r =
          colon == std::string::npos ? 0 : std::atoi(arg.c_str() + colon + 1);
      sizes.emplace_back(std::atoi(arg.c_str()), std::max(0, r));
    } else {
      std::fprintf(stderr,
                   "usage: update_bench [--work DIR] [--rounds R] [--vmpkg] "
                   "[--bin DIR] [--only ROW,...] [N[:R] ...]\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {{100000, 0}, {1000000, 0}};
  auto wanted = [&only](const char* row) {
    return only.empty() ||
           only.find("," + std::string(row) + ",") != std::string::npos;
  };

  std::printf("%9s %-12s %8s %8s %8s %8s %7s %9s %9s %6s\n", "assets", "run",
              "lib MiB", "out MiB", "run s", "floor s", "ratio", "peak MiB",
              "bound MiB", "mem");
  double first_run[2] = {0, 0};
  int first_n = 0;
  for (const auto& [n, size_rounds] : sizes) {
    const int rounds_here = size_rounds > 0 ? size_rounds : rounds;
    DataSet data;
    if (!Prepare(work, n, &data)) {
      std::fprintf(stderr, "could not make the data set in %s\n",
                   data.dir.c_str());
      return 1;
    }
    for (bool prune : {false, true}) {
      if (!wanted(prune ? "prune" : "complete")) continue;
      Row row;
      if (!Measure(data, prune, rounds_here, &row)) return 1;
      double bound =
          2 * std::max(row.lib_in, row.lib_out) + Mib(data.name_bytes);
      std::printf("%9d %-12s %8.1f %8.1f %8.3f %8.3f %7.2f %9.1f %9.1f %6.2f",
                  n, prune ? "prune" : "complete", row.lib_in, row.lib_out,
                  row.run, row.floor, row.run / row.floor, row.peak, bound,
                  row.peak / bound);
      if (first_n == 0) {
        first_run[prune] = row.run;
      } else if (first_run[prune] > 0) {
        std::printf("   x%.1f for x%.0f assets", row.run / first_run[prune],
                    static_cast<double>(n) / first_n);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    for (const CheckRow& check : CheckRows()) {
      if (!wanted(check.name)) continue;
      Row row;
      if (!MeasureCheck(data, check, rounds_here, &row)) return 1;
      double bound = 2 * row.lib_in;
      std::printf("%9d %-12s %8.1f %8.1f %8.3f %8.3f %7.2f %9.1f %9.1f %6.2f\n",
                  n, check.name, row.lib_in, row.lib_out, row.run, row.floor,
                  row.run / row.floor, row.peak, bound, row.peak / bound);
      std::fflush(stdout);
    }
    if (first_n == 0) first_n = n;
    if (vmpkg) MeasureVmpkg(data, n);
    std::fflush(stdout);
  }
  return 0;
}
