// Kills a real Tavik process (SIGKILL) at random moments of an update and
// checks what a kill may leave: the library always opens and holds the old
// content, the new one, or the state between the two commits (new
// references, "read only" false); the next run completes it and leaves no
// temporary file. TAVIK_KILL_ROUNDS sets the rounds (CI: a few).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/os/file_system.h"
#include "platform/vmp/package.h"
#include "tests/process_util.h"

namespace {

namespace fs = std::filesystem;
using vmp::SharedPtr;

constexpr int kAssets = 3000;
constexpr int kStems = 100;

// The package's "read only" and every reference list, as one text; "" when
// the library does not open.
std::string Summary(const std::string& path) {
  SharedPtr<vmp::Package> package(
      new vmp::Package(path.c_str(), false, "", tavik::DefaultFileSystem()));
  if (!package->isValid()) return "";
  std::string text;
  SharedPtr<vmp::IPrimitive> flag = vmp::IPrimitive::to(
      package->ipackage()->metadata()->root()->property("read only"));
  unsigned char byte = 2;
  text += flag && flag->read(&byte, 0, 1) && byte == 1 ? "ro\n" : "rw\n";
  SharedPtr<vmp::IIterator> assets =
      package->document(0)->scene()->assets()->metadata()->root()->groups();
  for (auto item = assets->current(); item;
       assets->next(), item = assets->current()) {
    SharedPtr<vmp::IPrimitive> list = vmp::IPrimitive::to(
        vmp::IGroup::to(item)->group("QSN")->group("refs")->property("p"));
    std::u16string units(list->size(), u'\0');
    list->read(&units[0], 0, units.size());
    SharedPtr<vmp::IStringArray> array =
        vmp::IStringArray::to(units.data(), units.size());
    for (size_t k = 0; array && k < array->count(); ++k) {
      text += vmp::StringAlgorithm::UTF8Encode(array->get(k)).string();
      text += ' ';
    }
    text += '\n';
  }
  return text;
}

class KillLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int folder = 1; folder <= 10; ++folder) {
      fs::path media = dir_ / "lib.qsm" / std::to_string(folder);
      fs::create_directories(media);
      for (int stem = 0; stem < kStems; ++stem) {
        std::ofstream(media / ("a" + std::to_string(stem) + ".png")) << "x";
      }
    }
    lib_ = (dir_ / "lib.vlmrlib").string();
    SharedPtr<vmp::Package> package =
        vmp::Package::create(lib_.c_str(), true, tavik::DefaultFileSystem());
    unsigned char one = 1;
    package->ipackage()
        ->metadata()
        ->root()
        ->addPrimitive("read only", vmp::PrimitiveType::kBool)
        ->write(&one, 0, 1);
    vmp::IGroup* scene =
        package->document(0)->scene()->assets()->metadata()->root();
    for (int i = 0; i < kAssets; ++i) {
      SharedPtr<vmp::IStringArray> list = vmp::IStringArray::create();
      list->append(vmp::WideString(
          ("3/a" + std::to_string(i % kStems) + ".png").c_str()));
      list->store(scene->addGroup(("asset " + std::to_string(i)).c_str())
                      ->addGroup("QSN")
                      ->addGroup("refs")
                      ->addPrimitive("p", vmp::PrimitiveType::kStringArray)
                      .get());
    }
    ASSERT_TRUE(package->commit().ok());
    package.reset();
    old_bytes_ = tavik_test::ReadWholeFile(lib_);
  }

  pid_t Start() {
    tavik_test::Redirects redirects;
    redirects.input = "/dev/null";
    redirects.output = (dir_ / "out").string();
    redirects.merge_error = true;
    return tavik_test::StartProcess(
        {TAVIK_EXE, "-l", lib_},
        {"TAVIK_REGISTRY_ROOT=" + (dir_ / "registry").string()}, redirects);
  }

  void Restore() {
    std::string temp = lib_ + ".restore";
    std::ofstream(temp, std::ios::binary) << old_bytes_;
    fs::rename(temp, lib_);
  }

  // Names in the library's folder other than the library, its media folder
  // and the output file: temporary files left behind.
  std::vector<std::string> Strays() {
    std::vector<std::string> strays;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      if (name != "lib.vlmrlib" && name != "lib.qsm" && name != "out") {
        strays.push_back(name);
      }
    }
    return strays;
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_kill_loop"};
  fs::path dir_ = scratch_.path();
  std::string lib_;
  std::string old_bytes_;
};

TEST_F(KillLoopTest, KilledUpdateLeavesOldFirstOrNewState) {
  int rounds = 30;
  if (const char* env = std::getenv("TAVIK_KILL_ROUNDS"))
    rounds = std::atoi(env);

  // The states a kill may leave: before the run, after its first commit
  // (new references, read only false), after its second.
  const std::string old_state = Summary(lib_);
  ASSERT_NE(old_state, "");
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(0, tavik_test::WaitProcess(Start()));
  const auto run_time = std::chrono::steady_clock::now() - started;
  const std::string new_state = Summary(lib_);
  ASSERT_NE(new_state, old_state) << "the run changed nothing";
  ASSERT_EQ(new_state.compare(0, 3, "ro\n"), 0);
  const std::string first_state = "rw\n" + new_state.substr(3);
  const long long run_us =
      std::chrono::duration_cast<std::chrono::microseconds>(run_time).count();

  std::mt19937 random(std::random_device{}());
  // Up to a little past the run's end, so that kills also find it done.
  std::uniform_int_distribution<long long> delay(0, run_us + run_us / 5);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Restore();
    pid_t pid = Start();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ::kill(pid, SIGKILL);
    tavik_test::WaitProcess(pid);

    // Which the next run must remove.
    if (!Strays().empty()) ++outcomes["(temporary file left)"];
    const std::string state = Summary(lib_);
    if (state == old_state) {
      ++outcomes["old"];
    } else if (state == first_state) {
      ++outcomes["first commit"];
    } else if (state == new_state) {
      ++outcomes["new"];
    } else {
      ADD_FAILURE() << (state.empty() ? "the library does not open"
                                      : "the library holds another state");
      ++outcomes["damaged"];
      break;
    }
    ASSERT_EQ(0, tavik_test::WaitProcess(Start()));
    EXPECT_EQ(Summary(lib_), new_state);
    EXPECT_EQ(Strays(), std::vector<std::string>{});
  }
  std::string figures = "run " + std::to_string(run_us / 1000) + " ms;";
  for (const auto& [outcome, count] : outcomes) {
    figures += " " + outcome + " " + std::to_string(count);
  }
  std::cout << "[ kills    ] " << rounds << " rounds: " << figures << "\n";
  RecordProperty("outcomes", figures);
}

}  // namespace
