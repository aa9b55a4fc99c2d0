// Measures `vmpkg check --registered` on a workstation's worth of libraries:
// L registered libraries of N assets each (default 200 of 2,000), each with
// its own media folder of bench/update_bench's shape (10 numbered folders,
// 3 files an asset, the library's lists naming one of them so that a check
// finds two additions for each asset).
//
// In one run, R rounds (default 5), each of them timing, in an order that
// alternates from round to round:
//   - `vmpkg check --registered -j 1` and `-j 2` (the speedup of a second
//     job on a machine of two cores);
//   - `vmpkg check LIB` on every library alone, one process after the
//     other (what a shell loop over the list costs, per library).
//   - two processes of fixed arithmetic at once against one: the speedup
//     that two jobs can have on this machine at that moment (2 on two idle
//     cores, less while other programs use them).
// Medians of the rounds are printed, per run and per library, with the
// peak memory (maximum resident set) of each.
//
//   registered_bench [--work DIR] [--rounds R] [--libraries L] [--assets N]
//       default: --work /tmp/tavik_registered_bench --rounds 5
//                --libraries 200 --assets 2000
//
// The data set stays in DIR/LxN for the next call (3 N L empty files: 1.2
// million for the default).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_media.h"
#include "platform/os/file_system.h"
#include "platform/vmp/package.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench_media::FileName;
using bench_media::FolderOf;
using bench_media::kFolders;
using bench_media::MakeMedia;

bool MakeLibrary(const std::string& path, int assets) {
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
    std::string entry = std::to_string(FolderOf(a, 0)) + "/" + FileName(a, 0);
    array->append(vmp::WideString(entry.c_str()));
    array->store(list.get());
  }
  return package->commit().ok();
}

struct Outcome {
  double seconds = 0;
  double peak_mib = 0;
  int exit_code = -1;
};

Outcome Run(const std::vector<std::string>& args, const std::string& registry) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  Outcome outcome;
  auto start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int null_in = ::open("/dev/null", O_RDONLY);
    int null_out = ::open("/dev/null", O_WRONLY);
    if (null_in < 0 || null_out < 0) ::_exit(127);
    ::dup2(null_in, 0);
    ::dup2(null_out, 1);
    ::dup2(null_out, 2);  // no progress line: it is no terminal anyway
    ::setenv("TAVIK_REGISTRY_ROOT", registry.c_str(), 1);
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

// `children` processes at once, each doing the same fixed amount of
// arithmetic: what the machine gives two jobs at this moment, whoever else
// uses it (2 x one child's time / two children's time; 2 on two free cores).
double Spin(int children) {
  auto start = Clock::now();
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    pid_t pid = ::fork();
    if (pid == 0) {
      volatile uint64_t x = 1;
      for (uint64_t i = 0; i < 400000000; ++i) x = x * 6364136223846793005u + i;
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

struct DataSet {
  fs::path dir;
  std::vector<std::string> libraries;
  fs::path registry() const { return dir / "registry"; }
};

bool Prepare(const fs::path& work, int libraries, int assets, DataSet* data) {
  data->dir = work / (std::to_string(libraries) + "x" + std::to_string(assets));
  for (int l = 0; l < libraries; ++l) {
    data->libraries.push_back(
        (data->dir / ("lib" + std::to_string(l)) / "lib.vlmrlib").string());
  }
  fs::path ready = data->dir / "ready";
  if (fs::exists(ready)) return true;
  std::fprintf(stderr, "making %d libraries of %d assets in %s\n", libraries,
               assets, data->dir.c_str());
  fs::remove_all(data->dir);
  fs::create_directories(data->dir);
  fs::path master = data->dir / "master.vlmrlib";
  if (!MakeLibrary(master.string(), assets)) return false;
  std::string list;
  for (const std::string& lib : data->libraries) {
    fs::path folder = fs::path(lib).parent_path();
    fs::create_directories(folder);
    if (!MakeMedia(folder / "lib.qsm", assets)) return false;
    std::error_code ec;
    if (!fs::copy_file(master, lib, ec)) return false;
    list += (list.empty() ? "" : "|") + lib;
  }
  fs::create_directories(data->registry());
  std::ofstream hive(data->registry() / "HKEY_LOCAL_MACHINE.reg");
  hive << "Windows Registry Editor Version 5.00\n\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011]\n"
          "\"LibraryPaths\"=\""
       << list << "\"\n";
  hive.close();
  if (!hive) return false;
  std::ofstream(ready) << "ready\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = "/tmp/tavik_registered_bench";
  int rounds = 5, libraries = 200, assets = 2000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 < argc && a == "--work") {
      work = argv[++i];
    } else if (i + 1 < argc && a == "--rounds") {
      rounds = std::atoi(argv[++i]);
    } else if (i + 1 < argc && a == "--libraries") {
      libraries = std::atoi(argv[++i]);
    } else if (i + 1 < argc && a == "--assets") {
      assets = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: registered_bench [--work DIR] [--rounds R] "
                   "[--libraries L] [--assets N]\n");
      return 2;
    }
  }
  if (rounds < 1 || libraries < 1 || assets < 1) {
    std::fprintf(stderr, "registered_bench: counts must be 1 or more\n");
    return 2;
  }
  DataSet data;
  if (!Prepare(work, libraries, assets, &data)) {
    std::fprintf(stderr, "registered_bench: can't make the data set\n");
    return 1;
  }
  const std::string vmpkg = VMPKG_EXE;
  const std::string registry = data.registry().string();
  auto registered = [&](int jobs) {
    return Run({vmpkg, "check", "--registered", "--machine", "--view", "64",
                "-j", std::to_string(jobs)},
               registry);
  };
  // Every library pending (two additions an asset): exit code 1.
  auto alone = [&](Outcome* all) {
    double peak = 0;
    for (const std::string& lib : data.libraries) {
      Outcome o = Run({vmpkg, "check", lib}, registry);
      if (o.exit_code != 1) return false;
      all->seconds += o.seconds;
      peak = std::max(peak, o.peak_mib);
    }
    all->peak_mib = peak;
    all->exit_code = 1;
    return true;
  };

  registered(2);  // warms the page cache and the folders' entries
  std::vector<double> j1, j2, one, j1_peak, j2_peak, one_peak, ceiling;
  for (int r = 0; r < rounds; ++r) {
    Outcome a, b, c;
    bool ok = true;
    double spin1 = 0, spin2 = 0;
    if (r % 2 == 0) {
      a = registered(1);
      b = registered(2);
      ok = alone(&c);
      spin1 = Spin(1);
      spin2 = Spin(2);
    } else {
      spin2 = Spin(2);
      spin1 = Spin(1);
      ok = alone(&c);
      b = registered(2);
      a = registered(1);
    }
    ceiling.push_back(2 * spin1 / spin2);
    if (!ok || a.exit_code != 1 || b.exit_code != 1) {
      std::fprintf(stderr, "registered_bench: a check failed (%d, %d)\n",
                   a.exit_code, b.exit_code);
      return 1;
    }
    j1.push_back(a.seconds);
    j2.push_back(b.seconds);
    one.push_back(c.seconds);
    j1_peak.push_back(a.peak_mib);
    j2_peak.push_back(b.peak_mib);
    one_peak.push_back(c.peak_mib);
    std::fprintf(stderr,
                 "round %d: -j 1 %.2f s, -j 2 %.2f s, alone %.2f s, two "
                 "jobs' ceiling %.2f\n",
                 r + 1, a.seconds, b.seconds, c.seconds, ceiling.back());
  }
  double n = libraries;
  std::printf("%d libraries of %d assets, median of %d rounds\n", libraries,
              assets, rounds);
  std::printf("%-28s %9s %13s %10s\n", "", "seconds", "ms a library",
              "peak MiB");
  std::printf("%-28s %9.2f %13.2f %10.1f\n", "check --registered -j 1",
              Median(j1), 1000 * Median(j1) / n, Median(j1_peak));
  std::printf("%-28s %9.2f %13.2f %10.1f\n", "check --registered -j 2",
              Median(j2), 1000 * Median(j2) / n, Median(j2_peak));
  std::printf("%-28s %9.2f %13.2f %10.1f\n", "check LIB, one after another",
              Median(one), 1000 * Median(one) / n, Median(one_peak));
  std::printf(
      "speedup of -j 2 over -j 1: %.2f (the machine's own for two "
      "jobs meanwhile: %.2f)\n",
      Median(j1) / Median(j2), Median(ceiling));
  std::printf("check LIB alone over --registered -j 1, a library: %.2f\n",
              Median(one) / Median(j1));
  return 0;
}
