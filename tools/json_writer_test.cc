#include "tools/json_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace vmpkg {
namespace {

using Json = nlohmann::ordered_json;

std::string Dumped(const Json& doc) {
  return doc.dump(2, ' ', false, Json::error_handler_t::replace);
}

// Writes `doc` through the writer's calls; the values from nesting
// `whole_from` on go through Value as sub-documents.
void Write(const Json& doc, JsonWriter* writer, size_t whole_from) {
  if (writer->depth() >= whole_from) {
    writer->Value(doc);
    return;
  }
  switch (doc.type()) {
    case Json::value_t::object:
      writer->BeginObject();
      for (const auto& [key, value] : doc.items()) {
        writer->Key(key);
        Write(value, writer, whole_from);
      }
      writer->EndObject();
      break;
    case Json::value_t::array:
      writer->BeginArray();
      for (const Json& element : doc) Write(element, writer, whole_from);
      writer->EndArray();
      break;
    case Json::value_t::string:
      writer->String(doc.get_ref<const std::string&>());
      break;
    case Json::value_t::boolean:
      writer->Bool(doc.get<bool>());
      break;
    case Json::value_t::null:
      writer->Null();
      break;
    case Json::value_t::number_integer:
      writer->Int(doc.get<int64_t>());
      break;
    case Json::value_t::number_unsigned:
      writer->UInt(doc.get<uint64_t>());
      break;
    default:
      writer->Value(doc);
      break;
  }
}

// Spaces of their own, each allocated to its size (a write past one is a
// fault the address sanitiser sees, and a `used` beyond it one seen here).
class CheckedSink : public JsonSink {
 public:
  explicit CheckedSink(size_t space_size) : space_size_(space_size) {}
  Space Next(size_t used) override {
    Take(used);
    space_.assign(space_size_, '\0');
    return {space_.data(), space_.size()};
  }
  bool Finish(size_t used) override {
    Take(used);
    space_.clear();
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  void Take(size_t used) {
    EXPECT_LE(used, space_.size());
    text_.append(space_.data(), std::min(used, space_.size()));
  }
  const size_t space_size_;
  std::vector<char> space_;
  std::string text_;
};

// Equal texts, told by the first difference: a long text's diff would take
// longer than the test.
::testing::AssertionResult Same(const std::string& actual,
                                const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() &&
         actual[at] == expected[at]) {
    ++at;
  }
  const size_t from = at < 20 ? 0 : at - 20;
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size()
         << ", first difference at " << at << ": "
         << ::testing::PrintToString(actual.substr(from, 40)) << " vs "
         << ::testing::PrintToString(expected.substr(from, 40));
}

std::string Written(const Json& doc, size_t space_size = 1 << 16,
                    size_t whole_from = std::numeric_limits<size_t>::max()) {
  CheckedSink sink(space_size);
  JsonWriter writer(&sink);
  Write(doc, &writer, whole_from);
  EXPECT_EQ(writer.depth(), 0u);
  EXPECT_TRUE(writer.Finish(stderr));
  return sink.text();
}

// Compares the writer with the dump for `doc`, in spaces of several sizes
// and with its inner parts written whole.
void ExpectSameAsDump(const Json& doc, const std::string& what) {
  const std::string expected = Dumped(doc);
  for (size_t space : {size_t{1}, size_t{3}, size_t{16}, size_t{1} << 16}) {
    ASSERT_TRUE(Same(Written(doc, space), expected))
        << what << ", spaces of " << space;
  }
  for (size_t whole_from : {0, 1, 2, 3}) {
    ASSERT_TRUE(Same(Written(doc, 1 << 16, whole_from), expected))
        << what << ", whole from level " << whole_from;
  }
}

// The texts every place of a document is tried with.
struct OddText {
  const char* name;
  std::string text;
};
std::vector<OddText> OddTexts() {
  std::vector<OddText> texts = {
      {"empty", ""},
      {"plain", "C:/assets/maps/brick.png"},
      {"backslashes", "C:\\assets\\maps\\brick.png"},
      {"quotes", "say \"hi\""},
      {"backslash and quote", "\\\"\\"},
      {"del",
       "a\x7F"
       "b"},
      {"two-byte", "caf\xC3\xA9"},
      {"three-byte", "\xE2\x82\xAC 5"},
      {"four-byte", "\xF0\x9F\x98\x80"},
      {"largest code point", "\xF4\x8F\xBF\xBF"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
      {"overlong slash", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\xAF"},
      {"overlong four-byte", "\xF0\x80\x80\xAF"},
      {"C1",
       "a\xC1\xBF"
       "b"},
      {"surrogate", "\xED\xA0\x80"},
      {"last before surrogates", "\xED\x9F\xBF"},
      {"lone continuation",
       "a\x80"
       "b"},
      {"continuations", "\x80\xBF\x90"},
      {"truncated at end, 2", "ab\xC3"},
      {"truncated at end, 3", "ab\xE2\x82"},
      {"truncated at end, 4", "ab\xF0\x9F\x98"},
      {"truncated in middle", "\xE2\x82x\xF0\x9F\x98y"},
      {"broken then ASCII",
       "\xC3"
       "A"},
      {"broken then lead", "\xE2\xC3\xA9"},
      {"broken then broken lead", "\xF0\x9F\xF0\x9F\x98\x80"},
      {"F5 to FF", "\xF5\xF6\xF7\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF"},
      {"lead at end after valid", "\xC3\xA9\xC3"},
      {"mixed path", "C:\\m\xC3\xA9\\\x01\\x\xE2\x82/\xFF.png"},
      {"long mixed",
       std::string(40, 'a') + "\t\xC3\xA9\"" + std::string(9, 'b')},
  };
  std::string controls;
  for (int c = 0; c < 0x20; ++c) {
    texts.push_back({"control", std::string(1, static_cast<char>(c))});
    controls += static_cast<char>(c);
  }
  texts.push_back({"every control", controls});
  return texts;
}

TEST(JsonWriterTest, OddTextsEverywhereAsDumpPrintsThem) {
  for (const OddText& odd : OddTexts()) {
    const std::string& t = odd.text;
    const std::vector<Json> docs = {
        Json(t),
        Json::array({t}),
        Json::object({{t, t}}),
        Json::object({{"a", Json::array({1, Json::object({{t, Json::array()}}),
                                         t, Json::object()})},
                      {"b", Json::object({{"c", t}, {"d", nullptr}})}}),
        // The folder part of a path, once escaped and once kept.
        Json::array({"dir/" + t + "/x" + t, "dir/" + t + "/y" + t, t + "\\" + t,
                     t + "\\" + t + "z"}),
    };
    for (const Json& doc : docs) ExpectSameAsDump(doc, odd.name);
  }
}

TEST(JsonWriterTest, PreparedKeysAsDumpPrintsThem) {
  std::vector<OddText> keys = OddTexts();
  keys.push_back({"longer than a copy", std::string(40, 'k')});
  for (const OddText& odd : keys) {
    const JsonKey key(odd.text);
    const JsonKey other("other");
    const Json doc =
        Json::object({{odd.text, 1},
                      {"other", Json::array({Json::object({{odd.text, 2}})})}});
    for (size_t space : {size_t{1}, size_t{7}, size_t{40}, size_t{1} << 16}) {
      StringSink sink(space);
      JsonWriter writer(&sink);
      writer.BeginObject();
      writer.Key(key);
      writer.Int(1);
      writer.Key(other);
      writer.BeginArray();
      writer.BeginObject();
      writer.Key(key);
      writer.Int(2);
      writer.EndObject();
      writer.EndArray();
      writer.EndObject();
      ASSERT_TRUE(writer.Finish(stderr));
      ASSERT_TRUE(Same(sink.text(), Dumped(doc))) << odd.name << ", " << space;
    }
  }
}

TEST(JsonWriterTest, ShapesAndScalarsAsDumpPrintsThem) {
  const std::vector<Json> docs = {
      Json::object(),
      Json::array(),
      Json::array(
          {Json::array(), Json::object(), Json::array({Json::array()})}),
      Json::object({{"x", Json::object()}, {"y", Json::array()}}),
      Json(nullptr),
      Json(true),
      Json::array({false, 0, -1, std::numeric_limits<int64_t>::min(),
                   std::numeric_limits<int64_t>::max(),
                   std::numeric_limits<uint64_t>::max()}),
      Json::array({0.5, -0.0, 1e300, 3.0, 1.0 / 3}),
      Json::object({{"v", Json::object({{"d", 2.5}, {"s", "\xFF"}})}}),
  };
  for (const Json& doc : docs) ExpectSameAsDump(doc, Dumped(doc));
}

TEST(JsonWriterTest, DeepNestingAsDumpPrintsIt) {
  // Deeper than the run of spaces the writer keeps.
  for (int levels : {127, 128, 129, 300}) {
    Json doc = "leaf";
    for (int i = 0; i < levels; ++i) {
      doc = i % 2 == 0 ? Json::array({doc, i}) : Json::object({{"k", doc}});
    }
    ASSERT_TRUE(Same(Written(doc), Dumped(doc))) << levels;
    ASSERT_TRUE(Same(Written(doc, 7, 250), Dumped(doc))) << levels;
  }
}

// Bytes weighted towards those the escaper and the UTF-8 reading tell
// apart.
std::string RandomText(std::mt19937* random) {
  static const unsigned char kBytes[] = {
      'a',  'Z',  '/',  '\\', '"',  ' ',  0x00, 0x01, 0x08, 0x09, 0x0A, 0x0C,
      0x0D, 0x1F, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
      0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
  std::uniform_int_distribution<int> length(0, 24), pick(0, 3), any(0, 255),
      listed(0, sizeof kBytes - 1);
  std::string text(static_cast<size_t>(length(*random)), ' ');
  for (char& c : text) {
    const int how = pick(*random);
    c = static_cast<char>(how == 0   ? any(*random)
                          : how == 1 ? 'a' + any(*random) % 26
                                     : kBytes[listed(*random)]);
  }
  return text;
}

Json RandomDocument(std::mt19937* random, int depth) {
  std::uniform_int_distribution<int> kind(0, depth >= 4 ? 2 : 5), count(0, 4);
  switch (kind(*random)) {
    case 0:
    case 1:
      return RandomText(random);
    case 2:
      return static_cast<int64_t>((*random)()) - (1ll << 31);
    case 3: {
      Json array = Json::array();
      for (int n = count(*random); n > 0; --n) {
        array.push_back(RandomDocument(random, depth + 1));
      }
      return array;
    }
    default: {
      Json object = Json::object();
      for (int n = count(*random); n > 0; --n) {
        object[RandomText(random)] = RandomDocument(random, depth + 1);
      }
      return object;
    }
  }
}

TEST(JsonWriterTest, RandomDocumentsAsDumpPrintsThem) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 3000; ++i) {
    const std::string text = RandomText(&random);
    ASSERT_TRUE(Same(Written(Json(text), 5), Dumped(Json(text)))) << i;
  }
  for (int i = 0; i < 1000; ++i) {
    ExpectSameAsDump(RandomDocument(&random, 0),
                     "document " + std::to_string(i));
  }
}

TEST(JsonWriterTest, TextsLongerThanABlock) {
  std::string escapes;
  while (escapes.size() < 200000)
    escapes += "ab\\c\n\"\x01\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF/";
  std::string backslashes;
  while (backslashes.size() < 100000) backslashes += "dir\\";
  const std::vector<std::pair<const char*, std::string>> texts = {
      {"plain", std::string(200000, 'p')},
      {"backslashes", backslashes},
      {"escapes", escapes},
      {"half a block of backslashes",
       std::string(BlockSink::kBlockSize / 2, '\\')},
  };
  for (const auto& [name, text] : texts) {
    const Json doc = Json::array({text, Json::object({{text, text}})});
    for (size_t space : {size_t{5}, size_t{4096}, BlockSink::kBlockSize}) {
      ASSERT_TRUE(Same(Written(doc, space), Dumped(doc)))
          << name << ", " << space;
    }
  }
}

TEST(JsonWriterTest, TextsAcrossSpaceBoundaries) {
  // Every offset of each text against the end of a space.
  const std::vector<std::string> texts = {"abcdefghij", "a\\b\\c\\d",
                                          "\xE2\x82\xAC\xE2\x82\xAC", "x\x01y",
                                          "\xF0\x9F\x98\x80\xF0\x9F"};
  for (const std::string& text : texts) {
    for (size_t pad = 0; pad < 24; ++pad) {
      const Json doc = Json::array({std::string(pad, 'p'), text});
      ASSERT_TRUE(Same(Written(doc, 16), Dumped(doc))) << text << ", " << pad;
    }
  }
}

// A scratch file read back whole.
std::string Contents(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, n);
  }
  return text;
}

TEST(JsonWriterTest, BlockSinkWritesTheDocumentAndRaw) {
  Json doc = Json::array();
  for (int i = 0; i < 20000; ++i) {
    doc.push_back(
        Json::object({{"i", i}, {"p", "C:\\m\\" + std::to_string(i)}}));
  }
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  {
    BlockSink sink(out);
    JsonWriter writer(&sink);
    Write(doc, &writer, std::numeric_limits<size_t>::max());
    writer.Raw("\n");
    EXPECT_TRUE(writer.Finish(err));
    EXPECT_TRUE(writer.Finish(err));
  }
  EXPECT_TRUE(Same(Contents(out), Dumped(doc) + "\n"));
  EXPECT_EQ(Contents(err), "");
  std::fclose(out);
  std::fclose(err);
}

TEST(JsonWriterTest, FinishTellsAFailedWrite) {
  for (size_t entries : {size_t{1}, size_t{100000}}) {
    std::FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    std::FILE* err = std::tmpfile();
    ASSERT_NE(err, nullptr);
    {
      BlockSink sink(full);
      JsonWriter writer(&sink);
      writer.BeginArray();
      for (size_t i = 0; i < entries; ++i) writer.String("C:/a/b");
      writer.EndArray();
      EXPECT_FALSE(writer.Finish(err)) << entries;
      EXPECT_FALSE(writer.Finish(nullptr)) << entries;
    }
    EXPECT_EQ(Contents(err), "vmpkg: can't write the output\n") << entries;
    std::fclose(full);
    std::fclose(err);
  }
}

}  // namespace
}  // namespace vmpkg
