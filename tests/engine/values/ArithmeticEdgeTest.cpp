// Arithmetic at the ends of the ranges of dates, times and time stamps: sums
// and products wrap in 32 bits, quotients that the width cannot hold fail as
// division errors, and conversions of floats that no integer holds fail as
// casts. None of it may reach undefined behaviour (run under UBSan).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "ValueTestSupport.h"
#include "engine/core/VLMVariant.h"

using valuetest::ExpectEngineError;

namespace {

using Var = std::unique_ptr<TVLMVariant>;

Var Date(int32_t d) {
  auto v = std::make_unique<TVLMVariant>();
  v->SetAsDate(d);
  return v;
}
Var Time(int32_t m) {
  auto v = std::make_unique<TVLMVariant>();
  v->SetAsTime(m);
  return v;
}
Var Stamp(int32_t d, int32_t m) {
  auto v = std::make_unique<TVLMVariant>();
  v->SetAsTimeStamp({d, m});
  return v;
}
Var Dbl(double x) {
  auto v = std::make_unique<TVLMVariant>();
  v->SetAsDouble(x);
  return v;
}

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

TEST(VariantArithmeticEdges, DatesAndTimesWrapInThirtyTwoBits) {
  auto d = Date(kMax);
  d->Add(*Date(1));
  EXPECT_EQ(d->GetAsDate(), kMin);
  auto t = Time(kMax);
  t->Add(*Time(1));
  EXPECT_EQ(t->GetAsTime(), kMin);
  auto dm = Date(kMax);
  dm->Multiply(*Date(kMax));
  EXPECT_EQ(dm->GetAsDate(), 1);
  auto tm = Time(kMin);
  tm->Multiply(*Time(-1));
  EXPECT_EQ(tm->GetAsTime(), kMin);
}

TEST(VariantArithmeticEdges, TimeStampCarriesAndWraps) {
  // Milliseconds past a day carry into the days, both sums in 64 bits before
  // they are narrowed.
  auto s = Stamp(kMax, kMax);
  s->Add(*Stamp(kMax, kMax));
  // ms: 4294967294 = 49 days + 61367294 ms; days: 2 * kMax + 49 wraps to 47.
  EXPECT_EQ(s->GetAsTimeStamp().Date, 47);
  EXPECT_EQ(s->GetAsTimeStamp().Time, 61367294);
  auto p = Stamp(kMin, kMin);
  p->Multiply(*Stamp(kMin, kMin));
  // days: 2^62 wraps to 0, plus 2^62 / 86400000 carried days; ms: 2^62 mod 86400000.
  const int64_t ms = int64_t{1} << 62;
  EXPECT_EQ(p->GetAsTimeStamp().Date, static_cast<int32_t>(static_cast<uint32_t>(ms / 86400000)));
  EXPECT_EQ(p->GetAsTimeStamp().Time, static_cast<int32_t>(ms % 86400000));
}

TEST(VariantArithmeticEdges, QuotientsTheWidthCannotHoldAreDivisionErrors) {
  const std::string overflow = "Division error: Integer overflow - Native error: 30128";
  EXPECT_EQ(ExpectEngineError(30128, [] { Date(kMin)->Divide(*Date(-1)); }), overflow);
  EXPECT_EQ(ExpectEngineError(30128, [] { Time(kMin)->Divide(*Time(-1)); }), overflow);
  EXPECT_EQ(ExpectEngineError(30128, [] { Stamp(kMin, 5)->Divide(*Stamp(-1, 1)); }), overflow);
  EXPECT_EQ(ExpectEngineError(30128, [] { Stamp(5, kMin)->Divide(*Stamp(1, -1)); }), overflow);
  EXPECT_EQ(ExpectEngineError(30128, [] { Time(5)->Divide(*Time(0)); }),
            "Division error: Division by zero - Native error: 30128");
  EXPECT_EQ(ExpectEngineError(30128, [] { Stamp(5, 5)->Divide(*Stamp(0, 1)); }),
            "Division error: Division by zero - Native error: 30128");
  // The operand is left as it was.
  auto d = Date(kMin);
  ExpectEngineError(30128, [&] { d->Divide(*Date(-1)); });
  EXPECT_EQ(d->GetAsDate(), kMin);
}

TEST(VariantArithmeticEdges, FloatsNoIntegerHoldsFailAsCasts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ExpectEngineError(30051, [] { Dbl(1e300)->GetAsInteger(); }),
            "Cannot cast from 'FLOAT' to 'INTEGER' - Native error: 30051");
  ExpectEngineError(30051, [&] { Dbl(nan)->GetAsLargeInt(); });
  ExpectEngineError(30051, [&] { Dbl(-inf)->GetAsByte(); });
  ExpectEngineError(30051, [] { Dbl(1e300)->GetAsDate(); });
  ExpectEngineError(30051, [&] { Dbl(inf)->GetAsTime(); });
  ExpectEngineError(30051, [] { Dbl(-1e19)->GetAsTimeStamp(); });
  // A float sum meeting a date is a date; one that leaves the range fails.
  auto d = Date(5);
  ExpectEngineError(30051, [&] { d->Add(*Dbl(1e300)); });
  // The largest doubles below 2^63 still convert.
  EXPECT_EQ(Dbl(9223372036854774784.0)->GetAsLargeInt(), INT64_C(9223372036854774784));
  EXPECT_EQ(Dbl(-9223372036854775808.0)->GetAsLargeInt(), std::numeric_limits<int64_t>::min());
  ExpectEngineError(30051, [] { Dbl(9223372036854775808.0)->GetAsLargeInt(); });
}

}  // namespace
