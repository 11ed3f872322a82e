#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "tests/support/Locales.h"

using namespace qv;

namespace {

template <class F>
std::string errorText(F&& f) {
  try {
    f();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace

TEST(SysUtils, IntegerText) {
  EXPECT_EQ(IntToStr(-42), "-42");
  EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(-1, 2), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(StrToInt(" 123 "), 123);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(StrToIntDef("x", 5), 5);
  EXPECT_EQ(StrToInt64Def("", -1), -1);
  for (const char* bad : {"", " ", "12a", "1.0", "2147483648", "-2147483649", "--1", "$", "0x", "1 2"}) {
    int32_t v = 0;
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
  }
  EXPECT_EQ(errorText([] { StrToInt("abc"); }), "'abc' is not a valid integer value");
  EXPECT_EQ(errorText([] { StrToInt64("99999999999999999999"); }),
            "'99999999999999999999' is not a valid integer value");
}

TEST(SysUtils, FloatToStrGeneralFormat) {
  struct {
    double v;
    const char* text;
  } cases[] = {
      {0.1, "0.1"},         {100, "100"},          {1e20, "1E20"},        {1.5e-5, "1.5E-5"},
      {-2.5, "-2.5"},       {0, "0"},              {-0.0, "0"},           {0.0001, "0.0001"},
      {0.00001, "1E-5"},    {1e14, "100000000000000"}, {1e15, "1E15"},   {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"}, {1.0 / 3, "0.333333333333333"},
      {0.1 + 0.2, "0.3"},   {2.0 / 3, "0.666666666666667"},  {-1e-300, "-1E-300"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.v), c.text) << c.text;
  EXPECT_EQ(FloatToStrF(1234.5678, FloatFormat::ffFixed, 15, 2), "1234.57");
  EXPECT_EQ(FloatToStrF(1234.5678, FloatFormat::ffNumber, 15, 1), "1,234.6");
  EXPECT_EQ(FloatToStrF(1e20, FloatFormat::ffFixed, 15, 2), "1E20");  // too many integer digits
  EXPECT_EQ(FloatToStrF(12.5, FloatFormat::ffExponent, 4, 2), "1.250E+01");
  EXPECT_EQ(FloatToStrF(9.99, FloatFormat::ffGeneral, 2, 0), "10");
}

TEST(SysUtils, StrToFloat) {
  EXPECT_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_EQ(StrToFloat(" -2.25 "), -2.25);
  EXPECT_EQ(StrToFloat("+3"), 3.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(StrToFloat("5."), 5.0);
  EXPECT_EQ(StrToFloat("1E3"), 1000.0);
  EXPECT_EQ(StrToFloat("1.5e-2"), 0.015);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);
  EXPECT_EQ(StrToFloatDef("x", 7.5), 7.5);
  for (const char* bad : {"", "1,5", "1.2.3", "e5", "1e", "1e+", "inf", "nan", "0x10", "1 5", "-", "."}) {
    double v = 0;
    EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
  }
  EXPECT_EQ(errorText([] { StrToFloat("1e400"); }), "'1e400' is not a valid floating point value");
  EXPECT_EQ(errorText([] { StrToFloat("abc"); }), "'abc' is not a valid floating point value");
  // Round trip through the 15-digit text keeps 15 significant digits.
  for (double v : {0.1, 123.456, -9.87654321e-7, 6.02214076e23, 2.0 / 7}) {
    double back = StrToFloat(FloatToStr(v));
    EXPECT_NEAR(back, v, std::fabs(v) * 1e-14);
  }
}

TEST(SysUtils, Currency) {
  EXPECT_EQ(CurrToStr(15000), "1.5");
  EXPECT_EQ(CurrToStr(-1), "-0.0001");
  EXPECT_EQ(CurrToStr(1000000), "100");
  EXPECT_EQ(CurrToStr(INT64_MIN), "-922337203685477.5808");
  EXPECT_EQ(StrToCurr("1.5"), 15000);
  EXPECT_EQ(StrToCurr("-0.00005"), -1);
  EXPECT_EQ(StrToCurr("0.00004"), 0);
  EXPECT_EQ(StrToCurr("1.23456789"), 12346);
  EXPECT_EQ(StrToCurr("1e3"), 10000000);
  EXPECT_EQ(StrToCurr("922337203685477.5807"), INT64_MAX);
  EXPECT_EQ(StrToCurr("0e99999"), 0);
  int64_t c = 0;
  EXPECT_FALSE(TryStrToCurr("922337203685477.5808", c));
  EXPECT_FALSE(TryStrToCurr("1e30", c));
  EXPECT_EQ(errorText([] { StrToCurr("x"); }), "'x' is not a valid floating point value");
  EXPECT_EQ(FloatToCurr(0.125), 1250);
  EXPECT_EQ(CurrToFloat(12345), 1.2345);
  EXPECT_THROW(FloatToCurr(1e300), EConvertError);
}

TEST(SysUtils, EncodeDecodeDates) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
  EXPECT_EQ(errorText([] { EncodeDate(2001, 2, 29); }), "Invalid argument to date encode");
  EXPECT_EQ(errorText([] { EncodeDate(0, 1, 1); }), "Invalid argument to date encode");
  EXPECT_EQ(errorText([] { EncodeTime(24, 0, 0, 0); }), "Invalid argument to time encode");
  EXPECT_EQ(errorText([] { EncodeTime(1, 60, 0, 0); }), "Invalid argument to time encode");
  // Every day of a span round-trips through encode/decode, across leap years.
  double d = EncodeDate(1895, 1, 1);
  for (int32_t n = 0; n < 365 * 12; ++n, d += 1) {
    int32_t y, m, dd;
    DecodeDate(d, y, m, dd);
    ASSERT_EQ(EncodeDate(y, m, dd), d);
  }
  int32_t y, m, dd, h, mi, s, ms;
  DecodeDate(-1.25, y, m, dd);
  DecodeTime(-1.25, h, mi, s, ms);
  EXPECT_EQ(y * 10000 + m * 100 + dd, 18991229);
  EXPECT_EQ(h, 6);
  DecodeTime(EncodeTime(23, 59, 59, 999), h, mi, s, ms);
  EXPECT_EQ(h * 10000000 + mi * 100000 + s * 1000 + ms, 235959999);
  EXPECT_EQ(DayOfWeek(0), 7);                         // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2);    // Monday
  EXPECT_EQ(DayOfWeek(-1), 6);
  DecodeDate(std::numeric_limits<double>::quiet_NaN(), y, m, dd);
  EXPECT_EQ(y, 0);
  EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
}

TEST(SysUtils, DateTimeText) {
  double dt = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45);
  EXPECT_EQ(DateToStr(dt), "2024-03-05");
  EXPECT_EQ(TimeToStr(dt), "14:07:09");
  EXPECT_EQ(DateTimeToStr(dt), "2024-03-05 14:07:09");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 5)), "2024-03-05");
  EXPECT_EQ(FormatDateTime("yyyymmdd hhnnss.zzz", dt), "20240305 140709.045");
  EXPECT_EQ(FormatDateTime("d/m/yy h:mm", dt), "5-3-24 14:07");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm", dt), "Tue Tuesday Mar March");
  EXPECT_EQ(FormatDateTime("h:nn am/pm", dt), "2:07 pm");
  EXPECT_EQ(FormatDateTime("hh AM/PM", EncodeTime(0, 30, 0, 0)), "12 AM");
  EXPECT_EQ(FormatDateTime("h a/p", dt), "2 p");
  EXPECT_EQ(FormatDateTime("hh ampm", dt), "02 PM");
  EXPECT_EQ(FormatDateTime("'at' hh 'h' \"mm\"", dt), "at 14 h mm");
  EXPECT_EQ(FormatDateTime("c", dt), "2024-03-05 14:07:09");
  EXPECT_EQ(FormatDateTime("ddddd t", dt), "2024-03-05 14:07");
  EXPECT_EQ(FormatDateTime("dddddd", dt), "Tuesday, March 5, 2024");
  EXPECT_EQ(FormatDateTime("yyyy 'open quote", dt), "2024 open quote");

  EXPECT_EQ(StrToDate("2024-03-05"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDate(" 2024-3-5 "), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToTime("14:07:09"), EncodeTime(14, 7, 9, 0));
  EXPECT_EQ(StrToTime("14:07"), EncodeTime(14, 7, 0, 0));
  EXPECT_EQ(StrToTime("2:07 PM"), EncodeTime(14, 7, 0, 0));
  EXPECT_EQ(StrToTime("12:00 am"), 0.0);
  EXPECT_EQ(StrToTime("1:02:03.5"), EncodeTime(1, 2, 3, 500));
  EXPECT_EQ(StrToDateTime("2024-03-05 14:07:09"), dt - EncodeTime(0, 0, 0, 45));
  EXPECT_EQ(StrToDateTime("2024-03-05"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(StrToDateTime("06:00"), 0.25);
  EXPECT_EQ(StrToDateTime("1899-12-29 06:00"), -1.25);
  int32_t y, m, d;
  DecodeDate(StrToDate("24-1-2"), y, m, d);
  EXPECT_EQ(y % 100, 24);
  EXPECT_GE(y, 1950);
  double now = Now();
  DecodeDate(now, y, m, d);
  EXPECT_EQ(StrToDate(IntToStr(m) + "-" + IntToStr(d)), EncodeDate(y, m, d));  // current year
  for (const char* bad : {"", "2024-02-30", "2024/03/05", "2024-03-05x", "2024-03", "abc", "10000-01-01"}) {
    double v = 0;
    EXPECT_FALSE(TryStrToDate(bad, v)) << bad;
  }
  for (const char* bad : {"", "24:00", "12:60", "13:00 PM", "0:30 AM", "1:2:3.4567", "12:", "x"}) {
    double v = 0;
    EXPECT_FALSE(TryStrToTime(bad, v)) << bad;
  }
  EXPECT_EQ(errorText([] { StrToDate("2024-13-01"); }), "'2024-13-01' is not a valid date");
  EXPECT_EQ(errorText([] { StrToTime("25:00"); }), "'25:00' is not a valid time");
  EXPECT_EQ(errorText([] { StrToDateTime("2024-01-01 x"); }), "'2024-01-01 x' is not a valid date and time");
}

TEST(SysUtils, TextHelpers) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
  EXPECT_EQ(UpperCase("abc\xE9"), "ABC\xE9");  // ASCII only
  EXPECT_EQ(LowerCase("ABC\xC9"), "abc\xC9");
  EXPECT_EQ(CompareText("abc", "ABD"), -1);
  EXPECT_EQ(CompareText("ab", "AB"), 0);
  EXPECT_EQ(CompareText("abc", "AB"), 1);
  EXPECT_TRUE(SameText("W1aw", "w1AW"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_LT(CompareStr("A", "a"), 0);
  EXPECT_EQ(QuotedStr("O'Brien"), "'O''Brien'");
  EXPECT_EQ(QuotedStr(""), "''");
}

TEST(SysUtils, IndependentOfTheProcessLocale) {
  qv::test::ForEachLocale([](const char*) {
    EXPECT_EQ(FloatToStr(1.5), "1.5");
    EXPECT_EQ(StrToFloat("1.5"), 1.5);
    EXPECT_EQ(FloatToStrF(1234.5, FloatFormat::ffNumber, 18, 2), "1,234.50");
  });
}
