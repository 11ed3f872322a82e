// Bounded random-input runs over the text parsers of platform/host: any input
// gives a value or EConvertError, never a crash or another exception; and the
// exact conversions round-trip.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/host/Exception.h"
#include "platform/host/Format.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"
#include "tests/support/TestBudget.h"

using namespace qv;

namespace {

std::string randomText(std::mt19937& rng, std::string_view alphabet, size_t maxLen) {
  std::uniform_int_distribution<size_t> len(0, maxLen);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s(len(rng), ' ');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

}  // namespace

TEST(HostTextFuzz, ParsersRaiseOnlyConvertErrors) {
  std::mt19937 rng(20240305);
  const std::string_view numberChars = "0123456789.-+eE$xX :AaPpMm \t";
  const std::string_view formatChars = "%%%dsfgnmpxue*.:-0123456789 abc";
  const std::string_view patternChars = "ymdhnszacpt/:'\" AMP-";
  auto budget = qv::test::TestBudget::Steps(20000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    std::string s = randomText(rng, numberChars, 24);
    int32_t i32;
    int64_t i64;
    double d;
    (void)TryStrToInt(s, i32);
    (void)TryStrToInt64(s, i64);
    (void)TryStrToFloat(s, d);
    (void)TryStrToCurr(s, i64);
    (void)TryStrToDate(s, d);
    (void)TryStrToTime(s, d);
    (void)TryStrToDateTime(s, d);
    try {
      (void)HostVariant(s).AsInteger();
    } catch (const EVariantError&) {
    }

    std::string f = randomText(rng, formatChars, 12);
    try {
      (void)format(f, {1, "text", 2.5, 3, static_cast<const void*>(nullptr)});
    } catch (const EConvertError&) {
    }

    std::string p = randomText(rng, patternChars, 16);
    double when = std::uniform_real_distribution<double>(-700000, 3000000)(rng);
    (void)FormatDateTime(p, when);
  }
}

TEST(HostTextFuzz, ExactConversionsRoundTrip) {
  std::mt19937_64 rng(7);
  auto budget = qv::test::TestBudget::Steps(20000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    auto v = static_cast<int64_t>(rng());
    ASSERT_EQ(StrToInt64(IntToStr(v)), v);
    ASSERT_EQ(StrToCurr(CurrToStr(v)), v) << v;
    int64_t small = v % 100000000;
    ASSERT_EQ(StrToCurr(CurrToStr(small)), small);
    double date = std::uniform_int_distribution<int32_t>(-693593, 2958465)(rng);
    ASSERT_EQ(StrToDate(DateToStr(date)), date);
    double time = std::uniform_int_distribution<int32_t>(0, SecsPerDay - 1)(rng) / static_cast<double>(SecsPerDay);
    ASSERT_NEAR(StrToTime(TimeToStr(time)), time, 1e-9);
  }
}
