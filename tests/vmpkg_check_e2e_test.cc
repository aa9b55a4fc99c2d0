// vmpkg check, refs and registry, and Tavik-diag, as separate processes:
// check must agree with what a real run of Tavik then does, change for
// change, and write nothing.
#if defined(VMPKG_EXE) && defined(TAVIK_DIAG_EXE)

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
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

json Library(const json& assets, bool read_only = true) {
  return {
      {"package",
       {{"name", "package"},
        {"properties",
         {{{"name", "read only"}, {"type", "bool"}, {"value", {read_only}}}}}}},
      {"scene", {{"name", "scene"}, {"groups", assets}}}};
}

// (asset, property) -> entries, for every reference list of a dump.
using Lists =
    std::map<std::pair<std::string, std::string>, std::vector<std::string>>;

Lists ListsOf(const json& dump) {
  Lists lists;
  for (const json& asset : dump["scene"]["groups"]) {
    for (const json& qsn : asset["groups"]) {
      if (qsn["name"] != "QSN") continue;
      for (const json& refs : qsn["groups"]) {
        if (refs["name"] != "refs") continue;
        for (const json& p : refs["properties"]) {
          if (p["type"] != "string_array" || p["value"].is_null()) continue;
          lists[{asset["name"], p["name"]}] = p["value"];
        }
      }
    }
  }
  return lists;
}

class CheckE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "lib.qsm");
    lib_ = (dir_ / "lib.vlmrlib").string();
  }
  // A test may have taken the write permission away; the folder's removal
  // needs it back.
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
  }

  void Media(const std::string& relative) {
    fs::path p = dir_ / "lib.qsm" / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
  }

  void Create(const json& document) {
    ProcessResult r = RunCaptured(VMPKG_EXE, {"create", "--force", lib_, "-"},
                                  document.dump(), dir_.string());
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  std::vector<std::string> Env() const {
    return {"TAVIK_REGISTRY_ROOT=" + (dir_ / "registry").string()};
  }

  ProcessResult Vmpkg(const std::vector<std::string>& arguments,
                      const std::string& input = "") {
    return RunCaptured(VMPKG_EXE, arguments, input, dir_.string(), Env());
  }

  json Dump() {
    ProcessResult r = Vmpkg({"dump", lib_});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code == 0 ? json::parse(r.out) : json();
  }

  // The library's bytes, modification time and mode.
  std::string Snapshot() {
    struct stat st;
    if (::stat(lib_.c_str(), &st) != 0) return "(none)";
    return ReadWholeFile(lib_) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + "|" +
           std::to_string(st.st_mode);
  }

  // vmpkg check --json, then Tavik -l, compared list by list; returns the
  // check report. `expected_exit` is check's own exit code.
  json CheckThenRun(bool remove, int expected_exit, bool strict = false) {
    std::vector<std::string> args = {"check", "--json"};
    if (remove) args.push_back("-r");
    if (strict) args.push_back("--strict");
    args.push_back(lib_);
    std::string before_bytes = Snapshot();
    ProcessResult checked = Vmpkg(args);
    EXPECT_EQ(Snapshot(), before_bytes) << "check wrote to the library";
    EXPECT_EQ(checked.exit_code, expected_exit) << checked.out << checked.err;
    json report = json::parse(checked.out);
    EXPECT_EQ(report["exit_code"], checked.exit_code);

    bool valid = report["tavik_exit_code"] == 0 && fs::exists(lib_);
    Lists before = valid ? ListsOf(Dump()) : Lists();
    std::vector<std::string> tavik = {"-l"};
    if (remove) tavik.push_back("-r");
    tavik.push_back(lib_);
    ProcessResult ran = RunCaptured(TAVIK_EXE, tavik, "", dir_.string(), Env());
    EXPECT_EQ(ran.exit_code, report["tavik_exit_code"]) << report.dump(2);
    if (!valid) {
      EXPECT_EQ(Snapshot(), before_bytes);
      return report;
    }
    Lists after = ListsOf(Dump());

    // Every list the run changed is in the report with the same before and
    // after, and every list the report names ends as it says.
    Lists reported_after;
    size_t reported_changes = 0;
    for (const json& asset : report["assets"]) {
      for (const json& list : asset["lists"]) {
        std::pair<std::string, std::string> key = {asset["name"],
                                                   list["property"]};
        EXPECT_EQ(before[key], list["before"].get<std::vector<std::string>>())
            << key.first << "/" << key.second;
        reported_after[key] = list["after"];
        reported_changes += list["added"].size() + list["dropped"].size();
        // The additions and drops are exactly the difference.
        std::vector<std::string> expected = list["before"];
        std::vector<size_t> dropped;
        for (const json& d : list["dropped"]) dropped.push_back(d["index"]);
        for (auto it = dropped.rbegin(); it != dropped.rend(); ++it) {
          expected.erase(expected.begin() + static_cast<long>(*it));
        }
        for (const json& a : list["added"]) {
          EXPECT_EQ(a["index"], expected.size());
          expected.push_back(a["entry"]);
        }
        EXPECT_EQ(expected, list["after"].get<std::vector<std::string>>());
      }
    }
    for (const auto& [key, entries] : after) {
      if (before[key] == entries) {
        if (reported_after.count(key)) {
          EXPECT_EQ(reported_after[key], entries);
        }
        continue;
      }
      EXPECT_TRUE(reported_after.count(key))
          << "the run changed " << key.first << "/" << key.second
          << " and check did not say so";
      EXPECT_EQ(reported_after[key], entries) << key.first << "/" << key.second;
    }
    EXPECT_GE(report["changes"].get<size_t>(), reported_changes);

    // After the run there is nothing left to do.
    ProcessResult again = Vmpkg({"check", remove ? "-r" : "--json", lib_});
    EXPECT_EQ(again.exit_code, 0) << again.out;
    return report;
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_check_e2e"};
  fs::path dir_ = scratch_.path();
  std::string lib_;
};

TEST_F(CheckE2eTest, AgreesWithTheRunOnTheDemoLibrary) {
  fs::copy(fs::path(TAVIK_SOURCE_DIR) / "demo" / "lib.qsm", dir_ / "lib.qsm",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  Create(json::parse(
      std::ifstream(fs::path(TAVIK_SOURCE_DIR) / "demo" / "lib.json")));
  json completed = CheckThenRun(/*remove=*/false, 1);
  EXPECT_GT(completed["changes"].get<int>(), 0);
  fs::remove(dir_ / "lib.qsm" / "4" / "crate.png");
  json pruned = CheckThenRun(/*remove=*/true, 1);
  EXPECT_GT(pruned["changes"].get<int>(), 0);
}

struct Generated {
  const char* name;
  std::vector<std::string> media;
  json assets;
  bool remove;
  int exit;  // check's exit code
};

TEST_F(CheckE2eTest, AgreesWithTheRunOnGeneratedLibraries) {
  const Generated cases[] = {
      {"completion, parent and grandparent forms, two digits",
       {"3/a.png", "1/a.png", "10/a.png", "2/maps/b.jpg", "7/maps/b.jpg",
        "12/c.png", "4/c.png"},
       json::array({Asset("one", {{"a", {"3/a.png"}},
                                  {"b", {"2/maps/b.jpg"}},
                                  {"c", {"12/c.png"}}})}),
       false,
       1},
      {"ties: the first of the same stem in listing order",
       {"3/a.png", "5/a.tif", "5/a.png", "5/A.jpg", "5/a.jpg"},
       json::array({Asset("tie", {{"a", {"3/a.png"}}})}),
       false,
       1},
      {"already complete",
       {"3/a.png", "4/a.png"},
       json::array({Asset("done", {{"a", {"3/a.png", "4/a.png"}}})}),
       false,
       0},
      {"unresolved references stay in completion",
       {"3/a.png"},
       json::array({Asset("gone", {{"x", {"6/none.png", "3/a.png"}},
                                   {"y", {"3/a.png", "8/none.png"}}})}),
       false,
       0},
      {"pruning: entry 0 dropped, a list emptied, one untouched",
       {"3/a.png", "4/b.png"},
       json::array({Asset("p", {{"first", {"9/x.png", "3/a.png"}},
                                {"empty", {"9/x.png", "8/y.png"}},
                                {"kept", {"3/a.png", "4/b.png"}}}),
                    Asset("q", {{"none", json::array()}})}),
       true,
       1},
  };
  for (const Generated& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "lib.qsm");
    fs::create_directories(dir_ / "lib.qsm");
    for (const std::string& m : c.media) Media(m);
    Create(Library(c.assets));
    json report = CheckThenRun(c.remove, c.exit);
    if (std::string(c.name).rfind("ties", 0) == 0) {
      const json& added = report["assets"][0]["lists"][0]["added"];
      ASSERT_EQ(added.size(), 1u);
      EXPECT_EQ(added[0]["folder_number"], 5);
      // Names are listed with letters folded to upper case; stems compare
      // with their case, so A.jpg is no variant of a.png.
      EXPECT_EQ(added[0]["taken"], "a.jpg");
      EXPECT_EQ(added[0]["same_stem"],
                json::array({"a.jpg", "a.png", "a.tif"}));
      EXPECT_EQ(added[0]["entry"], "5/a.jpg");
    }
    if (std::string(c.name).rfind("pruning", 0) == 0) {
      // Properties in name order: empty, first, kept.
      const json& lists = report["assets"][0]["lists"];
      ASSERT_EQ(lists.size(), 3u);
      EXPECT_TRUE(lists[0]["emptied"]);
      EXPECT_TRUE(lists[1]["entry0_changes"]);
      EXPECT_FALSE(lists[1]["emptied"]);
      EXPECT_FALSE(lists[2]["entry0_changes"]);
      EXPECT_EQ(lists[2]["dropped"].size(), 0u);
      EXPECT_EQ(report["unresolved"], 0);
    }
    if (std::string(c.name).rfind("unresolved", 0) == 0) {
      EXPECT_EQ(report["unresolved"], 2);
    }
  }
}

// The reports are written as the run goes: strings escaped as nlohmann
// escapes them (text that is not UTF-8 shown as U+FFFD), the summary after
// the assets, and the text report saying the same.
TEST_F(CheckE2eTest, StreamedJsonEscapesAsAWholeDocumentWould) {
  using ordered = nlohmann::ordered_json;
  auto escaped = [](const std::string& raw) {
    return json(raw).dump(-1, ' ', false, json::error_handler_t::replace);
  };
  Media("3/q.png");
  Media("5/q.jpg");
  Media("5/q.png");
  // A file name that is not UTF-8, and one with a control and a quote.
  Media("6/q.\xff");
  Media("7/q.\x01\"");
  // Names with what needs escaping at every place of an eight-byte word.
  std::vector<std::string> names;
  for (const char* special : {"\"", "\\", "\t", "\x1f", "\xc3\xa9"}) {
    for (size_t at = 0; at < 10; ++at) {
      names.push_back(std::string("abcdefghij").insert(at, special));
    }
  }
  json assets = json::array();
  for (const std::string& name : names) {
    assets.push_back(Asset(name, {{"refs", {"3/q.png", "9/gone.png"}}}));
  }
  Create(Library(assets));
  ProcessResult r = Vmpkg({"check", "--json", lib_});
  ASSERT_EQ(r.exit_code, 1) << r.err;
  ordered doc = ordered::parse(r.out);
  std::vector<std::string> members;
  for (const auto& item : doc.items()) members.push_back(item.key());
  EXPECT_EQ(members,
            (std::vector<std::string>{"schema", "library", "remove", "assets",
                                      "tavik_exit_code", "reason", "exit_code",
                                      "changes", "unresolved", "file"}));
  ASSERT_EQ(doc["assets"].size(), names.size());
  const size_t per_asset = 3;  // 5/q.jpg, 6/q.?, 7/q.??
  for (size_t i = 0; i < names.size(); ++i) {
    const ordered& asset = doc["assets"][i];
    EXPECT_EQ(asset["name"], names[i]);
    EXPECT_NE(r.out.find("\"name\": " + escaped(names[i])), std::string::npos)
        << names[i];
    const ordered& added = asset["lists"][0]["added"];
    ASSERT_EQ(added.size(), per_asset) << asset.dump();
    EXPECT_EQ(added[0]["same_stem"], ordered::array({"q.jpg", "q.png"}));
    EXPECT_EQ(added[1]["taken"], "q.\xef\xbf\xbd");
    EXPECT_EQ(added[1]["entry"], "6/q.\xef\xbf\xbd");
    EXPECT_EQ(added[2]["taken"], "q.\x01\"");
    EXPECT_EQ(asset["lists"][0]["entries"][1]["exists"], false);
  }
  const std::string folder = doc["assets"][0]["lists"][0]["added"][1]["folder"];
  EXPECT_NE(r.out.find("\"folder\": " + escaped(folder)), std::string::npos);
  EXPECT_NE(r.out.find("\"taken\": " + escaped("q.\x01\"")), std::string::npos);
  EXPECT_EQ(doc["changes"], names.size() * per_asset);
  EXPECT_EQ(doc["unresolved"], names.size());

  ProcessResult text = Vmpkg({"check", lib_});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("    + 5/q.jpg    (folder 5: q.jpg, the first of "
                          "q.jpg, q.png in listing order)\n"),
            std::string::npos)
      << text.out.substr(0, 500);
  EXPECT_NE(text.out.find(
                " would exit 0: " + std::to_string(names.size() * per_asset) +
                " changes pending\n"),
            std::string::npos);
}

// A report far larger than what is written at once arrives whole.
TEST_F(CheckE2eTest, LargeReportsArriveWhole) {
  Media("1/tex.png");
  Media("2/tex.jpg");
  const size_t count = 3000;
  json assets = json::array();
  for (size_t i = 0; i < count; ++i) {
    assets.push_back(Asset("asset_" + std::to_string(i),
                           {{"diffuse", {"1/tex.png", "4/gone.png"}}}));
  }
  Create(Library(assets));
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove ? "-r" : "completion");
    std::vector<std::string> args = {"check", "--json"};
    if (remove) args.push_back("-r");
    args.push_back(lib_);
    ProcessResult r = Vmpkg(args);
    ASSERT_EQ(r.exit_code, 1) << r.err;
    json doc = json::parse(r.out);
    ASSERT_EQ(doc["assets"].size(), count);
    for (size_t i = 0; i < count; ++i) {
      const json& list = doc["assets"][i]["lists"][0];
      ASSERT_EQ(doc["assets"][i]["name"], "asset_" + std::to_string(i));
      EXPECT_EQ(list["after"].size(), remove ? 1u : 3u);
    }
    EXPECT_EQ(doc["changes"], count);
    args.erase(args.begin() + 1);
    ProcessResult text = Vmpkg(args);
    // Per asset: its name, the list's and one line of change, and with
    // completion one of the reference that resolves nowhere.
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'),
              static_cast<long>(count * (remove ? 3 : 4) + 1));
  }
}

// A report the system refuses, from its first block on or only at the
// flush of its last, fails the command with the message (exit 1, where an
// up-to-date library's check would exit 0), however far the run got.
TEST_F(CheckE2eTest, AReportThatCannotBeWrittenFails) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  Media("1/tex.png");
  for (size_t count : {1, 3000}) {
    json assets = json::array();
    for (size_t i = 0; i < count; ++i) {
      assets.push_back(
          Asset("asset_" + std::to_string(i), {{"diffuse", {"1/tex.png"}}}));
    }
    Create(Library(assets));
    for (bool as_json : {false, true}) {
      SCOPED_TRACE(std::to_string(count) + (as_json ? " assets, JSON" : ""));
      std::vector<std::string> argv = {VMPKG_EXE, "check", lib_};
      if (as_json) argv.insert(argv.begin() + 2, "--json");
      ASSERT_EQ(Vmpkg({argv.begin() + 1, argv.end()}).exit_code, 0);
      tavik_test::Redirects redirects;
      redirects.output = "/dev/full";
      redirects.error = (dir_ / ".err").string();
      EXPECT_EQ(tavik_test::WaitProcess(
                    tavik_test::StartProcess(argv, Env(), redirects)),
                1);
      EXPECT_EQ(ReadWholeFile(redirects.error),
                "vmpkg: can't write the output\n");
    }
  }
}

TEST_F(CheckE2eTest, StrictFailsWhileUnresolvedReferencesRemain) {
  Media("3/a.png");
  Media("4/a.png");
  Create(Library(json::array({Asset("s", {{"x", {"3/a.png", "7/no.png"}}})})));
  CheckThenRun(/*remove=*/false, 5, /*strict=*/true);
  // Pruning leaves none, so the same gate passes after -r.
  CheckThenRun(/*remove=*/true, 1, /*strict=*/true);
  EXPECT_EQ(Vmpkg({"check", "--strict", lib_}).exit_code, 0);
}

TEST_F(CheckE2eTest, FileMarksCountAsChanges) {
  Media("3/a.png");
  Create(Library(json::array({Asset("a", {{"x", {"3/a.png"}}})}),
                 /*read_only=*/false));
  json report = CheckThenRun(false, 1);
  EXPECT_EQ(report["changes"], 1);
  EXPECT_EQ(report["file"]["read_only_property"], false);

  ASSERT_EQ(::chmod(lib_.c_str(), 0444), 0);
  report = CheckThenRun(false, 1);
  EXPECT_EQ(report["file"]["read_only_attribute_cleared"], true);
}

TEST_F(CheckE2eTest, RefusalsGiveTavikCodeAndReason) {
  struct Case {
    const char* name;
    bool make_library;
    bool garbage;
    bool media;
    bool remove;
    int exit;
    const char* reason;
  };
  const Case cases[] = {
      {"missing library", false, false, true, false, 2, "library file "},
      {"missing library with -r", false, false, true, true, 0, "missing"},
      {"missing media folder", true, false, false, false, 2, "media folder "},
      {"not a library", true, true, true, false, 4, "not a valid library: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "lib.qsm");
    fs::remove(lib_);
    if (c.media) fs::create_directories(dir_ / "lib.qsm");
    if (c.make_library) {
      if (c.garbage) {
        std::ofstream(lib_) << "not a library at all";
      } else {
        Create(Library(json::array()));
      }
    }
    json report = CheckThenRun(c.remove, c.exit);
    EXPECT_NE(report["reason"].get<std::string>().find(c.reason),
              std::string::npos)
        << report["reason"];
    ProcessResult human = Vmpkg({"check", c.remove ? "-r" : "--", lib_});
    std::string last =
        human.out.substr(human.out.rfind('\n', human.out.size() - 2) + 1);
    EXPECT_NE(last.find("would exit " + std::to_string(c.exit) + ": "),
              std::string::npos)
        << human.out;
    EXPECT_NE(last.find(c.reason), std::string::npos) << human.out;
  }
}

TEST_F(CheckE2eTest, HumanReportShowsEachChange) {
  Media("3/a.png");
  Media("5/a.jpg");
  Media("5/a.png");
  Create(Library(json::array(
      {Asset("chair", {{"diffuse", {"3/a.png"}}, {"gone", {"6/x.png"}}})})));
  ProcessResult r = Vmpkg({"check", lib_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "asset chair\n"
            "  diffuse\n"
            "    + 5/a.jpg    (folder 5: a.jpg, the first of a.jpg, a.png in "
            "listing order)\n"
            "  gone\n"
            "    ? 6/x.png    (entry 0, resolves to no file; no variants are "
            "looked for)\n"
            "Tavik -l " +
                lib_ + " would exit 0: 1 change pending\n");
  r = Vmpkg({"check", "-r", lib_});
  EXPECT_EQ(r.out,
            "asset chair\n"
            "  gone\n"
            "    - 6/x.png    (entry 0, resolves to no file)\n"
            "    entry 0: 6/x.png -> (none)\n"
            "    the list becomes empty\n"
            "Tavik -l -r " +
                lib_ + " would exit 0: 1 change pending\n");
}

TEST_F(CheckE2eTest, RefsListsEveryStoredReference) {
  Media("3/a.png");
  // Names no piece of its own: unresolvable. (A climb above the root stops
  // there, as both systems stop, and names a file.)
  const std::string outside = "3/../..";
  Create(Library(
      json::array({Asset("chair", {{"diffuse", {"3/a.png", "4/a.png"}}}),
                   Asset("lamp", {{"x", {outside}}})})));
  ProcessResult r = Vmpkg({"refs", lib_});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines;
  for (size_t start = 0, end;
       (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(r.out.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("chair\tdiffuse\t0\t3/a.png\tresolves\t", 0), 0u);
  EXPECT_EQ(lines[1].rfind("chair\tdiffuse\t1\t4/a.png\tmissing\t", 0), 0u);
  EXPECT_EQ(lines[2], "lamp\tx\t0\t" + outside + "\tunresolvable\t");

  json doc = json::parse(Vmpkg({"refs", "--json", lib_}).out);
  ASSERT_EQ(doc["references"].size(), 3u);
  EXPECT_EQ(doc["references"][1]["exists"], false);
  EXPECT_TRUE(doc["references"][2]["resolved"].is_null());

  fs::remove_all(dir_ / "lib.qsm");
  ProcessResult missing = Vmpkg({"refs", lib_});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("media folder"), std::string::npos);
}

TEST_F(CheckE2eTest, RegistryListAndCheck) {
  Create(Library(json::array()));
  fs::create_directories(dir_ / "registry");
  const std::string missing = (dir_ / "gone.vlmrlib").string();
  // The store's own format, as Tavik writes it, with a duplicate, a
  // relative path and a missing file in the 64-bit view.
  std::ofstream(dir_ / "registry" / "HKEY_CURRENT_USER.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_CURRENT_USER\\Software\\Velmora\\VLMRAssetLibrary\\2011]\n"
         "\"LibraryPaths\"=\""
      << lib_ << "|rel/lib.vlmrlib|" << missing << "|" << lib_ << "\"\n";
  ProcessResult list = Vmpkg({"registry", "-u"});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_NE(list.out.find("  1\trel/lib.vlmrlib\n"), std::string::npos)
      << list.out;

  ProcessResult check = Vmpkg({"registry", "check", "-u", "--json"});
  EXPECT_EQ(check.exit_code, 1) << check.out << check.err;
  json doc = json::parse(check.out);
  ASSERT_EQ(doc["views"].size(), 2u);  // HKCU\Software is shared
  for (const json& view : doc["views"]) {
    const json& entries = view["entries"];
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0]["problems"].size(), 0u);
    EXPECT_EQ(entries[1]["problems"][0]["problem"], "relative");
    EXPECT_EQ(entries[2]["problems"][0]["problem"], "missing");
    EXPECT_EQ(entries[3]["problems"][0]["problem"], "duplicate");
  }
  EXPECT_EQ(doc["problem_count"], 2 * 4);  // relative + missing twice each

  // One view only; the machine's list is absent, which is no problem.
  json one = json::parse(Vmpkg({"registry", "--view", "32", "--json"}).out);
  ASSERT_EQ(one["views"].size(), 1u);
  EXPECT_EQ(one["views"][0]["found"], false);
  EXPECT_EQ(Vmpkg({"registry", "check"}).exit_code, 0);

  // A hive that cannot be parsed: its file and line.
  std::ofstream(dir_ / "registry" / "HKEY_LOCAL_MACHINE.reg")
      << "Windows Registry Editor Version "
         "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n";
  ProcessResult broken = Vmpkg({"registry", "check"});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_NE(broken.out.find("HKEY_LOCAL_MACHINE.reg"), std::string::npos)
      << broken.out;
  EXPECT_NE(broken.out.find("line 3"), std::string::npos) << broken.out;

  if (::geteuid() != 0) {
    fs::remove(dir_ / "registry" / "HKEY_LOCAL_MACHINE.reg");
    fs::permissions(dir_ / "registry", fs::perms::owner_write,
                    fs::perm_options::remove);
    ProcessResult locked = Vmpkg({"registry", "check", "--json"});
    EXPECT_EQ(json::parse(locked.out)["views"][0]["writable"], false);
    EXPECT_EQ(locked.exit_code, 1);
    fs::permissions(dir_ / "registry", fs::perms::owner_write,
                    fs::perm_options::add);
  }
}

TEST_F(CheckE2eTest, ConventionalCommandLine) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* in_out;  // "" when the output is not looked at
  };
  const Case cases[] = {
      {{"help"}, 0, "Usage: vmpkg "},
      {{"--help"}, 0, "Subcommands:"},
      {{"help", "check"}, 0, "--strict"},
      {{"check", "--help"}, 0, "--strict"},
      {{"registry", "--help"}, 0, "--view"},
      {{"--version"}, 0, "vmpkg "},
      {{"help", "nosuch"}, 2, ""},
      {{"bogus", "x"}, 2, ""},
      {{"check"}, 2, ""},
      {{"check", "--frobnicate", "x"}, 2, ""},
      {{"registry", "purge"}, 2, ""},
      {{"registry", "--view", "16"}, 2, ""},
  };
  for (const Case& c : cases) {
    ProcessResult r = Vmpkg(c.args);
    EXPECT_EQ(r.exit_code, c.exit) << c.args[0] << r.err;
    if (c.args[0] == "bogus") {
      EXPECT_NE(r.err.find("unknown command 'bogus'"), std::string::npos);
    }
    EXPECT_NE(r.out.find(c.in_out), std::string::npos) << r.out;
    if (c.exit == 2) {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find("vmpkg: "), std::string::npos);
    }
  }

  // "--" ends the options: a library whose name starts with "-" (relative to
  // the folder the children start in); "-" reads standard input; -o writes a
  // file.
  std::string dashed = "-odd.vlmrlib";
  fs::path previous = fs::current_path();
  fs::current_path(dir_);
  ProcessResult created =
      RunCaptured(VMPKG_EXE, {"create", "--", dashed, "-"},
                  Library(json::array()).dump(), dir_.string(), Env());
  ASSERT_EQ(created.exit_code, 0) << created.err;
  ProcessResult dumped = RunCaptured(
      VMPKG_EXE, {"dump", "-o", (dir_ / "out.json").string(), "--", dashed}, "",
      dir_.string(), Env());
  EXPECT_EQ(dumped.exit_code, 0) << dumped.err;
  EXPECT_EQ(dumped.out, "");
  EXPECT_EQ(json::parse(ReadWholeFile((dir_ / "out.json").string())),
            json::parse(RunCaptured(VMPKG_EXE, {"dump", "--", dashed}, "",
                                    dir_.string(), Env())
                            .out));
  EXPECT_TRUE(fs::exists(dir_ / dashed));
  fs::current_path(previous);
}

TEST_F(CheckE2eTest, DiagnosisBuildSaysWhyWhereTavikIsSilent) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* reason;
  };
  std::ofstream(lib_) << "not a library at all";
  const Case cases[] = {
      {"not a library", {"-l", lib_}, 4, "isn't a valid library: "},
      {"no media folder",
       {"-l", (dir_ / "x.vlmrlib").string()},
       2,
       "doesn't exist"},
      {"unparsable hive", {"-k", lib_}, 0, "HKEY_LOCAL_MACHINE line 3"},
  };
  std::ofstream((dir_ / "x.vlmrlib").string()) << "x";
  fs::create_directories(dir_ / "registry");
  std::ofstream(dir_ / "registry" / "HKEY_LOCAL_MACHINE.reg")
      << "Windows Registry Editor Version "
         "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult silent =
        RunCaptured(TAVIK_EXE, c.args, "", dir_.string(), Env());
    ProcessResult diag =
        RunCaptured(TAVIK_DIAG_EXE, c.args, "", dir_.string(), Env());
    EXPECT_EQ(silent.exit_code, c.exit);
    EXPECT_EQ(diag.exit_code, c.exit);
    EXPECT_EQ(silent.out + silent.err, "");
    EXPECT_EQ(diag.out, "");
    EXPECT_NE(diag.err.find(c.reason), std::string::npos) << diag.err;
  }
}

}  // namespace

#endif  // VMPKG_EXE && TAVIK_DIAG_EXE
