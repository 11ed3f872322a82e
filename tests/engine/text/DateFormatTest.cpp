// TDateFormater: compiling patterns, formatting, parsing, result size and type.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMDateFormat.h"
#include "engine/core/VLMExcept.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

double At(int32_t y, int32_t m, int32_t d, int32_t h = 0, int32_t n = 0, int32_t s = 0) {
  return qv::EncodeDate(y, m, d) + qv::EncodeTime(h, n, s, 0);
}

std::vector<TDateFormatType> Kinds(const TDateFormater& f) {
  std::vector<TDateFormatType> k;
  for (const auto& e : f.Elements()) k.push_back(e.Kind);
  return k;
}

using qv::test::MessageOf;

TEST(TDateFormater, EveryTokenIsRecognisedLongestFirstInAnyCase) {
  TDateFormater f("YYYY|YY|YEAR|Q|MONTH|MON|MM|M|RM|DDD|DD|DAY|DY|DW|D|HH12|HH24|HH|H12|H24|H|NN|N|SS|S|AMPM");
  std::vector<TDateFormatType> expected;
  for (TDateFormatType k = 0; k <= dfAMPM; ++k) {
    if (k > 0) expected.push_back(dfLiteral);
    expected.push_back(k);
  }
  EXPECT_EQ(Kinds(f), expected);
  EXPECT_EQ(Kinds(TDateFormater("yyyy-Mm-dD")), Kinds(TDateFormater("YYYY-MM-DD")));
  // MMDD is MM then DD, not four single letters.
  EXPECT_EQ(Kinds(TDateFormater("MMDD")), (std::vector<TDateFormatType>{dfMM, dfDD}));
  // The token keeps the text as written.
  EXPECT_EQ(TDateFormater("yyyy").Elements()[0].Text, "yyyy");
}

TEST(TDateFormater, QuotedTextIsLiteral) {
  TDateFormater f("'Year' YYYY");
  ASSERT_EQ(Kinds(f), (std::vector<TDateFormatType>{dfLiteral, dfLiteral, dfYYYY}));
  EXPECT_EQ(f.Elements()[0].Text, "Year");
  EXPECT_EQ(f.DateTimeToStr(At(2024, 3, 5)), "Year 2024");

  // The other quote kind inside a run is an ordinary character; an empty
  // quoted run is an empty literal; an open run at the end is kept.
  TDateFormater g("\"it's\"''YY'open");
  ASSERT_EQ(g.Elements().size(), 4u);
  EXPECT_EQ(g.Elements()[0].Text, "it's");
  EXPECT_EQ(g.Elements()[1].Text, "");
  EXPECT_EQ(g.Elements()[2].Kind, dfYY);
  EXPECT_EQ(g.Elements()[3].Text, "open");
  EXPECT_EQ(g.DateTimeToStr(At(2024, 3, 5)), "it's24open");
}

TEST(TDateFormater, FormatsEveryElement) {
  // Tuesday 2024-03-05 13:07:09, day 65 of a leap year.
  TDateFormater f("YYYY|YY|YEAR|Q|MONTH|MON|MM|M|RM|DDD|DD|DAY|DY|DW|D|HH12|HH24|HH|H12|H24|H|NN|N|SS|S|AMPM");
  EXPECT_EQ(f.DateTimeToStr(At(2024, 3, 5, 13, 7, 9)),
            "2024|24|2024|1|March|Mar|03|3|III|Tue|05|Tuesday|65|2|5|01|13|01|1|13|1|07|7|09|9|PM");
  EXPECT_EQ(TDateFormater("YYYY-MM-DD").DateTimeToStr(At(2024, 3, 5)), "2024-03-05");
  EXPECT_EQ(TDateFormater("RM Q DW DY").DateTimeToStr(At(2023, 12, 31)), "XII 4 7 365");
}

TEST(TDateFormater, TwelveHourElementsGiveZeroAtNoonAndMidnight) {
  TDateFormater f("HH12 HH H12 H AMPM");
  EXPECT_EQ(f.DateTimeToStr(At(2024, 1, 1, 12, 30)), "00 00 0 0 PM");
  EXPECT_EQ(f.DateTimeToStr(At(2024, 1, 1, 0, 30)), "00 00 0 0 AM");
  EXPECT_EQ(f.DateTimeToStr(At(2024, 1, 1, 23, 30)), "11 11 11 11 PM");
}

TEST(TDateFormater, ParsesNumbersAndYears) {
  TDateFormater ymd("YYYY-MM-DD");
  EXPECT_EQ(ymd.StrToDateTime("2024-03-05"), At(2024, 3, 5));
  EXPECT_EQ(TDateFormater("YY-MM-DD").StrToDateTime("29-01-02"), At(2029, 1, 2));
  EXPECT_EQ(TDateFormater("YY-MM-DD").StrToDateTime("30-01-02"), At(1930, 1, 2));
  EXPECT_EQ(TDateFormater("M/D/YYYY").StrToDateTime("3/5/2024"), At(2024, 3, 5));
  EXPECT_EQ(TDateFormater("M/D/YYYY").StrToDateTime("12/25/2024"), At(2024, 12, 25));
  EXPECT_EQ(TDateFormater("YYYY Q").StrToDateTime("2024 3"), 0.0);  // day still 0
  EXPECT_EQ(TDateFormater("YYYY Q DD").StrToDateTime("2024 3 09"), At(2024, 7, 9));
  // Year alone: month and day stay 0, so the date is day 0.
  EXPECT_EQ(TDateFormater("YYYY").StrToDateTime("2024"), 0.0);
  // A time-only pattern gives a pure time.
  EXPECT_EQ(TDateFormater("HH24:NN:SS").StrToDateTime("13:07:09"), qv::EncodeTime(13, 7, 9, 0));
  // Literals are skipped by length, not compared.
  EXPECT_EQ(TDateFormater("YYYY'abc'MM-DD").StrToDateTime("2024xyz03-05"), At(2024, 3, 5));
}

TEST(TDateFormater, SingleLetterHoursReadOneOrTwoDigits) {
  EXPECT_EQ(TDateFormater("H:NN").StrToDateTime("7:30"), qv::EncodeTime(7, 30, 0, 0));
  EXPECT_EQ(TDateFormater("H:NN").StrToDateTime("11:30"), qv::EncodeTime(11, 30, 0, 0));
  EXPECT_EQ(TDateFormater("H12:NN AMPM").StrToDateTime("7:30 pm"), qv::EncodeTime(19, 30, 0, 0));
  EXPECT_EQ(TDateFormater("H24:N:S").StrToDateTime("9:5:7"), qv::EncodeTime(9, 5, 7, 0));
}

TEST(TDateFormater, AmPm) {
  TDateFormater f("HH AMPM");
  EXPECT_EQ(f.StrToDateTime("07 PM"), qv::EncodeTime(19, 0, 0, 0));
  EXPECT_EQ(f.StrToDateTime("07 am"), qv::EncodeTime(7, 0, 0, 0));
  // The formatter's own noon and midnight read back.
  EXPECT_EQ(f.StrToDateTime("00 PM"), qv::EncodeTime(12, 0, 0, 0));
  EXPECT_EQ(f.StrToDateTime("00 AM"), 0.0);
  // 12 comes before 1 on a 12-hour clock.
  EXPECT_EQ(f.StrToDateTime("12 AM"), 0.0);
  EXPECT_EQ(f.StrToDateTime("12 PM"), qv::EncodeTime(12, 0, 0, 0));
  TDateFormater h24("HH24:NN AMPM");
  EXPECT_EQ(h24.StrToDateTime(h24.DateTimeToStr(At(2024, 1, 1, 12, 15))), qv::EncodeTime(12, 15, 0, 0));

  EXPECT_EQ(MessageOf<EVLMException>([&] { f.StrToDateTime("07 XM"); }),
            "AM/PM word expected, but 'XM' found - Native error: 30129");
  EXPECT_EQ(MessageOf<EVLMException>([&] { f.StrToDateTime("07 P"); }),
            "AM/PM word expected, but 'P' found - Native error: 30129");
}

TEST(TDateFormater, NamesAreReadAndSetTheMonth) {
  EXPECT_EQ(TDateFormater("DAY, MONTH D YYYY").StrToDateTime("tuesday, march 5 2024"), At(2024, 3, 5));
  EXPECT_EQ(TDateFormater("DDD DD-MON-YYYY").StrToDateTime("TUE 05-MAR-2024"), At(2024, 3, 5));
  EXPECT_EQ(TDateFormater("DAY DD MONTH YYYY").StrToDateTime("Wednesday 01 May 2024"), At(2024, 5, 1));
  TDateFormater roman("D.RM.YYYY");
  EXPECT_EQ(roman.StrToDateTime("5.xii.2024"), At(2024, 12, 5));
  EXPECT_EQ(roman.StrToDateTime("5.IV.2024"), At(2024, 4, 5));
  EXPECT_EQ(roman.StrToDateTime("5.VIII.2024"), At(2024, 8, 5));
  EXPECT_EQ(roman.StrToDateTime("5.I.2024"), At(2024, 1, 5));

  EXPECT_EQ(MessageOf<qv::EConvertError>([] { TDateFormater("DD MON YYYY").StrToDateTime("05 Foo 2024"); }),
            "'Foo' is not a valid month name");
  EXPECT_EQ(MessageOf<qv::EConvertError>([] { TDateFormater("DAY").StrToDateTime("Someday"); }),
            "'Someday' is not a valid day name");
  EXPECT_EQ(MessageOf<qv::EConvertError>([] { TDateFormater("RM").StrToDateTime("Q"); }),
            "'Q' is not a valid Roman month");
}

TEST(TDateFormater, DayOfYearAndWeekdaySkipTheirDigits) {
  TDateFormater f("DY/DW/YYYY-MM-DD");
  EXPECT_EQ(f.StrToDateTime("7/7/2024-01-07"), At(2024, 1, 7));
  EXPECT_EQ(f.StrToDateTime("366/2/2024-12-31"), At(2024, 12, 31));
  EXPECT_EQ(MessageOf<qv::EConvertError>([&] { f.StrToDateTime("x/2/2024-12-31"); }),
            "'x' is not a valid integer value");
}

TEST(TDateFormater, BadTextRaisesConversionErrors) {
  TDateFormater f("YYYY-MM-DD HH24:NN");
  EXPECT_EQ(MessageOf<qv::EConvertError>([&] { f.StrToDateTime("20x4-01-01 00:00"); }),
            "'20x4' is not a valid integer value");
  // Running out of text is a missing number.
  EXPECT_EQ(MessageOf<qv::EConvertError>([&] { f.StrToDateTime("2024-01"); }), "'' is not a valid integer value");
  EXPECT_EQ(MessageOf<qv::EConvertError>([&] { f.StrToDateTime("2024-02-30 00:00"); }),
            "Invalid argument to date encode");
  EXPECT_EQ(MessageOf<qv::EConvertError>([&] { f.StrToDateTime("2024-02-03 25:00"); }),
            "Invalid argument to time encode");
  // Signs and blanks are not digits.
  EXPECT_THROW(f.StrToDateTime("2024--1-01 00:00"), qv::EConvertError);
  EXPECT_THROW(f.StrToDateTime("2024- 1-01 00:00"), qv::EConvertError);
  // Quarter 0 names no month.
  EXPECT_THROW(TDateFormater("YYYY Q DD").StrToDateTime("2024 0 01"), qv::EConvertError);
}

TEST(TDateFormater, RoundTripsItsOwnText) {
  const char* patterns[] = {"YYYY-MM-DD HH24:NN:SS", "DAY, DD MONTH YYYY H12:N:S AMPM",
                            "DY DW D.RM.YY HH12.NN.SS AMPM", "DDD M/D/YEAR H24 N S", "YYYYMMDDHH24NNSS"};
  std::mt19937 rng(20240305);
  std::uniform_int_distribution<int32_t> day(0, 99 * 365), sec(0, 86399);
  for (const char* p : patterns) {
    TDateFormater f(p);
    auto budget = qv::test::TestBudget::Steps(300);
    for (int64_t i = 0; budget.Continue(i); ++i) {
      const int32_t s = sec(rng);
      const double v = At(1930, 1, 1) + day(rng) + qv::EncodeTime(s / 3600, s / 60 % 60, s % 60, 0);
      const std::string text = f.DateTimeToStr(v);
      ASSERT_EQ(f.StrToDateTime(text), v) << p << ": " << text;
    }
  }
}

TEST(TDateFormater, DatesBeforeDayZeroKeepTheirTime) {
  TDateFormater f("YYYY-MM-DD HH24:NN");
  const double v = f.StrToDateTime("1800-01-01 12:00");
  EXPECT_EQ(v, -36522.5);
  EXPECT_EQ(f.DateTimeToStr(v), "1800-01-01 12:00");
}

TEST(TDateFormater, MaxLengthCoversEveryText) {
  EXPECT_EQ(TDateFormater("YYYY-MM-DD HH24:NN:SS").GetMaxLength(), 19);
  EXPECT_EQ(TDateFormater("DAY, MONTH DD").GetMaxLength(), 12 + 2 + 9 + 1 + 2);
  EXPECT_EQ(TDateFormater("Q RM MON DDD").GetMaxLength(), 1 + 1 + 4 + 1 + 3 + 1 + 3);
  EXPECT_EQ(TDateFormater("DY").GetMaxLength(), 3);
  EXPECT_EQ(TDateFormater("").GetMaxLength(), 0);
  // Every single element, over every day of a leap year at two hours.
  for (TDateFormatType k = 0; k < dfLiteral; ++k) {
    TDateFormater f(TDateFormater("YYYY|YY|YEAR|Q|MONTH|MON|MM|M|RM|DDD|DD|DAY|DY|DW|D|HH12|HH24|HH|H12|H24|"
                                  "H|NN|N|SS|S|AMPM")
                        .Elements()[k * 2u]
                        .Text);
    ASSERT_EQ(f.Elements().size(), 1u);
    for (int32_t d = 0; d < 366; ++d)
      for (int32_t h : {0, 23}) {
        const double v = At(2024, 1, 1) + d + qv::EncodeTime(h, 59, 59, 0);
        ASSERT_LE(static_cast<int32_t>(f.DateTimeToStr(v).size()), f.GetMaxLength()) << int(k) << " " << d;
      }
  }
}

TEST(TDateFormater, DataTypeFollowsTheElements) {
  EXPECT_EQ(TDateFormater("YYYY-MM-DD").GetDataType(), dtDate);
  EXPECT_EQ(TDateFormater("DW").GetDataType(), dtDate);
  EXPECT_EQ(TDateFormater("HH24:NN").GetDataType(), dtTime);
  EXPECT_EQ(TDateFormater("AMPM").GetDataType(), dtTime);
  EXPECT_EQ(TDateFormater("YYYY HH24").GetDataType(), dtDateTime);
  EXPECT_EQ(TDateFormater("'only text'").GetDataType(), dtDateTime);
  EXPECT_EQ(TDateFormater("").GetDataType(), dtDateTime);
}

// Random patterns and random text: parsing either succeeds or raises one of
// the conversion errors, never anything else.
TEST(TDateFormater, RandomPatternsAndTextFailCleanly) {
  static const char* pieces[] = {"YYYY", "YY", "YEAR", "Q", "MONTH", "MON", "MM", "M", "RM", "DDD", "DD",
                                 "DAY", "DY", "DW", "D", "HH12", "HH24", "HH", "H12", "H24", "H", "NN",
                                 "N", "SS", "S", "AMPM", "-", ":", " ", "'", "\"", "x", "'lit'"};
  static const char alphabet[] = "0123456789 -:/.'\"apmAPMxivIVXjanJANmonMONtueTUEday";
  std::mt19937 rng(4711);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  int parsed = 0;
  auto budget = qv::test::TestBudget::Steps(4000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    std::string pattern;
    for (int k = pick(7); k > 0; --k) pattern += pieces[pick(std::size(pieces))];
    TDateFormater f(pattern);
    for (int j = 0; j < 5; ++j) {
      std::string text;
      for (int k = pick(24); k > 0; --k) text += alphabet[pick(sizeof alphabet - 1)];
      try {
        const double v = f.StrToDateTime(text);
        ++parsed;
        (void)f.DateTimeToStr(v);
      } catch (const qv::Exception&) {
      }
    }
    // Values outside the calendar format without fault too.
    for (double v : {1e300, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                     -700000.0, 3e6})
      (void)f.DateTimeToStr(v);
  }
  EXPECT_GT(parsed, 0);
}

}  // namespace
