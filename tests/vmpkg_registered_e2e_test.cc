// vmpkg check --registered and vmpkg registry list --paths, as separate
// processes against a registry store seeded in a scratch folder: every
// state, a path in several lists, the order of the exit codes, the JSON
// against the text report, and each library's answers against `vmpkg check
// LIB` on that library alone.
#if defined(VMPKG_EXE)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "tests/library_json.h"
#include "tests/process_util.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tavik_test::Asset;
using tavik_test::ProcessResult;
using tavik_test::ReadWholeFile;
using tavik_test::RunCaptured;

json Library(const json& assets) {
  return {{"package",
           {{"name", "package"},
            {"properties",
             {{{"name", "read only"}, {"type", "bool"}, {"value", {true}}}}}}},
          {"scene", {{"name", "scene"}, {"groups", assets}}}};
}

// The lists of a store: (hive, view) -> entries. HKCU\Software is one list
// in both views, as on Windows.
struct Lists {
  std::vector<std::string> machine32, machine64, user;
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  std::stringstream in(line);
  std::string part;
  while (std::getline(in, part, '\t')) parts.push_back(part);
  return parts;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class RegisteredE2eTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& p : locked_) {
      fs::permissions(p, fs::perms::owner_all, fs::perm_options::add);
    }
  }

  std::vector<std::string> Env() const {
    return {"TAVIK_REGISTRY_ROOT=" + (dir_ / "registry").string()};
  }

  ProcessResult Vmpkg(const std::vector<std::string>& arguments) {
    return RunCaptured(VMPKG_EXE, arguments, "", dir_.string(), Env());
  }

  // DIR/NAME/lib.vlmrlib with its media folder holding `media` (empty
  // files); returns the library's path.
  std::string Make(const std::string& name, const json& assets,
                   const std::vector<std::string>& media) {
    fs::path folder = dir_ / name;
    fs::create_directories(folder / "lib.qsm");
    for (const std::string& m : media) {
      fs::path p = folder / "lib.qsm" / m;
      fs::create_directories(p.parent_path());
      std::ofstream(p) << "x";
    }
    std::string lib = (folder / "lib.vlmrlib").string();
    ProcessResult r = RunCaptured(VMPKG_EXE, {"create", "--force", lib, "-"},
                                  Library(assets).dump(), dir_.string());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return lib;
  }

  static std::string Value(const std::vector<std::string>& entries) {
    std::string v;
    for (size_t i = 0; i < entries.size(); ++i)
      v += (i ? "|" : "") + entries[i];
    return v;
  }

  void Seed(const Lists& lists) {
    fs::create_directories(dir_ / "registry");
    const char kRoot[] = "\\Velmora\\VLMRAssetLibrary\\2011]\n";
    std::ofstream machine(dir_ / "registry" / "HKEY_LOCAL_MACHINE.reg");
    machine << "Windows Registry Editor Version 5.00\n\n";
    if (!lists.machine64.empty()) {
      machine << "[HKEY_LOCAL_MACHINE\\SOFTWARE" << kRoot
              << "\"LibraryPaths\"=\"" << Value(lists.machine64) << "\"\n\n";
    }
    if (!lists.machine32.empty()) {
      machine << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node" << kRoot
              << "\"LibraryPaths\"=\"" << Value(lists.machine32) << "\"\n\n";
    }
    std::ofstream user(dir_ / "registry" / "HKEY_CURRENT_USER.reg");
    user << "Windows Registry Editor Version 5.00\n\n";
    if (!lists.user.empty()) {
      user << "[HKEY_CURRENT_USER\\Software" << kRoot << "\"LibraryPaths\"=\""
           << Value(lists.user) << "\"\n";
    }
  }

  // Every file under the scratch folder with its bytes and mode: what a
  // check must leave as it was.
  std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      std::string name = e.path().filename().string();
      if (name == ".stdin" || name == ".stdout" || name == ".stderr") continue;
      // Reading the store takes its lock files, made on first use.
      if (name == "registry" || e.path().extension() == ".lock") continue;
      struct stat st;
      if (::lstat(e.path().c_str(), &st) != 0) continue;
      std::string what =
          std::to_string(st.st_mode) + "|" + std::to_string(st.st_mtim.tv_nsec);
      if (S_ISREG(st.st_mode) && (st.st_mode & S_IRUSR)) {
        what += "|" + ReadWholeFile(e.path().string());
      }
      files[e.path().string()] = what;
    }
    return files;
  }

  void Lock(const std::string& path) {
    fs::permissions(path, fs::perms::all, fs::perm_options::remove);
    locked_.push_back(path);
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_registered_e2e"};
  fs::path dir_ = scratch_.path();
  std::vector<std::string> locked_;
};

// One library of every state, each in its place.
struct Fixture {
  std::string up_to_date, pending, unresolved, library_missing, media_missing,
      invalid, unreadable, relative;
};

TEST_F(RegisteredE2eTest, EveryStateAsCheckSaysLibraryByLibrary) {
  Fixture f;
  f.up_to_date = Make("fresh", json::array({Asset("a", {{"d", {"1/a.png"}}})}),
                      {"1/a.png"});
  f.pending = Make("pending", json::array({Asset("b", {{"d", {"1/b.png"}}})}),
                   {"1/b.png", "2/b.jpg", "3/b.tif"});
  f.unresolved =
      Make("unresolved",
           json::array({Asset("c", {{"d", {"1/c.png", "1/gone.png"}}})}),
           {"1/c.png"});
  f.library_missing = (dir_ / "gone" / "lib.vlmrlib").string();
  f.media_missing =
      Make("nomedia", json::array({Asset("d", {{"d", {"1/d.png"}}})}), {});
  fs::remove_all(dir_ / "nomedia" / "lib.qsm");
  f.invalid = Make("broken", json::array(), {});
  std::ofstream(f.invalid, std::ios::trunc) << "not a library at all";
  // A file without read permission; for root, who reads it all the same, a
  // file that opens but fails every read.
  f.unreadable = Make("locked", json::array(), {});
  if (::geteuid() != 0) {
    Lock(f.unreadable);
  } else {
    fs::remove(f.unreadable);
    fs::create_symlink("/proc/self/mem", f.unreadable);
  }
  f.relative = "rel/lib.vlmrlib";

  Lists lists;
  // The pending library stands in all four lists; the up-to-date one twice
  // in the machine's 64-bit list.
  lists.machine32 = {f.pending, f.library_missing, f.relative};
  lists.machine64 = {f.up_to_date, f.pending, f.media_missing, f.up_to_date};
  lists.user = {f.invalid, f.pending, f.unresolved, f.unreadable};
  Seed(lists);

  struct Expect {
    std::string path;
    std::string state;
    std::vector<std::string> lists;  // "HKEY_..:view"
    std::string text;                // in the state column
  };
  const std::string HKLM = "HKEY_LOCAL_MACHINE", HKCU = "HKEY_CURRENT_USER";
  struct Mode {
    std::vector<std::string> flags;
    int exit_code;
  };
  const Mode modes[] = {{{}, 4}, {{"-r"}, 4}, {{"--strict"}, 4}};
  for (const Mode& mode : modes) {
    bool remove = !mode.flags.empty() && mode.flags[0] == "-r";
    bool strict = !mode.flags.empty() && mode.flags[0] == "--strict";
    SCOPED_TRACE(remove ? "-r" : strict ? "--strict" : "plain");
    std::vector<Expect> expected = {
        {f.pending,
         "pending",
         {HKLM + ":32", HKLM + ":64", HKCU + ":32", HKCU + ":64"},
         remove ? "" : "2 changes pending"},
        {f.library_missing,
         "library_missing",
         {HKLM + ":32"},
         "library file missing"},
        {f.relative, "relative", {HKLM + ":32"}, "relative path, not checked"},
        {f.up_to_date,
         "duplicate",
         {HKLM + ":64"},
         "listed twice in HKLM 64; up to date"},
        {f.media_missing,
         "media_missing",
         {HKLM + ":64"},
         "media folder missing"},
        {f.invalid,
         "invalid",
         {HKCU + ":32", HKCU + ":64"},
         "not a valid library: "},
        {f.unresolved,
         remove ? "pending" : "unresolved",
         {HKCU + ":32", HKCU + ":64"},
         remove ? "1 change pending" : "1 reference resolves to no file"},
        {f.unreadable,
         "unreadable",
         {HKCU + ":32", HKCU + ":64"},
         "cannot be read: "},
    };
    if (remove) {
      // Nothing to prune in the pending library: it is up to date for -r.
      expected[0].state = "up_to_date";
      expected[0].text = "up to date";
    }

    std::vector<std::string> args = {"check", "--registered", "--json", "-j",
                                     "3"};
    args.insert(args.end(), mode.flags.begin(), mode.flags.end());
    auto before = Snapshot();
    ProcessResult j = Vmpkg(args);
    EXPECT_EQ(Snapshot(), before) << "the check wrote something";
    EXPECT_EQ(j.exit_code, mode.exit_code) << j.out << j.err;
    EXPECT_EQ(j.err, "");  // no progress when standard error is no terminal
    json doc = json::parse(j.out);
    EXPECT_EQ(doc["schema"], "vmpkg-check-registered/1");
    EXPECT_EQ(doc["summary"]["exit_code"], j.exit_code);
    EXPECT_EQ(doc["summary"]["jobs"], 3);
    EXPECT_EQ(doc["lists"].size(), 4u);
    const json& libraries = doc["libraries"];
    ASSERT_EQ(libraries.size(), expected.size()) << j.out;

    args.erase(args.begin() + 2);  // --json
    ProcessResult t = Vmpkg(args);
    EXPECT_EQ(t.exit_code, j.exit_code);
    std::vector<std::string> lines = Lines(t.out);
    ASSERT_EQ(lines.size(), expected.size() + 1) << t.out;

    std::map<std::string, int> counts;
    for (size_t i = 0; i < expected.size(); ++i) {
      const Expect& e = expected[i];
      const json& lib = libraries[i];
      SCOPED_TRACE(e.path);
      EXPECT_EQ(lib["path"], e.path);
      EXPECT_EQ(lib["state"], e.state);
      ++counts[e.state];
      std::vector<std::string> where;
      for (const json& l : lib["lists"]) {
        where.push_back(l["hive"].get<std::string>() + ":" +
                        std::to_string(l["view"].get<int>()));
      }
      EXPECT_EQ(where, e.lists);
      if (e.state == "duplicate") {
        EXPECT_EQ(lib["lists"][0]["indexes"], json({0, 3}));
      }

      // The text line says the same.
      std::vector<std::string> cols = SplitTabs(lines[i]);
      ASSERT_EQ(cols.size(), 3u) << lines[i];
      EXPECT_EQ(cols[0], e.path);
      std::string names;
      for (const std::string& w : e.lists) {
        names += (names.empty() ? "" : ", ") +
                 std::string(w.rfind(HKLM, 0) == 0 ? "HKLM " : "HKCU ") +
                 w.substr(w.find(':') + 1);
      }
      EXPECT_EQ(cols[1], names);
      if (!e.text.empty()) {
        EXPECT_EQ(cols[2].rfind(e.text, 0), 0u) << cols[2];
      }
      if (e.state == "invalid" || e.state == "unreadable") {
        EXPECT_NE(cols[2].find(lib["reason"].get<std::string>().substr(
                      std::string("not a valid library: ").size())),
                  std::string::npos)
            << cols[2];
      }

      // The summary fields are those of vmpkg check LIB alone.
      if (e.state == "relative") {
        for (const char* k : {"exit_code", "tavik_exit_code", "changes",
                              "unresolved", "reason"}) {
          EXPECT_TRUE(lib[k].is_null()) << k;
        }
        continue;
      }
      std::vector<std::string> alone = {"check", "--json"};
      alone.insert(alone.end(), mode.flags.begin(), mode.flags.end());
      alone.push_back(e.path);
      ProcessResult one = Vmpkg(alone);
      json single = json::parse(one.out);
      for (const char* k : {"exit_code", "tavik_exit_code", "changes",
                            "unresolved", "reason"}) {
        EXPECT_EQ(lib[k], single[k]) << k;
      }
      EXPECT_EQ(lib["exit_code"], one.exit_code);
    }
    for (const auto& [state, n] : counts) {
      EXPECT_EQ(doc["summary"]["states"][state], n) << state;
    }
    EXPECT_EQ(doc["summary"]["libraries"], expected.size());
    // "8 libraries, 0.1 s: 1 up to date, ..." with the same counts.
    const std::string& summary = lines.back();
    EXPECT_EQ(summary.rfind("8 libraries, ", 0), 0u) << summary;
    EXPECT_NE(summary.find(std::to_string(counts["media_missing"]) +
                           " media folder missing"),
              std::string::npos)
        << summary;
  }
}

TEST_F(RegisteredE2eTest, TheWorstStateGivesTheExitCode) {
  std::string fresh = Make(
      "fresh", json::array({Asset("a", {{"d", {"1/a.png"}}})}), {"1/a.png"});
  std::string pending =
      Make("pending", json::array({Asset("b", {{"d", {"1/b.png"}}})}),
           {"1/b.png", "2/b.png"});
  std::string unresolved = Make(
      "unresolved", json::array({Asset("c", {{"d", {"1/gone.png"}}})}), {});
  std::string missing = (dir_ / "gone.vlmrlib").string();
  std::string invalid = Make("broken", json::array(), {});
  std::ofstream(invalid, std::ios::trunc) << "junk";

  struct Case {
    const char* name;
    std::vector<std::string> machine64;
    std::vector<std::string> flags;
    int exit_code;
  };
  const Case cases[] = {
      {"nothing registered", {}, {}, 0},
      {"up to date", {fresh}, {}, 0},
      {"unresolved without --strict", {fresh, unresolved}, {}, 0},
      {"pending", {fresh, pending, unresolved}, {}, 1},
      {"listed twice", {fresh, fresh}, {}, 1},
      {"--strict over pending", {pending, unresolved}, {"--strict"}, 5},
      {"missing over --strict", {unresolved, missing}, {"--strict"}, 2},
      {"relative as missing", {pending, "lib.vlmrlib"}, {"--strict"}, 2},
      {"-r: a missing file is still missing", {missing}, {"-r"}, 2},
      {"invalid over missing", {missing, invalid, pending}, {}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Lists lists;
    lists.machine64 = c.machine64;
    Seed(lists);
    std::vector<std::string> args = {"check", "--registered", "--json"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    ProcessResult r = Vmpkg(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["summary"]["exit_code"], c.exit_code);
  }

  // A list that cannot be read: worse than any library, and said.
  Lists lists;
  lists.user = {invalid};
  Seed(lists);
  std::ofstream(dir_ / "registry" / "HKEY_LOCAL_MACHINE.reg")
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFT\n";
  ProcessResult broken = Vmpkg({"check", "--registered"});
  EXPECT_EQ(broken.exit_code, 3) << broken.out;
  EXPECT_EQ(broken.out.rfind("can't read HKEY_LOCAL_MACHINE", 0), 0u)
      << broken.out;
  EXPECT_NE(broken.out.find("HKEY_LOCAL_MACHINE.reg"), std::string::npos);
  json doc = json::parse(Vmpkg({"check", "--registered", "--json"}).out);
  EXPECT_EQ(doc["summary"]["unreadable_lists"], 2);
  EXPECT_EQ(doc["libraries"].size(), 1u);  // the user's list still checked
  EXPECT_TRUE(doc["lists"][0]["error"].is_string());
  EXPECT_EQ(Vmpkg({"check", "--registered", "-u"}).exit_code, 4);
}

// A path with a line break in it cannot be printed one a line: registry
// list --paths names it on standard error and fails, the other paths still
// printed; the audit's text report prints such a path (or one with a tab,
// or starting with a quote) as a JSON string, so that each line stays one
// library of three fields.
TEST_F(RegisteredE2eTest, PathsThatWouldBreakALineAreNotPrintedAsTheyAre) {
  std::string a = Make("a", json::array(), {});
  Lists lists;
  lists.machine64 = {a};
  Seed(lists);
  for (const char* odd : {"/libs/two\nlines.vlmrlib", "/libs/cr\r.vlmrlib",
                          "/libs/tab\t.vlmrlib"}) {
    ASSERT_EQ(
        RunCaptured(TAVIK_EXE, {"-k", odd}, "", dir_.string(), Env()).exit_code,
        0);
  }
  ProcessResult r = Vmpkg({"registry", "list", "--paths", "--view", "64"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Lines(r.out), std::vector<std::string>({a, "/libs/tab\t.vlmrlib"}));
  EXPECT_EQ(r.err,
            "vmpkg: a listed path holds a line break, left out: "
            "\"/libs/two\\nlines.vlmrlib\"\n"
            "vmpkg: a listed path holds a line break, left out: "
            "\"/libs/cr\\r.vlmrlib\"\n");

  ProcessResult audit = Vmpkg({"check", "--registered", "--view", "64"});
  EXPECT_EQ(audit.exit_code, 2) << audit.err;
  std::vector<std::string> lines = Lines(audit.out);
  ASSERT_EQ(lines.size(), 5u) << audit.out;
  EXPECT_EQ(lines[0], a + "\tHKLM 64\tup to date");
  EXPECT_EQ(lines[1],
            "\"/libs/two\\nlines.vlmrlib\"\tHKLM 64\tlibrary file missing");
  EXPECT_EQ(lines[2], "\"/libs/cr\\r.vlmrlib\"\tHKLM 64\tlibrary file missing");
  EXPECT_EQ(lines[3],
            "\"/libs/tab\\t.vlmrlib\"\tHKLM 64\tlibrary file missing");
}

TEST_F(RegisteredE2eTest, SelectionOutputAndBadInput) {
  std::string a = Make("a", json::array(), {});
  std::string b = Make("b", json::array(), {});
  std::string c = Make("c", json::array(), {});
  Lists lists;
  lists.machine32 = {a};
  lists.machine64 = {b, a};
  lists.user = {c, b};
  Seed(lists);

  auto paths = [&](const std::vector<std::string>& args) {
    ProcessResult r = Vmpkg(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> out;
    if (args[0] == "registry") return Lines(r.out);
    json doc = json::parse(r.out);
    for (const json& lib : doc["libraries"]) {
      out.push_back(lib["path"]);
    }
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(paths({"check", "--registered", "--json"}), V({a, b, c}));
  EXPECT_EQ(paths({"check", "--registered", "--json", "-u"}), V({c, b}));
  EXPECT_EQ(paths({"check", "--registered", "--json", "--machine"}), V({a, b}));
  EXPECT_EQ(
      paths({"check", "--json", "--registered", "--machine", "--view", "64"}),
      V({b, a}));
  EXPECT_EQ(paths({"registry", "list", "--paths"}), V({a, b}));
  EXPECT_EQ(paths({"registry", "--paths", "-u", "--view", "32"}), V({c, b}));

  // -o: the report in the file, nothing on standard output.
  std::string report = (dir_ / "report.json").string();
  ProcessResult to_file =
      Vmpkg({"check", "--registered", "--json", "-o", report});
  EXPECT_EQ(to_file.exit_code, 0) << to_file.err;
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(json::parse(ReadWholeFile(report))["libraries"].size(), 3u);
  ProcessResult nowhere = Vmpkg(
      {"check", "--registered", "-o", (dir_ / "no" / "such" / "r").string()});
  EXPECT_EQ(nowhere.exit_code, 1);
  EXPECT_NE(nowhere.err.find("can't write"), std::string::npos);

  struct Bad {
    std::vector<std::string> args;
    const char* says;
  };
  const Bad bad[] = {
      {{"check", "--registered", a}, "takes no LIB"},
      {{"check", "--registered", ""}, "takes no LIB"},
      {{"check", "-u", a}, "go with check --registered"},
      {{"check", "-j", "2", a}, "go with check --registered"},
      {{"check", "--view", "32", a}, "go with check --registered"},
      {{"check"}, "check needs LIB, or --registered"},
      {{"check", "--registered", "-u", "--machine"}, "excludes"},
      {{"check", "--registered", "-j", "0"}, "-j"},
      {{"check", "--registered", "-j", "x"}, "-j"},
      {{"check", "--registered", "--view", "16"}, "--view"},
      {{"registry", "check", "--paths"}, "--paths goes with registry list"},
      {{"registry", "--paths", "--json"}, "does not go with --json"},
  };
  for (const Bad& x : bad) {
    ProcessResult r = Vmpkg(x.args);
    std::string line;
    for (const std::string& s : x.args) line += s + " ";
    EXPECT_EQ(r.exit_code, 2) << line;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_NE(r.err.find(x.says), std::string::npos) << line << ": " << r.err;
  }
  // An empty LIB is still a LIB, which Tavik refuses (3), not a usage error.
  EXPECT_EQ(Vmpkg({"check", ""}).exit_code, 3);
  EXPECT_NE(Vmpkg({"help", "check"}).out.find("130 interrupted"),
            std::string::npos);
}

// Many libraries sharing one media folder (each lib.qsm a link to it), so
// that a run lasts long enough to show progress and to be interrupted.
class LongRunTest : public RegisteredE2eTest {
 protected:
  void SetUp() override {
    json assets = json::array();
    std::vector<std::string> media;
    for (int a = 0; a < kAssets; ++a) {
      std::string n = std::to_string(a);
      assets.push_back(Asset("a" + n, {{"d", {"1/t" + n + ".png"}}}));
    }
    std::string first = Make("lib0", assets, {"1/t0.png"});
    fs::create_directories(dir_ / "lib0" / "lib.qsm" / "2");
    for (int a = 0; a < kAssets; ++a) {
      for (const char* folder : {"1/", "2/"}) {
        std::ofstream(dir_ / "lib0" / "lib.qsm" /
                      (folder + ("t" + std::to_string(a) + ".png")));
      }
    }
    libs_.push_back(first);
    for (int i = 1; i < kLibraries; ++i) {
      fs::path folder = dir_ / ("lib" + std::to_string(i));
      fs::create_directories(folder);
      fs::copy_file(first, folder / "lib.vlmrlib");
      fs::create_directory_symlink(dir_ / "lib0" / "lib.qsm",
                                   folder / "lib.qsm");
      libs_.push_back((folder / "lib.vlmrlib").string());
    }
    Lists lists;
    lists.machine64 = libs_;
    Seed(lists);
  }

  // vmpkg with standard error on a pseudo-terminal whose other end is
  // `*terminal`; standard output to `out`.
  pid_t StartOnTerminal(const std::vector<std::string>& args,
                        const std::string& out, int* terminal) {
    int follower = -1;
    char name[256];
    if (::openpty(terminal, &follower, name, nullptr, nullptr) != 0) return -1;
    ::close(follower);
    ::fcntl(*terminal, F_SETFD, FD_CLOEXEC);
    tavik_test::Redirects redirects;
    redirects.input = "/dev/null";
    redirects.output = out;
    redirects.error = name;
    std::vector<std::string> argv = {VMPKG_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return tavik_test::StartProcess(argv, Env(), redirects);
  }

  // What the terminal shows until `until` appears, the program ends or
  // `seconds` pass.
  static std::string ReadTerminal(int terminal, const std::string& until,
                                  int seconds) {
    std::string seen;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p = {terminal, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      ssize_t n = ::read(terminal, buffer, sizeof buffer);
      if (n <= 0) break;  // the other end is closed
      seen.append(buffer, static_cast<size_t>(n));
      if (!until.empty() && seen.find(until) != std::string::npos) break;
    }
    return seen;
  }

  static constexpr int kAssets = 20000;
  static constexpr int kLibraries = 80;
  std::vector<std::string> libs_;
};

TEST_F(LongRunTest, ProgressOnATerminalOnlyAndListOrderWhateverTheJobs) {
  std::string out = (dir_ / "out.txt").string();
  int terminal = -1;
  pid_t pid =
      StartOnTerminal({"check", "--registered", "-j", "1"}, out, &terminal);
  ASSERT_GT(pid, 0);
  std::string shown = ReadTerminal(terminal, "", 300);
  EXPECT_EQ(tavik_test::WaitProcess(pid), 1);
  ::close(terminal);
  EXPECT_NE(shown.find(" of 80 libraries checked, "), std::string::npos)
      << "the run was too short to show progress, or none came: " << shown;
  std::string report = ReadWholeFile(out);
  EXPECT_EQ(report.find("checked"), std::string::npos) << report;

  // The same report without a terminal, with several jobs: list order.
  ProcessResult piped = Vmpkg({"check", "--registered", "-j", "4"});
  EXPECT_EQ(piped.err, "");
  std::vector<std::string> a = Lines(report), b = Lines(piped.out);
  ASSERT_EQ(a.size(), libs_.size() + 1);
  ASSERT_EQ(b.size(), a.size());
  for (size_t i = 0; i < libs_.size(); ++i) {
    EXPECT_EQ(a[i], b[i]);
    EXPECT_EQ(SplitTabs(b[i])[0], libs_[i]);
    EXPECT_EQ(SplitTabs(b[i])[2], std::to_string(kAssets) + " changes pending");
  }
}

TEST_F(LongRunTest, CtrlCStopsWithoutAReport) {
  std::string out = (dir_ / "out.txt").string();
  std::string file = (dir_ / "report.json").string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"check", "--registered", "-j", "1"},
        std::vector<std::string>{"check", "--registered", "--json", "-j", "2",
                                 "-o", file}}) {
    int terminal = -1;
    pid_t pid = StartOnTerminal(args, out, &terminal);
    ASSERT_GT(pid, 0);
    // Once the progress shows, the run is under way.
    std::string shown = ReadTerminal(terminal, "libraries checked", 300);
    ASSERT_NE(shown.find("libraries checked"), std::string::npos) << shown;
    ::kill(pid, SIGINT);
    shown += ReadTerminal(terminal, "no report written", 300);
    EXPECT_EQ(tavik_test::WaitProcess(pid), 130);
    ::close(terminal);
    EXPECT_NE(shown.find("vmpkg: interrupted; no report written"),
              std::string::npos)
        << shown;
    EXPECT_EQ(ReadWholeFile(out), "");
    EXPECT_FALSE(fs::exists(file));
  }
}

}  // namespace

#endif  // VMPKG_EXE
