// Variant array access, float to currency, Boolean text, sign, date/time
// encoding and VLMFreeAndNil.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/core/VLMD4Routines.h"
#include "engine/core/VLMExcept.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"
#include "tests/support/EngineErrors.h"

namespace {

using qv::test::MessageOf;

TEST(VLMVarArrayGet, ReadsElementsAndReportsMisuse) {
  const qv::HostVariant list = qv::VarArrayOf({qv::HostVariant(int32_t(7)), qv::HostVariant("K1ABC")});
  EXPECT_EQ(VLMVarArrayGet(list, {0}).AsInteger(), 7);
  EXPECT_EQ(VLMVarArrayGetByIndices(list, {1}).AsString(), "K1ABC");

  qv::HostVariant grid = qv::VarArrayCreate({1, 2, 0, 1}, qv::varInteger);
  grid.PutElement({2, 1}, qv::HostVariant(int32_t(42)));
  EXPECT_EQ(VLMVarArrayGet(grid, {2, 1}).AsInteger(), 42);

  EXPECT_EQ(MessageOf<EVLMException>([] { VLMVarArrayGet(qv::HostVariant(int32_t(1)), {0}); }),
            "Not a variant array - Native error: 10433");
  EXPECT_EQ(MessageOf<EVLMException>([&] { VLMVarArrayGet(grid, {1}); }),
            "Invalid variant array bounds. DimCount = 2, IndexCount = 1 - Native error: 10435");
  EXPECT_EQ(MessageOf<EVLMException>([&] { VLMVarArrayGetByIndices(grid, {1, 1, 1}); }),
            "Invalid variant array bounds. DimCount = 2, IndexCount = 3 - Native error: 10435");
  // An index outside its bounds: 10436 for an array of variants, else 10438.
  EXPECT_EQ(MessageOf<EVLMException>([&] { VLMVarArrayGet(list, {2}); }),
            "Invalid variant array bounds. DimCount = 1, IndexCount = 1 - Native error: 10436");
  EXPECT_EQ(MessageOf<EVLMException>([&] { VLMVarArrayGet(grid, {0, 0}); }),
            "Invalid variant array bounds. DimCount = 2, IndexCount = 2 - Native error: 10438");
}

TEST(VLMFloatToCurr, ScalesRoundsAndChecksTheRangeExactly) {
  int64_t c = -1;
  EXPECT_TRUE(VLMTryFloatToCurr(1.23456, c));
  EXPECT_EQ(c, 12346);
  EXPECT_TRUE(VLMTryFloatToCurr(-1.23454, c));
  EXPECT_EQ(c, -12345);
  EXPECT_TRUE(VLMTryFloatToCurr(0.0, c));
  EXPECT_EQ(c, 0);

  // The largest doubles inside the currency range, either sign.
  EXPECT_TRUE(VLMTryFloatToCurr(922337203685477.5, c));
  EXPECT_EQ(c, INT64_C(9223372036854775000));
  EXPECT_TRUE(VLMTryFloatToCurr(-922337203685477.5, c));
  EXPECT_EQ(c, INT64_C(-9223372036854775000));
  // The next double up scales to just above 2^63 (in double it would round
  // to 2^63 and slip through a test made in double).
  c = 5;
  EXPECT_FALSE(VLMTryFloatToCurr(922337203685477.625, c));
  EXPECT_FALSE(VLMTryFloatToCurr(-922337203685477.625, c));
  EXPECT_FALSE(VLMTryFloatToCurr(std::numeric_limits<double>::quiet_NaN(), c));
  EXPECT_FALSE(VLMTryFloatToCurr(std::numeric_limits<double>::infinity(), c));
  EXPECT_EQ(c, 5) << "a failed conversion leaves the output alone";

  EXPECT_EQ(VLMFloatToCurr(2.5), 25000);
  EXPECT_EQ(MessageOf<EVLMException>([] { VLMFloatToCurr(1e20); }),
            "'1E20' is not a valid currency value - Native error: 10439");
}

TEST(VLMD4Routines, BoolTextAndSign) {
  EXPECT_EQ(VLMBoolToStr(true, true), "True");
  EXPECT_EQ(VLMBoolToStr(false, true), "False");
  EXPECT_EQ(VLMBoolToStr(true), "-1");
  EXPECT_EQ(VLMBoolToStr(false), "0");

  EXPECT_EQ(VLMSign(-0.0), 0);
  EXPECT_EQ(VLMSign(0.0), 0);
  EXPECT_EQ(VLMSign(2.5), 1);
  EXPECT_EQ(VLMSign(-2.5), -1);
  EXPECT_EQ(VLMSign(std::numeric_limits<double>::denorm_min()), 1);
  EXPECT_EQ(VLMSign(-std::numeric_limits<double>::infinity()), -1);
}

TEST(VLMD4Routines, EncodesDatesAndTimesWithinTheirRanges) {
  double v = 0;
  EXPECT_TRUE(VLMTryEncodeDate(1, 1, 1, v));
  EXPECT_EQ(v, -693593.0);
  EXPECT_TRUE(VLMTryEncodeDate(9999, 12, 31, v));
  EXPECT_EQ(v, 2958465.0);
  EXPECT_TRUE(VLMTryEncodeDate(2000, 2, 29, v));
  EXPECT_FALSE(VLMTryEncodeDate(1900, 2, 29, v));
  EXPECT_FALSE(VLMTryEncodeDate(0, 1, 1, v));
  EXPECT_FALSE(VLMTryEncodeDate(10000, 1, 1, v));
  EXPECT_TRUE(VLMTryEncodeTime(23, 59, 59, 999, v));
  EXPECT_EQ(v, 86399999.0 / 86400000.0);
  EXPECT_FALSE(VLMTryEncodeTime(24, 0, 0, 0, v));
  EXPECT_FALSE(VLMTryEncodeTime(0, 0, 0, 1000, v));

  EXPECT_TRUE(VLMTryEncodeDateTime(2024, 3, 5, 18, 0, 0, 0, v));
  EXPECT_EQ(v, qv::EncodeDate(2024, 3, 5) + 0.75);
  // Before day 0 the time still runs forward from the day's midnight, as the
  // host's conversions read it.
  EXPECT_TRUE(VLMTryEncodeDateTime(1800, 1, 1, 12, 0, 0, 0, v));
  EXPECT_EQ(v, -36522.5);
  EXPECT_EQ(qv::FormatDateTime("yyyy-mm-dd hh:nn", v), "1800-01-01 12:00");
  EXPECT_EQ(VLMEncodeDateTime(2024, 3, 5, 6, 0, 0, 0), qv::EncodeDate(2024, 3, 5) + 0.25);

  EXPECT_EQ(MessageOf<qv::EConvertError>([] { VLMEncodeDateTime(2024, 13, 1, 0, 0, 0, 0); }),
            "''2024-13-1 0:0:0.0'' is not a valid date and time");
  EXPECT_EQ(MessageOf<qv::EConvertError>([] { VLMEncodeDateTime(2024, 65535, 1, 7, 8, 65535, 12); }),
            "''2024-?-1 7:8:?.12'' is not a valid date and time");
}

TEST(VLMFreeAndNil, ClearsTheVariableBeforeTheObjectDies) {
  struct Probe {
    Probe*& Var;
    bool* SawNull;
    ~Probe() { *SawNull = Var == nullptr; }
  };
  bool sawNull = false;
  Probe* p = nullptr;
  p = new Probe{p, &sawNull};
  VLMFreeAndNil(p);
  EXPECT_EQ(p, nullptr);
  EXPECT_TRUE(sawNull);

  auto owned = std::make_unique<int>(3);
  VLMFreeAndNil(owned);
  EXPECT_EQ(owned, nullptr);
  int* none = nullptr;
  VLMFreeAndNil(none);  // freeing nothing is fine
}

}  // namespace
