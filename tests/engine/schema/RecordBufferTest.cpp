// Reading and writing one field of a record buffer: null bits, empty texts,
// the four types exchanged in another width, and the argument faults.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMTypes.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace {

using namespace schema_test;

class RecordBuffer : public ::testing::Test {
protected:
  enum { kChar, kShortInt, kCardinal, kSingle, kExtended, kWide, kInteger, kMemo, kGuid, kCount };

  void SetUp() override {
    AddField(defs, "Call", dtChar, 5);
    AddField(defs, "Small", dtShortInt);
    AddField(defs, "Count", dtCardinal);
    AddField(defs, "Power", dtSingle);
    AddField(defs, "Freq", dtExtended);
    AddField(defs, "Name", dtWideString, 3);
    AddField(defs, "Points", dtInteger);
    AddField(defs, "Notes", dtMemo);
    AddField(defs, "Id", dtGUID, 38);
    defs.CalculateOffsets();
    buffer.assign(static_cast<size_t>(defs.GetRecordBufferSize()), 0);
    std::fill(buffer.begin(), buffer.begin() + VLMNullBitmapSize(kCount), uint8_t{0xFF});
  }
  uint8_t* Field(int32_t no) { return buffer.data() + defs.GetFieldDef(no)->BufferOffset; }
  bool Null(int32_t no) { return VLMGetBit(no, buffer.data()); }
  template <class T>
  void Write(int32_t no, T value) {
    VLMWriteFieldData(no, defs, &value, buffer.data());
  }
  template <class T>
  T Read(int32_t no) {
    T value{};
    EXPECT_TRUE(VLMReadFieldData(no, defs, &value, buffer.data()));
    return value;
  }

  TVLMFieldDefs defs;
  std::vector<uint8_t> buffer;
};

TEST_F(RecordBuffer, EmptyTextIsNull) {
  char call[6] = "K1ABC";
  VLMWriteFieldData(kChar, defs, call, buffer.data());
  EXPECT_FALSE(Null(kChar));
  char back[6] = {};
  EXPECT_TRUE(VLMReadFieldData(kChar, defs, back, buffer.data()));
  EXPECT_STREQ(back, "K1ABC");
  char empty[6] = {};
  VLMWriteFieldData(kChar, defs, empty, buffer.data());
  EXPECT_TRUE(Null(kChar));
  EXPECT_FALSE(VLMReadFieldData(kChar, defs, back, buffer.data()));

  char16_t name[4] = u"Al";
  VLMWriteFieldData(kWide, defs, name, buffer.data());
  EXPECT_FALSE(Null(kWide));
  char16_t noName[4] = {0, u'x', 0, 0};  // only the first unit counts
  VLMWriteFieldData(kWide, defs, noName, buffer.data());
  EXPECT_TRUE(Null(kWide));
  char guid[39] = {};
  VLMWriteFieldData(kGuid, defs, guid, buffer.data());
  EXPECT_TRUE(Null(kGuid));
  // A number whose first byte is 0 is a value, not an empty text.
  Write<int32_t>(kInteger, 256);
  EXPECT_FALSE(Null(kInteger));
  EXPECT_EQ(Read<int32_t>(kInteger), 256);
  VLMWriteFieldData(kInteger, defs, nullptr, buffer.data());
  EXPECT_TRUE(Null(kInteger));
}

TEST_F(RecordBuffer, SignedInt8IsExchangedAs16Bits) {
  Write<int16_t>(kShortInt, 300);
  EXPECT_EQ(Field(kShortInt)[0], 44);
  EXPECT_EQ(Read<int16_t>(kShortInt), 44);
  Write<int16_t>(kShortInt, -2);
  EXPECT_EQ(Field(kShortInt)[0], 0xFE);
  EXPECT_EQ(Read<int16_t>(kShortInt), -2);
  Write<int16_t>(kShortInt, 200);
  EXPECT_EQ(Read<int16_t>(kShortInt), -56);
}

TEST_F(RecordBuffer, UnsignedInt32IsExchangedAs64Bits) {
  Write<int64_t>(kCardinal, 0x1'0000'0005LL);
  EXPECT_EQ(Read<int64_t>(kCardinal), 5);
  Write<int64_t>(kCardinal, 4294967295LL);
  EXPECT_EQ(Read<int64_t>(kCardinal), 4294967295LL);  // zero-extended
  const uint8_t expected[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(Field(kCardinal), expected, 4), 0);
}

TEST_F(RecordBuffer, FloatsAreExchangedAsDoubles) {
  Write<double>(kSingle, 1.5);
  float stored;
  std::memcpy(&stored, Field(kSingle), 4);
  EXPECT_EQ(stored, 1.5f);
  EXPECT_EQ(Read<double>(kSingle), 1.5);
  Write<double>(kSingle, 1e300);
  EXPECT_TRUE(std::isinf(Read<double>(kSingle)));

  Write<double>(kExtended, 2.25);
  long double x = 2.25L, storedX = 0;
  std::memcpy(&storedX, Field(kExtended), 10);
  EXPECT_EQ(storedX, x);
  EXPECT_EQ(Read<double>(kExtended), 2.25);
  // An extended value beyond the double range reads as infinity.
  const long double big = std::numeric_limits<long double>::max();
  std::memcpy(Field(kExtended), &big, 10);
  EXPECT_EQ(Read<double>(kExtended), std::numeric_limits<double>::infinity());
}

TEST_F(RecordBuffer, ReadWithoutDestinationOnlyTestsForNull) {
  Write<int32_t>(kInteger, 9);
  EXPECT_TRUE(VLMReadFieldData(kInteger, defs, nullptr, buffer.data()));
  EXPECT_FALSE(VLMReadFieldData(kChar, defs, nullptr, buffer.data()));
  // A BLOB field copies nothing.
  VLMSetBit(false, kMemo, buffer.data());
  std::memset(Field(kMemo), 0x5A, 10);
  uint8_t dest[10] = {};
  EXPECT_TRUE(VLMReadFieldData(kMemo, defs, dest, buffer.data()));
  EXPECT_EQ(dest[0], 0);
}

TEST_F(RecordBuffer, ArgumentFaults) {
  int32_t v = 0;
  EXPECT_EQ(RaisedMessage([&] { VLMReadFieldData(kCount, defs, &v, buffer.data()); }),
            "Invalid field number - FieldNo = 9, FieldCount = 9 - Native error: 10000");
  EXPECT_EQ(RaisedCode([&] { VLMReadFieldData(-1, defs, &v, buffer.data()); }), 10000);
  EXPECT_EQ(RaisedCode([&] { VLMReadFieldData(0, defs, &v, nullptr); }), 10003);
  EXPECT_EQ(RaisedCode([&] { VLMWriteFieldData(kCount, defs, &v, buffer.data()); }), 10004);
  EXPECT_EQ(RaisedCode([&] { VLMWriteFieldData(-3, defs, &v, buffer.data()); }), 10004);
  EXPECT_EQ(RaisedCode([&] { VLMWriteFieldData(kInteger, defs, &v, nullptr); }), 10002);
}

TEST(CompareBuffers, EqualPrefixAndFaults) {
  const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 9, 4};
  EXPECT_TRUE(VLMCompareBuffers(a, b, 2));
  EXPECT_FALSE(VLMCompareBuffers(a, b, 3));
  EXPECT_TRUE(VLMCompareBuffers(a, b, 0));
  EXPECT_TRUE(VLMCompareBuffers(a, b, -5));
  EXPECT_EQ(RaisedCode([&] { VLMCompareBuffers(nullptr, b, 1); }), 10122);
  EXPECT_EQ(RaisedCode([&] { VLMCompareBuffers(a, nullptr, 1); }), 10123);
}

}  // namespace
