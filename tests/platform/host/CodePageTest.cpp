#include "platform/host/CodePage.h"
#include "tests/support/TestBudget.h"

#include <gtest/gtest.h>

#include <random>

using namespace qv;

TEST(CodePage, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::u16string wide = Cp1252ToUtf16(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(Utf16ToCp1252(wide), all);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  for (int b = 0; b < 256; ++b) {
    uint8_t back = 0;
    ASSERT_TRUE(CharToCp1252(Cp1252ToChar(static_cast<uint8_t>(b)), &back)) << b;
    EXPECT_EQ(back, b);
  }
}

TEST(CodePage, KnownMappings) {
  struct Case {
    uint8_t Byte;
    char16_t Char;
  };
  const Case cases[] = {
      {0x41, u'A'},     {0xD8, 0x00D8}, {0xF8, 0x00F8}, {0x80, 0x20AC}, {0x8A, 0x0160},
      {0x8C, 0x0152},   {0x8E, 0x017D}, {0x9A, 0x0161}, {0x9C, 0x0153}, {0x9E, 0x017E},
      {0x9F, 0x0178},   {0x96, 0x2013}, {0x99, 0x2122}, {0x83, 0x0192}, {0x81, 0x0081},
      {0x8D, 0x008D},   {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D}, {0xA0, 0x00A0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Cp1252ToChar(c.Byte), c.Char) << int(c.Byte);
    EXPECT_EQ(Utf16ToCp1252(std::u16string(1, c.Char)), std::string(1, static_cast<char>(c.Byte)));
  }
  EXPECT_EQ(Cp1252ToUtf8("\xD8"), "\xC3\x98");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
  EXPECT_EQ(Utf8ToCp1252("W1AW \xC3\x98 \xE2\x82\xAC"), "W1AW \xD8 \x80");
}

TEST(CodePage, UnmappableAndMalformedTextBecomesQuestionMarks) {
  uint8_t b = 0;
  EXPECT_FALSE(CharToCp1252(0x0100, &b));
  EXPECT_EQ(Utf16ToCp1252(u"a\u0100b"), "a?b");
  EXPECT_EQ(Utf16ToCp1252(u"\u0080\u009F\u4E00"), "???");  // C1 controls 1252 defines otherwise
  EXPECT_EQ(Utf16ToCp1252(u"x\U0001F600y"), "x?y");          // one pair, one '?'
  EXPECT_EQ(Utf16ToCp1252(std::u16string{u'a', 0xD800, u'b', 0xDC00}), "a?b?");
  EXPECT_EQ(Utf8ToCp1252("\xC4\x80"), "?");                  // U+0100
  EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");                    // cut short
  EXPECT_EQ(Utf8ToCp1252("\xFF" "b"), "?b");
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF"), "??");                 // overlong '/'
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80z"), "???z");          // encoded surrogate
  EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x98\x80"), "?");
}

TEST(CodePage, Utf8AndUtf16) {
  std::u16string w = u"Gr\u00FC\u00DFe \u20AC \U0001F600";
  std::string u8 = Utf16ToUtf8(w);
  EXPECT_EQ(u8, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(u8), w);
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16(""), u"");
}

// Random bytes: decoding never fails, each bad stretch becomes one
// replacement, and valid text survives the trip through UTF-16.
TEST(CodePage, RandomUtf8Input) {
  std::mt19937 rng(3);
  auto budget = qv::test::TestBudget::Steps(3000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    std::string s;
    for (size_t n = rng() % 12; n > 0; --n) s += static_cast<char>(rng() % 256);
    std::string ansi = Utf8ToCp1252(s);
    std::u16string wide = Utf8ToUtf16(s);
    EXPECT_LE(ansi.size(), s.size());
    EXPECT_LE(wide.size(), s.size());
    std::string clean = Utf16ToUtf8(wide);
    EXPECT_EQ(Utf8ToUtf16(clean), wide);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(clean)), clean);
  }
}
