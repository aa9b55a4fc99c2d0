#include "platform/os/command_line.h"

#include <gtest/gtest.h>

#include "platform/base/utf.h"

namespace tavik {
namespace {

TEST(CommandLineTest, SplitsNulSeparatedKeepingEmptyArguments) {
  std::string raw("Tavik\0\0a b\0\"q\"\0\\\\x\\\0", 20);
  EXPECT_EQ(SplitNulSeparated(raw),
            (std::vector<std::string>{"Tavik", "", "a b", "\"q\"", "\\\\x\\"}));
  EXPECT_TRUE(SplitNulSeparated("").empty());
}

TEST(CommandLineTest, RefusesArgumentsThatCannotBeKeptExactly) {
  std::string fits(kArgumentBufferSize - 1, 'a');
  std::string too_long(kArgumentBufferSize, 'a');
  // 341 three-byte characters fill 1023 bytes; one more does not fit.
  std::string wide_fits;
  for (int i = 0; i < 341; ++i) wide_fits += "\xe2\x82\xac";
  struct Case {
    std::vector<std::string> arguments;
    bool accepted;
  } cases[] = {
      {{"Tavik", fits}, true},
      {{"Tavik", too_long}, false},
      {{"Tavik", wide_fits}, true},
      {{"Tavik", wide_fits + "a"}, false},
      {{"Tavik", "ok", "\xff"}, false},
      {{"Tavik", "\xc0\xaf"}, false},                 // overlong "/"
      {{"Tavik", "\xed\xa0\x80"}, false},             // a surrogate
      {{"\xff", "D:\\Lib\\\xc3\xa9.vlmrlib"}, true},  // index 0 is not checked
      {{"Tavik", ""}, true},
  };
  for (const Case& c : cases) {
    auto result = CheckArguments(c.arguments);
    EXPECT_EQ(result.has_value(), c.accepted) << c.arguments.back().size();
    if (result) {
      EXPECT_EQ(*result, c.arguments);
    }
  }
}

TEST(UtfTest, RoundTripsAndRefusesInvalidText) {
  std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  std::u16string wide;
  ASSERT_TRUE(Utf8ToUtf16(text, &wide));
  EXPECT_EQ(wide, u"a\u00e9\u20ac\U0001F600");
  std::string back;
  ASSERT_TRUE(Utf16ToUtf8(wide, &back));
  EXPECT_EQ(back, text);
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)), &back));
  EXPECT_FALSE(Utf8ToUtf16("\xf4\x90\x80\x80", &wide));  // above U+10FFFF
  EXPECT_EQ(Utf8ToUtf16OrReplace("a\xff"), u"a\uFFFD");
  // Lenient forms: ASCII runs before, between and after other text.
  EXPECT_EQ(Utf8ToUtf16OrReplace("ab\xc3\xa9"
                                 "cd\xff"
                                 "e"),
            u"ab\u00e9cd\uFFFDe");
  EXPECT_EQ(Utf16ToUtf8OrReplace(u"ab\u00e9cd"),
            "ab\xc3\xa9"
            "cd");
  EXPECT_EQ(
      Utf16ToUtf8OrReplace(std::u16string(u"x") + char16_t(0xDC00) + u"y"),
      "x\xef\xbf\xbdy");
  EXPECT_EQ(Utf16ToUtf8OrReplace(u""), "");
}

}  // namespace
}  // namespace tavik
