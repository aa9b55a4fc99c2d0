// The end-to-end scenarios, one table for every build of the tool: the
// native build runs them against the POSIX registry store and file system,
// the Windows builds run them under Wine against the real Windows API
// (tests/scenario_e2e_test.cc). A scenario is a sequence of steps from a
// clean registry and an empty work folder; each step either prepares
// something, runs the tool, or checks what the runs left behind.
//
// Texts in the table may hold "{W}", the scenario's work folder as the tool
// sees it (a POSIX path natively, "Z:\..." under Wine); its name holds a
// space, an apostrophe and non-ASCII letters. Paths below it are written
// with "\", which the POSIX layer maps to "/" at the system boundary, so one
// text names the same file on both systems and lands in the registry as the
// same characters.
#ifndef TAVIK_TESTS_SCENARIOS_H_
#define TAVIK_TESTS_SCENARIOS_H_

#include <string>
#include <utility>
#include <vector>

namespace tavik_test {

enum class Hive { kMachine, kUser };
enum class Views { k32, k64, kBoth };

struct Step {
  enum Kind {
    kRun,              // run Tavik with `args`; its exit code must be `code`
    kRunRaw,           // run Tavik with the command line "Tavik.exe " +
                       // `text` (Windows) or with `args` (POSIX), the vector
                       // that the Windows rules make of it; exit code `code`
    kMakeFile,         // file `path` with the bytes `text`
    kMakeFolder,       // folder `path` (and the folders on the way)
    kMakeLibrary,      // library `path` made by vmpkg from the JSON `text`
    kRemove,           // file or empty folder `path` removed
    kSetReadOnly,      // set (`code` 1) or clear (0) the read-only attribute
    kSeedValue,        // string value `args[0]` = `text` in the key `path`
                       // below the maker's key, created with its parents
    kSeedKey,          // key `path` below the maker's key
    kExpectList,       // LibraryPaths of the version key is `text`
    kExpectNoVersion,  // the library root key is there, "2011" is not
    kExpectNoRoot,     // no library root key
    kExpectKey,        // key `path` below the maker's key exists (`code` 1)
                       // or not (0)
    kExpectReadOnly,   // the read-only attribute is set (1) or not (0)
    kExpectLibrary,    // `vmpkg dump` of `path` gives the JSON `text`
    kExpectBytes,      // file `path` holds exactly the bytes `text`
  };
  explicit Step(Kind k) : kind(k) {}

  Kind kind;
  std::vector<std::string> args;
  int code = 0;
  std::string path;
  std::string text;
  Hive hive = Hive::kMachine;
  Views views = Views::kBoth;
};

struct Scenario {
  std::string name;  // letters, digits and "_" (a test name)
  std::vector<Step> steps;
  // The part of the table this scenario belongs to: "cmdline", "registry",
  // "library". A backend may lack a part (no vmpkg built): its scenarios are
  // skipped, never passed.
  std::string part;
};

// The maker's key below the hive's software key; the tool works below it and
// never deletes it.
constexpr char kMakerKey[] = "Velmora";
constexpr char kRootKey[] = "VLMRAssetLibrary";
constexpr char kVersionKey[] = "VLMRAssetLibrary\\2011";

inline Step Run(std::vector<std::string> args, int code) {
  Step s(Step::kRun);
  s.args = std::move(args);
  s.code = code;
  return s;
}
inline Step RunRaw(std::string command_line, std::vector<std::string> args,
                   int code) {
  Step s(Step::kRunRaw);
  s.text = std::move(command_line);
  s.args = std::move(args);
  s.code = code;
  return s;
}
inline Step MakeFile(std::string path, std::string bytes = "x") {
  Step s(Step::kMakeFile);
  s.path = std::move(path);
  s.text = std::move(bytes);
  return s;
}
inline Step MakeFolder(std::string path) {
  Step s(Step::kMakeFolder);
  s.path = std::move(path);
  return s;
}
inline Step MakeLibrary(std::string path, std::string json) {
  Step s(Step::kMakeLibrary);
  s.path = std::move(path);
  s.text = std::move(json);
  return s;
}
inline Step Remove(std::string path) {
  Step s(Step::kRemove);
  s.path = std::move(path);
  return s;
}
inline Step SetReadOnly(std::string path, bool on) {
  Step s(Step::kSetReadOnly);
  s.path = std::move(path);
  s.code = on ? 1 : 0;
  return s;
}
inline Step SeedValue(Hive hive, Views views, std::string key, std::string name,
                      std::string text) {
  Step s(Step::kSeedValue);
  s.hive = hive;
  s.views = views;
  s.path = std::move(key);
  s.args = {std::move(name)};
  s.text = std::move(text);
  return s;
}
inline Step SeedKey(Hive hive, Views views, std::string key) {
  Step s(Step::kSeedKey);
  s.hive = hive;
  s.views = views;
  s.path = std::move(key);
  return s;
}
inline Step ExpectList(Hive hive, Views views, std::string text) {
  Step s(Step::kExpectList);
  s.hive = hive;
  s.views = views;
  s.text = std::move(text);
  return s;
}
inline Step ExpectNoVersion(Hive hive, Views views) {
  Step s(Step::kExpectNoVersion);
  s.hive = hive;
  s.views = views;
  return s;
}
inline Step ExpectNoRoot(Hive hive, Views views) {
  Step s(Step::kExpectNoRoot);
  s.hive = hive;
  s.views = views;
  return s;
}
inline Step ExpectKey(Hive hive, Views views, std::string key, bool exists) {
  Step s(Step::kExpectKey);
  s.hive = hive;
  s.views = views;
  s.path = std::move(key);
  s.code = exists ? 1 : 0;
  return s;
}
inline Step ExpectReadOnly(std::string path, bool on) {
  Step s(Step::kExpectReadOnly);
  s.path = std::move(path);
  s.code = on ? 1 : 0;
  return s;
}
inline Step ExpectLibrary(std::string path, std::string json) {
  Step s(Step::kExpectLibrary);
  s.path = std::move(path);
  s.text = std::move(json);
  return s;
}
inline Step ExpectBytes(std::string path, std::string bytes) {
  Step s(Step::kExpectBytes);
  s.path = std::move(path);
  s.text = std::move(bytes);
  return s;
}

// Nothing registered anywhere: no library root key in either hive or view.
inline std::vector<Step> ExpectNothingRegistered() {
  return {ExpectNoRoot(Hive::kMachine, Views::kBoth),
          ExpectNoRoot(Hive::kUser, Views::kBoth)};
}

// Appends `more` to `steps`; lets the table splice step groups in.
inline std::vector<Step> Steps(std::vector<std::vector<Step>> groups) {
  std::vector<Step> out;
  for (auto& g : groups) {
    for (auto& s : g) out.push_back(std::move(s));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Command lines. What reaches the tool must be exactly the argument vector it
// was given (on Windows: what CommandLineToArgvW makes of the command line
// that the caller built from it), so every accepted path is registered with
// "-u -k" and read back from the per-user list, which both views share.

// UTF-8 text of `count` copies of `unit` followed by `tail`.
inline std::string Repeat(const std::string& unit, int count,
                          const std::string& tail = "") {
  std::string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out + tail;
}

inline std::vector<Scenario> CommandLineScenarios() {
  const std::string lib = "{W}\\lib.vlmrlib";
  const std::string missing = "{W}\\no such folder\\lib.vlmrlib";
  // Awkward but acceptable paths, each registered whole.
  const std::vector<std::string> awkward = {
      "a \"quoted\" name.vlmrlib",
      "C:\\Program Files\\Lib\\",    // trailing backslash
      "C:\\two\\\\backslashes\\\\",  // doubled, trailing too
      "x\\\"y",                      // backslash before a quote
      "x\\\\\"y",                    // two backslashes before a quote
      "\"",                          // a quote alone
      "  lead and trail  ",
      "tab\there",
      "-x",   // a hyphen that is no switch
      "-r ",  // a switch with a trailing space
      "C:\\Bibliothèque\\Dépôt ü\\lib.vlmrlib",
      "D:\\Библиотека\\库\\ライブラリ.vlmrlib",
      "E:\\\xF0\x9F\x98\x80 smile\\lib.vlmrlib",  // outside the BMP
  };
  std::string joined;
  std::vector<Step> register_awkward;
  for (const std::string& a : awkward) {
    register_awkward.push_back(Run({"-u", "-k", a}, 0));
    joined += (joined.empty() ? "" : "|") + a;
  }
  register_awkward.push_back(ExpectList(Hive::kUser, Views::kBoth, joined));
  register_awkward.push_back(ExpectNoRoot(Hive::kMachine, Views::kBoth));

  // The argument buffer holds 1023 bytes of UTF-8 and the terminating zero;
  // one byte more refuses the whole command line.
  const std::string fits_ascii = Repeat("a", 1023);
  const std::string fits_2byte = Repeat("é", 511, "a");
  const std::string fits_4byte = Repeat("\xF0\x9F\x98\x80", 255, "aaa");
  const std::string fits_3byte = Repeat("库", 341);

  // Command lines as a caller on Windows writes them, with the vector that
  // CommandLineToArgvW makes of each: backslashes are literal except before
  // a quote, where 2n of them give n and end or start quoting, and 2n+1
  // give n and a literal quote; an unclosed quote runs to the end.
  struct RawCase {
    std::string line;
    std::string path;  // the one path the line holds
  };
  const std::vector<RawCase> raw = {
      {"-u -k \"C:\\Program Files\\Lib\\\"", "C:\\Program Files\\Lib\""},
      {"-u -k \"C:\\Program Files\\Lib2\\\\\"", "C:\\Program Files\\Lib2\\"},
      {"-u -k C:\\a\"b c\"d", "C:\\ab cd"},
      {"-u -k a\\\\\\\"b", "a\\\"b"},
      {"-u -k a\\\\b", "a\\\\b"},
      {"   -u    -k   \"spaced  path\"   ", "spaced  path"},
      {"-u\t-k\t\"tab separated\"", "tab separated"},
      {"-u -k \"a\"b", "ab"},
      {"-U -K \"unterminated path ", "unterminated path "},
      {"-u -k \"{W}\\D\xc3\xa9p\xc3\xb4t "
       "\xe5\xba\x93\\\xf0\x9f\x98\x80.vlmrlib\"",
       "{W}\\D\xc3\xa9p\xc3\xb4t \xe5\xba\x93\\\xf0\x9f\x98\x80.vlmrlib"},
  };
  std::vector<Step> raw_steps;
  std::string raw_joined;
  for (const RawCase& c : raw) {
    std::vector<std::string> args = {c.line.find("-U") == 0 ? "-U" : "-u",
                                     c.line.find("-U") == 0 ? "-K" : "-k",
                                     c.path};
    raw_steps.push_back(RunRaw(c.line, args, 0));
    raw_joined += (raw_joined.empty() ? "" : "|") + c.path;
  }
  raw_steps.push_back(ExpectList(Hive::kUser, Views::kBoth, raw_joined));
  // Quotes that leave no path, or an empty one, and a quoted switch.
  for (Step s : {RunRaw("-u -k \"\"", {"-u", "-k", ""}, 3),
                 RunRaw("-u -k \"\" lib", {"-u", "-k", "", "lib"}, 1),
                 RunRaw("\"-r\" \"-u\" \"-K\"", {"-r", "-u", "-K"}, 3)}) {
    raw_steps.push_back(s);
  }
  raw_steps.push_back(ExpectList(Hive::kUser, Views::kBoth, raw_joined));
  raw_steps.push_back(ExpectNoRoot(Hive::kMachine, Views::kBoth));

  return {
      {"RawWindowsCommandLines", raw_steps, "rawcmdline"},
      {"NoArguments", Steps({{Run({}, 3)}, ExpectNothingRegistered()}),
       "cmdline"},
      {"OnlySwitchesOrEmpty",
       Steps({{Run({"-r", "-U"}, 3), Run({"-k", "-l", "-d", "-R"}, 3),
               Run({""}, 3), Run({"-u", "", "-k"}, 3)},
              ExpectNothingRegistered()}),
       "cmdline"},
      {"SecondPathIsRefused",
       Steps({{MakeFile(lib), Run({"", lib}, 1), Run({lib, "-k", "-l", ""}, 1),
               Run({lib, "-U", missing}, 1), Run({"-u", "-k", lib, "-x"}, 1),
               Run({"-r", lib, "-R", "-u", lib}, 1), ExpectBytes(lib, "x")},
              ExpectNothingRegistered()}),
       "cmdline"},
      {"CapitalSwitches",
       Steps({{Run({"-U", "-K", missing}, 0),
               ExpectList(Hive::kUser, Views::kBoth, missing),
               Run({"-R", missing, "-U", "-K"}, 0),
               ExpectNoRoot(Hive::kUser, Views::kBoth),
               Run({missing, "-K", "-L"}, 0), Run({"-D", missing, "-L"}, 2)},
              {ExpectNoRoot(Hive::kMachine, Views::kBoth)}}),
       "cmdline"},
      {"MissingLibrary",
       {Run({missing}, 2), ExpectList(Hive::kMachine, Views::kBoth, missing),
        Run({"-d", "-r", missing}, 0), Run({"-l", missing}, 2),
        Run({"-r", "-l", missing}, 0),
        ExpectNoRoot(Hive::kMachine, Views::kBoth),
        ExpectKey(Hive::kMachine, Views::kBoth, "", true),
        ExpectNoRoot(Hive::kUser, Views::kBoth)},
       "cmdline"},
      {"AwkwardPathsArriveExactly", register_awkward, "cmdline"},
      {"ArgumentBuffer",
       {Run({"-u", "-k", fits_ascii}, 0), Run({"-u", "-k", fits_2byte}, 0),
        Run({"-u", "-k", fits_4byte}, 0), Run({"-u", "-k", fits_3byte}, 0),
        ExpectList(Hive::kUser, Views::kBoth,
                   fits_ascii + "|" + fits_2byte + "|" + fits_4byte + "|" +
                       fits_3byte),
        // One byte more, in each width: refused whole, nothing changes.
        Run({"-u", "-k", fits_ascii + "a"}, 3),
        Run({"-u", "-k", Repeat("é", 512)}, 3),
        Run({"-u", "-k", Repeat("\xF0\x9F\x98\x80", 256)}, 3),
        Run({"-u", "-k", fits_3byte + "a"}, 3),
        Run({"-r", "-u", "-k", fits_ascii + "a"}, 3),
        Run({fits_ascii + "a", "-r", "-u", "-k", fits_ascii}, 3),
        ExpectList(Hive::kUser, Views::kBoth,
                   fits_ascii + "|" + fits_2byte + "|" + fits_4byte + "|" +
                       fits_3byte),
        ExpectNoRoot(Hive::kMachine, Views::kBoth)},
       "cmdline"},
  };
}

// ---------------------------------------------------------------------------
// The registry step: the list in both views of both hives, and the deletion
// of the keys that the removal of the last path leaves empty. Keys below
// the maker's key are named relative to it.
inline std::vector<Scenario> RegistryScenarios() {
  const std::string a = "{W}\\a.vlmrlib";
  const std::string b = "{W}\\b.vlmrlib";
  const std::string c = "{W}\\c.vlmrlib";
  const Hive M = Hive::kMachine;
  const Hive U = Hive::kUser;
  const Views both = Views::kBoth;
  const std::string paths = "LibraryPaths";
  return {
      {"AddAndRemoveMachineBothViews",
       {Run({"-k", a}, 0), ExpectList(M, both, a), ExpectNoRoot(U, both),
        Run({"-k", b}, 0), Run({b, "-k"}, 0), Run({"-K", c}, 0),
        ExpectList(M, both, a + "|" + b + "|" + c), Run({"-r", "-k", b}, 0),
        ExpectList(M, both, a + "|" + c), Run({"-r", "-k", a}, 0),
        Run({"-r", "-k", a}, 0), ExpectList(M, both, c),
        Run({"-k", "-r", c}, 0), ExpectNoRoot(M, both),
        ExpectKey(M, both, "", true), ExpectNoRoot(U, both)},
       "registry"},
      {"PerUserListIsSharedAndSeparate",
       {Run({"-u", "-k", a}, 0), Run({"-k", b}, 0), Run({"-k", "-u", b}, 0),
        ExpectList(U, both, a + "|" + b), ExpectList(M, both, b),
        Run({"-r", "-u", "-k", b}, 0), ExpectList(U, both, a),
        ExpectList(M, both, b), Run({"-u", "-r", "-k", a}, 0),
        ExpectNoRoot(U, both), ExpectKey(U, both, "", true),
        ExpectList(M, both, b)},
       "registry"},
      {"ViewsKeepTheirOwnLists",
       {SeedValue(M, Views::k32, kVersionKey, paths, "Q"), Run({"-k", a}, 0),
        ExpectList(M, Views::k32, "Q|" + a), ExpectList(M, Views::k64, a),
        Run({"-r", "-k", "Q"}, 0), ExpectList(M, Views::k32, a),
        ExpectList(M, Views::k64, a), Run({"-r", "-k", a}, 0),
        ExpectNoRoot(M, both)},
       "registry"},
      {"ListEdges",
       // A separator at the end gets one more; whole entries only: a path
       // that is part of a listed one is another path, letter case and
       // slashes make other paths, and removal takes the first equal entry.
       {SeedValue(M, both, kVersionKey, paths, "Q|"), Run({"-k", a}, 0),
        ExpectList(M, both, "Q||" + a), Run({"-r", "-k", "Q"}, 0),
        ExpectList(M, both, "|" + a), Run({"-k", "{W}\\A.vlmrlib"}, 0),
        Run({"-k", "{W}/a.vlmrlib"}, 0), Run({"-k", "a.vlmrlib"}, 0),
        ExpectList(M, both,
                   "|" + a + "|{W}\\A.vlmrlib|{W}/a.vlmrlib|a.vlmrlib"),
        Run({"-r", "-k", "a.vlmrlib"}, 0), Run({"-r", "-k", "{W}"}, 0),
        ExpectList(M, both, "|" + a + "|{W}\\A.vlmrlib|{W}/a.vlmrlib"),
        // P|Q|P minus P is Q|P in each view; the per-user list is one key
        // reached from both views, so it loses both entries.
        SeedValue(M, both, kVersionKey, paths, a + "|" + b + "|" + a),
        SeedValue(U, both, kVersionKey, paths, a + "|" + b + "|" + a),
        Run({"-r", "-k", a}, 0), ExpectList(M, both, b + "|" + a),
        Run({"-u", "-r", "-k", a}, 0), ExpectList(U, both, b)},
       "registry"},
      {"PathWithSeparatorLeavesListAlone",
       {Run({"-k", a}, 0), Run({"-k", "{W}\\x|y.vlmrlib"}, 0),
        Run({"{W}\\x|y.vlmrlib"}, 2), Run({"-r", "-k", a + "|" + b}, 0),
        ExpectList(M, both, a)},
       "registry"},
      {"RemovalCreatesNothing",
       Steps({{Run({"-r", "-k", a}, 0), Run({"-r", "-u", "-k", a}, 0),
               Run({"-r", a}, 0), ExpectKey(M, both, "", false),
               ExpectKey(U, both, "", false)},
              ExpectNothingRegistered()}),
       "registry"},
      {"SkipRegistry",
       Steps({{Run({"-l", "-k", a}, 0), Run({"-l", a}, 2),
               Run({"-L", "-u", a}, 2), Run({"-l", "-r", a}, 0)},
              ExpectNothingRegistered()}),
       "registry"},
      {"EmptiedVersionKeyGoesWithItsValues",
       {SeedValue(M, both, kVersionKey, "Other", "1"),
        SeedValue(M, both, kRootKey, "Setting", "x"), Run({"-k", a}, 0),
        ExpectList(M, both, a), Run({"-r", "-k", a}, 0), ExpectNoRoot(M, both),
        ExpectKey(M, both, "", true)},
       "registry"},
      {"VersionKeyWithSubkeyStays",
       {SeedKey(M, both, std::string(kVersionKey) + "\\Sub"), Run({"-k", a}, 0),
        Run({"-r", "-k", a}, 0), ExpectList(M, both, ""),
        ExpectKey(M, both, std::string(kVersionKey) + "\\Sub", true)},
       "registry"},
      {"RootKeyWithAnotherVersionStays",
       {SeedKey(U, both, std::string(kRootKey) + "\\2012"),
        Run({"-u", "-k", a}, 0), Run({"-u", "-r", "-k", a}, 0),
        ExpectNoVersion(U, both),
        ExpectKey(U, both, std::string(kRootKey) + "\\2012", true)},
       "registry"},
      {"EmptyValueIsLeftAlone",
       {SeedValue(M, both, kVersionKey, paths, ""), Run({"-r", "-k", a}, 0),
        ExpectList(M, both, ""), Run({"-k", a}, 0), ExpectList(M, both, a)},
       "registry"},
  };
}
// ---------------------------------------------------------------------------
// Libraries: completion and pruning of the references, the read-only
// attribute, and the runs that must leave a library untouched.

// name -> entries of one "refs" property
using RefLists = std::vector<std::pair<std::string, std::vector<std::string>>>;
struct AssetSpec {
  std::string name;
  RefLists refs;  // none: the asset has no "QSN" group
};

inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline std::string JsonGroup(const std::string& name,
                             const std::string& properties,
                             const std::string& groups) {
  return "{\"name\": " + JsonString(name) + ", \"properties\": [" + properties +
         "], \"groups\": [" + groups + "]}";
}

// A library document in the form `vmpkg dump` prints (every array present),
// so that it serves both to make a library and to compare a dump with.
// `read_only`: 1 or 0 is the package's "read only" property, -1 none.
inline std::string LibraryJson(int read_only,
                               const std::vector<AssetSpec>& assets) {
  std::string package_properties;
  if (read_only >= 0) {
    package_properties =
        "{\"name\": \"read only\", \"type\": \"bool\", "
        "\"value\": [" +
        std::string(read_only ? "true" : "false") + "]}";
  }
  std::string asset_groups;
  for (const AssetSpec& asset : assets) {
    std::string qsn;
    if (!asset.refs.empty()) {
      std::string properties;
      for (const auto& [name, entries] : asset.refs) {
        std::string values;
        for (const std::string& e : entries) {
          values += (values.empty() ? "" : ", ") + JsonString(e);
        }
        properties += std::string(properties.empty() ? "" : ", ") +
                      "{\"name\": " + JsonString(name) +
                      ", \"type\": \"string_array\", \"value\": [" + values +
                      "]}";
      }
      qsn = JsonGroup("QSN", "", JsonGroup("refs", properties, ""));
    }
    asset_groups +=
        (asset_groups.empty() ? "" : ", ") + JsonGroup(asset.name, "", qsn);
  }
  return "{\"package\": " + JsonGroup("package", package_properties, "") +
         ", \"scene\": " + JsonGroup("scene", "", asset_groups) + "}";
}

inline std::vector<Scenario> LibraryScenarios() {
  const std::string lib = "{W}\\lib.vlmrlib";
  const std::string media = "{W}\\lib.qsm\\";
  const std::string chair = "\xe6\xa4\x85";  // a CJK name, file and asset
  // Every type, a null property and names outside the BMP, through
  // vmpkg create and back.
  const std::string round_trip_lib =
      "{W}\\" + chair + " \xf0\x9f\x98\x80.vlmrlib";
  const std::string round_trip_json =
      "{\"package\": {\"name\": \"p\", \"properties\": [{\"name\": "
      "\"read only\", \"type\": \"bool\", \"value\": [false, true]}, "
      "{\"name\": \"n\", \"type\": \"int32\", \"value\": [-2147483648, "
      "2147483647]}, {\"name\": \"f\", \"type\": \"float64\", "
      "\"value\": [0.5, -1e300]}, {\"name\": \"nul\", \"type\": "
      "\"int32\", \"value\": null}], \"groups\": [{\"name\": \"" +
      chair +
      "\", \"properties\": [{\"name\": \"s\", \"type\": "
      "\"string_array\", \"value\": [\"\", \"\xc3\xa9\", "
      "\"\xf0\x9f\x98\x80\"]}], \"groups\": []}]}, \"scene\": "
      "{\"name\": \"s\", \"properties\": [], \"groups\": []}}";
  std::vector<Step> media_files;
  for (const std::string& f : std::vector<std::string>{
           "3\\a.png", "1\\a.jpg", "10\\a.png", "2\\maps\\b.jpg",
           "7\\maps\\b.tif", "12\\" + chair + ".png", "4\\" + chair + ".png",
           "5\\a"}) {
    media_files.push_back(MakeFile(media + f));
  }
  // "5\a", a file without an extension, is compared by its whole name; the
  // folder "8\a.png" is never a file reference.
  media_files.push_back(MakeFolder(media + "8\\a.png"));

  const std::vector<AssetSpec> before = {
      {"chair", {{"diffuse", {"3/a.png"}}, {"normal", {"2/maps/b.jpg"}}}},
      {chair + "\xe5\xad\x90", {{"p", {"12/" + chair + ".png"}}}},
      {"plain", {}},
      {"gone", {{"p", {"6/none.png"}}, {"empty", {}}}},
  };
  const std::vector<AssetSpec> completed = {
      {"chair",
       {{"diffuse", {"3/a.png", "1/a.jpg", "5/a", "10/a.png"}},
        {"normal", {"2/maps/b.jpg", "7/maps/b.tif"}}}},
      {chair + "\xe5\xad\x90",
       {{"p", {"12/" + chair + ".png", "4/" + chair + ".png"}}}},
      {"plain", {}},
      {"gone", {{"p", {"6/none.png"}}, {"empty", {}}}},
  };
  const std::vector<AssetSpec> pruned = {
      {"chair",
       {{"diffuse", {"5/a", "10/a.png"}},
        {"normal", {"2/maps/b.jpg", "7/maps/b.tif"}}}},
      {chair + "\xe5\xad\x90",
       {{"p", {"12/" + chair + ".png", "4/" + chair + ".png"}}}},
      {"plain", {}},
      {"gone", {{"p", {}}, {"empty", {}}}},
  };

  return {
      {"CompleteThenPrune",
       Steps(
           {media_files,
            {MakeLibrary(lib, LibraryJson(1, before)), SetReadOnly(lib, true),
             ExpectReadOnly(lib, true), Run({lib}, 0),
             ExpectLibrary(lib, LibraryJson(1, completed)),
             ExpectReadOnly(lib, false),
             ExpectList(Hive::kMachine, Views::kBoth, lib),
             // Everything is listed already: nothing changes.
             Run({"-l", lib}, 0), ExpectLibrary(lib, LibraryJson(1, completed)),
             Remove(media + "1\\a.jpg"), Remove(media + "3\\a.png"),
             Run({"-R", "-L", lib}, 0),
             ExpectLibrary(lib, LibraryJson(1, pruned)),
             ExpectList(Hive::kMachine, Views::kBoth, lib)}}),
       "library"},
      {"PackageWithoutReadOnlyOrAssets",
       {MakeFile(media + "1\\a.png"), MakeFile(media + "2\\a.png"),
        MakeLibrary(lib, LibraryJson(-1, {{"x", {{"p", {"1/a.png"}}}}})),
        Run({"-l", lib}, 0),
        ExpectLibrary(
            lib, LibraryJson(-1, {{"x", {{"p", {"1/a.png", "2/a.png"}}}}})),
        MakeLibrary("{W}\\empty.vlmrlib", LibraryJson(0, {})),
        MakeFolder("{W}\\empty.qsm"), Run({"{W}\\empty.vlmrlib", "-u"}, 0),
        ExpectLibrary("{W}\\empty.vlmrlib", LibraryJson(1, {})),
        ExpectList(Hive::kUser, Views::kBoth, "{W}\\empty.vlmrlib")},
       "library"},
      {"MissingMediaFolderLeavesLibraryAlone",
       {MakeLibrary(lib, LibraryJson(1, before)), SetReadOnly(lib, true),
        Run({lib}, 2), ExpectList(Hive::kMachine, Views::kBoth, lib),
        ExpectReadOnly(lib, true), ExpectLibrary(lib, LibraryJson(1, before)),
        Run({"-r", lib}, 2), ExpectNoRoot(Hive::kMachine, Views::kBoth),
        ExpectLibrary(lib, LibraryJson(1, before))},
       "library"},
      {"DamagedLibraryIsRefused",
       {MakeFolder(media), MakeFile(lib, "not a library, 24 bytes"),
        MakeFolder("{W}\\empty.qsm"), MakeFile("{W}\\empty.vlmrlib", ""),
        Run({"-l", lib}, 4), Run({"-r", "-l", lib}, 4),
        Run({"-l", "{W}\\empty.vlmrlib"}, 4),
        ExpectBytes(lib, "not a library, 24 bytes"),
        ExpectBytes("{W}\\empty.vlmrlib", ""), Run({"-k", "-l", lib}, 0),
        Run({lib}, 4), ExpectList(Hive::kMachine, Views::kBoth, lib)},
       "library"},
      {"VmpkgRoundTrip",
       {MakeLibrary(round_trip_lib, round_trip_json),
        ExpectLibrary(round_trip_lib, round_trip_json)},
       "library"},
  };
}

inline std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> all;
  for (auto part :
       {CommandLineScenarios, RegistryScenarios, LibraryScenarios}) {
    for (Scenario& s : part()) all.push_back(std::move(s));
  }
  return all;
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_SCENARIOS_H_
