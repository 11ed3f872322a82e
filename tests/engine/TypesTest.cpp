// The engine arrays, the bits array (against a std::vector<bool> model, rank
// and select included) and the record bitmap over a fake table numbering.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <vector>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypes.h"
#include "platform/host/Exception.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TestBudget.h"

namespace {

using qv::test::Raised;

TEST(TVLMIntegerArray, GrowthDoublesTheStepUpToTheMaximum) {
  TVLMIntegerArray a(0, 10, 100);
  EXPECT_EQ(a.Capacity(), 0);
  std::vector<int32_t> capacities;
  for (int32_t i = 0; i < 241; ++i) {
    a.Append(i * 3);
    if (capacities.empty() || capacities.back() != a.Capacity()) capacities.push_back(a.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{20, 60, 140, 240, 340}));
  EXPECT_EQ(a.Count(), 241);
  EXPECT_EQ(a.Items()[240], 720);
  EXPECT_TRUE(a.Contains(300));
  EXPECT_FALSE(a.Contains(301));
}

TEST(TVLMIntegerArray, ShrinksOnlyPastTheShrinkStep) {
  TVLMIntegerArray a(100, 10, 100);
  EXPECT_EQ(a.Capacity(), 100);
  a.SetSize(95);
  EXPECT_EQ(a.Capacity(), 100);
  EXPECT_EQ(a.ShrinkStep(), 10);
  a.SetSize(50);
  EXPECT_EQ(a.Capacity(), 50);
  EXPECT_EQ(a.ShrinkStep(), 20);
  a.SetSize(0);
  EXPECT_EQ(a.Capacity(), 0);
  EXPECT_EQ(a.Count(), 0);
  EXPECT_THROW(a.SetSize(-1), qv::EListError);
}

TEST(TVLMIntegerArray, DeleteMovesDownAndKeepsTheStorage) {
  TVLMIntegerArray a(0, 4, 64);
  for (int32_t v : {5, 6, 7, 8, 9}) a.Append(v);
  const int32_t capacity = a.Capacity();
  a.Delete(1);
  a.Delete(3);  // the last one
  ASSERT_EQ(a.Count(), 3);
  EXPECT_EQ(a.Items()[0], 5);
  EXPECT_EQ(a.Items()[1], 7);
  EXPECT_EQ(a.Items()[2], 8);
  EXPECT_EQ(a.Capacity(), capacity);
  EXPECT_FALSE(a.Contains(9));  // beyond Count, though still stored
  EXPECT_THROW(a.Delete(3), qv::EListError);
  EXPECT_THROW(a.Delete(-1), qv::EListError);
  EXPECT_EQ(a.Count(), 3);
}

TEST(TVLMCompressedStreamBlockHeadersArray, KeepsHeadersAndPositionsTogether) {
  TVLMCompressedStreamBlockHeadersArray h;
  for (int64_t i = 0; i < 25; ++i) {
    TVLMCompressedBlockHeader hdr;
    hdr.CompressedSize = static_cast<uint32_t>(i * 10);
    hdr.UncompressedSize = 100;
    hdr.BlockLength = i * 10 + 20;
    h.Append(hdr, i * 1000);
  }
  EXPECT_EQ(h.Count(), 25);
  EXPECT_EQ(h.Capacity(), 60);  // 20, then 60
  EXPECT_EQ(h.Headers(24).CompressedSize, 240u);
  EXPECT_EQ(h.Positions(24), 24000);
  h.Headers(3).CRC32 = 0xDEADBEEF;
  EXPECT_EQ(h.Headers(3).CRC32, 0xDEADBEEFu);
  h.SetCount(2);
  EXPECT_EQ(h.Count(), 2);
  EXPECT_THROW(h.Headers(2), qv::EListError);
  EXPECT_THROW(h.Positions(-1), qv::EListError);
  h.SetCount(0);
  EXPECT_EQ(h.Capacity(), 0);
}

TEST(TVLMBitsArray, SizingAndSetAll) {
  TVLMBitsArray b;
  b.SetSize(9);
  EXPECT_EQ(b.ByteCount(), 2);
  EXPECT_EQ(b.SetCount(), 0);
  b.SetAll();
  EXPECT_EQ(b.SetCount(), 9);
  EXPECT_EQ(b.BitNoOfSetBit(8), 8);
  EXPECT_EQ(b.SetBitsUpTo(4), 4);
  // The bits past the count stay clear: growing shows new zero bits only.
  b.SetSize(16);
  EXPECT_EQ(b.SetCount(), 9);
  EXPECT_EQ(b.CountSetBits(), 9);
  EXPECT_FALSE(b.GetBit(9));
  EXPECT_FALSE(b.GetBit(15));
  // Shrink, then grow inside the same byte.
  b.SetSize(3);
  EXPECT_EQ(b.SetCount(), 3);
  b.SetSize(8);
  EXPECT_EQ(b.SetCount(), 3);
  for (int i = 3; i < 8; ++i) EXPECT_FALSE(b.GetBit(i)) << i;
  b.SetSize(0);
  EXPECT_EQ(b.Bits(), nullptr);
  EXPECT_EQ(b.SetCount(), 0);
  int64_t found = -1;
  EXPECT_FALSE(b.FindFirst(true, found));
  EXPECT_FALSE(b.FindFirst(false, found));
}

TEST(TVLMBitsArray, RankSelectAndSearch) {
  TVLMBitsArray b;
  b.SetSize(16);
  for (int n : {3, 5, 10}) b.SetBit(n, true);
  EXPECT_EQ(b.SetCount(), 3);
  EXPECT_EQ(b.BitNoOfSetBit(1), 5);
  EXPECT_EQ(b.SetBitsUpTo(10), 2);
  EXPECT_EQ(b.SetBitsUpTo(4), 0);
  EXPECT_EQ(b.SetBitsUpTo(2), -1);
  EXPECT_EQ(Raised([&] { b.BitNoOfSetBit(3); }).Message(),
            "Invalid bit no = 3, number of bits = 3 - Native error: 10428");
  EXPECT_EQ(Raised([&] { b.BitNoOfSetBit(-1); }).NativeError, 10428);
  EXPECT_EQ(Raised([&] { b.SetBitsUpTo(16); }).Message(),
            "Invalid bit no = 16, number of bits = 16 - Native error: 10429");

  b.SetBit(5, true);  // already set: no change
  EXPECT_EQ(b.SetCount(), 3);
  b.SetBit(7, false);
  EXPECT_EQ(b.SetCount(), 3);

  int64_t n = -1;
  EXPECT_TRUE(b.FindSetBit(true, false, 0, n));
  EXPECT_EQ(n, 10);
  EXPECT_TRUE(b.FindSetBit(false, true, 3, n));
  EXPECT_EQ(n, 5);
  EXPECT_TRUE(b.FindSetBit(false, false, 5, n));
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(b.FindSetBit(false, true, 10, n));
  EXPECT_FALSE(b.FindSetBit(false, false, 3, n));
  EXPECT_TRUE(b.FindSetBit(false, true, -1, n));
  EXPECT_EQ(n, 3);
  EXPECT_FALSE(b.FindSetBit(false, true, 40, n));
  EXPECT_TRUE(b.FindFirst(true, n));
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(b.FindFirst(false, n));
  EXPECT_EQ(n, 0);

  EXPECT_EQ(Raised([&] { b.GetBit(16); }).Message(),
            "Invalid bit no = 16, number of bits = 16 - Native error: 10394");
  EXPECT_EQ(Raised([&] { b.SetBit(-1, true); }).Message(),
            "Invalid bit no = -1, number of bits = 16 - Native error: 10395");
  EXPECT_EQ(b.SetCount(), 3);
}

// Rank, select and search against std::vector<bool> after random changes.
TEST(TVLMBitsArray, MatchesAModel) {
  std::mt19937 rng(5);
  TVLMBitsArray b;
  std::vector<bool> model;
  auto setCount = [&] { return static_cast<int32_t>(std::count(model.begin(), model.end(), true)); };
  auto budget = qv::test::TestBudget::Steps(400);
  for (int64_t round = 0; budget.Continue(round); ++round) {
    const uint32_t op = rng() % 10;
    if (op == 0) {
      // Now and then long enough for runs of zero words between set bits.
      const int64_t n = rng() % (rng() % 4 == 0 ? 1000 : 200);
      b.SetSize(n);
      model.resize(static_cast<size_t>(n), false);
    } else if (op == 1 && rng() % 4 == 0) {
      b.SetAll();
      std::fill(model.begin(), model.end(), true);
    } else if (!model.empty()) {
      const int64_t i = rng() % model.size();
      const bool v = rng() % 3 != 0;
      b.SetBit(i, v);
      model[static_cast<size_t>(i)] = v;
    }
    ASSERT_EQ(b.BitCount(), static_cast<int32_t>(model.size()));
    ASSERT_EQ(b.SetCount(), setCount());
    ASSERT_EQ(b.CountSetBits(), setCount());
    std::vector<int64_t> ones;
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i]) ones.push_back(static_cast<int64_t>(i));
    for (size_t k = 0; k < ones.size(); ++k) ASSERT_EQ(b.BitNoOfSetBit(static_cast<int64_t>(k)), ones[k]);
    int64_t rank = -1;
    for (size_t i = 0; i < model.size(); ++i) {
      if (model[i]) ++rank;
      ASSERT_EQ(b.SetBitsUpTo(static_cast<int64_t>(i)), rank);
      ASSERT_EQ(b.GetBit(static_cast<int64_t>(i)), model[i]);
    }
    // Forward and backward walks visit exactly the set bits.
    std::vector<int64_t> walked;
    int64_t at = 0;
    for (bool ok = b.FindSetBit(true, true, 0, at); ok; ok = b.FindSetBit(false, true, at, at)) walked.push_back(at);
    ASSERT_EQ(walked, ones);
    walked.clear();
    for (bool ok = b.FindSetBit(true, false, 0, at); ok; ok = b.FindSetBit(false, false, at, at)) walked.push_back(at);
    std::reverse(walked.begin(), walked.end());
    ASSERT_EQ(walked, ones);
  }
}

TEST(TVLMBitsArray, StreamForm) {
  TVLMMemoryStream s;
  TVLMBitsArray empty;
  empty.SaveToStream(s);
  EXPECT_EQ(s.Size(), 8);

  TVLMBitsArray b;
  b.SetSize(20);
  for (int n : {0, 7, 8, 19}) b.SetBit(n, true);
  s.SetSize(0);
  b.SaveToStream(s);
  ASSERT_EQ(s.Size(), 8 + 3);
  std::vector<uint8_t> raw(11);
  s.SetPosition(0);
  s.ReadBuffer(raw.data(), 11);
  EXPECT_EQ(raw, (std::vector<uint8_t>{20, 0, 0, 0, 4, 0, 0, 0, 0x81, 0x01, 0x08}));

  TVLMBitsArray c;
  c.SetSize(3);
  s.SetPosition(0);
  c.LoadFromStream(s);
  EXPECT_EQ(c.BitCount(), 20);
  EXPECT_EQ(c.SetCount(), 4);
  EXPECT_TRUE(c.GetBit(19));
  EXPECT_FALSE(c.GetBit(18));

  // Loading a form whose last byte carries bits past the count (written by
  // SetAll in older files) keeps those bits clear.
  TVLMMemoryStream old;
  const uint8_t form[] = {10, 0, 0, 0, 10, 0, 0, 0, 0xFF, 0xFF};
  old.Write(form, sizeof form);
  old.SetPosition(0);
  c.LoadFromStream(old);
  EXPECT_EQ(c.SetCount(), 10);
  c.SetSize(16);
  EXPECT_EQ(c.SetCount(), 10);
  EXPECT_FALSE(c.GetBit(10));
}

TEST(TVLMBitsArray, DamagedStreamForms) {
  TVLMBitsArray b;
  auto load = [&](std::vector<uint8_t> bytes) {
    TVLMMemoryStream s;
    if (!bytes.empty()) s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.SetPosition(0);
    return Raised([&] { b.LoadFromStream(s); });
  };
  EXPECT_EQ(load({1, 2}).Message(),
            "Cannot read from stream. Position = 0, Stream size = 2, Block size = 4, Bytes Read = 2"
            " - Native error: 10401");
  EXPECT_EQ(load({8, 0, 0, 0, 1, 0}).NativeError, 10426);
  EXPECT_EQ(load({17, 0, 0, 0, 1, 0, 0, 0, 0xFF}).Message(),
            "Cannot read from stream. Position = 8, Stream size = 9, Block size = 3, Bytes Read = 1"
            " - Native error: 10402");
  EXPECT_EQ(load({0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 0, 0}).NativeError, 10402);  // no 256 MB taken
  EXPECT_EQ(load({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}).NativeError, 10401);  // negative count
  // A recorded set count that disagrees with the bits is recounted.
  TVLMMemoryStream s;
  const uint8_t lying[] = {16, 0, 0, 0, 9, 0, 0, 0, 0x01, 0x00};
  s.Write(lying, sizeof lying);
  s.SetPosition(0);
  b.LoadFromStream(s);
  EXPECT_EQ(b.SetCount(), 1);
  EXPECT_EQ(Raised([&] { b.BitNoOfSetBit(1); }).NativeError, 10428);
}

TEST(VLMBitRoutines, RawBuffers) {
  uint8_t buf[3] = {};
  VLMSetBit(true, 0, buf);
  VLMSetBit(true, 9, buf);
  VLMSetBit(true, 23, buf);
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[1], 0x02);
  EXPECT_EQ(buf[2], 0x80);
  EXPECT_TRUE(VLMGetBit(9, buf));
  EXPECT_FALSE(VLMGetBit(8, buf));
  VLMSetBit(false, 9, buf);
  EXPECT_EQ(buf[1], 0x00);
}

TEST(VLMNewGUIDName, PrefixAndRegistryForm) {
  const std::string a = VLMNewGUIDName("TEMPORARY_INDEX_");
  const std::string b = VLMNewGUIDName("TEMPORARY_INDEX_");
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(
      a, std::regex("TEMPORARY_INDEX_\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}")))
      << a;
}

// ------------------------------------------------------------ record bitmap

// Index positions of the fake are plain numbers; the bitmap passes them
// through as TVLMKeyPath references without looking inside.
struct FakePosition {
  int64_t n = -1;
};
TVLMKeyPath& AsPath(FakePosition& p) { return reinterpret_cast<TVLMKeyPath&>(p); }
const FakePosition& FromPath(const TVLMKeyPath& p) { return reinterpret_cast<const FakePosition&>(p); }
FakePosition& FromPath(TVLMKeyPath& p) { return reinterpret_cast<FakePosition&>(p); }

// Ten records per page; index positions number records in reverse order of
// a table of 1000 records.
class FakeNumbering : public TVLMRecordNumbering {
public:
  int64_t RecordIDToRecordNo(const TVLMRecordID& id) override { return id.Page * 10 + id.Row; }
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& id) override {
    id.Page = static_cast<uint32_t>(recordNo / 10);
    id.Row = static_cast<uint16_t>(recordNo % 10);
  }
  int64_t IndexPositionToRecordNo(int32_t indexID, const TVLMKeyPath& position) override {
    LastIndexID = indexID;
    return FromPath(position).n;
  }
  void RecordNoToIndexPosition(int32_t indexID, TVLMKeyPath& position, int64_t recordNo) override {
    LastIndexID = indexID;
    FromPath(position).n = recordNo;
  }
  uint32_t GetChangeStamp() override { return Stamp; }

  uint32_t Stamp = 0;
  int32_t LastIndexID = 0;
};

TVLMRecordID Rec(int64_t recordNo) {
  return TVLMRecordID{static_cast<uint32_t>(recordNo / 10), static_cast<uint16_t>(recordNo % 10)};
}

TEST(TVLMRecordBitmap, CreationNeedsATable) {
  EXPECT_EQ(Raised([] { TVLMRecordBitmap b(nullptr); }).Message(),
            "Nil pointer occured - Native error: 10425");
  FakeNumbering table;
  TVLMRecordBitmap b(&table);
  EXPECT_EQ(b.Stamp, -1);
  EXPECT_EQ(b.GetRecordCount(), 0);
}

TEST(TVLMRecordBitmap, RecNoAndRecordNumbers) {
  FakeNumbering table;
  TVLMRecordBitmap b(&table);
  b.SetBitCount(10);
  for (int64_t n : {2, 4, 7}) b.IncludeRecord(Rec(n));
  EXPECT_EQ(b.GetRecordCount(), 3);
  EXPECT_EQ(b.GetRecNoOfRecordNo(4), 2);
  EXPECT_EQ(b.GetRecNoOfRecordID(Rec(7)), 3);
  EXPECT_EQ(b.GetRecNoOfRecordNo(10), -1);
  EXPECT_EQ(b.GetRecNoOfRecordNo(-1), -1);
  TVLMRecordID id;
  b.GetRecordIDOfRecNo(id, 3);
  EXPECT_EQ(id, Rec(7));
  EXPECT_EQ(Raised([&] { b.GetRecordIDOfRecNo(id, 4); }).NativeError, 10428);

  b.ExcludeRecord(Rec(4));
  EXPECT_EQ(b.GetRecordCount(), 2);
  b.IncludeRecord(Rec(20));  // past the end: grows to 21 bits
  EXPECT_EQ(b.Bits().BitCount(), 21);
  EXPECT_EQ(b.GetRecordCount(), 3);
  for (int64_t n = 10; n < 20; ++n) EXPECT_FALSE(b.Bits().GetBit(n));
  EXPECT_TRUE(b.Bits().GetBit(20));
}

TEST(TVLMRecordBitmap, NavigationInNaturalOrder) {
  FakeNumbering table;
  TVLMRecordBitmap b(&table);
  b.SetBitCount(50);
  for (int64_t n : {5, 17, 33}) b.IncludeRecord(Rec(n));
  TVLMRecordID id;
  ASSERT_TRUE(b.FindRecord(true, false, id, Rec(0)));
  EXPECT_EQ(id, Rec(33));
  ASSERT_TRUE(b.FindRecord(true, true, id, Rec(0)));
  EXPECT_EQ(id, Rec(5));
  ASSERT_TRUE(b.FindRecord(false, true, id, Rec(5)));
  EXPECT_EQ(id, Rec(17));
  ASSERT_TRUE(b.FindRecord(false, false, id, Rec(17)));
  EXPECT_EQ(id, Rec(5));
  EXPECT_FALSE(b.FindRecord(false, true, id, Rec(33)));
  EXPECT_FALSE(b.FindRecord(false, false, id, Rec(5)));
  b.IncludeAll();
  EXPECT_EQ(b.GetRecordCount(), 50);
  b.Filled = true;
  b.Reset();
  EXPECT_FALSE(b.Filled);
  EXPECT_EQ(b.Bits().BitCount(), 0);
  EXPECT_FALSE(b.FindRecord(true, true, id, Rec(0)));
}

TEST(TVLMRecordBitmap, IndexOrderAndResetOnChange) {
  FakeNumbering table;
  TVLMRecordBitmap b(&table);
  b.ResetOnChange = true;
  b.Filled = true;
  b.SetBitCount(30);
  FakePosition pos;
  for (int64_t n : {1, 12, 25}) {
    pos.n = n;
    b.IncludeRecordAt(4, AsPath(pos));
  }
  EXPECT_EQ(table.LastIndexID, 4);
  EXPECT_EQ(b.GetRecordCount(), 3);
  pos.n = 12;
  EXPECT_TRUE(b.ContainsRecord(4, AsPath(pos)));
  pos.n = 13;
  EXPECT_FALSE(b.ContainsRecord(4, AsPath(pos)));
  pos.n = 99;
  EXPECT_FALSE(b.ContainsRecord(4, AsPath(pos)));

  FakePosition next;
  b.GotoRecNo(4, AsPath(next), 2);
  EXPECT_EQ(next.n, 12);
  FakePosition current;
  current.n = 12;
  ASSERT_TRUE(b.GotoNextRecord(false, true, 4, AsPath(next), AsPath(current)));
  EXPECT_EQ(next.n, 25);
  ASSERT_TRUE(b.GotoNextRecord(true, false, 4, AsPath(next), AsPath(current)));
  EXPECT_EQ(next.n, 25);
  current.n = 1;
  EXPECT_FALSE(b.GotoNextRecord(false, false, 4, AsPath(next), AsPath(current)));

  pos.n = 12;
  b.ExcludeRecordAt(4, AsPath(pos));
  EXPECT_EQ(b.GetRecordCount(), 2);

  // A change by record ID empties a bitmap kept in index order.
  b.ExcludeRecord(Rec(1));
  EXPECT_EQ(b.GetRecordCount(), 0);
  EXPECT_EQ(b.Bits().BitCount(), 0);
  EXPECT_FALSE(b.Filled);
}

TEST(TVLMRecordBitmap, OutdatedWhenTheStampMoves) {
  FakeNumbering table;
  table.Stamp = 41;
  TVLMRecordBitmap b(&table);
  EXPECT_TRUE(b.IsOutdated());
  b.Stamp = 41;
  EXPECT_FALSE(b.IsOutdated());
  table.Stamp = 42;
  EXPECT_TRUE(b.IsOutdated());
  // Stamps past 2^31 compare by their 32 bits.
  table.Stamp = 0xFFFFFFFFu;
  b.Stamp = -1;
  EXPECT_FALSE(b.IsOutdated());
}

}  // namespace
