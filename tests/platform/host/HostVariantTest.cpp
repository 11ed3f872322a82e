#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"

using namespace qv;

namespace {

template <class F>
std::string variantError(F&& f) {
  try {
    f();
  } catch (const EVariantError& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace

TEST(HostVariant, TypeCodesOfEachKind) {
  EXPECT_EQ(HostVariant().VarType(), varEmpty);
  EXPECT_EQ(HostVariant::Null().VarType(), varNull);
  EXPECT_EQ(HostVariant(int16_t{1}).VarType(), varSmallint);
  EXPECT_EQ(HostVariant(1).VarType(), varInteger);
  EXPECT_EQ(HostVariant(1.0f).VarType(), varSingle);
  EXPECT_EQ(HostVariant(1.0).VarType(), varDouble);
  EXPECT_EQ(HostVariant::FromCurrency(10000).VarType(), varCurrency);
  EXPECT_EQ(HostVariant::FromDateTime(1.0).VarType(), varDate);
  EXPECT_EQ(HostVariant(u"wide").VarType(), varOleStr);
  EXPECT_EQ(HostVariant(true).VarType(), varBoolean);
  EXPECT_EQ(HostVariant(int8_t{1}).VarType(), varShortInt);
  EXPECT_EQ(HostVariant(uint8_t{1}).VarType(), varByte);
  EXPECT_EQ(HostVariant(uint16_t{1}).VarType(), varWord);
  EXPECT_EQ(HostVariant(1u).VarType(), varLongWord);
  EXPECT_EQ(HostVariant(int64_t{1}).VarType(), varInt64);
  EXPECT_EQ(HostVariant(1LL).VarType(), varInt64);
  EXPECT_EQ(HostVariant("ansi").VarType(), varString);
  EXPECT_EQ(HostVariant(std::string("x")).VarType(), varString);
  EXPECT_EQ(HostVariant('c').AsString(), "c");
  EXPECT_THROW(HostVariant(std::numeric_limits<uint64_t>::max()), EVariantError);
  EXPECT_EQ(VarTypeAsText(varString), "String");
  EXPECT_EQ(VarTypeAsText(varArray | varVariant), "Array Variant");
  EXPECT_TRUE(VarIsNull(HostVariant::Null()));
  EXPECT_TRUE(VarIsClear(HostVariant()));
}

TEST(HostVariant, ToText) {
  EXPECT_EQ(VarToStr(HostVariant::Null()), "");
  EXPECT_EQ(HostVariant().AsString(), "");
  EXPECT_EQ(HostVariant(-5).AsString(), "-5");
  EXPECT_EQ(HostVariant(0.1).AsString(), "0.1");
  EXPECT_EQ(HostVariant(0.1f).AsString(), "0.1");
  EXPECT_EQ(HostVariant(true).AsString(), "True");
  EXPECT_EQ(HostVariant(false).AsString(), "False");
  EXPECT_EQ(HostVariant::FromCurrency(12345).AsString(), "1.2345");
  EXPECT_EQ(HostVariant::FromDateTime(EncodeDate(2024, 3, 5) + 0.5).AsString(), "2024-03-05 12:00:00");
  // Wide text goes through code page 1252 both ways.
  EXPECT_EQ(HostVariant(u"\u00D8\u20AC").AsString(), "\xD8\x80");
  EXPECT_EQ(HostVariant("\xD8\x80").AsWideString(), u"\u00D8\u20AC");
  EXPECT_EQ(HostVariant(u"\u4E00").AsString(), "?");
  EXPECT_EQ(variantError([] { VarArrayOf({1}).AsString(); }),
            "Could not convert variant of type (Array Variant) into type (String)");
}

TEST(HostVariant, ToNumbers) {
  EXPECT_EQ(HostVariant("42").AsInteger(), 42);
  EXPECT_EQ(HostVariant(" -7 ").AsInt64(), -7);
  EXPECT_EQ(HostVariant("2.5").AsInteger(), 2);  // half to even
  EXPECT_EQ(HostVariant(3.5).AsInteger(), 4);
  EXPECT_EQ(HostVariant(-2.5).AsInteger(), -2);
  EXPECT_EQ(HostVariant(2.6).AsInteger(), 3);
  EXPECT_EQ(HostVariant(true).AsInteger(), -1);
  EXPECT_EQ(HostVariant().AsInteger(), 0);
  EXPECT_EQ(HostVariant::FromCurrency(25000).AsInteger(), 2);
  EXPECT_EQ(HostVariant::FromCurrency(35000).AsInteger(), 4);
  EXPECT_EQ(HostVariant::FromCurrency(-15001).AsInteger(), -2);
  EXPECT_EQ(HostVariant("1.25").AsDouble(), 1.25);
  EXPECT_EQ(HostVariant(u"1e2").AsDouble(), 100.0);
  EXPECT_EQ(HostVariant(7).AsDouble(), 7.0);
  EXPECT_EQ(HostVariant::FromCurrency(12345).AsDouble(), 1.2345);
  EXPECT_EQ(HostVariant("1.23456").AsCurrency(), 12346);
  EXPECT_EQ(HostVariant(3).AsCurrency(), 30000);
  EXPECT_EQ(HostVariant(0.00005).AsCurrency(), 1);
  EXPECT_EQ(HostVariant(int64_t{INT64_MAX}).AsInt64(), INT64_MAX);

  EXPECT_EQ(variantError([] { HostVariant::Null().AsInteger(); }),
            "Could not convert variant of type (Null) into type (Integer)");
  EXPECT_EQ(variantError([] { HostVariant("abc").AsInteger(); }),
            "Could not convert variant of type (String) into type (Integer)");
  EXPECT_EQ(variantError([] { HostVariant("abc").AsDouble(); }),
            "Could not convert variant of type (String) into type (Double)");
  EXPECT_EQ(variantError([] { HostVariant(u"1,5").AsCurrency(); }),
            "Could not convert variant of type (OleStr) into type (Currency)");
  EXPECT_EQ(variantError([] { HostVariant(int64_t{1} << 40).AsInteger(); }),
            "Overflow while converting variant of type (Int64) into type (Integer)");
  EXPECT_EQ(variantError([] { HostVariant(1e300).AsInt64(); }),
            "Overflow while converting variant of type (Double) into type (Int64)");
  EXPECT_EQ(variantError([] { HostVariant(std::numeric_limits<double>::quiet_NaN()).AsInteger(); }),
            "Overflow while converting variant of type (Double) into type (Integer)");
  EXPECT_EQ(variantError([] { HostVariant(1e300).AsCurrency(); }),
            "Overflow while converting variant of type (Double) into type (Currency)");
  EXPECT_THROW(HostVariant(int64_t{INT64_MAX}).AsCurrency(), EVariantError);
}

TEST(HostVariant, ToBooleanAndDate) {
  EXPECT_TRUE(HostVariant("TRUE").AsBoolean());
  EXPECT_FALSE(HostVariant(" false").AsBoolean());
  EXPECT_TRUE(HostVariant("2").AsBoolean());
  EXPECT_FALSE(HostVariant("0").AsBoolean());
  EXPECT_TRUE(HostVariant(-3).AsBoolean());
  EXPECT_FALSE(HostVariant(0.0).AsBoolean());
  EXPECT_FALSE(HostVariant().AsBoolean());
  EXPECT_EQ(variantError([] { HostVariant("yes").AsBoolean(); }),
            "Could not convert variant of type (String) into type (Boolean)");
  EXPECT_EQ(variantError([] { HostVariant::Null().AsBoolean(); }),
            "Could not convert variant of type (Null) into type (Boolean)");
  EXPECT_EQ(HostVariant("2024-03-05 06:00").AsDateTime(), EncodeDate(2024, 3, 5) + 0.25);
  EXPECT_EQ(HostVariant(2.5).AsDateTime(), 2.5);
  EXPECT_EQ(variantError([] { HostVariant("soon").AsDateTime(); }),
            "Could not convert variant of type (String) into type (Date)");
}

TEST(HostVariant, AsTypeChecksRanges) {
  EXPECT_EQ(HostVariant("200").AsType(varByte).VarType(), varByte);
  EXPECT_EQ(HostVariant(7).AsType(varString).AsString(), "7");
  EXPECT_EQ(HostVariant("1.5").AsType(varCurrency).AsCurrency(), 15000);
  EXPECT_EQ(HostVariant(1).AsType(varBoolean).VarType(), varBoolean);
  EXPECT_EQ(variantError([] { HostVariant(300).AsType(varByte); }),
            "Overflow while converting variant of type (Integer) into type (Byte)");
  EXPECT_EQ(variantError([] { HostVariant(-1).AsType(varWord); }),
            "Overflow while converting variant of type (Integer) into type (Word)");
  EXPECT_EQ(variantError([] { HostVariant::Null().AsType(varInteger); }),
            "Could not convert variant of type (Null) into type (Integer)");
  EXPECT_THROW(HostVariant(1).AsType(varDispatch), EVariantError);
  EXPECT_TRUE(HostVariant::Null().AsType(varVariant).IsNull());
}

TEST(HostVariant, Arrays) {
  HostVariant a = VarArrayCreate({1, 3}, varInteger);
  EXPECT_EQ(a.VarType(), varArray | varInteger);
  EXPECT_TRUE(VarIsArray(a));
  EXPECT_EQ(VarArrayDimCount(a), 1);
  EXPECT_EQ(VarArrayLowBound(a, 1), 1);
  EXPECT_EQ(VarArrayHighBound(a, 1), 3);
  EXPECT_EQ(a[2].VarType(), varInteger);
  EXPECT_EQ(a[2].AsInteger(), 0);
  a.PutElement({2}, HostVariant("12"));
  EXPECT_EQ(a[2].VarType(), varInteger);  // converted to the element type
  EXPECT_EQ(a[2].AsInteger(), 12);
  EXPECT_THROW(a.PutElement({3}, HostVariant("x")), EVariantError);
  EXPECT_EQ(a[3].AsInteger(), 0);  // unchanged after the failed put
  EXPECT_EQ(variantError([&] { (void)a[4]; }), "Variant or safe array index out of bounds");
  EXPECT_EQ(variantError([&] { (void)a[0]; }), "Variant or safe array index out of bounds");
  EXPECT_EQ(variantError([&] { (void)a.GetElement({1, 1}); }), "Variant or safe array index out of bounds");
  EXPECT_EQ(variantError([&] { VarArrayLowBound(a, 2); }), "Variant or safe array index out of bounds");
  EXPECT_EQ(variantError([] { VarArrayHighBound(HostVariant(1), 1); }), "Variant is not an array");
  EXPECT_EQ(VarArrayDimCount(HostVariant(1)), 0);

  // Two dimensions with their own bounds: every cell is distinct.
  HostVariant m = VarArrayCreate({-1, 1, 5, 6}, varVariant);
  EXPECT_EQ(VarArrayDimCount(m), 2);
  for (int32_t i = -1; i <= 1; ++i)
    for (int32_t j = 5; j <= 6; ++j) m.PutElement({i, j}, HostVariant(i * 10 + j));
  for (int32_t i = -1; i <= 1; ++i)
    for (int32_t j = 5; j <= 6; ++j) EXPECT_EQ(m.GetElement({i, j}).AsInteger(), i * 10 + j);
  EXPECT_TRUE(VarArrayCreate({0, 0}, varVariant)[0].IsEmpty());
  EXPECT_EQ(VarArrayCreate({0, 1}, varOleStr)[1].VarType(), varOleStr);

  // Copies are deep.
  HostVariant copy = a;
  copy.PutElement({1}, HostVariant(99));
  EXPECT_EQ(a[1].AsInteger(), 0);
  EXPECT_EQ(copy[1].AsInteger(), 99);
  HostVariant moved = std::move(copy);
  EXPECT_EQ(moved[1].AsInteger(), 99);

  // The values Locate gets for several fields.
  HostVariant keys = VarArrayOf({HostVariant("W1AW"), HostVariant(14), HostVariant::Null()});
  EXPECT_EQ(keys.VarType(), varArray | varVariant);
  EXPECT_EQ(VarArrayLowBound(keys, 1), 0);
  EXPECT_EQ(VarArrayHighBound(keys, 1), 2);
  EXPECT_EQ(keys[0].AsString(), "W1AW");
  EXPECT_TRUE(keys[2].IsNull());
  EXPECT_EQ(VarArrayHighBound(VarArrayOf({}), 1), -1);

  EXPECT_THROW(VarArrayCreate({0}, varInteger), EVariantError);
  EXPECT_THROW(VarArrayCreate({5, 3}, varInteger), EVariantError);
  EXPECT_THROW(VarArrayCreate({0, 1}, varNull), EVariantError);
  EXPECT_THROW(VarArrayCreate({0, INT32_MAX, 0, INT32_MAX}, varVariant), EVariantError);
}

TEST(HostVariant, Equality) {
  EXPECT_EQ(HostVariant::Null(), HostVariant::Null());
  EXPECT_NE(HostVariant::Null(), HostVariant(0));
  EXPECT_NE(HostVariant::Null(), HostVariant(""));
  EXPECT_EQ(HostVariant(), HostVariant(""));
  EXPECT_EQ(HostVariant(), HostVariant(0));
  EXPECT_EQ(HostVariant(1), HostVariant(1.0));
  EXPECT_EQ(HostVariant(int16_t{5}), HostVariant(int64_t{5}));
  EXPECT_EQ(HostVariant("5"), HostVariant(5));
  EXPECT_EQ(HostVariant("5.0"), HostVariant(5));
  EXPECT_NE(HostVariant("abc"), HostVariant(5));
  EXPECT_EQ(HostVariant("abc"), HostVariant(u"abc"));
  EXPECT_NE(HostVariant("abc"), HostVariant("ABC"));
  EXPECT_EQ(HostVariant(true), HostVariant("True"));
  EXPECT_EQ(HostVariant(true), HostVariant(1));
  EXPECT_EQ(HostVariant::FromCurrency(15000), HostVariant(1.5));
  EXPECT_EQ(HostVariant::FromDateTime(EncodeDate(2024, 1, 2)), HostVariant("2024-01-02"));
  EXPECT_EQ(VarArrayOf({1, "a"}), VarArrayOf({1.0, "a"}));
  EXPECT_NE(VarArrayOf({1, "a"}), VarArrayOf({1, "b"}));
  EXPECT_NE(VarArrayOf({1}), HostVariant(1));
}
