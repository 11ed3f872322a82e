// VLMDecimalRound / VLMRoundDecimal in all ten modes, against a model that
// rounds exact decimal values with integer arithmetic.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>

#include "engine/core/VLMDecimalRounding.h"
#include "tests/support/TestBudget.h"

namespace {

double R(double v, int32_t digits, TVLMRoundingMode mode) {
  return static_cast<double>(VLMRoundDecimal(v, digits, mode));
}

TEST(VLMRoundDecimal, HalvesInEachMode) {
  EXPECT_EQ(R(2.5, 0, drHalfEven), 2);
  EXPECT_EQ(R(3.5, 0, drHalfEven), 4);
  EXPECT_EQ(R(2.5, 0, drHalfUp), 3);
  EXPECT_EQ(R(3.5, 0, drHalfUp), 4);
  EXPECT_EQ(R(2.5, 0, drHalfDown), 2);
  EXPECT_EQ(R(3.5, 0, drHalfDown), 3);

  EXPECT_EQ(R(-2.5, 0, drHalfPos), -2);
  EXPECT_EQ(R(-2.5, 0, drHalfNeg), -3);
  EXPECT_EQ(R(-2.5, 0, drHalfUp), -3);
  EXPECT_EQ(R(-2.5, 0, drHalfDown), -2);
  EXPECT_EQ(R(-2.5, 0, drHalfEven), -2);
  EXPECT_EQ(R(2.5, 0, drHalfPos), 3);
  EXPECT_EQ(R(2.5, 0, drHalfNeg), 2);

  // 2.675 is held slightly below 2.675; the tolerance still sees a half.
  EXPECT_EQ(R(2.675, 2, drHalfUp), 2.68);
  EXPECT_EQ(R(2.675, 2, drHalfDown), 2.67);
  EXPECT_EQ(R(1234.5, -2, drHalfUp), 1200);
  EXPECT_EQ(R(1250, -2, drHalfEven), 1200);
  EXPECT_EQ(R(1350, -2, drHalfEven), 1400);
}

TEST(VLMRoundDecimal, DirectedModes) {
  EXPECT_EQ(R(1.2, 0, drRndPos), 2);
  EXPECT_EQ(R(1.2, 0, drRndNeg), 1);
  EXPECT_EQ(R(1.2, 0, drRndUp), 2);
  EXPECT_EQ(R(1.2, 0, drRndDown), 1);
  EXPECT_EQ(R(-1.2, 0, drRndPos), -1);
  EXPECT_EQ(R(-1.2, 0, drRndNeg), -2);
  EXPECT_EQ(R(-1.2, 0, drRndUp), -2);
  EXPECT_EQ(R(-1.2, 0, drRndDown), -1);
  // Whole values stay in every directed mode.
  for (TVLMRoundingMode m : {drRndNeg, drRndPos, drRndDown, drRndUp}) {
    EXPECT_EQ(R(3.0, 0, m), 3) << int(m);
    EXPECT_EQ(R(-3.0, 0, m), -3) << int(m);
    EXPECT_EQ(R(0.0, 0, m), 0) << int(m);
    EXPECT_EQ(R(0.1, 1, m), 0.1) << int(m);
  }
  // A code of 10 or more rounds to nearest, ties to even, with no tolerance.
  EXPECT_EQ(R(2.5, 0, 10), 2);
  EXPECT_EQ(R(2.51, 0, 200), 3);
}

TEST(VLMRoundDecimal, UnroundableValuesComeBackUnchanged) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(R(nan, 2, drHalfUp)));
  EXPECT_EQ(R(inf, 2, drHalfUp), inf);
  EXPECT_EQ(R(-inf, 0, drRndNeg), -inf);
  EXPECT_EQ(R(1.23456, 2, drNone), 1.23456);
  // Scaled beyond a 64-bit integer.
  EXPECT_EQ(R(1e300, 2, drHalfUp), 1e300);
  EXPECT_EQ(R(-1e19, 0, drHalfEven), -1e19);
  EXPECT_EQ(R(1e17, 3, drRndNeg), 1e17);
}

TEST(VLMRoundDecimal, DigitsNearTheEndOfThePrecisionAddNoNoise) {
  EXPECT_EQ(R(1.5, 15, drHalfEven), 1.5);
  EXPECT_EQ(R(1.5, 15, drHalfUp), 1.5);
  EXPECT_EQ(R(0.3, 16, drHalfUp), 0.3);
  EXPECT_EQ(R(0.3, 16, drRndNeg), 0.3);
  EXPECT_EQ(R(0.1, 17, drRndPos), 0.1);
  EXPECT_EQ(R(1e16, 0, drRndNeg), 1e16);
  EXPECT_EQ(R(-1e16, 0, drRndUp), -1e16);
  EXPECT_EQ(R(10000000000000002.0, -1, drHalfUp), 1e16);
  EXPECT_EQ(R(10000000000000008.0, -1, drHalfUp), 10000000000000010.0);
}

TEST(VLMRoundDecimal, ExtremeDigitCountsAreQuickAndFinite) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(R(5.25, INT32_MAX, drHalfUp), 5.25);
  EXPECT_EQ(R(0.0, INT32_MAX, drHalfUp), 0.0);
  EXPECT_EQ(R(5.25, INT32_MIN, drHalfUp), 0.0);
  EXPECT_EQ(R(5.25, -400, drHalfEven), 0.0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Integer model: n / 10^(d+1) rounded to d decimals is q or q+1 (toward the
// sign) where n = 10q + r; the mode and r decide which.
int64_t ModelRound(int64_t n, TVLMRoundingMode mode) {
  const int64_t an = n < 0 ? -n : n;
  const int64_t q = an / 10, r = an % 10;
  const bool neg = n < 0;
  bool away;  // away from zero?
  switch (mode) {
    case drHalfEven: away = r > 5 || (r == 5 && (q & 1) != 0); break;
    case drHalfPos: away = neg ? r > 5 : r >= 5; break;
    case drHalfNeg: away = neg ? r >= 5 : r > 5; break;
    case drHalfDown: away = r > 5; break;
    case drHalfUp: away = r >= 5; break;
    case drRndNeg: away = neg && r > 0; break;
    case drRndPos: away = !neg && r > 0; break;
    case drRndDown: away = false; break;
    case drRndUp: away = r > 0; break;
    default: away = false; break;
  }
  const int64_t m = q + (away ? 1 : 0);
  return neg ? -m : m;
}

TEST(VLMRoundDecimal, MatchesExactDecimalRounding) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<int64_t> mag(-99999999, 99999999);
  const double pow10[] = {1, 10, 100, 1000, 10000, 100000};
  auto budget = qv::test::TestBudget::Steps(20000);
  for (int64_t i = 0; budget.Continue(i); ++i) {
    int64_t n = mag(rng);
    if (i % 3 == 0) n = n / 10 * 10 + (n < 0 ? -5 : 5);  // plenty of exact halves
    const int32_t d = static_cast<int32_t>(i % 5);
    const auto mode = static_cast<TVLMRoundingMode>(1 + i % 9);
    const double v = static_cast<double>(n) / pow10[d + 1];
    const long double got = VLMRoundDecimal(v, d, mode);
    const long double scaled = got * static_cast<long double>(pow10[d]);
    ASSERT_EQ(std::llrint(scaled), ModelRound(n, mode)) << v << " to " << d << " in " << int(mode);
    ASSERT_LT(std::fabs(scaled - std::nearbyint(scaled)), 1e-6L);
  }
}

TEST(VLMDecimalRounding, TablesAndPredicates) {
  EXPECT_EQ(std::bit_cast<uint64_t>(VLMDefaultMaxRelErr()), 0x3CC3C0000001E5EDull);
  EXPECT_EQ(VLMRoundingModes[0].Name, "None");
  EXPECT_EQ(VLMRoundingModes[1].Description, "Round to nearest or to even whole number (a.k.a Bankers) ");
  EXPECT_EQ(VLMRoundingModes[7].Description, "Round toward positive. (a.k.a. Ceil ) ");
  EXPECT_EQ(VLMRoundingModes[9].Name, "RndUp");
  EXPECT_EQ(VLMRoundingModes[9].Description, "Round away from zero.");

  EXPECT_TRUE(VLMIsNaNOrInfinite(std::numeric_limits<long double>::quiet_NaN()));
  EXPECT_TRUE(VLMIsNaNOrInfinite(std::numeric_limits<long double>::infinity()));
  EXPECT_TRUE(VLMIsNaNOrInfinite(-std::numeric_limits<long double>::infinity()));
  EXPECT_FALSE(VLMIsNaNOrInfinite(0.0L));
  EXPECT_FALSE(VLMIsNaNOrInfinite(std::numeric_limits<long double>::max()));
  EXPECT_FALSE(VLMIsNaNOrInfinite(std::numeric_limits<long double>::denorm_min()));
  // Through VLMDecimalRound a tolerance of zero still rounds.
  EXPECT_EQ(static_cast<double>(VLMDecimalRound(2.25L, 1, drHalfEven, 0.0)), 2.2);
}

}  // namespace
