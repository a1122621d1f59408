#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "platform/tick_count.h"

namespace tavrin::platform {
namespace {

const std::u16string kFffd = u"\uFFFD";

TEST(TextTest, ValidTextRoundTripsInBothDirections) {
  const std::string utf8 = "A\xC3\xA9\xE6\x89\x93\xE5\xBC\x80\xF0\x9F\x93\x84z";  // A é 打开 📄 z
  const std::u16string utf16 = u"A\u00E9\u6253\u5F00\U0001F4C4z";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_TRUE(Utf8ToUtf16("").empty());
}

TEST(TextTest, InvalidUtf8BecomesReplacementCharacter) {
  struct Case {
    const char* what;
    std::string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {"lone continuation byte", "a\x80z", u"a" + kFffd + u"z"},
      {"byte FF", "\xFF", kFffd},
      {"C0 overlong lead", "\xC0\xAF", kFffd + kFffd},
      {"overlong three-byte slash", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
      {"encoded surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
      {"truncated at the end", "ab\xE6\x89", u"ab" + kFffd},
      {"truncated before ASCII", "\xF0\x9F\x93z", kFffd + u"z"},
      {"lead byte then lead byte", "\xC3\xC3\xA9", kFffd + u"\u00E9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.input), c.expected) << c.what;
    // Whatever came in, what goes out is valid UTF-8 again.
    const std::string back = Utf16ToUtf8(Utf8ToUtf16(c.input));
    EXPECT_EQ(Utf8ToUtf16(back), c.expected) << c.what;
  }
}

TEST(TextTest, LoneSurrogatesBecomeReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a" + fffd + "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00)}), fffd);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D)}), fffd);  // high surrogate at the end
  // Reversed pair: two lone surrogates, two replacements.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDCC4), char16_t(0xD83D)}), fffd + fffd);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), char16_t(0xDCC4)}), "\xF0\x9F\x93\x84");
}

TEST(TextTest, CutsNeverSplitACharacter) {
  const std::string text = "ab\xE6\x89\x93\xF0\x9F\x93\x84";  // a b 打 📄: 2 + 3 + 4 bytes
  EXPECT_EQ(CutUtf8(text, 100), text);
  EXPECT_EQ(CutUtf8(text, 2), "ab");
  EXPECT_EQ(CutUtf8(text, 3), "ab");
  EXPECT_EQ(CutUtf8(text, 4), "ab");
  EXPECT_EQ(CutUtf8(text, 5), "ab\xE6\x89\x93");
  EXPECT_EQ(CutUtf8(text, 8), "ab\xE6\x89\x93");
  EXPECT_EQ(CutUtf8(text, 9), text);
  EXPECT_EQ(CutUtf8(text, 0), "");
  // Broken input is cut where asked, not eaten backwards.
  EXPECT_EQ(CutUtf8("\x80\x80\x80\x80\x80\x80", 4), "\x80\x80\x80\x80");

  const std::u16string wide = u"ab\U0001F4C4c";
  EXPECT_EQ(CutUtf16(wide, 3), u"ab");
  EXPECT_EQ(CutUtf16(wide, 4), u"ab\U0001F4C4");
  EXPECT_EQ(CutUtf16(wide, 2), u"ab");
  EXPECT_EQ(CutUtf16(wide, 10), wide);
}

TEST(SplitAtTest, PiecesBetweenSeparatorsWithEmptyOnesKept) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitAt("a;b;c", ';'), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(SplitAt("/w/1_5.jpg", ';'), (Pieces{"/w/1_5.jpg"}));
  EXPECT_EQ(SplitAt("", ';'), (Pieces{""}));
  EXPECT_EQ(SplitAt("a;", ';'), (Pieces{"a", ""}));
  EXPECT_EQ(SplitAt(";;", ';'), (Pieces{"", "", ""}));
}

TEST(TickCountTest, FormatsNegativeAboveTwoToThe31) {
  EXPECT_EQ(TickAsSigned(0u), 0);
  EXPECT_EQ(TickAsSigned(0x7FFFFFFFu), 2147483647);
  EXPECT_EQ(TickAsSigned(0x80000000u), -2147483647 - 1);
  EXPECT_EQ(TickAsSigned(0xFFFFFFFFu), -1);
  EXPECT_EQ(std::to_string(TickAsSigned(3000000000u)), "-1294967296");
}

TEST(TickCountTest, CountsMilliseconds) {
  const uint32_t before = TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint32_t elapsed = TickCount() - before;  // unsigned: right across a wrap too
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
}  // namespace tavrin::platform
