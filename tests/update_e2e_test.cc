// Tavik's update run as a user runs it: a library made with vmpkg, Tavik run
// as a separate process, the result read back with vmpkg dump.
#ifdef VMPKG_EXE

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/library_json.h"
#include "tests/process_util.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tavik_test::Asset;
using tavik_test::RunCaptured;

class UpdateE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tavik_update_e2e_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "Lib \xc3\xa9" / "lib.qsm");
    lib_ = (dir_ / "Lib \xc3\xa9" / "lib.vlmrlib").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Media(const std::string& relative) {
    fs::path p = dir_ / "Lib \xc3\xa9" / "lib.qsm" / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
  }

  void Create(const json& assets) {
    json document = {
        {"package",
         {{"name", "package"},
          {"properties",
           {{{"name", "read only"}, {"type", "bool"}, {"value", {true}}}}}}},
        {"scene", {{"name", "scene"}, {"groups", assets}}}};
    auto result = RunCaptured(VMPKG_EXE, {"create", lib_, "--force"},
                              document.dump(), dir_.string());
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }

  int Tavik(std::vector<std::string> arguments) {
    arguments.push_back(lib_);
    auto result =
        RunCaptured(TAVIK_EXE, arguments, "", dir_.string(),
                    {"TAVIK_REGISTRY_ROOT=" + (dir_ / "registry").string()});
    EXPECT_EQ(result.out + result.err, "") << "Tavik writes nothing";
    return result.exit_code;
  }

  json Dump() {
    auto result = RunCaptured(VMPKG_EXE, {"dump", lib_}, "", dir_.string());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return json::parse(result.out);
  }

  // asset name -> property name -> entries
  json Lists() {
    json lists;
    const json dump = Dump();
    for (const json& asset : dump["scene"]["groups"]) {
      for (const json& qsn : asset["groups"]) {
        for (const json& refs : qsn["groups"]) {
          for (const json& p : refs["properties"]) {
            lists[asset["name"].get<std::string>()]
                 [p["name"].get<std::string>()] = p["value"];
          }
        }
      }
    }
    return lists;
  }

  std::string Bytes() {
    std::ifstream in(lib_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
  std::string lib_;
};

TEST_F(UpdateE2eTest, CompletesThenPrunes) {
  for (const char* f :
       {"3/a.png", "1/a.jpg", "10/a.png", "2/maps/b.jpg", "7/maps/b.tif",
        "12/\xe6\xa4\x85.png", "4/\xe6\xa4\x85.png"}) {
    Media(f);
  }
  Create(
      {Asset("chair", {{"diffuse", {"3/a.png"}}, {"normal", {"2/maps/b.jpg"}}}),
       Asset("\xe6\xa4\x85\xe5\xad\x90", {{"p", {"12/\xe6\xa4\x85.png"}}}),
       {{"name", "plain"}}});
  ::chmod(lib_.c_str(), 0444);

  ASSERT_EQ(Tavik({}), 0);
  json lists = Lists();
  EXPECT_EQ(lists["chair"]["diffuse"],
            json({"3/a.png", "1/a.jpg", "10/a.png"}));
  EXPECT_EQ(lists["chair"]["normal"], json({"2/maps/b.jpg", "7/maps/b.tif"}));
  EXPECT_EQ(lists["\xe6\xa4\x85\xe5\xad\x90"]["p"],
            json({"12/\xe6\xa4\x85.png", "4/\xe6\xa4\x85.png"}));
  EXPECT_EQ(Dump()["package"]["properties"][0]["value"], json({true}));
  struct stat st;
  ASSERT_EQ(::stat(lib_.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u) << "read-only attribute cleared";

  // A second run finds everything listed and adds nothing.
  ASSERT_EQ(Tavik({"-l"}), 0);
  EXPECT_EQ(Lists(), lists);

  fs::remove(dir_ / "Lib \xc3\xa9" / "lib.qsm" / "1" / "a.jpg");
  fs::remove(dir_ / "Lib \xc3\xa9" / "lib.qsm" / "3" / "a.png");
  ASSERT_EQ(Tavik({"-R"}), 0);
  lists = Lists();
  EXPECT_EQ(lists["chair"]["diffuse"], json({"10/a.png"}));
  EXPECT_EQ(lists["chair"]["normal"], json({"2/maps/b.jpg", "7/maps/b.tif"}));
}

// The reproductions of rooted and climbing references, T being the
// library's folder as an absolute path: each names an existing file, so -r
// keeps it and a run completes it, the variant stored with the reference's
// own head. The climb gives the same answers when the tool is started in T
// with a relative library path.
TEST_F(UpdateE2eTest, RootedAndClimbingReferencesNameTheirFile) {
  Media("1/a.png");
  Media("3/a.png");
  const std::string t = (dir_ / "Lib \xc3\xa9").string();
  ASSERT_EQ(t[0], '/');
  // "../" eight times, as found, or as many more as it takes to climb above
  // the root from a deeper temporary folder.
  std::string climb;
  size_t pieces = 1 + static_cast<size_t>(std::count(t.begin(), t.end(), '/'));
  for (size_t k = 0; k < std::max<size_t>(8, pieces + 1); ++k) climb += "../";
  const std::string through = t + "/lib.qsm/nosuch/../";
  const std::string up = climb + t.substr(1) + "/lib.qsm/";
  const std::string rooted_up = "/../.." + t + "/lib.qsm/";
  const json assets = {Asset("through", {{"p", {through + "3/a.png"}}}),
                       Asset("up", {{"p", {up + "3/a.png"}}}),
                       Asset("rooted_up", {{"p", {rooted_up + "3/a.png"}}})};
  const json kept = {{"through", {{"p", {through + "3/a.png"}}}},
                     {"up", {{"p", {up + "3/a.png"}}}},
                     {"rooted_up", {{"p", {rooted_up + "3/a.png"}}}}};
  const json completed = {
      {"through", {{"p", {through + "3/a.png", through + "1/a.png"}}}},
      {"up", {{"p", {up + "3/a.png", up + "1/a.png"}}}},
      {"rooted_up", {{"p", {rooted_up + "3/a.png", rooted_up + "1/a.png"}}}}};

  Create(assets);
  ASSERT_EQ(Tavik({"-r", "-l"}), 0);
  EXPECT_EQ(Lists(), kept);
  ASSERT_EQ(Tavik({"-l"}), 0);
  EXPECT_EQ(Lists(), completed);

  // From T, as "lib.vlmrlib": the leading ".." are read where the tool is.
  const fs::path before = fs::current_path();
  auto relative_run = [&](std::vector<std::string> arguments) {
    arguments.push_back("lib.vlmrlib");
    fs::current_path(t);
    auto result =
        RunCaptured(TAVIK_EXE, arguments, "", dir_.string(),
                    {"TAVIK_REGISTRY_ROOT=" + (dir_ / "registry").string()});
    fs::current_path(before);
    return result.exit_code;
  };
  Create(assets);
  ASSERT_EQ(relative_run({"-r", "-l"}), 0);
  EXPECT_EQ(Lists(), kept);
  ASSERT_EQ(relative_run({"-l"}), 0);
  EXPECT_EQ(Lists(), completed);
}

// A numbered folder that the path leaves with ".." is not the file's: with
// T/lib.qsm/a.png and empty folders 1 and 2, T/lib.qsm/1/../a.png is kept
// and gains nothing (it once gained T/lib.qsm/2/../a.png, the same file).
TEST_F(UpdateE2eTest, NumberedFolderLeftByDotDotHoldsNothing) {
  Media("a.png");
  fs::create_directories(dir_ / "Lib \xc3\xa9" / "lib.qsm" / "1");
  fs::create_directories(dir_ / "Lib \xc3\xa9" / "lib.qsm" / "2");
  const std::string entry =
      (dir_ / "Lib \xc3\xa9").string() + "/lib.qsm/1/../a.png";
  Create(json::array({Asset("a", {{"p", {entry}}})}));
  ASSERT_EQ(Tavik({"-l"}), 0);
  EXPECT_EQ(Lists()["a"]["p"], json({entry}));
  ASSERT_EQ(Tavik({"-r", "-l"}), 0);
  EXPECT_EQ(Lists()["a"]["p"], json({entry}));
}

TEST_F(UpdateE2eTest, RefusesWithoutTouchingTheLibrary) {
  Media("1/a.png");
  Create(json::array({Asset("a", {{"p", {"1/a.png"}}})}));
  std::string good = Bytes();

  fs::rename(dir_ / "Lib \xc3\xa9" / "lib.qsm", dir_ / "elsewhere");
  EXPECT_EQ(Tavik({"-l"}), 2);
  EXPECT_EQ(Bytes(), good);
  fs::rename(dir_ / "elsewhere", dir_ / "Lib \xc3\xa9" / "lib.qsm");

  // A bit flipped in the metadata (past the header and the update slots at
  // bytes 40 to 167: a damaged slot that is not in force reads as a slot
  // write cut short, and is ignored).
  std::string damaged = good;
  damaged[168 + (damaged.size() - 168) / 2] ^= 0x01;
  std::ofstream(lib_, std::ios::binary | std::ios::trunc) << damaged;
  EXPECT_EQ(Tavik({"-l"}), 4);
  EXPECT_EQ(Tavik({"-l", "-r"}), 4);
  EXPECT_EQ(Bytes(), damaged);
  EXPECT_EQ(Tavik({"-l", "-k"}), 0) << "-k never opens the library";
}

}  // namespace

#endif  // VMPKG_EXE
