#include "platform/os/Collation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/host/CodePage.h"
#include "tests/support/Locales.h"
#include "tests/support/TestBudget.h"

using namespace qv;

namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// 1252 text from UTF-8 source literals.
std::string A(const char* utf8) { return Utf8ToCp1252(utf8); }

// Strictly increasing, case-sensitive. Checked pairwise, so the order is
// transitive as well.
const char* const kOrdered[] = {
    "",    " ",    "-",     "1",     "10",   "5",     "a",    "A",     "á",    "Á",  "abc",
    "ABC", "abd",  "ae",    "æ",     "Æ",    "apple", "b",    "B",     "co-op", "coop", "e",
    "é",   "É",    "f",     "o",     "O",    "ö",     "Ø",    "p",     "ss",   "ß",  "w1aw",
    "W1AW", "z",   "Zebra", "zebra!",
};

// Results of the listed comparisons, to compare between locales.
std::vector<int> Fingerprint() {
  std::vector<int> r;
  for (const char* a : kOrdered)
    for (const char* b : kOrdered)
      for (bool ic : {false, true}) {
        r.push_back(Sign(CompareText1252(A(a), A(b), ic)));
        r.push_back(Sign(CompareTextWide(Utf8ToUtf16(a), Utf8ToUtf16(b), ic)));
      }
  return r;
}

}  // namespace

TEST(Collation, ListedOrder) {
  EXPECT_LT(CompareText1252("a", "A", false), 0);
  EXPECT_LT(CompareText1252("A", "b", false), 0);
  EXPECT_LT(CompareText1252("b", "B", false), 0);
  EXPECT_LT(CompareText1252("abc", "ABC", false), 0);
  EXPECT_LT(CompareText1252("ABC", "abd", false), 0);
  EXPECT_LT(CompareText1252("co-op", "coop", false), 0);
  EXPECT_GT(CompareText1252("Zebra", "apple", false), 0);
  EXPECT_GT(CompareText1252("5", "10", false), 0);
  EXPECT_LT(CompareText1252("\xE9", "f", false), 0);  // é
  EXPECT_LT(CompareText1252("e", "\xE9", false), 0);
  EXPECT_EQ(CompareText1252("W1AW", "w1aw", true), 0);
  EXPECT_GT(CompareText1252("W1AW", "w1aw", false), 0);
  EXPECT_EQ(CompareText1252("", "", false), 0);
  EXPECT_LT(CompareText1252("", "a", true), 0);
  EXPECT_LT(CompareText1252("ab", "abc", true), 0);  // a prefix sorts first

  const size_t n = std::size(kOrdered);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      int want = i < j ? -1 : i > j ? 1 : 0;
      EXPECT_EQ(Sign(CompareText1252(A(kOrdered[i]), A(kOrdered[j]), false)), want)
          << kOrdered[i] << " vs " << kOrdered[j];
      EXPECT_EQ(Sign(CompareTextWide(Utf8ToUtf16(kOrdered[i]), Utf8ToUtf16(kOrdered[j]), false)),
                want)
          << kOrdered[i] << " vs " << kOrdered[j];
    }
}

TEST(Collation, IgnoreCaseStopsAfterAccents) {
  struct Case {
    const char* A;
    const char* B;
    int CaseSensitive, IgnoreCase;
  };
  const Case cases[] = {
      {"W1AW", "w1aw", 1, 0},  {"abc", "ABC", -1, 0}, {"ÿ", "Ÿ", -1, 0},  {"é", "É", -1, 0},
      {"e", "É", -1, -1},      {"é", "E", 1, 1},      {"ß", "ss", 1, 1},  {"ß", "SS", 1, 1},
      {"ABC", "abd", -1, -1},  {"Œ", "œ", 1, 0},      {"Ø", "O", 1, 1},   {"Ø", "P", -1, -1},
      {"™", "TM", 1, 0},       {"æ", "ae", 1, 1},     {"a b", "ab", -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(CompareText1252(A(c.A), A(c.B), false)), c.CaseSensitive) << c.A << " " << c.B;
    EXPECT_EQ(Sign(CompareText1252(A(c.A), A(c.B), true)), c.IgnoreCase) << c.A << " " << c.B;
    EXPECT_EQ(Sign(CompareTextWide(Utf8ToUtf16(c.A), Utf8ToUtf16(c.B), true)), c.IgnoreCase);
  }
}

TEST(Collation, SpecialCharacters) {
  // Controls weigh nothing; tab and space are not ignored.
  EXPECT_EQ(CompareText1252("a\x01" "b", "ab", false), 0);
  EXPECT_LT(CompareText1252("a\tb", "a b", false), 0);
  // A middle dot right after 'l' weighs like an accent, elsewhere it is punctuation.
  EXPECT_GT(CompareText1252("l\xB7" "a", "la", false), 0);
  EXPECT_GT(CompareText1252("L\xB7" "a", "La", true), 0);
  EXPECT_LT(CompareText1252("x\xB7" "a", "xa", false), 0);
  EXPECT_GT(CompareTextWide(u"l\u00B7a", u"la", false), 0);
  // A Cyrillic letter with a combining breve is its composed letter; Latin
  // letters and combining accents are their composed letters anyway.
  EXPECT_EQ(CompareTextWide(u"\u0418\u0306", u"\u0419", false), 0);
  EXPECT_EQ(CompareTextWide(u"e\u0301", u"\u00E9", false), 0);
  EXPECT_LT(CompareTextWide(u"\u0418", u"\u0419", false), 0);
  // The first base letters: case, accents and ignored characters do not
  // count, an expansion counts as its letters.
  EXPECT_EQ(CompareBaseLetters1252("\xE1" "B\x01" "c", "abd", 2), 0);
  EXPECT_EQ(CompareBaseLetters1252("x\xDF" "z", "xssa", 3), 0);
  EXPECT_GT(CompareBaseLetters1252("x\xDF" "z", "xssa", 4), 0);
}

TEST(Collation, UncoveredCharactersSortAfterByCodePoint) {
  EXPECT_GT(CompareTextWide(u"\u4E00", u"z", false), 0);
  EXPECT_GT(CompareTextWide(u"\u4E00", u"\u2188", false), 0);  // last covered block
  EXPECT_LT(CompareTextWide(u"\u4E00", u"\u4E01", false), 0);
  EXPECT_GT(CompareTextWide(u"\U00010400", u"\uFFFD", false), 0);  // pairs read as one code point
  // Case of uncovered letters: lower first, equal ignoring case, a base-letter
  // difference first.
  EXPECT_LT(CompareTextWide(u"\u0561", u"\u0531", false), 0);  // Armenian ա, Ա
  EXPECT_EQ(CompareTextWide(u"\u0561", u"\u0531", true), 0);
  EXPECT_GT(CompareTextWide(u"\u0531b", u"\u0561a", false), 0);
  EXPECT_LT(CompareTextWide(u"\U00010428", u"\U00010400", false), 0);  // Deseret
  EXPECT_EQ(CompareTextWide(u"\U00010428", u"\U00010400", true), 0);
}

TEST(Collation, SameResultsUnderEveryLocale) {
  std::vector<int> base = Fingerprint();
  const int checked = qv::test::ForEachLocale([&](const char*) {
    EXPECT_EQ(Fingerprint(), base);
    // Swedish puts ö after z; the fixed order does not.
    EXPECT_LT(CompareText1252("\xF6", "z", false), 0);
    EXPECT_LT(CompareText1252("\xE5", "b", true), 0);
    EXPECT_EQ(UpperCase1252("\xE4\xF6\xE5"), "\xC4\xD6\xC5");
  });
  EXPECT_GE(checked, 1);
}

// Model check: on random texts, often sharing a beginning, sort keys order
// as the comparison does, the comparison is antisymmetric, 8-bit and wide
// comparison agree, and the first base letters never contradict it.
TEST(Collation, SortKeysAgreeWithComparison) {
  const std::string alphabet[] = {"a", "A", "b", "B", "e", "\xE9", "\xC9", "-", " ", "1", "5",
                                  "\xDF", "s", "S", "l", "\xB7", "\x01", "\xE6", "\xC6", "\x9F",
                                  "\xFF", "\x80", "'", "o", "\xD8"};
  std::mt19937 rng(7);
  auto text = [&] {
    std::string s;
    for (size_t n = rng() % 5; n > 0; --n) s += alphabet[rng() % std::size(alphabet)];
    return s;
  };
  auto budget = qv::test::TestBudget::Steps(4000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    std::string x = text(), y = text();
    if (rng() % 2) y = x.substr(0, rng() % (x.size() + 1)) + y;
    const size_t weights = rng() % 4;
    const int letters = Sign(CompareBaseLetters1252(x, y, weights));
    ASSERT_EQ(Sign(CompareBaseLettersWide(Cp1252ToUtf16(x), Cp1252ToUtf16(y), weights)), letters);
    for (bool ic : {false, true}) {
      int c = Sign(CompareText1252(x, y, ic));
      ASSERT_TRUE(letters == 0 || letters == c) << x << "|" << y << weights;
      ASSERT_EQ(c, -Sign(CompareText1252(y, x, ic)));
      ASSERT_EQ(Sign(SortKey1252(x, ic).compare(SortKey1252(y, ic))), c) << x << "|" << y << ic;
      std::u16string wx = Cp1252ToUtf16(x), wy = Cp1252ToUtf16(y);
      ASSERT_EQ(Sign(CompareTextWide(wx, wy, ic)), c);
      ASSERT_EQ(SortKeyWide(wx, ic), SortKey1252(x, ic));
    }
  }
  // Uncovered characters, supplementary planes and the largest weights.
  std::vector<std::u16string> wide = {u"", u"a", u"\u4E00", u"\U0010FFFD", u"\U00010400x",
                                      u"\u0531", u"\u0561", u"\uFFFF", u"a\u0301", u"\u00E1"};
  for (const auto& x : wide)
    for (const auto& y : wide)
      for (bool ic : {false, true})
        EXPECT_EQ(Sign(SortKeyWide(x, ic).compare(SortKeyWide(y, ic))),
                  Sign(CompareTextWide(x, y, ic)));
}

TEST(Collation, CaseTables1252) {
  struct Case {
    unsigned char Lower, Upper;
  };
  const Case pairs[] = {{'a', 'A'}, {'z', 'Z'}, {0xE0, 0xC0}, {0xE9, 0xC9}, {0xFE, 0xDE},
                        {0xF8, 0xD8}, {0xFF, 0x9F}, {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}};
  for (const Case& c : pairs) {
    EXPECT_EQ(static_cast<unsigned char>(UpperChar1252(static_cast<char>(c.Lower))), c.Upper);
    EXPECT_EQ(static_cast<unsigned char>(LowerChar1252(static_cast<char>(c.Upper))), c.Lower);
  }
  // No 8-bit upper case: µ, ß; no case at all: digits, signs, ×, ÷.
  for (int same : {0xB5, 0xDF, int{'1'}, int{'-'}, 0xD7, 0xF7, 0x80, 0x81}) {
    EXPECT_EQ(static_cast<unsigned char>(UpperChar1252(static_cast<char>(same))), same) << same;
    EXPECT_EQ(static_cast<unsigned char>(LowerChar1252(static_cast<char>(same))), same);
  }
  int letters = 0;
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    if (UpperChar1252(c) != c) {
      ++letters;
      EXPECT_EQ(LowerChar1252(UpperChar1252(c)), c) << b;
    }
  }
  EXPECT_EQ(letters, 26 + 30 + 4);  // a-z, à-þ less ÷ plus ÿ, and š œ ž
  EXPECT_EQ(UpperCase1252("w1aw stra\xDF" "e \xE9t\xE9"), "W1AW STRA\xDF" "E \xC9T\xC9");
  EXPECT_EQ(LowerCase1252("\x8A\x8C\x8E\x9F"), "\x9A\x9C\x9E\xFF");
}

TEST(Collation, CaseWide) {
  EXPECT_EQ(UpperCaseWide(u"stra\u00DFe \u00FF \u03C3\u03C2"), u"STRA\u00DFE \u0178 \u03A3\u03A3");
  EXPECT_EQ(LowerCaseWide(u"\u0130STANBUL \u0178"), u"istanbul \u00FF");
  EXPECT_EQ(UpperCaseWide(u"\U00010428x"), u"\U00010400X");
  EXPECT_EQ(LowerCaseWide(u"\U00010400"), u"\U00010428");
  std::u16string lone{0xD801, u'a', 0xDC28};
  EXPECT_EQ(UpperCaseWide(lone), (std::u16string{0xD801, u'A', 0xDC28}));
  EXPECT_EQ(UpperCharWide(U'\u0101'), U'\u0100');
  EXPECT_EQ(LowerCharWide(U'\u212A'), U'k');  // Kelvin sign
  EXPECT_EQ(UpperCharWide(U'\u4E00'), U'\u4E00');
  EXPECT_EQ(UpperCharWide(U'\u0149'), U'\u0149');  // no one-to-one upper case
}
