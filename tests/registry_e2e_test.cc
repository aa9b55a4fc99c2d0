// Runs the built Tavik as a separate process against a registry store in a
// scratch folder (TAVIK_REGISTRY_ROOT) and reads the hive files it leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/regstore/hive.h"
#include "tests/process_util.h"

namespace {

using Sections = std::map<std::string, std::map<std::string, std::string>>;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a hive file the way a person would: one section a key, one line a
// value, the escapes of a registry export plus \n, \r and \xHH. Only string
// values are read.
Sections ReadHive(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Sections sections;
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      sections[current];
      continue;
    }
    if (line.empty() || line[0] != '"') continue;
    std::string fields[2];
    size_t i = 0;
    for (std::string& field : fields) {
      if (i >= line.size() || line[i] != '"') ADD_FAILURE() << line;
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\') {
          field.push_back(line[i]);
          continue;
        }
        char e = line[++i];
        if (e == 'n') {
          field.push_back('\n');
        } else if (e == 'r') {
          field.push_back('\r');
        } else if (e == 'x') {
          field.push_back(static_cast<char>(HexValue(line[i + 1]) * 16 +
                                            HexValue(line[i + 2])));
          i += 2;
        } else {
          field.push_back(e);
        }
      }
      i += 2;  // past the closing quote and the "="
    }
    sections[current][fields[0]] = fields[1];
  }
  return sections;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> entries;
  std::stringstream in(list);
  std::string entry;
  while (std::getline(in, entry, '|')) entries.push_back(entry);
  return entries;
}

const char kMachine64[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\VLMRAssetLibrary\\2011";
const char kMachine32[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora\\VLMRAssetLibrary\\"
    "2011";
const char kUser[] =
    "HKEY_CURRENT_USER\\Software\\Velmora\\VLMRAssetLibrary\\2011";

class RegistryE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavik_reg_e2e_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/registry";
  }
  void TearDown() override {
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }

  std::vector<std::string> Argv(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {TAVIK_EXE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }
  int Run(const std::vector<std::string>& arguments) {
    return tavik_test::RunProcess(Argv(arguments),
                                  {"TAVIK_REGISTRY_ROOT=" + root_});
  }
  std::string MachineFile() { return root_ + "/HKEY_LOCAL_MACHINE.reg"; }
  std::string UserFile() { return root_ + "/HKEY_CURRENT_USER.reg"; }
  std::string List(const std::string& file, const std::string& key) {
    Sections sections = ReadHive(file);
    auto it = sections.find(key);
    if (it == sections.end()) return "<no key>";
    auto value = it->second.find("LibraryPaths");
    return value == it->second.end() ? "<no value>" : value->second;
  }

  std::string dir_;
  std::string root_;
};

TEST_F(RegistryE2eTest, AddsInBothViewsAndRemovesDownToTheKeys) {
  const std::string a = "C:\\Lib\\lib.vlmrlib";
  const std::string b = "/srv/Bibliothek \xC3\xBC/new\nline \"x\".vlmrlib";
  EXPECT_EQ(Run({"-k", a}), 0);
  EXPECT_EQ(Run({b, "-K"}), 0);
  EXPECT_EQ(Run({"-k", a}), 0);
  for (const char* key : {kMachine32, kMachine64}) {
    EXPECT_EQ(List(MachineFile(), key), a + "|" + b) << key;
  }
  struct stat st;
  EXPECT_NE(::stat(UserFile().c_str(), &st), 0);

  EXPECT_EQ(Run({"-r", "-k", a}), 0);
  for (const char* key : {kMachine32, kMachine64}) {
    EXPECT_EQ(List(MachineFile(), key), b) << key;
  }
  EXPECT_EQ(Run({"-r", "-k", b}), 0);
  std::ifstream in(MachineFile(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Velmora]\n\n");
}

TEST_F(RegistryE2eTest, SwitchesChooseTheHiveAndWhetherToTouchIt) {
  const std::string missing = dir_ + "/no/such/lib.vlmrlib";
  // A missing library file is still listed before the run ends with 2.
  EXPECT_EQ(Run({"-u", missing}), 2);
  EXPECT_EQ(List(UserFile(), kUser), missing);
  EXPECT_EQ(Run({"-U", "-k", missing}), 0);
  EXPECT_EQ(List(UserFile(), kUser), missing);
  struct stat st;
  EXPECT_NE(::stat(MachineFile().c_str(), &st), 0);
  // -l leaves the registry alone.
  EXPECT_EQ(Run({"-l", "-r", missing, "-u"}), 0);
  EXPECT_EQ(List(UserFile(), kUser), missing);
  EXPECT_EQ(Run({"-r", "-u", missing}), 0);
  EXPECT_EQ(List(UserFile(), kUser), "<no key>");
  // A path holding the separator is not listed; the run goes on.
  EXPECT_EQ(Run({"-u", "-k", "a|b"}), 0);
  EXPECT_EQ(List(UserFile(), kUser), "<no key>");
}

TEST_F(RegistryE2eTest, UnparseableHiveIsLeftAsItIs) {
  ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
  const std::string broken =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n";
  std::ofstream(MachineFile(), std::ios::binary) << broken;
  EXPECT_EQ(Run({"-k", "C:\\lib.vlmrlib"}), 0);
  std::ifstream in(MachineFile(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), broken);
}

TEST_F(RegistryE2eTest, ConcurrentRunsLoseNoPath) {
  constexpr int kRuns = 12;
  std::vector<std::string> paths;
  for (int i = 0; i < kRuns; ++i) {
    paths.push_back("D:\\Libraries\\" + std::to_string(i) + "\\lib.vlmrlib");
  }
  for (bool remove : {false, true}) {
    std::vector<pid_t> pids;
    for (const std::string& path : paths) {
      std::vector<std::string> arguments = {"-k", path};
      if (remove) arguments.push_back("-r");
      pids.push_back(tavik_test::StartProcess(
          Argv(arguments), {"TAVIK_REGISTRY_ROOT=" + root_}));
    }
    for (pid_t pid : pids) EXPECT_EQ(tavik_test::WaitProcess(pid), 0);
    for (const char* key : {kMachine32, kMachine64}) {
      if (remove) {
        EXPECT_EQ(List(MachineFile(), key), "<no key>");
        continue;
      }
      std::vector<std::string> listed = Split(List(MachineFile(), key));
      std::sort(listed.begin(), listed.end());
      std::vector<std::string> expected = paths;
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(listed, expected) << key;
    }
  }
}

// The list a run leaves in one view: `before` with `path` added or removed.
// Both "<no key>" and "" are the empty list.
std::string Changed(const std::string& before, const std::string& path,
                    bool remove) {
  std::vector<std::string> entries =
      before == "<no key>" ? std::vector<std::string>() : Split(before);
  auto at = std::find(entries.begin(), entries.end(), path);
  if (remove && at != entries.end()) entries.erase(at);
  if (!remove && at == entries.end()) entries.push_back(path);
  std::string list;
  for (const std::string& entry : entries) {
    list += (list.empty() ? "" : "|") + entry;
  }
  return list.empty() ? "<no key>" : list;
}

// Registrations killed at random moments: the hive file always parses, each
// view holds the list from before the run or the one after it (a kill
// between emptying the list and deleting its keys leaves the empty value),
// and the next whole run leaves no temporary file. TAVIK_KILL_ROUNDS sets
// the rounds (default 30); the counts are printed.
TEST_F(RegistryE2eTest, KilledRegistrationsLeaveTheOldOrTheNewList) {
  const char* rounds_text = std::getenv("TAVIK_KILL_ROUNDS");
  const int rounds = rounds_text ? std::atoi(rounds_text) : 30;
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Run({"-k", "C:\\first.vlmrlib"}), 0);
  // Kills land anywhere from the start to a little past the end of a run.
  const auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<long> moment(0, run_time.count() * 3 / 2);
  int killed = 0;
  int changed_one_view = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::string> listed = Split(List(MachineFile(), kMachine64));
    bool remove = !listed.empty() && random() % 2 == 0;
    std::string path = remove ? listed[random() % listed.size()]
                              : "D:\\L\\" + std::to_string(round) + ".vlmrlib";
    std::map<std::string, std::string> before;
    for (const char* key : {kMachine32, kMachine64}) {
      before[key] = List(MachineFile(), key);
      if (before[key] == "<no value>" || before[key].empty()) {
        before[key] = "<no key>";
      }
    }
    std::vector<std::string> arguments = {"-k", path};
    if (remove) arguments.push_back("-r");
    pid_t pid = tavik_test::StartProcess(Argv(arguments),
                                         {"TAVIK_REGISTRY_ROOT=" + root_});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    ::kill(pid, SIGKILL);
    if (tavik_test::WaitProcess(pid) != 0) ++killed;

    std::ifstream in(MachineFile(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    tavik::HiveKey root;
    ASSERT_TRUE(
        tavik::ParseHive(tavik::HiveId::kLocalMachine, text, &root).ok())
        << "round " << round << ":\n"
        << text;
    int views_changed = 0;
    for (const char* key : {kMachine32, kMachine64}) {
      std::string after = List(MachineFile(), key);
      if (after == "<no value>" || after.empty()) after = "<no key>";
      std::string expected = Changed(before[key], path, remove);
      EXPECT_TRUE(after == before[key] || after == expected)
          << "round " << round << ", " << key << ": " << before[key]
          << " became " << after << ", not " << expected;
      if (after != before[key]) ++views_changed;
    }
    if (views_changed == 1) ++changed_one_view;
  }
  ASSERT_EQ(Run({"-k", "C:\\last.vlmrlib"}), 0);
  struct stat st;
  EXPECT_NE(::stat((MachineFile() + ".tmp").c_str(), &st), 0);
  std::printf("%d rounds, %d runs killed, %d left one view changed\n", rounds,
              killed, changed_one_view);
}

}  // namespace
