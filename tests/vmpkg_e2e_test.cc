// vmpkg as a separate process: create then dump, refusals and bad input.
#ifdef VMPKG_EXE

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/base/scratch_dir_test_util.h"
#include "platform/vmp/package.h"
#include "tests/process_util.h"

namespace {

using nlohmann::json;
using tavik_test::ProcessResult;

// Nested groups, every type, null and empty values, non-ASCII names and
// entries (outside the BMP too), numbers JSON has no literal for.
const char kSample[] = R"({
  "package": {
    "name": "Bibliothèque",
    "properties": [
      {"name": "read only", "type": "bool", "value": [false]},
      {"name": "version", "type": "int32", "value": [2011]}
    ],
    "groups": []
  },
  "scene": {
    "name": "scène",
    "properties": [],
    "groups": [
      {
        "name": "stuhl_ä_椅子",
        "properties": [
          {"name": "flags", "type": "bool", "value": [true, false, true]},
          {"name": "ints", "type": "int32",
           "value": [0, -1, 2147483647, -2147483648]},
          {"name": "floats", "type": "float64",
           "value": [0.1, -2.5e-300, 1e308, -0.0, "NaN", "Infinity",
                     "-Infinity"]},
          {"name": "nothing", "type": "float64", "value": null},
          {"name": "empty", "type": "int32", "value": []}
        ],
        "groups": [
          {
            "name": "QSN",
            "properties": [],
            "groups": [
              {
                "name": "refs",
                "properties": [
                  {"name": "diffuse", "type": "string_array",
                   "value": ["3/a.png", "1/a.png", "", "Ωmega/😀.png"]},
                  {"name": "none", "type": "string_array", "value": []},
                  {"name": "unset", "type": "string_array", "value": null}
                ],
                "groups": []
              }
            ]
          }
        ]
      },
      {"name": "second", "properties": [], "groups": []}
    ]
  }
})";

class VmpkgE2eTest : public ::testing::Test {
 protected:
  ProcessResult Vmpkg(const std::vector<std::string>& arguments,
                      const std::string& input = "") {
    return tavik_test::RunCaptured(VMPKG_EXE, arguments, input, dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Exists(const std::string& name) {
    return access(Path(name).c_str(), F_OK) == 0;
  }

  tavik::testing_util::ScratchDir scratch_{"tavik_vmpkg"};
  std::string dir_ = scratch_.path();
};

TEST_F(VmpkgE2eTest, CreateThenDumpGivesBackTheDocument) {
  Write("sample.json", kSample);
  // Library names with non-ASCII letters too.
  ProcessResult created =
      Vmpkg({"create", Path("bibliothèque.vlmrlib"), Path("sample.json")});
  ASSERT_EQ(0, created.exit_code) << created.err;
  EXPECT_EQ("", created.out);
  ProcessResult dumped = Vmpkg({"dump", Path("bibliothèque.vlmrlib")});
  ASSERT_EQ(0, dumped.exit_code) << dumped.err;
  EXPECT_EQ(json::parse(kSample), json::parse(dumped.out));

  // The same through standard input; the dump of the dump is identical.
  ProcessResult again = Vmpkg({"create", Path("again.vlmrlib")}, dumped.out);
  ASSERT_EQ(0, again.exit_code) << again.err;
  EXPECT_EQ(dumped.out, Vmpkg({"dump", Path("again.vlmrlib")}).out);
  EXPECT_EQ(Read("bibliothèque.vlmrlib"), Read("again.vlmrlib"));

  // What vmpkg writes is what the library reads.
  vmp::SharedPtr<vmp::Package> package(new vmp::Package(
      Path("again.vlmrlib").c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(package->isValid()) << package->status().message();
  vmp::IGroup* scene =
      package->document(0)->scene()->assets()->metadata()->root();
  vmp::SharedPtr<vmp::IGroup> refs =
      scene->group("stuhl_ä_椅子")->group("QSN")->group("refs");
  ASSERT_TRUE(refs);
  vmp::SharedPtr<vmp::IPrimitive> diffuse =
      vmp::IPrimitive::to(refs->property("diffuse"));
  ASSERT_TRUE(diffuse);
  std::u16string units(diffuse->size(), u'\0');
  ASSERT_TRUE(diffuse->read(&units[0], 0, units.size()));
  vmp::SharedPtr<vmp::IStringArray> entries =
      vmp::IStringArray::to(units.data(), units.size());
  ASSERT_TRUE(entries);
  ASSERT_EQ(4u, entries->count());
  EXPECT_EQ(u"Ωmega/😀.png", entries->get(3).string());
}

// Every library that opens dumps, what JSON cannot carry escaped, and
// create reads the dump back to the same bytes: lone surrogates in names and
// entries, string array values that are no string array, or that create
// would write otherwise (a lone count of 0).
TEST_F(VmpkgE2eTest, DumpEscapesWhatJsonCannotCarryAndCreateReadsItBack) {
  const std::u16string lone_high(u"a\xD800"), lone_low(u"\xDC00x");
  struct Raw {
    const char* name;
    std::u16string units;
    const char* escaped;  // the dump's value
  } raws[] = {
      {"runs past", std::u16string(u"\x0005\x0000\x0001", 3), "0005 0000 0001"},
      {"left over", std::u16string(u"\x0000\x0000\x0041", 3), "0000 0000 0041"},
      {"count 0", std::u16string(u"\x0000\x0000", 2), "0000 0000"},
  };
  {
    vmp::SharedPtr<vmp::Package> package = vmp::Package::create(
        Path("a.vlmrlib").c_str(), false, tavik::DefaultFileSystem());
    vmp::IGroup* scene =
        package->document(0)->scene()->assets()->metadata()->root();
    vmp::SharedPtr<vmp::IGroup> asset =
        scene->addGroup(vmp::WideString(lone_high));
    vmp::SharedPtr<vmp::IStringArray> entries = vmp::IStringArray::create();
    entries->append(vmp::WideString(lone_low));
    entries->append("ok");
    entries->store(asset
                       ->addPrimitive(vmp::WideString(lone_high),
                                      vmp::PrimitiveType::kStringArray)
                       .get());
    for (const Raw& raw : raws) {
      ASSERT_TRUE(
          asset->addPrimitive(raw.name, vmp::PrimitiveType::kStringArray)
              ->write(raw.units.data(), 0, raw.units.size()));
    }
    ASSERT_TRUE(package->commit().ok());
  }
  ProcessResult dumped = Vmpkg({"dump", Path("a.vlmrlib")});
  ASSERT_EQ(0, dumped.exit_code) << dumped.err;
  json doc = json::parse(dumped.out);
  const json& asset = doc["scene"]["groups"][0];
  EXPECT_EQ(json::parse(R"({"utf16": "0061 D800"})"), asset["name"]);
  EXPECT_EQ(json::parse(R"({"utf16": "0061 D800"})"),
            asset["properties"][0]["name"]);
  EXPECT_EQ(json::parse(R"([{"utf16": "DC00 0078"}, "ok"])"),
            asset["properties"][0]["value"]);
  for (size_t i = 0; i < std::size(raws); ++i) {
    EXPECT_EQ(json({{"utf16", raws[i].escaped}}),
              asset["properties"][i + 1]["value"])
        << raws[i].name;
  }
  ProcessResult created = Vmpkg({"create", Path("b.vlmrlib")}, dumped.out);
  ASSERT_EQ(0, created.exit_code) << created.err;
  EXPECT_EQ(Read("a.vlmrlib"), Read("b.vlmrlib"));
  ProcessResult again = Vmpkg({"dump", Path("b.vlmrlib")});
  EXPECT_EQ(dumped.out, again.out);
  ASSERT_EQ(0, Vmpkg({"create", Path("c.vlmrlib")}, again.out).exit_code);
  EXPECT_EQ(Read("b.vlmrlib"), Read("c.vlmrlib"));
}

TEST_F(VmpkgE2eTest, MissingArraysMeanNone) {
  ProcessResult created =
      Vmpkg({"create", Path("lib.vlmrlib")},
            R"({"scene": {"name": "s", "groups": [{"name": "a"}]},
          "package": {"name": "p"}})");
  ASSERT_EQ(0, created.exit_code) << created.err;
  EXPECT_EQ(json::parse(R"({
      "package": {"name": "p", "properties": [], "groups": []},
      "scene": {"name": "s", "properties": [],
                "groups": [{"name": "a", "properties": [], "groups": []}]}})"),
            json::parse(Vmpkg({"dump", Path("lib.vlmrlib")}).out));
}

TEST_F(VmpkgE2eTest, ExistingLibraryIsReplacedOnlyWithForce) {
  const std::string minimal = R"({"package": {"name": "p"},
                                  "scene": {"name": "s"}})";
  Write("lib.vlmrlib", "precious bytes");
  ProcessResult refused = Vmpkg({"create", Path("lib.vlmrlib")}, minimal);
  EXPECT_EQ(1, refused.exit_code);
  EXPECT_NE(std::string::npos, refused.err.find("already exists"));
  EXPECT_EQ("precious bytes", Read("lib.vlmrlib"));
  ProcessResult forced =
      Vmpkg({"create", "--force", Path("lib.vlmrlib")}, minimal);
  EXPECT_EQ(0, forced.exit_code) << forced.err;
  EXPECT_EQ(0, Vmpkg({"dump", Path("lib.vlmrlib")}).exit_code);

  // A read-only library is replaced too, and stays read-only.
  ASSERT_EQ(0, chmod(Path("lib.vlmrlib").c_str(), 0444));
  const std::string before = Read("lib.vlmrlib");
  ProcessResult again =
      Vmpkg({"create", "--force", Path("lib.vlmrlib")},
            R"({"package": {"name": "p2"}, "scene": {"name": "s"}})");
  EXPECT_EQ(0, again.exit_code) << again.err;
  EXPECT_NE(before, Read("lib.vlmrlib"));
  struct stat st;
  ASSERT_EQ(0, stat(Path("lib.vlmrlib").c_str(), &st));
  EXPECT_EQ(0444u, st.st_mode & 0777u);
}

// create --force takes the update lock: run while an update holds it, it
// waits, and its file is the one left, not overwritten by the update.
TEST_F(VmpkgE2eTest, ForcedCreateWaitsForAnUpdateInProgress) {
  const std::string minimal = R"({"package": {"name": "p"},
                                  "scene": {"name": "s"}})";
  ASSERT_EQ(0, Vmpkg({"create", Path("lib.vlmrlib")}, minimal).exit_code);
  vmp::SharedPtr<vmp::Package> update(new vmp::Package(
      Path("lib.vlmrlib").c_str(), true, "", tavik::DefaultFileSystem()));
  ASSERT_TRUE(update->isValid());
  Write("new.json", R"({"package": {"name": "from vmpkg"},
                        "scene": {"name": "s"}})");
  tavik_test::Redirects redirects;
  redirects.input = "/dev/null";
  redirects.output = Path(".out");
  redirects.merge_error = true;
  pid_t pid = tavik_test::StartProcess(
      {VMPKG_EXE, "create", "--force", Path("lib.vlmrlib"), Path("new.json")},
      {}, redirects);
  ASSERT_GT(pid, 0);
  // Gives vmpkg time to get to the lock (without the lock, time to write);
  // the outcome does not depend on how long this is.
  usleep(300 * 1000);
  update->document(0)->scene()->assets()->metadata()->root()->addGroup(
      "from the update");
  ASSERT_TRUE(update->commit().ok());
  update.reset();
  EXPECT_EQ(0, tavik_test::WaitProcess(pid)) << Read(".out");
  json dumped = json::parse(Vmpkg({"dump", Path("lib.vlmrlib")}).out);
  EXPECT_EQ("from vmpkg", dumped["package"]["name"]);
  EXPECT_TRUE(dumped["scene"]["groups"].empty());
}

TEST_F(VmpkgE2eTest, BadInputIsNamedAndNothingIsWritten) {
  struct Case {
    const char* input;
    const char* place;  // must appear in the message
  };
  const Case cases[] = {
      {"", "line 1, column 1"},
      {"{\"package\": {\"name\": \"p\",}\n}", "line 1, column 26"},
      {"{\"package\": {\"name\": \"p\"},\n \"scene\": [}", "line 2, column 12"},
      {"[]", "(document): expected an object"},
      {R"({"package": {"name": "p"}})", "/scene: missing"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s"}, "x": 1})",
       "/x: unknown member"},
      {R"({"package": {"name": 1}, "scene": {"name": "s"}})", "/package/name"},
      {R"({"package": {"name": "p", "group": []}, "scene": {"name": "s"}})",
       "/package/group: unknown member"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "groups": [
           {"name": "a"}, {"name": "b", "properties": [
           {"name": "n", "type": "int", "value": [1]}]}]}})",
       "/scene/groups/1/properties/0/type"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "n", "type": "int32", "value": [1, 2147483648]}]}})",
       "/scene/properties/0/value/1"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "n", "type": "int32", "value": [1.5]}]}})",
       "/scene/properties/0/value/0"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "b", "type": "bool", "value": [1]}]}})",
       "/scene/properties/0/value/0: expected a boolean"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "f", "type": "float64", "value": ["inf"]}]}})",
       "/scene/properties/0/value/0"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "r", "type": "string_array", "value": "3/a.png"}]}})",
       "/scene/properties/0/value: expected an array or null"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "r", "type": "string_array"}]}})",
       "/scene/properties/0/value: missing"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "groups": {}}})",
       "/scene/groups: expected an array"},
      // Escapes of UTF-16 units: four hex digits each, one space between.
      {R"({"package": {"name": {"utf16": "D80"}}, "scene": {"name": "s"}})",
       "/package/name: expected {\"utf16\""},
      {R"({"package": {"name": {"utf16": "0041 "}}, "scene": {"name": "s"}})",
       "/package/name: expected {\"utf16\""},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "r", "type": "string_array",
            "value": [{"utf16": "0041", "x": 1}]}]}})",
       "/scene/properties/0/value/0: expected {\"utf16\""},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "n", "type": "int32", "value": {"utf16": "0041"}}]}})",
       "/scene/properties/0/value: expected an array or null"},
      // A member given twice, in the document, a group, a property, a value.
      {R"({"package": {"name": "p"}, "scene": {"name": "s"},
          "package": {"name": "p"}})",
       "/package: duplicate member"},
      {R"({"package": {"name": "p", "groups": [], "groups": []},
          "scene": {"name": "s"}})",
       "/package/groups: duplicate member"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "n", "type": "int32", "type": "bool", "value": [1]}]}})",
       "/scene/properties/0/type: duplicate member"},
      {R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [
           {"name": "r", "type": "string_array",
            "value": [{"utf16": "0041", "utf16": "0042"}]}]}})",
       "/scene/properties/0/value/0/utf16: duplicate member"},
  };
  for (const Case& c : cases) {
    ProcessResult result = Vmpkg({"create", Path("lib.vlmrlib")}, c.input);
    EXPECT_EQ(1, result.exit_code) << c.input;
    EXPECT_NE(std::string::npos, result.err.find(c.place)) << c.input << "\n"
                                                           << result.err;
    EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n'))
        << result.err;
    EXPECT_FALSE(Exists("lib.vlmrlib")) << c.input;
  }
}

// Groups nest as deep as dump walks them and no deeper: at the limit a
// library dumps, with the printer's own layout, and creates back to the same
// bytes; one level more is refused by both, dump writing nothing.
TEST_F(VmpkgE2eTest, NestingUpToTheLimitRoundTripsAndBeyondIsRefused) {
  constexpr int kLimit = 512;
  // A sibling comes before the deep group at every level, so that places
  // count past 0; one level too deep is the first child of the deepest.
  std::string too_deep = "/scene";
  for (int level = 1; level <= kLimit; ++level) too_deep += "/groups/1";
  too_deep += "/groups/0: groups nested deeper than 512";
  for (int depth : {kLimit, kLimit + 1}) {
    const std::string name = "lib" + std::to_string(depth) + ".vlmrlib";
    {
      vmp::SharedPtr<vmp::Package> package = vmp::Package::create(
          Path(name).c_str(), false, tavik::DefaultFileSystem());
      vmp::IGroup* group =
          package->document(0)->scene()->assets()->metadata()->root();
      vmp::SharedPtr<vmp::IGroup> held;
      for (int level = 1; level <= depth; ++level) {
        group->addGroup("leaf")->addPrimitive("n", vmp::PrimitiveType::kInt32);
        held = group->addGroup(vmp::WideString(std::u16string(1, u'\xD800')));
        group = held.get();
        group->addPrimitive("f", vmp::PrimitiveType::kFloat64)->setNull();
      }
      ASSERT_TRUE(package->commit().ok());
    }
    ProcessResult dumped = Vmpkg({"dump", Path(name)});
    if (depth > kLimit) {
      EXPECT_EQ(1, dumped.exit_code);
      EXPECT_EQ("", dumped.out);
      EXPECT_NE(std::string::npos, dumped.err.find(too_deep)) << dumped.err;
      continue;
    }
    ASSERT_EQ(0, dumped.exit_code) << dumped.err;
    EXPECT_EQ(nlohmann::ordered_json::parse(dumped.out).dump(2) + "\n",
              dumped.out);
    ProcessResult created =
        Vmpkg({"create", Path("again.vlmrlib")}, dumped.out);
    ASSERT_EQ(0, created.exit_code) << created.err;
    EXPECT_EQ(Read(name), Read("again.vlmrlib"));
    // The deepest group's (empty) groups are printed last.
    const std::string none = R"("groups": [])";
    const size_t at = dumped.out.rfind(none);
    ASSERT_NE(std::string::npos, at);
    ProcessResult deeper =
        Vmpkg({"create", Path("deeper.vlmrlib")},
              dumped.out.substr(0, at) + R"("groups": [{"name": "x"}])" +
                  dumped.out.substr(at + none.size()));
    EXPECT_EQ(1, deeper.exit_code);
    EXPECT_NE(std::string::npos, deeper.err.find(too_deep)) << deeper.err;
    EXPECT_FALSE(Exists("deeper.vlmrlib"));
  }
}

// Syntax errors far into the input, past the first pieces read, are placed
// by line and column as in the whole text: a byte on either side of a piece
// boundary, an offending newline, the end of the input.
TEST_F(VmpkgE2eTest, SyntaxErrorDeepInTheInputIsPlaced) {
  const std::string head =
      R"({"package": {"name": "p"}, "scene": {"name": "s", "properties": [)";
  auto padded = [&](size_t size) {
    std::string text = head;
    for (size_t i = 0; text.size() < size; ++i) text += i % 7 == 6 ? '\n' : ' ';
    return text;
  };
  struct Case {
    std::string text;
    size_t offending;  // the byte the error is at (the size: the end)
  } cases[] = {
      {padded(65535) + "x", 65535},
      {padded(65536) + "x", 65536},
      {padded(65524) + R"({"name": "a)" + "\n" + std::string(99, ' '), 65535},
      {padded(200003) + R"({"name": "a)" + "\n", 200014},
      {padded(150000) + "\n", 150001},
  };
  for (const Case& c : cases) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < c.offending; ++i) {
      column = c.text[i] == '\n' ? 1 : column + 1;
      line += c.text[i] == '\n';
    }
    const std::string place = "not JSON at line " + std::to_string(line) +
                              ", column " + std::to_string(column) + ": ";
    Write("bad.json", c.text);
    for (const ProcessResult& result :
         {Vmpkg({"create", Path("lib.vlmrlib")}, c.text),
          Vmpkg({"create", Path("lib.vlmrlib"), Path("bad.json")})}) {
      EXPECT_EQ(1, result.exit_code);
      EXPECT_NE(std::string::npos, result.err.find(place))
          << c.offending << ": " << result.err << "wanted: " << place;
      EXPECT_FALSE(Exists("lib.vlmrlib"));
    }
  }
}

TEST_F(VmpkgE2eTest, UsageAndUnreadableFiles) {
  EXPECT_EQ(2, Vmpkg({}).exit_code);
  EXPECT_EQ(2, Vmpkg({"dump"}).exit_code);
  EXPECT_EQ(2, Vmpkg({"dump", "a", "b"}).exit_code);
  EXPECT_EQ(2, Vmpkg({"list", Path("x")}).exit_code);
  EXPECT_EQ(2, Vmpkg({"dump", "--force", Path("x")}).exit_code);
  ProcessResult missing_input =
      Vmpkg({"create", Path("lib.vlmrlib"), Path("none.json")});
  EXPECT_EQ(1, missing_input.exit_code);
  EXPECT_FALSE(Exists("lib.vlmrlib"));
  Write("damaged.vlmrlib", "\x89VMPK\r\n\x1a but not much else");
  ProcessResult damaged = Vmpkg({"dump", Path("damaged.vlmrlib")});
  EXPECT_EQ(1, damaged.exit_code);
  EXPECT_EQ("", damaged.out);
  EXPECT_NE(std::string::npos, damaged.err.find("damaged.vlmrlib"));
}

}  // namespace

#endif  // VMPKG_EXE
