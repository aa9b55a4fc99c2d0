// Measures a whole update run on a generated library: N assets whose single
// reference list points into a media folder of 10 numbered folders holding M
// files each. Prints the time of the run beside the time of the file-level
// work it cannot avoid (reading the library, listing the media folders,
// writing the library), measured on the same data: "io" is
// `cat LIB; find MEDIA; cp LIB copy`, "io+sync" the same with the copy made
// twice and flushed to disk each time, as the run's two commits are; "pkg"
// is the package alone opened and committed twice.
//
//   update_bench [WORKDIR] [N:M ...]    default: 10000:1000 10000:20000
//                                       100000:1000 100000:20000
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/package.h"
#include "update/update_library_package.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool MakeLibrary(const fs::path& dir, int assets, int files) {
  fs::remove_all(dir);
  for (int folder = 1; folder <= 10; ++folder) {
    fs::path sub = dir / "lib.qsm" / std::to_string(folder);
    fs::create_directories(sub);
    for (int f = 0; f < files; ++f) {
      std::ofstream(sub / ("tex_" + std::to_string(f) + ".png"));
    }
  }
  std::string library = (dir / "lib.vlmrlib").string();
  vmp::SharedPtr<vmp::Package> package = vmp::Package::create(
      vmp::WideString(library.c_str()), true, tavik::DefaultFileSystem());
  vmp::IGroup* scene =
      package->document(0)->scene()->assets()->metadata()->root();
  for (int a = 0; a < assets; ++a) {
    auto asset = scene->addGroup(("asset_" + std::to_string(a)).c_str());
    auto refs = asset->addGroup("QSN")->addGroup("refs");
    auto list = refs->addPrimitive("diffuse", vmp::PrimitiveType::kStringArray);
    auto array = vmp::IStringArray::create();
    std::string entry = std::to_string(a % 10 + 1) + "/tex_" +
                        std::to_string(a % files) + ".png";
    array->append(vmp::WideString(entry.c_str()));
    array->store(list.get());
  }
  return package->commit().ok();
}

double Shell(const std::string& command) {
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = argc > 1 ? fs::path(argv[1])
                           : fs::temp_directory_path() / "tavik_update_bench";
  std::vector<std::pair<int, int>> sizes;
  for (int i = 2; i < argc; ++i) {
    int n = 0, m = 0;
    if (std::sscanf(argv[i], "%d:%d", &n, &m) == 2) sizes.emplace_back(n, m);
  }
  if (sizes.empty()) {
    sizes = {{10000, 1000}, {10000, 20000}, {100000, 1000}, {100000, 20000}};
  }
  std::printf("%8s %6s %8s %8s %8s %8s %10s %8s\n", "assets", "files",
              "lib MiB", "run s", "pkg s", "io s", "io+sync s", "run/io");
  for (auto [n, m] : sizes) {
    if (!MakeLibrary(work, n, m)) {
      std::fprintf(stderr, "could not write the library\n");
      return 1;
    }
    std::string lib = (work / "lib.vlmrlib").string();
    std::string media = (work / "lib.qsm").string();
    // Warm the page cache the same way for both measurements.
    Shell("cat '" + lib + "' >/dev/null; find '" + media + "' >/dev/null");
    double io = Shell("cat '" + lib + "' >/dev/null; find '" + media +
                      "' >/dev/null; cp '" + lib + "' '" + lib + ".copy'");
    // The run saves durably (flushed to disk) twice; so does this baseline.
    double io_sync = Shell("cat '" + lib + "' >/dev/null; find '" + media +
                           "' >/dev/null; for i in 1 2; do cp '" + lib + "' '" +
                           lib + ".copy' && sync '" + lib + ".copy'; done");
    // The package alone: open, two commits that each write the file.
    auto package_start = Clock::now();
    {
      vmp::SharedPtr<vmp::Package> package(
          new vmp::Package(vmp::WideString(lib.c_str()), true,
                           vmp::WideString(), tavik::DefaultFileSystem()));
      vmp::IGroup* root = package->ipackage()->metadata()->root();
      for (unsigned char flag : {0, 1}) {
        auto p = root->property("read only");
        if (!p) p = root->addPrimitive("read only", vmp::PrimitiveType::kBool);
        vmp::IPrimitive::to(p)->write(&flag, 0, 1);
        package->commit();
      }
    }
    double package_only = Seconds(package_start);
    auto start = Clock::now();
    qsnsdk_cm_infra::KQsnSdkManager manager;
    int code = static_cast<int>(tavik::UpdateLibraryPackage(
        &manager, lib.c_str(), false, tavik::DefaultFileSystem()));
    double run = Seconds(start);
    if (code != 0) {
      std::fprintf(stderr, "update run failed with %d\n", code);
      return 1;
    }
    double mib = static_cast<double>(fs::file_size(lib)) / (1 << 20);
    std::printf("%8d %6d %8.1f %8.3f %8.3f %8.3f %10.3f %8.1f\n", n, m, mib,
                run, package_only, io, io_sync, run / io);
    std::fflush(stdout);
  }
  // TAVIK_BENCH_KEEP=1 leaves the last library for profiling a run of Tavik.
  if (std::getenv("TAVIK_BENCH_KEEP") == nullptr) fs::remove_all(work);
  return 0;
}
