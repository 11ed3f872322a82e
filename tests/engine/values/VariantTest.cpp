// TVLMVariant: life cycle, owned and borrowed blocks, typed accessors, the
// stream form, CastTo/TryCastTo and Compare.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ValueTestSupport.h"
#include "engine/core/VLMMemory.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMVariant.h"

using valuetest::ExpectEngineError;

namespace {

std::vector<uint8_t> StreamForm(const TVLMVariant& v) {
  TVLMMemoryStream s;
  v.SaveToStream(s);
  std::vector<uint8_t> out(static_cast<size_t>(s.Size()));
  s.SetPosition(0);
  if (!out.empty()) s.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

void LoadForm(TVLMVariant& v, const std::vector<uint8_t>& form) {
  TVLMMemoryStream s;
  if (!form.empty()) s.WriteBuffer(form.data(), static_cast<int64_t>(form.size()));
  s.SetPosition(0);
  v.LoadFromStream(s);
}

// Wide fields of record buffers and index keys often start at odd offsets.
// Puts UTF-16LE text (with its terminator) one byte past an even address.
const uint8_t* OddCopy(std::vector<uint8_t>& store, const char16_t* text) {
  const size_t units = std::char_traits<char16_t>::length(text) + 1;
  store.assign(units * 2 + 2, 0);
  uint8_t* p = store.data() + 1;
  for (size_t i = 0; i < units; ++i) {
    p[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    p[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return p;
}

}  // namespace

TEST(TVLMVariant, LifeCycle) {
  TVLMVariant v(bdtInteger);
  EXPECT_EQ(v.DataType, bdtInteger);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.Data, nullptr);
  EXPECT_EQ(v.NullFlag, 255);
  v.SetAsInteger(42);
  EXPECT_FALSE(v.IsNull());
  EXPECT_EQ(v.DataSize, 4);
  EXPECT_EQ(v.GetAsInteger(), 42);

  // SetNull keeps the block and its size; the next setter reuses it in place.
  void* block = v.Data;
  v.SetNull();
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.Data, block);
  EXPECT_EQ(v.DataSize, 4);
  v.SetAsInteger(7);
  EXPECT_EQ(v.Data, block);
  EXPECT_EQ(v.GetAsInteger(), 7);

  v.Clear(bdtString);
  EXPECT_EQ(v.DataType, bdtString);
  EXPECT_EQ(v.Data, nullptr);
  EXPECT_EQ(v.DataSize, 0);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.GetStringLength(), -1);
}

TEST(TVLMVariant, EmptyTextIsNull) {
  TVLMVariant v;
  v.SetAsString("");
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType, bdtString);  // an untyped value takes the setter's type
  v.SetAsString(std::string("\0abc", 4));
  EXPECT_TRUE(v.IsNull());
  v.SetAsString(std::string("ab\0c", 4));
  EXPECT_EQ(v.GetAsString(), "ab");
  EXPECT_EQ(v.GetStringLength(), 2);
  TVLMVariant w;
  w.SetAsWideString(u"");
  EXPECT_TRUE(w.IsNull());
  w.SetAsWideString(u"h\u00e9");
  EXPECT_EQ(w.GetStringLength(), 2);
  EXPECT_EQ(w.DataSize, 6);
  EXPECT_EQ(w.GetAsString(), "h\xe9");  // narrowed to 1252
}

TEST(TVLMVariant, SettersConvertIntoTheHeldType) {
  TVLMVariant v(bdtInteger);
  v.SetAsString("42");
  EXPECT_EQ(v.DataType, bdtInteger);
  EXPECT_EQ(v.DataSize, 4);
  EXPECT_EQ(v.GetAsInteger(), 42);
  EXPECT_EQ(ExpectEngineError(30051, [&] { v.SetAsString("x"); }),
            "Cannot cast from 'STRING' to 'INTEGER' - Native error: 30051");
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType, bdtInteger);

  TVLMVariant s(bdtString);
  s.SetAsInteger(-12);
  EXPECT_EQ(s.GetAsString(), "-12");
  s.SetAsDouble(1.5);
  EXPECT_EQ(s.GetAsString(), "1.5");
  s.SetAsBoolean(true);
  EXPECT_EQ(s.GetAsString(), "True");

  TVLMVariant i(bdtInteger);
  i.SetAsDouble(2.9);
  EXPECT_EQ(i.GetAsInteger(), 2);
  TVLMVariant l(bdtLogical);
  l.SetAsString("yes");
  EXPECT_FALSE(l.IsNull());
  EXPECT_FALSE(l.GetAsBoolean());
}

TEST(TVLMVariant, GettersConvertOutOfTheHeldType) {
  TVLMVariant n;
  EXPECT_EQ(n.GetAsString(), "");
  EXPECT_EQ(n.GetAsWideString(), u"");
  EXPECT_EQ(ExpectEngineError(30016, [&] { n.GetAsInteger(); }), "Value is Null - Native error: 30016");

  TVLMVariant v;
  v.SetAsString("300");
  EXPECT_EQ(v.GetAsShortInt(), 44);
  EXPECT_EQ(v.GetAsSmallInt(), 300);
  EXPECT_EQ(v.GetAsLargeInt(), 300);
  EXPECT_EQ(v.GetAsByte(), 44);
  EXPECT_EQ(v.GetAsWord(), 300);
  EXPECT_EQ(v.GetAsCardinal(), 300u);
  EXPECT_EQ(v.GetAsDouble(), 300.0);
  EXPECT_EQ(v.GetAsSingle(), 300.0f);
  EXPECT_EQ(v.GetAsExtended(), 300.0L);
  EXPECT_EQ(v.GetAsCurrency(), 300.0);
  EXPECT_EQ(v.GetAsWideString(), u"300");
  EXPECT_FALSE(v.GetAsBoolean());
  EXPECT_EQ(v.DataType, bdtString);  // getters leave the value alone

  TVLMVariant d;
  d.SetAsString("2024-03-05 07:08:09");
  EXPECT_EQ(d.GetAsDate(), 738950);
  const TVLMTimeStamp s = d.GetAsTimeStamp();
  EXPECT_EQ(s.Date, 738950);
  EXPECT_EQ(s.Time, 25689000);
  EXPECT_DOUBLE_EQ(d.GetAsTDateTime(), 45356 + 25689.0 / 86400);
  EXPECT_EQ(d.GetAsTDate(), 45356.0);
}

TEST(TVLMVariant, HostDateTimesGoThroughTheStamps) {
  TVLMVariant v;
  v.SetAsTDateTime(45356.75);
  EXPECT_EQ(v.DataType, bdtDateTime);
  EXPECT_EQ(v.GetAsTimeStamp().Date, 738950);
  EXPECT_EQ(v.GetAsTimeStamp().Time, 64800000);
  EXPECT_EQ(v.GetAsTDateTime(), 45356.75);
  TVLMVariant d;
  d.SetAsTDate(45356.75);
  EXPECT_EQ(d.GetAsDate(), 738950);
  EXPECT_EQ(d.GetAsTDate(), 45356.0);
  TVLMVariant t;
  t.SetAsTTime(45356.75);
  EXPECT_EQ(t.GetAsTime(), 64800000);
  EXPECT_EQ(t.GetAsTTime(), 0.75);
}

TEST(TVLMVariant, ExtendedKeepsAllSixtyFourBits) {
  const long double x = 1.0L / 3.0L;
  TVLMVariant v;
  v.SetAsExtended(x);
  EXPECT_EQ(v.DataSize, 10);
  EXPECT_EQ(v.GetAsExtended(), x);
  EXPECT_NE(static_cast<long double>(v.GetAsDouble()), x);
  TVLMVariant w;
  LoadForm(w, StreamForm(v));
  EXPECT_EQ(w.GetAsExtended(), x);
  TVLMVariant t;
  t.SetAsString("0.1");
  EXPECT_EQ(t.GetAsExtended(), 0.1L);
}

TEST(TVLMVariant, AssignCopiesOrBorrows) {
  TVLMVariant src;
  src.SetAsString("hello");
  TVLMVariant borrowed, copied;
  borrowed.Assign(src, false);
  copied.Assign(src, true);
  EXPECT_EQ(borrowed.Data, src.Data);
  EXPECT_EQ(borrowed.DataNotOwned, 255);
  EXPECT_NE(copied.Data, src.Data);
  EXPECT_EQ(copied.DataNotOwned, 0);
  EXPECT_EQ(copied.DataSize, 6);
  // The lender goes away: the copy stays valid; the borrower must be dropped
  // without touching the block (it never frees it).
  src.Clear(0);
  EXPECT_EQ(copied.GetAsString(), "hello");
  borrowed.Clear(0);

  // A borrowed block is never written: a setter takes a block of its own.
  int32_t lender = 5;
  TVLMVariant b;
  b.SetBuffer(&lender, 4, bdtInteger, false);
  b.SetAsInteger(9);
  EXPECT_EQ(lender, 5);
  EXPECT_EQ(b.GetAsInteger(), 9);
  EXPECT_EQ(b.DataNotOwned, 0);

  TVLMVariant nullSrc(bdtDate);
  copied.Assign(nullSrc, true);
  EXPECT_TRUE(copied.IsNull());
  EXPECT_EQ(copied.DataType, bdtDate);
  copied.Assign(copied, true);  // self-assignment changes nothing
  EXPECT_EQ(copied.DataType, bdtDate);
}

TEST(TVLMVariant, SetBufferAndCopyToBuffer) {
  const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  TVLMVariant v;
  v.SetBuffer(bytes, 6, bdtBLOB, true);
  void* block = v.Data;
  v.SetBuffer(bytes, 6, bdtVarBytes, true);  // same size, owned: reused
  EXPECT_EQ(v.Data, block);
  EXPECT_EQ(v.DataType, bdtVarBytes);
  uint8_t out[8] = {};
  EXPECT_EQ(ExpectEngineError(20056, [&] { v.CopyToBuffer(out, 4); }), "Buffer size exceeded - Native error: 20056");
  EXPECT_TRUE(v.CopyToBuffer(out, -1));
  EXPECT_EQ(std::memcmp(out, bytes, 6), 0);

  // The empty text (a present value of one zero byte) is not copied.
  TVLMVariant e;
  e.SetBuffer("", 1, bdtString, true);
  EXPECT_FALSE(e.IsNull());
  uint8_t guard[2] = {0xAA, 0xAA};
  EXPECT_FALSE(e.CopyToBuffer(guard, 2));
  EXPECT_EQ(guard[0], 0xAA);
  TVLMVariant n;
  EXPECT_FALSE(n.CopyToBuffer(guard, 0));
}

TEST(TVLMVariant, SetDataOverwritesOnlyABlockOfTheRightSize) {
  // An INTEGER value whose block is only two bytes long must not be written
  // four bytes in place.
  const uint8_t two[2] = {1, 2};
  TVLMVariant v;
  v.SetBuffer(two, 2, bdtInteger, true);
  v.SetAsInteger(0x12345678);
  EXPECT_EQ(v.DataSize, 4);
  EXPECT_EQ(v.GetAsInteger(), 0x12345678);
  // The same for a BLOB value given ten bytes by a setter.
  const uint8_t three[3] = {7, 8, 9};
  TVLMVariant b;
  b.SetBuffer(three, 3, bdtBLOB, true);
  const uint8_t ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  b.SetData(ten, bdtBLOB);
  EXPECT_EQ(b.DataSize, 10);
  EXPECT_EQ(std::memcmp(b.Data, ten, 10), 0);
  // A getter of a fixed type refuses a block shorter than the type.
  TVLMVariant s;
  s.SetBuffer(two, 2, bdtInteger, false);
  ExpectEngineError(30052, [&] { s.GetAsInteger(); });
  ExpectEngineError(30052, [&] { s.GetAsString(); });
}

TEST(TVLMVariant, StreamForm) {
  TVLMVariant n(bdtInteger);
  EXPECT_EQ(StreamForm(n), (std::vector<uint8_t>{7, 255}));
  TVLMVariant i;
  i.SetAsInteger(0x01020304);
  EXPECT_EQ(StreamForm(i), (std::vector<uint8_t>{7, 0, 4, 0, 0, 0, 4, 3, 2, 1}));
  TVLMVariant s;
  s.SetAsString("ab");
  EXPECT_EQ(StreamForm(s), (std::vector<uint8_t>{3, 0, 3, 0, 0, 0, 'a', 'b', 0}));
  // A null value with a block still streams as null.
  i.SetNull();
  EXPECT_EQ(StreamForm(i), (std::vector<uint8_t>{7, 255}));

  // Round trips of every kind of block.
  std::vector<std::function<void(TVLMVariant&)>> makers = {
      [](TVLMVariant& v) { v.SetAsString("text"); },
      [](TVLMVariant& v) { v.SetAsWideString(u"wide"); },
      [](TVLMVariant& v) { v.SetAsLargeInt(-1234567890123LL); },
      [](TVLMVariant& v) { v.SetAsExtended(-2.5L); },
      [](TVLMVariant& v) { v.SetAsTimeStamp({738950, 25689000}); },
      [](TVLMVariant& v) { v.SetAsBoolean(true); },
      [](TVLMVariant& v) { v.SetAsCurrency(12.34); },
      [](TVLMVariant& v) {
        const uint8_t b[3] = {0, 1, 0};
        v.SetBuffer(b, 3, bdtMemo, true);
      },
  };
  for (auto& make : makers) {
    TVLMVariant a;
    make(a);
    TVLMVariant b;
    LoadForm(b, StreamForm(a));
    EXPECT_EQ(b.DataType, a.DataType);
    EXPECT_EQ(b.DataSize, a.DataSize);
    EXPECT_EQ(b.DataNotOwned, 0);
    EXPECT_EQ(std::memcmp(a.Data, b.Data, static_cast<size_t>(a.DataSize)), 0);
  }
  // Any non-zero flag reads as null, kept as read.
  TVLMVariant r;
  LoadForm(r, {15, 1});
  EXPECT_TRUE(r.IsNull());
  EXPECT_EQ(r.DataType, bdtDate);
  EXPECT_EQ(r.NullFlag, 1);
}

TEST(TVLMVariant, LoadFromStreamRejectsDamagedForms) {
  TVLMVariant v;
  v.SetAsString("keep");  // replaced by every load, even a failed one
  ExpectEngineError(10183, [&] { LoadForm(v, {}); });
  EXPECT_TRUE(v.IsNull());
  ExpectEngineError(10184, [&] { LoadForm(v, {7}); });
  ExpectEngineError(10185, [&] { LoadForm(v, {7, 0, 4, 0}); });
  // The size is checked before anything is allocated or read.
  EXPECT_EQ(ExpectEngineError(10185, [&] { LoadForm(v, {7, 0, 0, 0, 0, 0}); }),
            "Invalid value size in stream. Position = 6, Stream size = 6, Value size = 0 - Native error: 10185");
  ExpectEngineError(10185, [&] { LoadForm(v, {18, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}); });     // negative
  ExpectEngineError(10185, [&] { LoadForm(v, {18, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2}); });  // 2 GB
  ExpectEngineError(10185, [&] { LoadForm(v, {18, 0, 3, 0, 0, 0, 1, 2}); });              // one short
  // A fixed-size type must have exactly its size.
  ExpectEngineError(10185, [&] { LoadForm(v, {7, 0, 2, 0, 0, 0, 1, 2}); });
  ExpectEngineError(10185, [&] { LoadForm(v, {5, 0, 2, 0, 0, 0, 1, 2}); });
  // Text must end with its terminator.
  ExpectEngineError(10186, [&] { LoadForm(v, {3, 0, 2, 0, 0, 0, 'a', 'b'}); });
  ExpectEngineError(10186, [&] { LoadForm(v, {4, 0, 3, 0, 0, 0, 'a', 0, 0}); });
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType, 0);
  // A BLOB may hold anything, an unknown type keeps its code.
  LoadForm(v, {18, 0, 2, 0, 0, 0, 'a', 'b'});
  EXPECT_EQ(v.DataSize, 2);
  LoadForm(v, {99, 0, 1, 0, 0, 0, 'a'});
  EXPECT_EQ(v.DataType, 99);
  EXPECT_FALSE(v.IsNull());
}

TEST(TVLMVariant, CastTo) {
  TVLMVariant v;
  v.SetAsInteger(300);
  v.CastTo(bdtShortInt);
  EXPECT_EQ(v.DataType, bdtShortInt);
  EXPECT_EQ(v.DataSize, 1);
  EXPECT_EQ(v.GetAsShortInt(), 44);
  // A failed cast leaves the value as it was.
  ExpectEngineError(30052, [&] { v.CastTo(bdtBLOB + 5); });
  EXPECT_EQ(v.DataType, bdtShortInt);
  EXPECT_EQ(v.GetAsShortInt(), 44);
  // Null only changes its type.
  TVLMVariant n(bdtInteger);
  n.CastTo(bdtString);
  EXPECT_EQ(n.DataType, bdtString);
  EXPECT_TRUE(n.IsNull());
  // A DATE holding the empty date becomes the empty text, present.
  TVLMVariant d;
  d.SetAsDate(VLMEmptyDate);
  d.CastTo(bdtString);
  EXPECT_FALSE(d.IsNull());
  EXPECT_EQ(d.GetAsString(), "");
  EXPECT_EQ(d.GetStringLength(), 0);
}

TEST(TVLMVariant, MemoToStringAddsATerminatorWithoutTouchingTheLender) {
  const char memo[3] = {'a', 'b', 'c'};  // no terminator
  TVLMVariant v;
  v.SetBuffer(memo, 3, bdtMemo, false);
  v.CastTo(bdtString);
  EXPECT_EQ(v.DataType, bdtString);
  EXPECT_EQ(v.DataSize, 4);
  EXPECT_EQ(v.DataNotOwned, 0);
  EXPECT_NE(v.Data, static_cast<const void*>(memo));
  EXPECT_EQ(v.GetAsString(), "abc");
  TVLMVariant o;
  o.SetBuffer(memo, 3, bdtMemo, true);
  o.CastTo(bdtString);
  EXPECT_EQ(o.GetAsString(), "abc");
  EXPECT_EQ(VLMMemoryManager().GetMemSize(o.Data), 4);
}

TEST(TVLMVariant, TryCastToNeverRaises) {
  TVLMVariant v;
  v.SetAsString("abc");
  v.TryCastTo(bdtInteger);
  EXPECT_EQ(v.DataType, bdtInteger);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.Data, nullptr);
  v.SetAsInteger(5);
  v.SetNull();
  v.TryCastTo(bdtString);  // null with a block: cleared
  EXPECT_EQ(v.DataType, bdtString);
  EXPECT_EQ(v.Data, nullptr);
  v.TryCastTo(bdtFloat);  // null without a block: only the type
  EXPECT_EQ(v.DataType, bdtFloat);
  v.SetAsDouble(2.5);
  v.TryCastTo(bdtString);
  EXPECT_EQ(v.GetAsString(), "2.5");
}

TEST(TVLMVariant, Compare) {
  TVLMVariant a, b, n1(bdtInteger), n2(bdtString);
  a.SetAsString("ABCD");
  b.SetAsString("AB");
  EXPECT_EQ(a.Compare(b), kVLMCompareGreater);
  EXPECT_EQ(a.Compare(b, false, false, true), kVLMCompareEqual);
  TVLMVariant c;
  c.SetAsString("A");
  EXPECT_EQ(c.Compare(b, false, false, true), kVLMCompareLess);
  TVLMVariant lower;
  lower.SetAsString("abcd");
  EXPECT_EQ(lower.Compare(a), kVLMCompareLess);
  EXPECT_EQ(lower.Compare(a, false, true), kVLMCompareEqual);

  EXPECT_EQ(n1.Compare(a), kVLMCompareLess);
  EXPECT_EQ(n1.Compare(a, true), kVLMCompareFirstNull);
  EXPECT_EQ(a.Compare(n1), kVLMCompareGreater);
  EXPECT_EQ(a.Compare(n1, true), kVLMCompareSecondNull);
  EXPECT_EQ(n1.Compare(n2), kVLMCompareEqual);
  EXPECT_EQ(n1.Compare(n2, true), kVLMCompareBothNull);

  TVLMVariant i;
  i.SetAsInteger(5);
  TVLMVariant ten;
  ten.SetAsString("10");
  EXPECT_EQ(i.Compare(ten), kVLMCompareGreater);  // as text

  // A memo borrowed from a record buffer has no terminator of its own.
  const char memo[2] = {'a', 'b'};
  TVLMVariant m;
  m.SetBuffer(memo, 2, bdtMemo, false);
  TVLMVariant ab;
  ab.SetAsString("ab");
  EXPECT_EQ(m.Compare(ab), kVLMCompareEqual);
  EXPECT_EQ(m.Compare(m), kVLMCompareEqual);
}

TEST(WideAlignment, ValuesAtOddOffsetsCompareAndConvert) {
  std::vector<uint8_t> a, b;
  const uint8_t* pa = OddCopy(a, u"abc");
  const uint8_t* pb = OddCopy(b, u"ABD");
  EXPECT_EQ(VLMCompareValues(pa, pb, bdtWideString, bdtWideString, false, false, -1, true), 1);
  EXPECT_EQ(VLMCompareValues(pb, pa, bdtWideString, bdtWideString, false, false, -1, true), 2);
  EXPECT_EQ(VLMCompareValues(pa, pa, bdtWideString, bdtWideString, false, false, -1, false), 0);

  TVLMVariant v;
  v.SetData(pa, bdtWideString);
  EXPECT_EQ(v.GetAsWideString(), u"abc");
  EXPECT_EQ(v.GetAsString(), "abc");
}
