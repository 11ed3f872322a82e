// LIKE on 8-bit and wide text (against a naive recursive model), the wide
// comparison and case entry points, digit groups and the fixed-form date and
// time parsers.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>

#include "engine/core/VLMLike.h"
#include "engine/core/VLMStrUtils.h"
#include "platform/host/CodePage.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "tests/support/TestBudget.h"

namespace {

// Both variants must answer alike on text that 1252 and UTF-16 both hold.
bool Like(std::string_view v, std::string_view p, bool ci = false, char esc = 0) {
  const bool narrow = VLMMatchLike(v, p, esc != 0, esc, ci);
  const bool wide = VLMMatchLikeWide(qv::Cp1252ToUtf16(v), qv::Cp1252ToUtf16(p), esc != 0,
                                     qv::Cp1252ToChar(static_cast<uint8_t>(esc)), ci);
  EXPECT_EQ(narrow, wide) << "'" << v << "' LIKE '" << p << "'";
  return narrow;
}

TEST(VLMMatchLike, Wildcards) {
  struct Case {
    const char* Value;
    const char* Pattern;
    bool Match;
  };
  const Case cases[] = {
      {"abc", "a%", true},     {"abc", "%c", true},      {"abc", "a_c", true},   {"abc", "a_", false},
      {"", "%", true},         {"", "_", false},         {"", "", true},         {"a", "", false},
      {"", "a", false},        {"abc", "abc", true},     {"abc", "ab", false},   {"ab", "abc", false},
      {"abc", "%b%", true},    {"abc", "%%%", true},     {"abc", "___", true},   {"abc", "____", false},
      {"ab", "a%%", true},     {"a", "a%%", true},       {"a", "a%_", false},    {"", "%%", true},
      {"aab", "%ab", true},    {"abab", "%ab", true},    {"abac", "%ab", false}, {"xaxb", "%a%b", true},
      {"mississippi", "%iss%ppi", true}, {"mississippi", "m%ss%ss%", true}, {"mississippi", "%ss%ss%ss%", false},
  };
  for (const Case& c : cases) EXPECT_EQ(Like(c.Value, c.Pattern), c.Match) << c.Value << " / " << c.Pattern;
}

TEST(VLMMatchLike, Escape) {
  EXPECT_TRUE(Like("a%b", "a!%b", false, '!'));
  EXPECT_FALSE(Like("axb", "a!%b", false, '!'));
  EXPECT_TRUE(Like("a_b", "a!_b", false, '!'));
  EXPECT_FALSE(Like("axb", "a!_b", false, '!'));
  EXPECT_TRUE(Like("a!b", "a!!b", false, '!'));
  EXPECT_TRUE(Like("50%", "%!%", false, '!'));
  EXPECT_FALSE(Like("50", "%!%", false, '!'));
  // Without an escape '!' is an ordinary character.
  EXPECT_TRUE(Like("a!%b", "a!%b"));
  // An escape that is itself a wildcard keeps the wildcard meaning.
  EXPECT_TRUE(Like("axb", "a%b", false, '%'));
  EXPECT_TRUE(Like("axb", "a_b", false, '_'));
  // A trailing escape stands for itself.
  EXPECT_TRUE(Like("a!", "a!", false, '!'));
  EXPECT_FALSE(Like("ab", "a!", false, '!'));
  // The escape is compared exactly, not by collation.
  EXPECT_FALSE(Like("a%b", "aE%b", true, 'e'));
}

TEST(VLMMatchLike, CharactersCompareByTheFixedCollation) {
  EXPECT_TRUE(Like("ABC", "a%", true));
  EXPECT_FALSE(Like("ABC", "a%", false));
  EXPECT_TRUE(Like("\xC9t\xE9", "\xE9T\xC9", true));   // ÉTÉ / été
  EXPECT_FALSE(Like("\xC9t\xE9", "\xE9T\xC9", false));
  EXPECT_FALSE(Like("ete", "\xE9t\xE9", true));          // accents still count
  EXPECT_TRUE(Like("\x8A\x9C", "\x9A\x8C", true));       // Šœ / šŒ
  EXPECT_TRUE(Like("\xC4rger", "_rger", true));
  // Wide text beyond 1252.
  EXPECT_TRUE(VLMMatchLikeWide(u"\u041F\u0420\u0418\u0412\u0415\u0422", u"\u043F\u0440\u0438%", false, 0, true));
  EXPECT_FALSE(VLMMatchLikeWide(u"\u041F\u0420\u0418\u0412\u0415\u0422", u"\u043F\u0440\u0438%", false, 0, false));
  EXPECT_TRUE(VLMMatchLikeWide(u"\u03A3\u039F\u03A6\u039F\u03A3", u"%\u03C6_\u03C2", false, 0, true));
}

TEST(VLMMatchLike, NulEndsValueAndPattern) {
  using namespace std::string_view_literals;
  EXPECT_TRUE(VLMMatchLike("ab\0cd"sv, "ab"sv, false, 0, false));
  EXPECT_TRUE(VLMMatchLike("abc"sv, "a%\0x"sv, false, 0, false));
  EXPECT_TRUE(VLMMatchLikeWide(u"ab\0cd"sv, u"a_"sv, false, 0, false));
}

// Reference: '%' takes any number of characters, tried one by one.
bool Model(std::string_view v, std::string_view p) {
  if (p.empty()) return v.empty();
  if (p[0] == '%') {
    for (size_t k = 0; k <= v.size(); ++k)
      if (Model(v.substr(k), p.substr(1))) return true;
    return false;
  }
  if (v.empty()) return false;
  if (p[0] != '_' && p[0] != v[0]) return false;
  return Model(v.substr(1), p.substr(1));
}

TEST(VLMMatchLike, AgreesWithTheNaiveModel) {
  std::mt19937 rng(99);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  auto budget = qv::test::TestBudget::Steps(20000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    std::string v, p;
    for (int k = pick(9); k > 0; --k) v += "ab"[pick(2)];
    for (int k = pick(8); k > 0; --k) p += "ab%_"[pick(4)];
    ASSERT_EQ(VLMMatchLike(v, p, false, 0, false), Model(v, p)) << "'" << v << "' LIKE '" << p << "'";
  }
}

TEST(VLMMatchLike, ManyPercentSignsStayLinear) {
  const std::string value(5000, 'a');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(VLMMatchLike(value, "%a%a%a%a%a%a%b", false, 0, false));
  EXPECT_TRUE(VLMMatchLike(value + "b", "%a%a%a%a%a%a%b", false, 0, true));
  EXPECT_FALSE(VLMMatchLikeWide(std::u16string(5000, u'a'), u"%a%a%a%a%a%a%b", false, 0, true));
  EXPECT_FALSE(VLMMatchLike(value, "%_%_%_%_%_%_%b%", false, 0, true));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(VLMStrUtils, WideComparisonAndCase) {
  VLMInitStrUtils();
  const uint32_t ss = VLM_SORT_STRINGSORT;
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, ss, u"abc", -1, u"ABC", -1), VLM_CSTR_LESS_THAN);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, ss | VLM_NORM_IGNORECASE, u"abc", -1, u"ABC", -1),
            VLM_CSTR_EQUAL);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, ss, u"abd", -1, u"ABC", -1), VLM_CSTR_GREATER_THAN);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, 0, u"abcX", 3, u"abcY", 3), VLM_CSTR_EQUAL);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, 0, nullptr, 0, u"", -1), VLM_CSTR_EQUAL);
  // Failures the callers report.
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, 2, u"a", -1, u"a", -1), 0);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, 0, nullptr, 3, u"a", -1), 0);
  EXPECT_EQ(VLMCompareStringW(VLM_LOCALE_USER_DEFAULT, 0, u"a", -2, u"a", -1), 0);

  EXPECT_EQ(VLMWideUpperCase(u"stra\u00DFe \u00E9\u00FF \u03C3\u03C2 q1"), u"STRA\u00DFE \u00C9\u0178 \u03A3\u03A3 Q1");
  EXPECT_EQ(VLMWideLowerCase(u"\u00C0\u00C9\u00CE \u0416 Q1"), u"\u00E0\u00E9\u00EE \u0436 q1");
  EXPECT_EQ(VLMWideUpperCase(u""), u"");
}

TEST(VLMReadDigitGroup, ReadsExactlyCountDigits) {
  uint16_t v = 0;
  int32_t pos = 1;
  EXPECT_TRUE(VLMReadDigitGroup("12:34", 2, v, pos));
  EXPECT_EQ(v, 12);
  EXPECT_EQ(pos, 4);
  EXPECT_TRUE(VLMReadDigitGroup("12:34", 2, v, pos));
  EXPECT_EQ(v, 34);
  EXPECT_EQ(pos, 7);
  // Past the end: no digits.
  EXPECT_FALSE(VLMReadDigitGroup("12:34", 2, v, pos));
  EXPECT_EQ(pos, 8);

  pos = 1;
  v = 9;
  EXPECT_FALSE(VLMReadDigitGroup("123:", 2, v, pos));
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(v, 9) << "a failed read leaves the value alone";
  pos = 1;
  EXPECT_TRUE(VLMReadDigitGroup("65535", 5, v, pos));
  EXPECT_EQ(v, 65535);
  pos = 1;
  EXPECT_FALSE(VLMReadDigitGroup("65536", 5, v, pos));
  pos = 1;
  EXPECT_FALSE(VLMReadDigitGroup(std::string(40, '9'), 40, v, pos));
  pos = 0;
  EXPECT_FALSE(VLMReadDigitGroup("12", 2, v, pos));
  pos = INT32_MAX;
  EXPECT_FALSE(VLMReadDigitGroup("12", 2, v, pos));
  EXPECT_EQ(pos, INT32_MAX);
}

TEST(VLMTryParseText, FixedFormsOnly) {
  const double day = qv::EncodeDate(2024, 3, 5);
  for (const char* t : {"2024-03-05", "2024/03/05", "2024 03 05", "2024-03-05 ", "2024.03.05x"}) {
    double v = -1;
    EXPECT_TRUE(VLMTryParseDateText(t, v)) << t;
    EXPECT_EQ(v, day) << t;
  }
  for (const char* t : {"20240305", "2024-3-5", "2024-03-05 12:00", "2024-03-05  ", "", "24-03-05", "2024-03"}) {
    double v = -1;
    EXPECT_FALSE(VLMTryParseDateText(t, v)) << t;
    EXPECT_EQ(v, -1) << t;
  }

  double v = 0;
  EXPECT_TRUE(VLMTryParseTimeText("07:08:09", v));
  EXPECT_EQ(v, qv::EncodeTime(7, 8, 9, 0));
  EXPECT_FALSE(VLMTryParseTimeText("7:08:09", v));
  EXPECT_FALSE(VLMTryParseTimeText("07:08", v));

  EXPECT_TRUE(VLMTryParseDateTimeText("2024-03-05 07:08:09", v));
  EXPECT_EQ(v, day + qv::EncodeTime(7, 8, 9, 0));
  EXPECT_TRUE(VLMTryParseDateTimeText("2024-03-05T07:08:09Z", v));
  EXPECT_TRUE(VLMTryParseDateTimeText("1800-01-01 12:00:00", v));
  EXPECT_EQ(v, -36522.5);
  EXPECT_FALSE(VLMTryParseDateTimeText("2024-03-05", v));
  EXPECT_FALSE(VLMTryParseDateTimeText("2024-03-05 07:08:09.5", v));
}

TEST(VLMTryParseText, ImpossibleValuesRaiseTheEncodingError) {
  double v = 0;
  auto message = [](const std::function<void()>& fn) -> std::string {
    try {
      fn();
    } catch (const qv::EConvertError& e) {
      return e.Message();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { VLMTryParseDateText("2024-13-05", v); }), "Invalid argument to date encode");
  EXPECT_EQ(message([&] { VLMTryParseDateText("2023-02-29", v); }), "Invalid argument to date encode");
  EXPECT_EQ(message([&] { VLMTryParseTimeText("25:00:00", v); }), "Invalid argument to time encode");
  EXPECT_EQ(message([&] { VLMTryParseDateTimeText("2024-13-05 00:00:00", v); }),
            "''2024-13-5 0:0:0.0'' is not a valid date and time");
}

// Bounded random input for the three parsers: a false answer or a
// conversion error, nothing else, and nothing read out of bounds.
TEST(VLMTryParseText, RandomTextFailsCleanly) {
  static const char alphabet[] = "0123456789-: /T\0x";
  static const std::string shape = "2024-03-05 07:08:09";
  std::mt19937 rng(31337);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  int accepted = 0, impossible = 0;
  auto budget = qv::test::TestBudget::Steps(30000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    // Mostly the shape of a date-time with random digits, now and then a
    // random character, cut or lengthened at random.
    std::string t;
    const int len = pick(24);
    for (int k = 0; k < len; ++k) {
      const char s = k < static_cast<int>(shape.size()) ? shape[static_cast<size_t>(k)] : 'x';
      if (pick(12) == 0)
        t += alphabet[pick(sizeof alphabet - 1)];
      else if (s >= '0' && s <= '9')
        t += static_cast<char>('0' + pick(10));
      else
        t += s;
    }
    double v = 0;
    for (auto parse : {&VLMTryParseDateText, &VLMTryParseTimeText, &VLMTryParseDateTimeText}) {
      try {
        if (parse(t, v)) ++accepted;
      } catch (const qv::EConvertError&) {
        ++impossible;
      }
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(impossible, 0);
}

}  // namespace
