// Arithmetic on TVLMVariant (null rules, common types, integer overflow and
// the other errors that replace undefined behaviour) and the exchange with
// host variants.
//
// Arithmetic at the ends of the ranges of dates, times and time stamps: sums
// and products wrap in 32 bits, quotients that the width cannot hold fail as
// division errors, and conversions of floats that no integer holds fail as
// casts. None of it may reach undefined behaviour (run under UBSan).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "ValueTestSupport.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMVariant.h"
#include "platform/host/HostVariant.h"

using valuetest::ExpectEngineError;

namespace {

using Var = std::unique_ptr<TVLMVariant>;

template <class Set>
Var Make(Set set, TVLMBaseDataType type = 0) {
  auto v = std::make_unique<TVLMVariant>(type);
  set(*v);
  return v;
}
Var Null(TVLMBaseDataType type) { return std::make_unique<TVLMVariant>(type); }
Var Int(int32_t x) { return Make([x](TVLMVariant& v) { v.SetAsInteger(x); }); }
Var Big(int64_t x) { return Make([x](TVLMVariant& v) { v.SetAsLargeInt(x); }); }
Var Short(int8_t x) { return Make([x](TVLMVariant& v) { v.SetAsShortInt(x); }); }
Var Byte(uint8_t x) { return Make([x](TVLMVariant& v) { v.SetAsByte(x); }); }
Var Word(uint16_t x) { return Make([x](TVLMVariant& v) { v.SetAsWord(x); }); }
Var Card(uint32_t x) { return Make([x](TVLMVariant& v) { v.SetAsCardinal(x); }); }
Var Dbl(double x) { return Make([x](TVLMVariant& v) { v.SetAsDouble(x); }); }
Var Cur(double x) { return Make([x](TVLMVariant& v) { v.SetAsCurrency(x); }); }
Var Str(const char* s) { return Make([s](TVLMVariant& v) { v.SetAsString(s); }); }
Var Date(int32_t d) { return Make([d](TVLMVariant& v) { v.SetAsDate(d); }); }
Var Time(int32_t m) { return Make([m](TVLMVariant& v) { v.SetAsTime(m); }); }
Var Stamp(int32_t d, int32_t m) { return Make([=](TVLMVariant& v) { v.SetAsTimeStamp({d, m}); }); }
Var Bool(bool b) { return Make([b](TVLMVariant& v) { v.SetAsBoolean(b); }); }

}  // namespace

TEST(VariantArithmetic, NullRules) {
  auto ab = Str("ab");
  ab->Add(*Null(bdtString));  // text + null: unchanged
  EXPECT_EQ(ab->GetAsString(), "ab");
  auto n = Null(bdtString);
  n->Add(*ab);  // null text + text: takes the text
  EXPECT_EQ(n->GetAsString(), "ab");
  auto s = Null(bdtString);
  s->Add(*Int(7));  // ... with the other value's type
  EXPECT_EQ(s->DataType, bdtInteger);
  EXPECT_EQ(s->GetAsInteger(), 7);

  auto one = Int(1);
  one->Add(*Null(bdtInteger));
  EXPECT_TRUE(one->IsNull());
  EXPECT_EQ(one->DataType, bdtInteger);
  auto ni = Null(bdtInteger);
  ni->Multiply(*Int(2));
  EXPECT_TRUE(ni->IsNull());
  ni->Add(*Int(2));
  EXPECT_TRUE(ni->IsNull());
  auto two = Int(2);
  two->Divide(*Null(bdtInteger));
  EXPECT_TRUE(two->IsNull());
}

TEST(VariantArithmetic, CommonTypes) {
  auto a = Int(2);
  a->Add(*Str("3"));
  EXPECT_EQ(a->DataType, bdtString);
  EXPECT_EQ(a->GetAsString(), "23");
  EXPECT_EQ(ExpectEngineError(30126, [] { Int(2)->Multiply(*Str("3")); }),
            "Not numeric argument in numeric operator '*' - Native error: 30126");
  EXPECT_EQ(ExpectEngineError(30128, [] { Str("a")->Divide(*Str("3")); }),
            "Division error: Not numeric argument in numeric operator '/' - Native error: 30127"
            " - Native error: 30128");

  auto seven = Int(7);
  seven->Divide(*Int(2));
  EXPECT_EQ(seven->GetAsInteger(), 3);
  auto neg = Int(-7);
  neg->Divide(*Int(2));
  EXPECT_EQ(neg->GetAsInteger(), -3);  // toward zero
  auto f = Dbl(7);
  f->Divide(*Int(2));
  EXPECT_EQ(f->DataType, bdtFloat);
  EXPECT_EQ(f->GetAsDouble(), 3.5);

  // WORD + SHORTINT meet in INTEGER; FLOAT * CURRENCY in CURRENCY.
  auto w = Word(65535);
  w->Add(*Short(1));
  EXPECT_EQ(w->DataType, bdtInteger);
  EXPECT_EQ(w->GetAsInteger(), 65536);
  auto fl = Dbl(2);
  fl->Multiply(*Cur(1.25));
  EXPECT_EQ(fl->DataType, bdtCurrency);
  EXPECT_EQ(fl->GetAsCurrency(), 2.5);
  // Text meets a date as text when combined.
  auto txt = Str("on ");
  txt->Add(*Date(738950));
  EXPECT_EQ(txt->GetAsString(), "on 2024-03-05");
  // LOGICAL meets INTEGER in INTEGER, as 1.
  auto i = Int(5);
  i->Add(*Bool(true));
  EXPECT_EQ(i->GetAsInteger(), 6);
}

TEST(VariantArithmetic, PairsWithoutACommonTypeFailAsCasts) {
  auto blob = Make([](TVLMVariant& v) { v.SetBuffer("ab", 2, bdtBLOB, true); });
  ExpectEngineError(30052, [&] { Int(1)->Add(*blob); });
  EXPECT_EQ(ExpectEngineError(30052, [] { Date(5)->Multiply(*Bool(true)); }),
            "Cannot cast from 'DATE' to 'Unknown' - Native error: 30052");
  ExpectEngineError(30128, [] { Date(5)->Divide(*Bool(true)); });
}

TEST(VariantArithmetic, IntegerResultsTheirTypeCannotHoldAreEngineErrors) {
  struct Case {
    std::function<void()> Run;
    int32_t Code;
    const char* Message;  // "" when only the code matters
  };
  const Case cases[] = {
      {[] { Short(100)->Add(*Short(100)); }, 30840, "Integer overflow: 100 + 100 does not fit the type SHORTINT"},
      {[] { Byte(200)->Add(*Byte(100)); }, 30840, ""},
      {[] { Int(INT32_MAX)->Add(*Int(1)); }, 30840, ""},
      {[] { Big(INT64_MAX)->Add(*Big(INT64_MAX)); }, 30840,
       "Integer overflow: 9223372036854775807 + 9223372036854775807 does not fit the type LARGEINT"},
      {[] { Big(INT64_MAX)->Multiply(*Big(2)); }, 30841, ""},
      {[] { Word(65535)->Multiply(*Word(65535)); }, 30841, ""},
      {[] { Int(-65536)->Multiply(*Int(65536)); }, 30841, ""},
      {[] { Short(-128)->Invert(); }, 30842, "Integer overflow: the negation of -128 does not fit the type SHORTINT"},
      {[] { Int(INT32_MIN)->Invert(); }, 30842, ""},
      {[] { Big(INT64_MIN)->Invert(); }, 30842, ""},
      {[] { Byte(5)->Invert(); }, 30842, ""},
      {[] { Card(1)->Invert(); }, 30842, ""},
  };
  for (const Case& c : cases) {
    const std::string message = ExpectEngineError(c.Code, c.Run);
    if (*c.Message != 0) {
      EXPECT_EQ(message, std::string(c.Message) + " - Native error: " + std::to_string(c.Code));
    }
  }
  // Results at the ends of the ranges are no overflow.
  auto a = Short(-100);
  a->Add(*Short(-28));
  EXPECT_EQ(a->GetAsShortInt(), -128);
  auto b = Int(-65536);
  b->Multiply(*Int(32768));
  EXPECT_EQ(b->GetAsInteger(), INT32_MIN);
  auto u = Card(4000000000u);
  u->Divide(*Card(2));  // unsigned
  EXPECT_EQ(u->GetAsCardinal(), 2000000000u);
  auto m = Short(-128);
  m->Divide(*Short(-1));
  EXPECT_EQ(m->GetAsShortInt(), -128);
}

TEST(VariantArithmetic, DivisionFailuresAreDivisionErrors) {
  EXPECT_EQ(ExpectEngineError(30128, [] { Int(1)->Divide(*Int(0)); }),
            "Division error: Division by zero - Native error: 30128");
  EXPECT_EQ(ExpectEngineError(30128, [] { Int(INT32_MIN)->Divide(*Int(-1)); }),
            "Division error: Integer overflow - Native error: 30128");
  ExpectEngineError(30128, [] { Big(INT64_MIN)->Divide(*Big(-1)); });
  ExpectEngineError(30128, [] { Byte(5)->Divide(*Byte(0)); });
  ExpectEngineError(30128, [] { Date(10)->Divide(*Date(0)); });
  ExpectEngineError(30128, [] { Stamp(10, 0)->Divide(*Stamp(2, 0)); });  // 0 ms / 0 ms
  EXPECT_EQ(ExpectEngineError(30128, [] { Dbl(1)->Divide(*Dbl(0)); }),
            "Division error: Floating point division by zero - Native error: 30128");
  EXPECT_EQ(ExpectEngineError(30128, [] { Dbl(0)->Divide(*Dbl(0)); }),
            "Division error: Invalid floating point operation - Native error: 30128");
  ExpectEngineError(30128, [] { Dbl(1e308)->Divide(*Dbl(1e-10)); });
  // Outside a division the host's own error comes through.
  EXPECT_THROW(Dbl(1e308)->Add(*Dbl(1e308)), EOverflow);
}

TEST(VariantArithmetic, DatesTimesAndLogicals) {
  auto t = Time(23 * 3600000);
  t->Add(*Time(2 * 3600000));
  EXPECT_EQ(t->GetAsTime(), 90000000);  // no wrap at midnight
  auto s = Stamp(10, 80000000);
  s->Add(*Stamp(0, 10000000));
  EXPECT_EQ(s->GetAsTimeStamp().Date, 11);
  EXPECT_EQ(s->GetAsTimeStamp().Time, 3600000);
  auto p = Stamp(3, 50000);
  p->Multiply(*Stamp(2, 50000));  // days * days, ms * ms, then the carry
  EXPECT_EQ(p->GetAsTimeStamp().Date, 6 + 28);
  EXPECT_EQ(p->GetAsTimeStamp().Time, 2500000000LL % 86400000);
  auto d = Date(738950);
  d->Add(*Int(1));
  EXPECT_EQ(d->DataType, bdtDate);
  EXPECT_EQ(d->GetAsDate(), 738951);

  auto tr = Bool(true);
  tr->Multiply(*Bool(false));  // OR
  EXPECT_TRUE(tr->GetAsBoolean());
  auto fa = Bool(false);
  fa->Add(*Bool(false));
  EXPECT_FALSE(fa->GetAsBoolean());
}

TEST(VariantArithmetic, Invert) {
  auto inverted = [](Var v) {
    v->Invert();
    return v;
  };
  EXPECT_EQ(inverted(Byte(0))->GetAsByte(), 0);
  EXPECT_EQ(inverted(Card(0))->GetAsCardinal(), 0u);
  EXPECT_EQ(inverted(Int(5))->GetAsInteger(), -5);
  EXPECT_EQ(inverted(Short(-127))->GetAsShortInt(), 127);
  EXPECT_EQ(inverted(Date(3))->GetAsDate(), -3);
  EXPECT_THROW(Date(VLMEmptyDate)->Invert(), EIntOverflow);
  EXPECT_EQ(inverted(Make([](TVLMVariant& v) { v.SetAsExtended(0.5L); }))->GetAsExtended(), -0.5L);
  EXPECT_EQ(inverted(Cur(2.5))->GetAsCurrency(), -2.5);
  auto l = inverted(Bool(true));
  EXPECT_FALSE(l->GetAsBoolean());
  l->Invert();
  EXPECT_EQ(*static_cast<int16_t*>(l->Data), -1);
  Null(bdtString)->Invert();  // null: left alone
  EXPECT_EQ(ExpectEngineError(30123, [] { Str("a")->Invert(); }),
            "Cannot invert value with not numeric type 'STRING' - Native error: 30123");
  ExpectEngineError(30123, [] { Time(5)->Invert(); });
  ExpectEngineError(30123, [] { Stamp(1, 5)->Invert(); });
}

TEST(VariantHostInterop, SetAsVariant) {
  auto untyped = Null(0);
  untyped->SetAsVariant(qv::HostVariant(static_cast<int16_t>(5)));
  EXPECT_EQ(untyped->DataType, bdtSmallInt);
  EXPECT_EQ(untyped->GetAsSmallInt(), 5);
  auto text = Null(bdtString);
  text->SetAsVariant(qv::HostVariant(static_cast<int16_t>(5)));
  EXPECT_EQ(text->DataType, bdtString);
  EXPECT_EQ(text->GetAsString(), "5");
  auto v = Int(7);
  v->SetAsVariant(qv::HostVariant::Null());  // null keeps type and block
  EXPECT_TRUE(v->IsNull());
  EXPECT_EQ(v->DataType, bdtInteger);
  EXPECT_NE(v->Data, nullptr);

  const std::pair<qv::HostVariant, TVLMBaseDataType> cases[] = {
      {qv::HostVariant(3), bdtInteger},
      {qv::HostVariant(1.5f), bdtSingle},
      {qv::HostVariant(2.5), bdtFloat},
      {qv::HostVariant::FromCurrency(12345), bdtCurrency},
      {qv::HostVariant::FromDateTime(45356.75), bdtDateTime},
      {qv::HostVariant(std::u16string(u"w")), bdtWideString},
      {qv::HostVariant(true), bdtLogical},
      {qv::HostVariant(static_cast<uint8_t>(200)), bdtByte},
      {qv::HostVariant(std::string("abc")), bdtString},
  };
  for (const auto& [hv, type] : cases) {
    TVLMVariant t;
    t.SetAsVariant(hv);
    EXPECT_EQ(t.DataType, type) << hv.VarType();
  }
  auto cur = Null(0);
  cur->SetAsVariant(qv::HostVariant::FromCurrency(12345));
  EXPECT_EQ(cur->GetAsCurrency(), 1.2345);
  auto dt = Null(0);
  dt->SetAsVariant(qv::HostVariant::FromDateTime(45356.75));
  EXPECT_EQ(dt->GetAsTimeStamp().Date, 738950);
  EXPECT_EQ(dt->GetAsTimeStamp().Time, 64800000);

  TVLMVariant bad;
  EXPECT_EQ(ExpectEngineError(30113, [&] { bad.SetAsVariant(qv::HostVariant(static_cast<long long>(1))); }),
            "Unsupported Variant Type 20 - Native error: 30113");
  ExpectEngineError(30113, [&] { bad.SetAsVariant(qv::HostVariant(static_cast<int8_t>(1))); });
  ExpectEngineError(30113, [&] { bad.SetAsVariant(qv::VarArrayOf({qv::HostVariant(1)})); });
}

TEST(VariantHostInterop, GetAsVariant) {
  auto get = [](const Var& v) {
    qv::HostVariant h;
    v->GetAsVariant(h);
    return h;
  };
  EXPECT_TRUE(get(Null(bdtInteger)).IsNull());
  // A large CARDINAL leaves as a negative integer of the same 32 bits.
  EXPECT_EQ(get(Card(4294967295u)).VarType(), qv::varInteger);
  EXPECT_EQ(get(Card(4294967295u)).AsInteger(), -1);
  EXPECT_EQ(get(Str("abc")).VarType(), qv::varString);
  EXPECT_EQ(get(Str("abc")).AsString(), "abc");
  EXPECT_EQ(get(Make([](TVLMVariant& v) { v.SetAsWideString(u"w"); })).VarType(), qv::varOleStr);
  EXPECT_EQ(get(Cur(2.5)).VarType(), qv::varDouble);
  EXPECT_EQ(get(Cur(2.5)).AsDouble(), 2.5);
  EXPECT_EQ(get(Date(693594)).VarType(), qv::varDate);
  EXPECT_EQ(get(Date(693594)).AsDateTime(), 0.0);
  EXPECT_EQ(get(Time(43200000)).AsDateTime(), 0.5);
  EXPECT_EQ(get(Stamp(693595, 43200000)).AsDateTime(), 1.5);
  auto five = Make([](TVLMVariant& v) {
    const int16_t x = 5;
    v.SetBuffer(&x, 2, bdtLogical, true);
  });
  EXPECT_EQ(get(five).VarType(), qv::varBoolean);
  EXPECT_TRUE(get(five).AsBoolean());
  // A BLOB's bytes, all of them, come out as text.
  EXPECT_EQ(get(Make([](TVLMVariant& v) { v.SetBuffer("a\0b", 3, bdtBLOB, true); })).AsString(),
            std::string("a\0b", 3));
  EXPECT_EQ(ExpectEngineError(30114, [&] { get(Big(1)); }),
            "Unsupported Variant Type LARGEINT - Native error: 30114");
  ExpectEngineError(30114, [&] { get(Make([](TVLMVariant& v) { v.SetBuffer("x", 1, bdtMemo, true); })); });
}

// ------------------------------------------------------------ range ends

namespace {

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
