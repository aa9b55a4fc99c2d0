// vmpkg.exe check --registered against the real registry of a Wine prefix:
// set TAVIK_WINE_VMPKG to a Windows build's vmpkg.exe (scripts/test-windows.sh
// does). The lists are written with Wine's own `reg add` in both views, the
// libraries made by the native vmpkg; every state the registry and the files
// can give on Windows must come out, each library with the answers of
// `vmpkg.exe check --json LIB` alone, and a library that another program
// holds open without sharing (hold_file.exe, built beside the tools with
// TAVIK_WINE_HELPERS) is a library that cannot be read, not the end of the
// run. Skipped without TAVIK_WINE_VMPKG.
#if defined(VMPKG_EXE)

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "tests/library_json.h"
#include "tests/process_util.h"
#include "tests/wine_host.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tavik_test::Asset;
using tavik_test::ProcessResult;
using tavik_test::RunCaptured;

std::string WinPath(const std::string& host) {
  std::string out = "Z:" + host;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class RegisteredWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* vmpkg = std::getenv("TAVIK_WINE_VMPKG");
    if (vmpkg == nullptr || *vmpkg == '\0') {
      GTEST_SKIP() << "TAVIK_WINE_VMPKG names no vmpkg.exe";
    }
    vmpkg_ = vmpkg;
    if (tavik_test::WindowsProgramBits(vmpkg_) == 32 &&
        !tavik_test::HostRunsX86_32().runs) {
      GTEST_SKIP() << "32-bit programs do not run here: "
                   << tavik_test::HostRunsX86_32().reason;
    }
    for (const fs::path& dir : {fs::path(vmpkg_).parent_path(),
                                fs::path(vmpkg_).parent_path().parent_path()}) {
      if (fs::exists(dir / "hold_file.exe")) {
        hold_file_ = (dir / "hold_file.exe").string();
      }
    }
    prefix_ = dir_ / "prefix";
    const char* given = std::getenv("TAVIK_WINE_TEMPLATE");
    std::error_code ec;
    if (given != nullptr && fs::exists(fs::path(given) / "system.reg")) {
      // The template's programs shared, its registry files our own.
      fs::copy(given, prefix_,
               fs::copy_options::recursive |
                   fs::copy_options::create_hard_links |
                   fs::copy_options::copy_symlinks,
               ec);
      for (const char* reg : {"system.reg", "user.reg", "userdef.reg"}) {
        fs::remove(prefix_ / reg, ec);
        fs::copy_file(fs::path(given) / reg, prefix_ / reg, ec);
      }
      ASSERT_FALSE(ec) << "can't copy the template prefix: " << ec.message();
    } else {
      fs::create_directories(prefix_);
      ProcessResult boot = Wine({"wineboot", "-i"});
      ASSERT_EQ(boot.exit_code, 0) << boot.out << boot.err;
    }
    Wine({"wineserver", "-p"}, /*loader=*/false);
  }

  void TearDown() override {
    if (!prefix_.empty()) Wine({"wineserver", "-k"}, /*loader=*/false);
  }

  std::vector<std::string> Env() const {
    std::string loader = tavik_test::WineLoader();
    return {"WINEPREFIX=" + prefix_.string(),
            loader == "wine" ? "WINELOADER" : "WINELOADER=" + loader,
            "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=",
            "WINEARCH",
            "LC_ALL=C.UTF-8",
            "DISPLAY",
            "WAYLAND_DISPLAY"};
  }

  ProcessResult Wine(const std::vector<std::string>& argv, bool loader = true) {
    std::vector<std::string> args = {"-k", "10", "300"};
    if (loader) args.push_back(tavik_test::WineLoader());
    args.insert(args.end(), argv.begin(), argv.end());
    return RunCaptured("timeout", args, "", dir_.string(), Env());
  }

  ProcessResult Vmpkg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {vmpkg_};
    argv.insert(argv.end(), args.begin(), args.end());
    return Wine(argv);
  }

  // DIR/NAME/lib.vlmrlib (made by the native vmpkg) and its media folder.
  std::string Make(const std::string& name, const json& assets,
                   const std::vector<std::string>& media) {
    fs::path folder = dir_ / "work" / name;
    fs::create_directories(folder / "lib.qsm");
    for (const std::string& m : media) {
      fs::path p = folder / "lib.qsm" / m;
      fs::create_directories(p.parent_path());
      std::ofstream(p) << "x";
    }
    json doc = {
        {"package",
         {{"name", "package"},
          {"properties",
           {{{"name", "read only"}, {"type", "bool"}, {"value", {true}}}}}}},
        {"scene", {{"name", "scene"}, {"groups", assets}}}};
    std::string lib = (folder / "lib.vlmrlib").string();
    ProcessResult r = RunCaptured(VMPKG_EXE, {"create", "--force", lib, "-"},
                                  doc.dump(), dir_.string());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return WinPath(lib);
  }

  void List(const std::string& key, const std::string& view,
            const std::vector<std::string>& entries) {
    std::string value;
    for (const std::string& e : entries)
      value += (value.empty() ? "" : "|") + e;
    ProcessResult r = Wine({"reg", "add", key, "/v", "LibraryPaths", "/t",
                            "REG_SZ", "/d", value, "/f", view});
    ASSERT_EQ(r.exit_code, 0) << key << " " << view << ": " << r.out << r.err;
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_registered_wine"};
  fs::path dir_ = scratch_.path();
  fs::path prefix_;
  std::string vmpkg_;
  std::string hold_file_;
};

TEST_F(RegisteredWineTest, EveryStateFromTheRealRegistry) {
  std::string fresh = Make(
      "fresh", json::array({Asset("a", {{"d", {"1/a.png"}}})}), {"1/a.png"});
  std::string pending =
      Make("pending", json::array({Asset("b", {{"d", {"1/b.png"}}})}),
           {"1/b.png", "2/b.jpg"});
  std::string nomedia = Make("nomedia", json::array(), {});
  fs::remove_all(dir_ / "work" / "nomedia" / "lib.qsm");
  std::string broken = Make("broken", json::array(), {});
  std::ofstream(dir_ / "work" / "broken" / "lib.vlmrlib", std::ios::trunc)
      << "junk";
  std::string held = Make("held", json::array(), {});
  std::string gone = WinPath((dir_ / "work" / "gone.vlmrlib").string());
  std::string relative = "rel\\lib.vlmrlib";

  const std::string machine = "HKLM\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011";
  const std::string user = "HKCU\\Software\\Velmora\\VLMRAssetLibrary\\2011";
  List(machine, "/reg:32", {pending, gone, relative});
  List(machine, "/reg:64", {fresh, pending, fresh});
  List(user, "/reg:64", {broken, nomedia, held});

  struct Expect {
    std::string path, state, lists;
  };
  const std::vector<Expect> expected = {
      {pending, "pending", "HKLM 32, HKLM 64"},
      {gone, "library_missing", "HKLM 32"},
      {relative, "relative", "HKLM 32"},
      {fresh, "duplicate", "HKLM 64"},
      {broken, "invalid", "HKCU 32, HKCU 64"},
      {nomedia, "media_missing", "HKCU 32, HKCU 64"},
      {held, "up_to_date", "HKCU 32, HKCU 64"},
  };
  ProcessResult j = Vmpkg({"check", "--registered", "--json", "-j", "2"});
  EXPECT_EQ(j.exit_code, 4) << j.out << j.err;
  json doc = json::parse(j.out);
  EXPECT_EQ(doc["summary"]["exit_code"], 4);
  ASSERT_EQ(doc["libraries"].size(), expected.size()) << j.out;
  ProcessResult t = Vmpkg({"check", "--registered", "-j", "2"});
  EXPECT_EQ(t.exit_code, 4);
  std::vector<std::string> lines = Lines(t.out);
  ASSERT_EQ(lines.size(), expected.size() + 1) << t.out;
  for (size_t i = 0; i < expected.size(); ++i) {
    const json& lib = doc["libraries"][i];
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(lib["path"], expected[i].path);
    EXPECT_EQ(lib["state"], expected[i].state);
    EXPECT_EQ(
        lines[i].rfind(expected[i].path + "\t" + expected[i].lists + "\t", 0),
        0u)
        << lines[i];
    if (expected[i].state == "relative") continue;
    json single = json::parse(Vmpkg({"check", "--json", expected[i].path}).out);
    for (const char* k :
         {"exit_code", "tavik_exit_code", "changes", "unresolved", "reason"}) {
      EXPECT_EQ(lib[k], single[k]) << k;
    }
  }

  ProcessResult paths = Vmpkg({"registry", "list", "--paths"});
  EXPECT_EQ(paths.exit_code, 0) << paths.err;
  EXPECT_EQ(Lines(paths.out),
            std::vector<std::string>({pending, gone, relative, fresh}));

  if (hold_file_.empty()) {
    GTEST_SKIP() << "no hold_file.exe beside " << vmpkg_
                 << " (TAVIK_WINE_HELPERS): the held library not checked";
  }
  // Held without sharing by another program: that library cannot be read,
  // and the run goes on to the others.
  std::string ready = (dir_ / "ready").string();
  std::vector<std::string> hold = {
      "timeout",  "-k", "10",   "120",   tavik_test::WineLoader(),
      hold_file_, held, "none", "60000", WinPath(ready)};
  pid_t holder = tavik_test::StartProcess(hold, Env());
  ASSERT_GT(holder, 0);
  for (int i = 0; i < 600 && !fs::exists(ready); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(ready)) << "hold_file.exe did not open the library";
  ProcessResult h = Vmpkg({"check", "--registered", "-u", "--json"});
  ::kill(holder, SIGTERM);
  tavik_test::WaitProcess(holder);
  EXPECT_EQ(h.exit_code, 4) << h.out << h.err;
  json with_held = json::parse(h.out);
  ASSERT_EQ(with_held["libraries"].size(), 3u);
  EXPECT_EQ(with_held["libraries"][1]["state"], "media_missing");
  const json& lib = with_held["libraries"][2];
  EXPECT_EQ(lib["path"], held);
  EXPECT_EQ(lib["state"], "unreadable") << lib.dump(2);
  EXPECT_EQ(lib["tavik_exit_code"], 4);
}

}  // namespace

#endif  // VMPKG_EXE
