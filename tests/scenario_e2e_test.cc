// Runs the scenario table (tests/scenarios.h) against a build of the tool.
//
// Native backend (the default): the built Tavik with TAVIK_REGISTRY_ROOT set
// to a scratch folder; the registry is read from the hive files there.
//
// Wine backend: set TAVIK_WINE_EXE to a Windows build's Tavik.exe (and
// TAVIK_WINE_VMPKG to its vmpkg.exe). Each scenario then runs in a fresh
// WINEPREFIX, made from a template prefix (TAVIK_WINE_TEMPLATE, created
// there when missing, else in a scratch folder) by hard links plus private
// copies of the registry files; the registry is read with Wine's own
// `reg query` and `reg export` in both views, the read-only attribute with
// `attrib`, the library with `vmpkg.exe dump`. The native backend runs the
// same scenario in step, and after every check both registries must hold the
// same keys and values: the POSIX store is held to what Windows does.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/posix_files.h"
#include "platform/regstore/store_registry.h"
#include "tests/process_util.h"
#include "tests/reg_export.h"
#include "tests/scenarios.h"
#include "tests/wine_host.h"

namespace tavik_test {
namespace {

namespace fs = std::filesystem;

enum class View { k32, k64 };

const char* ViewName(View v) { return v == View::k32 ? "32" : "64"; }
const char* HiveName(Hive h) { return h == Hive::kMachine ? "HKLM" : "HKCU"; }

std::vector<View> ViewsOf(Views views) {
  switch (views) {
    case Views::k32:
      return {View::k32};
    case Views::k64:
      return {View::k64};
    case Views::kBoth:
      break;
  }
  return {View::k32, View::k64};
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  if (from.empty()) return text;
  for (size_t p = text.find(from); p != std::string::npos;
       p = text.find(from, p + to.size())) {
    text.replace(p, from.size(), to);
  }
  return text;
}

std::string MakeScratchFolder(const char* stem) {
  return tavik::testing_util::MakeScratchFolder(stem);
}

// The work folder's name: a space, an apostrophe and non-ASCII letters in
// every path of every scenario.
constexpr char kWorkFolderName[] = "Biblioth\xC3\xA8que d'essai";

// What a scenario needs of a build of the tool and of the system under it.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string Name() const = 0;
  // A fresh registry and an empty work folder. False with *error on failure.
  virtual bool Begin(std::string* error) = 0;
  virtual void End() = 0;
  // A host folder of the scenario's own for the harness's files.
  virtual std::string ScratchFolder() const = 0;
  // The work folder as the tool sees it; replaces "{W}" in the table.
  virtual std::string WorkFolder() const = 0;
  // The host path of a tool path below the work folder.
  virtual std::string HostPath(const std::string& tool_path) const = 0;
  virtual ProcessResult RunTavik(const std::vector<std::string>& args) = 0;
  // Runs Tavik on the command line "<program> " + `command_line` where the
  // system has command lines (Windows), else with `args`.
  virtual ProcessResult RunTavikRaw(const std::string& command_line,
                                    const std::vector<std::string>& args) = 0;
  virtual bool HasRawCommandLines() const = 0;
  // The keys at and below the maker's key in one hive and view, named
  // relative to it ("" is the maker's key). Empty when it does not exist;
  // nullopt when the registry could not be read.
  virtual std::optional<RegTree> ReadMakerKey(Hive hive, View view) = 0;
  virtual bool SeedKey(Hive hive, View view, const std::string& key,
                       const std::string* value_name,
                       const std::string& text) = 0;
  virtual std::optional<bool> IsReadOnly(const std::string& tool_path) = 0;
  virtual bool SetReadOnly(const std::string& tool_path, bool on) = 0;
  virtual bool HasVmpkg() const = 0;
  virtual ProcessResult CreateLibrary(const std::string& tool_path,
                                      const std::string& json) = 0;
  virtual ProcessResult DumpLibrary(const std::string& tool_path) = 0;
};

// ---------------------------------------------------------------------------
class NativeBackend : public Backend {
 public:
  std::string Name() const override { return "native"; }

  bool Begin(std::string* error) override {
    root_ = MakeScratchFolder("tavik_scenario");
    if (root_.empty()) {
      *error = "can't make a scratch folder";
      return false;
    }
    work_ = root_ + "/" + kWorkFolderName;
    registry_ = root_ + "/registry";
    fs::create_directories(work_);
    return true;
  }
  void End() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string ScratchFolder() const override { return root_; }
  std::string WorkFolder() const override { return work_; }
  std::string HostPath(const std::string& tool_path) const override {
    return Replace(tool_path, "\\", "/");
  }

  ProcessResult RunTavik(const std::vector<std::string>& args) override {
    std::vector<std::string> argv = {TAVIK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, {{"TAVIK_REGISTRY_ROOT", registry_}},
                      root_ + "/output");
  }

  ProcessResult RunTavikRaw(const std::string&,
                            const std::vector<std::string>& args) override {
    return RunTavik(args);
  }
  bool HasRawCommandLines() const override { return true; }

  std::optional<RegTree> ReadMakerKey(Hive hive, View view) override {
    std::string file =
        registry_ + (hive == Hive::kMachine ? "/HKEY_LOCAL_MACHINE.reg"
                                            : "/HKEY_CURRENT_USER.reg");
    std::optional<RegTree> tree = RegTree();
    if (fs::exists(file)) tree = ParseRegExport(ReadFileBytes(file));
    if (!tree) return std::nullopt;
    std::string prefix = hive == Hive::kUser ? "HKEY_CURRENT_USER\\Software\\"
                         : view == View::k32
                             ? "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\"
                             : "HKEY_LOCAL_MACHINE\\SOFTWARE\\";
    return RegSubtree(*tree, prefix + kMakerKey);
  }

  bool SeedKey(Hive hive, View view, const std::string& key,
               const std::string* value_name,
               const std::string& text) override {
    return SeedNativeKey(registry_, hive, view == View::k64, key, value_name,
                         text);
  }

  std::optional<bool> IsReadOnly(const std::string& tool_path) override {
    struct stat st;
    if (::stat(HostPath(tool_path).c_str(), &st) != 0) return std::nullopt;
    return (st.st_mode & S_IWUSR) == 0;
  }
  bool SetReadOnly(const std::string& tool_path, bool on) override {
    std::string host = HostPath(tool_path);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return false;
    mode_t mode = on ? (st.st_mode & ~0222) : (st.st_mode | S_IWUSR);
    return ::chmod(host.c_str(), mode & 07777) == 0;
  }

  bool HasVmpkg() const override {
#ifdef VMPKG_EXE
    return true;
#else
    return false;
#endif
  }
  ProcessResult CreateLibrary(const std::string& tool_path,
                              const std::string& json) override {
    std::string json_file = root_ + "/library.json";
    WriteFileBytes(json_file, json);
    return RunProcess({VmpkgExe(), "create", tool_path, json_file}, {},
                      root_ + "/vmpkg_output");
  }
  ProcessResult DumpLibrary(const std::string& tool_path) override {
    return RunProcess({VmpkgExe(), "dump", tool_path}, {},
                      root_ + "/vmpkg_output");
  }

  // Writes a key (and a string value in it, when `value_name` is given)
  // into the hive files below `registry`, through the same store the tool
  // uses: the store's own locking and format, as `reg add` is Windows' own.
  static bool SeedNativeKey(const std::string& registry, Hive hive, bool view64,
                            const std::string& key,
                            const std::string* value_name,
                            const std::string& text);

 private:
  static std::string VmpkgExe() {
#ifdef VMPKG_EXE
    return VMPKG_EXE;
#else
    return "vmpkg";
#endif
  }

  std::string root_;
  std::string work_;
  std::string registry_;
};

// ---------------------------------------------------------------------------
class WineBackend : public Backend {
 public:
  WineBackend(std::string tavik_exe, std::string vmpkg_exe,
              std::string template_prefix)
      : tavik_exe_(std::move(tavik_exe)),
        vmpkg_exe_(std::move(vmpkg_exe)),
        template_(std::move(template_prefix)) {
    // raw_launch.exe is built beside Tavik.exe (TAVIK_WINE_HELPERS).
    std::string launcher =
        (fs::path(tavik_exe_).parent_path() / "raw_launch.exe").string();
    if (fs::exists(launcher)) launcher_ = launcher;
  }

  std::string Name() const override {
    return "wine " + fs::path(tavik_exe_).parent_path().filename().string();
  }

  bool Begin(std::string* error) override {
    root_ = MakeScratchFolder("tavik_wine");
    if (root_.empty()) {
      *error = "can't make a scratch folder";
      return false;
    }
    prefix_ = root_ + "/prefix";
    work_ = root_ + "/" + kWorkFolderName;
    fs::create_directories(work_);
    // The prefix's programs and libraries are shared with the template
    // (Wine only reads them); the registry files are its own.
    std::error_code ec;
    fs::copy(template_, prefix_,
             fs::copy_options::recursive | fs::copy_options::create_hard_links |
                 fs::copy_options::copy_symlinks,
             ec);
    if (ec) {
      *error =
          "can't link the template prefix " + template_ + ": " + ec.message();
      return false;
    }
    for (const char* reg : {"system.reg", "user.reg", "userdef.reg"}) {
      fs::remove(prefix_ + "/" + reg, ec);
      fs::copy_file(template_ + "/" + reg, prefix_ + "/" + reg, ec);
      if (ec) {
        *error =
            "can't copy the template prefix " + template_ + ": " + ec.message();
        return false;
      }
    }
    // The programs run from a bare folder whose name needs quoting.
    std::string bin = root_ + "/Programme \xC3\xA9t\xC3\xA9";
    fs::create_directories(bin);
    run_tavik_ = bin + "/Tavik.exe";
    fs::copy_file(tavik_exe_, run_tavik_, ec);
    if (!vmpkg_exe_.empty()) {
      run_vmpkg_ = bin + "/vmpkg.exe";
      fs::copy_file(vmpkg_exe_, run_vmpkg_, ec);
    }
    if (!launcher_.empty()) {
      run_launcher_ = bin + "/raw_launch.exe";
      fs::copy_file(launcher_, run_launcher_, ec);
    }
    if (ec) {
      *error = "can't copy the programs: " + ec.message();
      return false;
    }
    // One server for the whole scenario: each program then starts in a few
    // hundredths of a second instead of loading the registry anew.
    Wine({"wineserver", "-p"});
    return true;
  }

  void End() override {
    // Ends the server and every program of the prefix (services included;
    // a server killed outright would leave them behind).
    Wine({"wineserver", "-k"});
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string ScratchFolder() const override { return root_; }
  std::string WorkFolder() const override { return ToolPath(work_); }
  std::string HostPath(const std::string& tool_path) const override {
    // Z: is the root of the host's file system in every prefix.
    return Replace(tool_path.substr(2), "\\", "/");
  }

  ProcessResult RunTavik(const std::vector<std::string>& args) override {
    std::vector<std::string> argv = {WineLoader(), run_tavik_};
    argv.insert(argv.end(), args.begin(), args.end());
    return WithoutWineNotices(Wine(argv));
  }

  ProcessResult RunTavikRaw(const std::string& command_line,
                            const std::vector<std::string>&) override {
    return WithoutWineNotices(
        Wine({WineLoader(), run_launcher_},
             {{"TAVIK_RAW_COMMAND_LINE",
               "\"" + ToolPath(run_tavik_) + "\" " + command_line}}));
  }
  bool HasRawCommandLines() const override { return !launcher_.empty(); }

  std::optional<RegTree> ReadMakerKey(Hive hive, View view) override {
    std::optional<RegTree> tree =
        ReadKey(MakerKeyPath(hive), std::string("/reg:") + ViewName(view));
    if (tree && hive == Hive::kMachine && view == View::k32) {
      // The 32-bit view of HKLM\SOFTWARE is HKLM\SOFTWARE\WOW6432Node of
      // the 64-bit view, where the POSIX store keeps it too.
      std::optional<RegTree> redirected = ReadKey(
          std::string("HKLM\\SOFTWARE\\WOW6432Node\\") + kMakerKey, "/reg:64");
      if (!redirected || *redirected != *tree) return std::nullopt;
    }
    return tree;
  }

  bool SeedKey(Hive hive, View view, const std::string& key,
               const std::string* value_name,
               const std::string& text) override {
    std::string path = MakerKeyPath(hive) + "\\" + key;
    std::string flag = std::string("/reg:") + ViewName(view);
    if (value_name != nullptr) {
      return Wine({WineLoader(), "reg", "add", path, "/v", *value_name, "/t",
                   "REG_SZ", "/d", text, "/f", flag})
                 .exit_code == 0;
    }
    // Wine's `reg add` gives a new key an empty default value, which the
    // key made natively does not have.
    return Wine({WineLoader(), "reg", "add", path, "/f", flag}).exit_code ==
               0 &&
           Wine({WineLoader(), "reg", "delete", path, "/ve", "/f", flag})
                   .exit_code == 0;
  }

  std::optional<bool> IsReadOnly(const std::string& tool_path) override {
    // "A    R       Z:\...": the attribute letters, then the path (shown in
    // the console's code page, so only its drive is looked for).
    ProcessResult r = Wine({WineLoader(), "attrib", tool_path});
    size_t p = r.out.find(tool_path.substr(0, 3));
    if (r.exit_code != 0 || p == std::string::npos ||
        r.out.find("Not Found") != std::string::npos) {
      return std::nullopt;
    }
    return r.out.substr(0, p).find('R') != std::string::npos;
  }
  bool SetReadOnly(const std::string& tool_path, bool on) override {
    return Wine({WineLoader(), "attrib", on ? "+R" : "-R", tool_path})
               .exit_code == 0;
  }

  bool HasVmpkg() const override { return !vmpkg_exe_.empty(); }
  ProcessResult CreateLibrary(const std::string& tool_path,
                              const std::string& json) override {
    std::string json_file = root_ + "/library.json";
    WriteFileBytes(json_file, json);
    return Wine(
        {WineLoader(), run_vmpkg_, "create", tool_path, ToolPath(json_file)});
  }
  ProcessResult DumpLibrary(const std::string& tool_path) override {
    return Wine({WineLoader(), run_vmpkg_, "dump", tool_path});
  }

  // Makes the template prefix at `path` unless it is there already.
  static bool EnsureTemplate(const std::string& path, std::string* error) {
    if (fs::exists(path + "/system.reg")) return true;
    fs::create_directories(path);
    std::map<std::string, std::string> env = WineEnv(path);
    ProcessResult boot =
        RunProcess({"timeout", "600", WineLoader(), "wineboot", "-i"}, env,
                   path + "/../wineboot_output");
    // No display: the desktop process that a GUI-subsystem program brings
    // up uses the null graphics driver instead of trying X11.
    RunProcess(
        {"timeout", "120", WineLoader(), "reg", "add",
         "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"},
        env, path + "/../wineboot_output3");
    // The registry files are written when the server ends.
    RunProcess({"timeout", "120", "wineserver", "-w"}, env,
               path + "/../wineboot_output2");
    if (boot.exit_code != 0 || !fs::exists(path + "/system.reg")) {
      *error = "wineboot failed (" + std::to_string(boot.exit_code) +
               "): " + boot.out;
      return false;
    }
    return true;
  }

 private:
  static std::map<std::string, std::string> WineEnv(const std::string& prefix) {
    // Where the 64-bit loader is started directly, the programs it starts in
    // turn must go through it too.
    std::string loader = WineLoader();
    return {{"WINEPREFIX", prefix},
            {"WINELOADER", loader == "wine" ? "" : loader},
            {"WINEDEBUG", "-all"},
            {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"WINEARCH", ""},
            // Arguments and file names cross into Wine as UTF-8.
            {"LC_ALL", "C.UTF-8"},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}};
  }

  ProcessResult Wine(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& more_env = {}) {
    std::vector<std::string> limited = {"timeout", "-k", "10", "300"};
    limited.insert(limited.end(), argv.begin(), argv.end());
    std::map<std::string, std::string> env = WineEnv(prefix_);
    env.insert(more_env.begin(), more_env.end());
    return RunProcess(limited, env, root_ + "/output");
  }

  // Drops the lines Wine itself writes ("wine: ..."), which can come from
  // the prefix's own service processes that share the output. A fault of
  // Tavik.exe itself still shows in its exit code.
  static ProcessResult WithoutWineNotices(ProcessResult result) {
    std::string kept;
    size_t start = 0;
    while (start < result.out.size()) {
      size_t end = result.out.find('\n', start);
      end = end == std::string::npos ? result.out.size() : end + 1;
      std::string line = result.out.substr(start, end - start);
      if (line.rfind("wine: ", 0) != 0) kept += line;
      start = end;
    }
    result.out = kept;
    return result;
  }

  // The keys at and below `key` (a "HKLM\\..." or "HKCU\\..." path) in the
  // view `flag`, named relative to it; empty when it does not exist.
  std::optional<RegTree> ReadKey(const std::string& key,
                                 const std::string& flag) {
    ProcessResult query = Wine({WineLoader(), "reg", "query", key, flag});
    if (query.exit_code == 1) {
      // Late in one full table run under Wine, a key that Tavik had just
      // written (and that the same scenario finds when run alone) was
      // reported missing: a missing key is asked about twice before it
      // counts as missing.
      query = Wine({WineLoader(), "reg", "query", key, flag});
      if (query.exit_code == 1) return RegTree();
    }
    if (query.exit_code != 0) return std::nullopt;
    std::string file = root_ + "/export.reg";
    std::error_code ignored;
    fs::remove(file, ignored);
    ProcessResult exported =
        Wine({WineLoader(), "reg", "export", key, ToolPath(file), flag, "/y"});
    if (exported.exit_code != 0) return std::nullopt;
    std::optional<RegTree> tree = ParseRegExport(ReadFileBytes(file));
    if (!tree) return std::nullopt;
    std::string hive = key.compare(0, 4, "HKLM") == 0 ? "HKEY_LOCAL_MACHINE"
                                                      : "HKEY_CURRENT_USER";
    return RegSubtree(*tree, hive + key.substr(4));
  }

  static std::string ToolPath(const std::string& host_path) {
    return "Z:" + Replace(host_path, "/", "\\");
  }
  static std::string MakerKeyPath(Hive hive) {
    return hive == Hive::kMachine ? std::string("HKLM\\SOFTWARE\\") + kMakerKey
                                  : std::string("HKCU\\Software\\") + kMakerKey;
  }

  std::string tavik_exe_;
  std::string vmpkg_exe_;
  std::string template_;
  std::string root_;
  std::string prefix_;
  std::string work_;
  std::string run_tavik_;
  std::string run_vmpkg_;
  std::string launcher_;
  std::string run_launcher_;
};

// ---------------------------------------------------------------------------
// The template prefix for the whole test program, made on first use.
std::string WineTemplate(std::string* error) {
  static std::string path;
  static std::string made_error;
  static bool tried = false;
  if (!tried) {
    tried = true;
    const char* given = std::getenv("TAVIK_WINE_TEMPLATE");
    if (given != nullptr && *given != '\0') {
      path = given;
    } else {
      std::string scratch = MakeScratchFolder("tavik_wine_template");
      path = scratch + "/prefix";
      // Removed when the program ends; a given template is kept.
      static struct Remover {
        std::string folder;
        ~Remover() {
          RunProcess({"wineserver", "-k"}, {{"WINEPREFIX", folder + "/prefix"}},
                     "/dev/null");
          std::error_code ignored;
          fs::remove_all(folder, ignored);
        }
      } remover{scratch};
    }
    if (!WineBackend::EnsureTemplate(path, &made_error)) path.clear();
  }
  *error = made_error;
  return path;
}

const char* WineExe() {
  const char* exe = std::getenv("TAVIK_WINE_EXE");
  return exe != nullptr && *exe != '\0' ? exe : nullptr;
}

// Value of a key in `tree`, names compared as the registry compares them.
const RegValues* FindKey(const RegTree& tree, const std::string& key) {
  for (const auto& [name, values] : tree) {
    if (AsciiLower(name) == AsciiLower(key)) return &values;
  }
  return nullptr;
}

bool IsCheck(const Step& step) { return step.kind >= Step::kExpectList; }

// Runs one scenario on one backend; failures name the backend and the step.
class ScenarioRun {
 public:
  explicit ScenarioRun(Backend* backend) : backend_(backend) {}

  bool Begin() {
    std::string error;
    if (!backend_->Begin(&error)) {
      ADD_FAILURE() << backend_->Name() << ": " << error;
      return false;
    }
    return true;
  }
  void End() { backend_->End(); }

  std::string Expand(const std::string& text) const {
    return Replace(text, "{W}", backend_->WorkFolder());
  }
  // The inverse, so that two backends' registries can be compared.
  std::string Unexpand(const std::string& text) const {
    return Replace(text, backend_->WorkFolder(), "{W}");
  }

  // The registry as the table would write it: every hive and view.
  std::string RegistryText() {
    std::string out;
    for (Hive hive : {Hive::kMachine, Hive::kUser}) {
      for (View view : {View::k32, View::k64}) {
        std::optional<RegTree> tree = ReadMakerKey(hive, view);
        out += std::string("== ") + HiveName(hive) + " /reg:" + ViewName(view) +
               "\n";
        out += tree ? Unexpand(RegTreeText(*tree)) : "(unreadable)\n";
      }
    }
    return out;
  }

  void Do(size_t index, const Step& step) {
    if (!IsCheck(step)) read_.clear();
    std::string where = backend_->Name() + ", step " + std::to_string(index);
    switch (step.kind) {
      case Step::kRun: {
        std::vector<std::string> args;
        std::string shown;
        for (const std::string& a : step.args) {
          args.push_back(Expand(a));
          shown += " [" + (a.size() > 60 ? a.substr(0, 60) + "..." : a) + "]";
        }
        ProcessResult r = backend_->RunTavik(args);
        EXPECT_EQ(r.exit_code, step.code) << where << ": Tavik" << shown;
        EXPECT_EQ(r.out, "")
            << where << ": the tool writes nothing: Tavik" << shown;
        break;
      }
      case Step::kRunRaw: {
        std::vector<std::string> args;
        for (const std::string& a : step.args) args.push_back(Expand(a));
        ProcessResult r = backend_->RunTavikRaw(Expand(step.text), args);
        EXPECT_EQ(r.exit_code, step.code)
            << where << ": Tavik.exe " << step.text;
        EXPECT_EQ(r.out, "")
            << where << ": the tool writes nothing: Tavik.exe " << step.text;
        break;
      }
      case Step::kMakeFile: {
        std::string host = backend_->HostPath(Expand(step.path));
        fs::create_directories(fs::path(host).parent_path());
        EXPECT_TRUE(WriteFileBytes(host, step.text)) << where << ": " << host;
        break;
      }
      case Step::kMakeFolder:
        fs::create_directories(backend_->HostPath(Expand(step.path)));
        break;
      case Step::kMakeLibrary: {
        std::string path = Expand(step.path);
        fs::create_directories(
            fs::path(backend_->HostPath(path)).parent_path());
        ProcessResult r = backend_->CreateLibrary(path, Expand(step.text));
        EXPECT_EQ(r.exit_code, 0) << where << ": vmpkg create: " << r.out;
        break;
      }
      case Step::kRemove: {
        std::error_code ec;
        EXPECT_TRUE(fs::remove(backend_->HostPath(Expand(step.path)), ec))
            << where << ": " << step.path;
        break;
      }
      case Step::kSetReadOnly:
        EXPECT_TRUE(backend_->SetReadOnly(Expand(step.path), step.code != 0))
            << where;
        break;
      case Step::kSeedValue:
      case Step::kSeedKey:
        for (View view : ViewsOf(step.views)) {
          const std::string* name =
              step.kind == Step::kSeedValue ? &step.args[0] : nullptr;
          EXPECT_TRUE(backend_->SeedKey(step.hive, view, step.path, name,
                                        Expand(step.text)))
              << where << ": can't seed " << step.path;
        }
        break;
      case Step::kExpectList:
      case Step::kExpectNoVersion:
      case Step::kExpectNoRoot:
      case Step::kExpectKey:
        for (View view : ViewsOf(step.views)) {
          CheckRegistry(
              where + ", " + HiveName(step.hive) + " /reg:" + ViewName(view),
              step, view);
        }
        break;
      case Step::kExpectReadOnly: {
        std::optional<bool> read_only = backend_->IsReadOnly(Expand(step.path));
        ASSERT_TRUE(read_only.has_value()) << where << ": " << step.path;
        EXPECT_EQ(*read_only, step.code != 0) << where << ": " << step.path;
        break;
      }
      case Step::kExpectLibrary: {
        ProcessResult r = backend_->DumpLibrary(Expand(step.path));
        ASSERT_EQ(r.exit_code, 0) << where << ": vmpkg dump: " << r.out;
        nlohmann::json got = nlohmann::json::parse(r.out, nullptr, false);
        nlohmann::json want =
            nlohmann::json::parse(Expand(step.text), nullptr, false);
        ASSERT_FALSE(want.is_discarded()) << where << ": bad JSON in table";
        EXPECT_EQ(got, want) << where << ": vmpkg dump gave " << r.out;
#ifdef VMPKG_EXE
        // A library written on Windows reads the same on Linux: the file
        // format is one for every system.
        if (backend_->Name() != "native") {
          ProcessResult host = RunProcess(
              {VMPKG_EXE, "dump", backend_->HostPath(Expand(step.path))}, {},
              backend_->ScratchFolder() + "/host_dump");
          EXPECT_EQ(nlohmann::json::parse(host.out, nullptr, false), want)
              << where << ": the native vmpkg dump gave " << host.out;
        }
#endif
        break;
      }
      case Step::kExpectBytes:
        EXPECT_EQ(ReadFileBytes(backend_->HostPath(Expand(step.path))),
                  Expand(step.text))
            << where << ": " << step.path;
        break;
    }
  }

 private:
  void CheckRegistry(const std::string& where, const Step& step, View view) {
    std::optional<RegTree> tree = ReadMakerKey(step.hive, view);
    ASSERT_TRUE(tree.has_value()) << where << ": registry unreadable";
    std::string shown = Unexpand(RegTreeText(*tree));
    const RegValues* root = FindKey(*tree, kRootKey);
    const RegValues* version = FindKey(*tree, kVersionKey);
    switch (step.kind) {
      case Step::kExpectList: {
        ASSERT_NE(version, nullptr) << where << ": no version key\n" << shown;
        const std::string* value = nullptr;
        for (const auto& [name, data] : *version) {
          if (AsciiLower(name) == "librarypaths") value = &data;
        }
        ASSERT_NE(value, nullptr) << where << ": no LibraryPaths\n" << shown;
        EXPECT_EQ(*value, Expand(step.text)) << where;
        break;
      }
      case Step::kExpectNoVersion:
        EXPECT_NE(root, nullptr) << where << ": no root key\n" << shown;
        EXPECT_EQ(version, nullptr) << where << ": version key left\n" << shown;
        break;
      case Step::kExpectNoRoot:
        EXPECT_EQ(root, nullptr) << where << ": root key left\n" << shown;
        break;
      default:
        EXPECT_EQ(FindKey(*tree, step.path) != nullptr, step.code != 0)
            << where << ": key \"" << step.path << "\"\n"
            << shown;
    }
  }

  // Reads through a cache that lives until the next step that can change
  // something: a run of checks reads each hive and view once.
  std::optional<RegTree> ReadMakerKey(Hive hive, View view) {
    auto key = std::make_pair(hive, view);
    auto found = read_.find(key);
    if (found == read_.end()) {
      found = read_.emplace(key, backend_->ReadMakerKey(hive, view)).first;
    }
    return found->second;
  }

  Backend* backend_;
  std::map<std::pair<Hive, View>, std::optional<RegTree>> read_;
};

}  // namespace

void PrintTo(const Scenario& scenario, std::ostream* os) {
  *os << scenario.name;
}

namespace {

class ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, Run) {
  const Scenario& scenario = GetParam();
  NativeBackend native;
  std::unique_ptr<WineBackend> wine;
  std::vector<Backend*> backends;
  if (const char* exe = WineExe()) {
    if (WindowsProgramBits(exe) == 32 && !HostRunsX86_32().runs) {
      GTEST_SKIP() << exe << ": " << HostRunsX86_32().reason;
    }
    std::string error;
    std::string prefix = WineTemplate(&error);
    ASSERT_FALSE(prefix.empty()) << error;
    const char* vmpkg = std::getenv("TAVIK_WINE_VMPKG");
    wine = std::make_unique<WineBackend>(exe, vmpkg ? vmpkg : "", prefix);
    backends.push_back(wine.get());
  }
  backends.push_back(&native);
  for (Backend* b : backends) {
    if (scenario.part == "library" && !b->HasVmpkg()) {
      GTEST_SKIP() << b->Name() << " has no vmpkg";
    }
    if (scenario.part == "rawcmdline" && !b->HasRawCommandLines()) {
      GTEST_SKIP() << b->Name() << " has no raw_launch.exe";
    }
  }

  std::vector<std::unique_ptr<ScenarioRun>> runs;
  for (Backend* b : backends) {
    runs.push_back(std::make_unique<ScenarioRun>(b));
    if (!runs.back()->Begin()) {
      runs.pop_back();
      for (auto& r : runs) r->End();
      return;
    }
  }
  for (size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    for (auto& r : runs) r->Do(i, step);
    // Differential: after every check, and at the end, both systems'
    // registries hold the same keys and values.
    bool last = i + 1 == scenario.steps.size();
    if (runs.size() > 1 &&
        (last || (IsCheck(step) && !IsCheck(scenario.steps[i + 1])))) {
      EXPECT_EQ(runs[0]->RegistryText(), runs[1]->RegistryText())
          << "registries differ after step " << i << " (first: Wine)";
    }
  }
  for (auto& r : runs) r->End();
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioTest,
                         ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return info.param.name;
                         });

}  // namespace

bool NativeBackend::SeedNativeKey(const std::string& registry, Hive hive,
                                  bool view64, const std::string& key,
                                  const std::string* value_name,
                                  const std::string& text) {
  tavik::StoreRegistry store(tavik::NewFileHiveStorage(
      tavik::DefaultPosixFiles(), registry, registry));
  tavik::RegKey opened = tavik::kNoRegKey;
  std::string path = (hive == Hive::kMachine ? "SOFTWARE\\" : "Software\\") +
                     std::string(kMakerKey) + "\\" + key;
  long rc =
      store.CreateKey(hive == Hive::kMachine ? tavik::kHkeyLocalMachine
                                             : tavik::kHkeyCurrentUser,
                      path,
                      tavik::kKeyAllAccess | (view64 ? tavik::kKeyWow64_64Key
                                                     : tavik::kKeyWow64_32Key),
                      &opened);
  if (rc != tavik::kErrorSuccess) return false;
  if (value_name != nullptr) {
    rc = store.SetString(opened, *value_name, text);
  }
  store.CloseKey(opened);
  return rc == tavik::kErrorSuccess;
}

}  // namespace tavik_test
