// Index keys made from records, their comparison (nulls, descending and
// case-insensitive columns, prefixes settled by the records, partial
// searches), the page-number keys, and key paths with their approximate
// positions.
#include <gtest/gtest.h>

#include <random>

#include "tests/engine/btree/BTreeTestSupport.h"
#include "tests/support/TestBudget.h"

using namespace btree_test;

namespace {

class BTreeKeyTest : public ::testing::Test {
protected:
  void SetUp() override {
    IntField = Table.AddField("N", dtInteger);
    ShortField = Table.AddField("SHORT", dtString, 12);
    LongField = Table.AddField("LONG", dtString, 40);
    WideField = Table.AddField("WIDE", dtWideString, 30);
  }
  // A stored record with the given values; nullopt-like: empty optional
  // text is null.
  std::vector<uint8_t> Rec(int32_t n, const char* shortText, const char* longText, TVLMRecordID id = {0, 0}) {
    std::vector<uint8_t> r = Table.NewRecord();
    Table.SetInt(r, IntField, n);
    if (shortText) Table.SetString(r, ShortField, shortText);
    else Table.SetNull(r, ShortField);
    if (longText) Table.SetString(r, LongField, longText);
    else Table.SetNull(r, LongField);
    if (id.Page != 0) Table.Store(id, r);
    return r;
  }
  std::vector<uint8_t> Key(TVLMRecordKeyRef& ref, const std::vector<uint8_t>& rec) {
    std::vector<uint8_t> k(static_cast<size_t>(ref.KeySize), 0xEE);
    ref.MakeKey(rec.data(), k.data());
    return k;
  }

  TestTable Table;
  int32_t IntField = 0, ShortField = 0, LongField = 0, WideField = 0;
};

TEST_F(BTreeKeyTest, BuildLaysOutPartsAndPrefixes) {
  auto def = MakeIndexDef({{"n"}, {"Short"}, {"LONG"}, {"WIDE"}});
  TVLMRecordKeyRef ref;
  ref.Build(*def, &Table);
  ASSERT_EQ(ref.PartCount, 4);
  // INTEGER: null byte + 4; VARCHAR(12): 13 bytes of data fit under the
  // limit; VARCHAR(40) and WIDESTRING(30) keep 20 bytes and two zeros.
  const int32_t sizes[] = {5, 14, 23, 23};
  const int32_t fullSizes[] = {5, 14, 42, 63};
  int32_t offset = 0, fullOffset = 0;
  for (int i = 0; i < 4; ++i) {
    const TVLMKeyPart& p = ref.Parts[static_cast<size_t>(i)];
    EXPECT_EQ(p.PartSize, sizes[i]) << i;
    EXPECT_EQ(p.FullPartSize, fullSizes[i]) << i;
    EXPECT_EQ(p.TruncBytes, i >= 2 ? 2 : 0) << i;
    EXPECT_EQ(p.KeyOffset, offset);
    EXPECT_EQ(p.FullKeyOffset, fullOffset);
    EXPECT_EQ(p.FieldNo, i);
    EXPECT_EQ(p.RecordOffset, Table.Fields.GetFieldDef(i)->BufferOffset);
    offset += sizes[i];
    fullOffset += fullSizes[i];
  }
  EXPECT_EQ(ref.KeySize, offset);
  EXPECT_EQ(ref.FullKeySize, fullOffset);
  EXPECT_TRUE(ref.HasPrefixParts());
  EXPECT_EQ(ref.PartLimits, std::vector<int32_t>(4, -1));
}

TEST_F(BTreeKeyTest, LengthLimitZeroMeansTheDefaultAndNumbersAreNeverCut) {
  TestTable t;
  t.AddField("S", dtString, 40);
  t.AddField("BIG", dtLargeInt);
  auto def = MakeIndexDef({{"S", false, false, 0}, {"BIG", false, false, 3}});
  TVLMRecordKeyRef ref;
  ref.Build(*def, &t);
  // A zero limit would make every text key equal.
  EXPECT_EQ(ref.Parts[0].PartSize, 23);
  EXPECT_EQ(ref.Parts[0].TruncBytes, 2);
  EXPECT_EQ(ref.Parts[1].PartSize, 9);
  EXPECT_EQ(ref.Parts[1].TruncBytes, 0);
  std::vector<uint8_t> a = t.NewRecord(), b = t.NewRecord();
  t.SetString(a, 0, "apple");
  t.SetString(b, 0, "banana");
  t.SetInt(a, 1, 0);
  t.SetInt(b, 1, 0);
  std::vector<uint8_t> ka(static_cast<size_t>(ref.KeySize)), kb(static_cast<size_t>(ref.KeySize));
  ref.MakeKey(a.data(), ka.data());
  ref.MakeKey(b.data(), kb.data());
  EXPECT_EQ(ref.Compare(ka.data(), kb.data(), nullptr, nullptr, 0, false), -1);
}

TEST_F(BTreeKeyTest, BuildFailures) {
  TVLMRecordKeyRef ref;
  EXPECT_EQ(RaisedMessage([&] { ref.Build(*MakeIndexDef({{"NOPE"}}), &Table); }),
            "Cannot find index field 'NOPE' - Native error: 20043");
  TestTable blobs;
  blobs.AddField("MEMO", dtMemo);
  EXPECT_EQ(RaisedCode([&] { ref.Build(*MakeIndexDef({{"MEMO"}}), &blobs); }), 20295);
  EXPECT_EQ(RaisedCode([&] { ref.Build(*MakeIndexDef({{"N"}}), nullptr); }), 20044);
  struct NoFields : TVLMKeyTableAccess {
    TVLMFieldDefs* GetIndexedFieldDefs() override { return nullptr; }
    bool ReadIndexedRecord(int32_t, const TVLMRecordID&, uint8_t*) override { return false; }
  } noFields;
  EXPECT_EQ(RaisedCode([&] { ref.Build(*MakeIndexDef({{"N"}}), &noFields); }), 20045);
}

TEST_F(BTreeKeyTest, MakeKeyStoresNullByteValueAndPrefixTerminator) {
  auto def = MakeIndexDef({{"N"}, {"SHORT"}, {"LONG"}});
  TVLMRecordKeyRef ref;
  ref.Build(*def, &Table);
  const auto rec = Rec(0x01020304, nullptr, "abcdefghijklmnopqrstuvwxyz");
  const auto k = Key(ref, rec);
  EXPECT_EQ(ref.RecordBuffer, rec.data());
  const std::vector<uint8_t> intPart(k.begin(), k.begin() + 5);
  EXPECT_EQ(intPart, (std::vector<uint8_t>{0, 4, 3, 2, 1}));
  // A null part: null byte 1, value bytes zero.
  EXPECT_EQ(k[5], 1);
  for (int i = 6; i < 19; ++i) EXPECT_EQ(k[static_cast<size_t>(i)], 0) << i;
  // The prefix: 20 characters, then two zero bytes.
  EXPECT_EQ(k[19], 0);
  EXPECT_EQ(std::string(k.begin() + 20, k.begin() + 40), "abcdefghijklmnopqrst");
  EXPECT_EQ(k[40], 0);
  EXPECT_EQ(k[41], 0);
}

TEST_F(BTreeKeyTest, NullsSortFirstAndDescendingPartsAreInverted) {
  auto def = MakeIndexDef({{"SHORT"}, {"N", true}});
  TVLMRecordKeyRef ref;
  ref.Build(*def, &Table);
  const auto nullA = Key(ref, Rec(1, nullptr, nullptr));
  const auto nullB = Key(ref, Rec(2, nullptr, nullptr));
  const auto a1 = Key(ref, Rec(1, "a", nullptr));
  const auto a2 = Key(ref, Rec(2, "a", nullptr));
  const auto b1 = Key(ref, Rec(1, "b", nullptr));
  auto cmp = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
    return ref.Compare(x.data(), y.data(), nullptr, nullptr, 0, true);
  };
  EXPECT_EQ(cmp(nullA, a1), -1);
  EXPECT_EQ(cmp(a1, nullA), 1);
  // Two nulls are equal; the descending second part decides.
  EXPECT_EQ(cmp(nullA, nullB), 1);
  EXPECT_EQ(cmp(a1, a2), 1);
  EXPECT_EQ(cmp(a2, a1), -1);
  // The ascending first part keeps its sign.
  EXPECT_EQ(cmp(a2, b1), -1);
  EXPECT_EQ(cmp(a1, a1), 0);
  // Only leading parts count while PartCount is lowered.
  ref.PartCount = 1;
  EXPECT_EQ(cmp(a1, a2), 0);
}

TEST_F(BTreeKeyTest, CaseInsensitiveColumns) {
  TVLMRecordKeyRef exact, noCase;
  exact.Build(*MakeIndexDef({{"SHORT"}}), &Table);
  noCase.Build(*MakeIndexDef({{"SHORT", false, true}}), &Table);
  const auto lower = Rec(0, "smith", nullptr), upper = Rec(0, "SMITH", nullptr), next = Rec(0, "Smithe", nullptr);
  EXPECT_EQ(exact.Compare(Key(exact, lower).data(), Key(exact, upper).data(), nullptr, nullptr, 0, true), -1);
  EXPECT_EQ(noCase.Compare(Key(noCase, lower).data(), Key(noCase, upper).data(), nullptr, nullptr, 0, true), 0);
  EXPECT_EQ(noCase.Compare(Key(noCase, upper).data(), Key(noCase, next).data(), nullptr, nullptr, 0, true), -1);
}

TEST_F(BTreeKeyTest, PrefixTiesAreSettledByTheRecordsOnlyWhenExact) {
  TVLMRecordKeyRef ref;
  ref.Build(*MakeIndexDef({{"LONG"}, {"N"}}), &Table);
  // Equal in their first 20 characters.
  const TVLMRecordID idZ{10, 1}, idA{11, 2};
  const auto z = Rec(1, nullptr, "abcdefghijklmnopqrstZZZ", idZ);
  const auto a = Rec(2, nullptr, "abcdefghijklmnopqrstAAA", idA);
  const auto kz = Key(ref, z);
  const auto ka = Key(ref, a);
  uint8_t rz[6], ra[6];
  VLMPutRecordID(rz, idZ);
  VLMPutRecordID(ra, idA);
  Table.RecordReads = 0;
  // Not exact (as in a node): the prefixes are equal, later parts unread.
  EXPECT_EQ(ref.Compare(kz.data(), ka.data(), ra, rz, 0, false), 0);
  EXPECT_EQ(Table.RecordReads, 0);
  // Exact (as in a leaf): the full values, read back, decide.
  EXPECT_EQ(ref.Compare(kz.data(), ka.data(), ra, rz, 0, true), 1);
  EXPECT_EQ(ref.Compare(ka.data(), kz.data(), rz, ra, 0, true), -1);
  EXPECT_GT(Table.RecordReads, 0);
  // Key1 without a record ID was made from ref.RecordBuffer (the last
  // MakeKey: a).
  EXPECT_EQ(ref.Compare(ka.data(), kz.data(), rz, nullptr, 0, true), -1);
  // Case inside the prefixes gives way to a letter behind them.
  uint8_t ru[6];
  VLMPutRecordID(ru, {12, 3});
  const auto ku = Key(ref, Rec(3, nullptr, "ABCdefghijklmnopqrstA", {12, 3}));
  EXPECT_EQ(ref.Compare(ku.data(), kz.data(), rz, ru, 0, false), 0);
  EXPECT_EQ(ref.Compare(ku.data(), kz.data(), rz, ru, 0, true), -1);
  // The entry's record cannot be read.
  uint8_t missing[6];
  VLMPutRecordID(missing, {99, 9});
  EXPECT_EQ(RaisedCode([&] { ref.Compare(kz.data(), ka.data(), missing, rz, 0, true); }), 20170);
}

TEST_F(BTreeKeyTest, ValuesShorterThanThePrefixNeedNoRecord) {
  TVLMRecordKeyRef ref;
  ref.Build(*MakeIndexDef({{"LONG"}, {"N"}}), &Table);
  const TVLMRecordID id1{20, 1}, id2{21, 1};
  const auto k1 = Key(ref, Rec(1, nullptr, "short", id1));
  const auto k2 = Key(ref, Rec(2, nullptr, "short", id2));
  // Exactly 20 characters: the value fills the prefix, a record is read.
  const TVLMRecordID id3{22, 1}, id4{23, 1};
  const auto k3 = Key(ref, Rec(1, nullptr, "abcdefghijklmnopqrst", id3));
  const auto k4 = Key(ref, Rec(2, nullptr, "abcdefghijklmnopqrst", id4));
  uint8_t r1[6], r2[6], r3[6], r4[6];
  VLMPutRecordID(r1, id1);
  VLMPutRecordID(r2, id2);
  VLMPutRecordID(r3, id3);
  VLMPutRecordID(r4, id4);
  Table.RecordReads = 0;
  EXPECT_EQ(ref.Compare(k1.data(), k2.data(), r2, r1, 0, true), -1);  // the integer part decides
  EXPECT_EQ(Table.RecordReads, 0);
  EXPECT_EQ(ref.Compare(k3.data(), k4.data(), r4, r3, 0, true), -1);
  EXPECT_EQ(Table.RecordReads, 2);
}

TEST_F(BTreeKeyTest, PartLimitsCompareLeadingCharacters) {
  TVLMRecordKeyRef ref;
  ref.Build(*MakeIndexDef({{"SHORT"}, {"WIDE"}}), &Table);
  auto search = Rec(0, "smi", nullptr);
  Table.SetWide(search, WideField, u"ab");
  auto entry = Rec(0, "smith", nullptr);
  Table.SetWide(entry, WideField, u"abc");
  const auto ke = Key(ref, entry);
  const auto ks = Key(ref, search);
  EXPECT_EQ(ref.Compare(ks.data(), ke.data(), nullptr, nullptr, 0, true), -1);
  ref.SetPartLimits(search.data(), true);
  EXPECT_EQ(ref.PartLimits, (std::vector<int32_t>{3, 2}));
  EXPECT_EQ(ref.Compare(ks.data(), ke.data(), nullptr, nullptr, 0, true), 0);
  ref.SetPartLimits(search.data(), false);
  EXPECT_EQ(ref.PartLimits, (std::vector<int32_t>{-1, -1}));
  // A null field gets no limit.
  auto nullSearch = Rec(0, nullptr, nullptr);
  ref.SetPartLimits(nullSearch.data(), true);
  EXPECT_EQ(ref.PartLimits[0], -1);
}

TEST(BTreeKeyValuesTest, RecordIDsComparePageSignedThenSlot) {
  uint8_t a[6], b[6];
  auto cmp = [&](TVLMRecordID x, TVLMRecordID y) {
    VLMPutRecordID(a, x);
    VLMPutRecordID(b, y);
    return TVLMBTreeKeyRef::CompareValues(a, b, 6);
  };
  EXPECT_EQ(cmp({1, 5}, {2, 0}), -1);
  EXPECT_EQ(cmp({2, 1}, {2, 0}), 1);
  EXPECT_EQ(cmp({2, 0xFFFF}, {2, 0xFFFF}), 0);
  EXPECT_EQ(cmp({0x80000000u, 0}, {1, 0}), -1);  // a negative page number
  const uint8_t c[2] = {0x01, 0x02}, d[2] = {0x02, 0x01};
  EXPECT_EQ(TVLMBTreeKeyRef::CompareValues(c, d, 2), -1);  // bytes from the first
}

TEST(BTreeKeyValuesTest, PageKeysAreSignedPageNumbers) {
  TVLMPageKeyRef ref;
  EXPECT_EQ(ref.KeySize, 4);
  EXPECT_EQ(ref.FullKeySize, 4);
  EXPECT_EQ(ref.ValueSize, 2);
  EXPECT_FALSE(ref.HasPrefixParts());
  uint8_t a[4], b[4];
  VLMPutI32LE(a, -1);
  VLMPutI32LE(b, 7);
  EXPECT_EQ(ref.Compare(a, b, nullptr, nullptr, 0, true), -1);
  EXPECT_EQ(ref.CompareFull(b, a), 1);
  EXPECT_EQ(ref.Compare(b, b, nullptr, nullptr, 0, false), 0);
  uint8_t* key = ref.AllocKey();
  EXPECT_EQ(VLMGetI32LE(key), 0);
  ref.FreeKey(key);
  EXPECT_EQ(key, nullptr);
}

// ------------------------------------------------------------- key paths

TEST(BTreeKeyPathTest, ComparePaths) {
  TVLMKeyPath a, b;
  a.Push(1, 0, 3);
  a.Push(5, 2, 4);
  b.Push(1, 0, 3);
  b.Push(5, 3, 4);
  EXPECT_EQ(a.ComparePaths(b), -1);
  EXPECT_EQ(b.ComparePaths(a), 1);
  EXPECT_EQ(a.ComparePaths(a), 0);
  TVLMKeyPath shallow;
  shallow.Push(1, 0, 3);
  EXPECT_EQ(RaisedMessage([&] { a.ComparePaths(shallow); }), "Invalid index key path - Native error: 20051");
  TVLMKeyPath other;
  other.Push(1, 0, 3);
  other.Push(6, 0, 4);
  EXPECT_EQ(RaisedCode([&] { a.ComparePaths(other); }), 20052);
  TVLMKeyPath full;
  for (int i = 0; i < TVLMKeyPath::kMaxDepth; ++i) full.Push(i, 0, 1);
  EXPECT_EQ(RaisedCode([&] { full.Push(99, 0, 1); }), 20340);
}

TEST(BTreeKeyPathTest, ApproximatePositionsRoundTrip) {
  TVLMKeyPath empty;
  EXPECT_EQ(empty.GetApproxPosition(100), 0);
  EXPECT_EQ(empty.GetPositionFraction(), 0.0);
  std::mt19937 rng(7);
  for (int32_t fanOut : {1, 2, 450, 1014}) {
    const auto budget = qv::test::TestBudget::Steps(200, 5);
    for (uint64_t round = 0; budget.Continue(round); ++round) {
      TVLMKeyPath p;
      const int depth = 1 + static_cast<int>(rng() % 5);
      for (int level = 0; level < depth; ++level)
        p.Push(100 + level, static_cast<int32_t>(rng() % static_cast<uint32_t>(fanOut)), fanOut);
      const int64_t position = p.GetApproxPosition(fanOut);
      ASSERT_GT(position, 0);
      TVLMKeyPath back;
      back.SetApproxPosition(position, fanOut);
      ASSERT_EQ(back.Depth, depth);
      for (int level = 0; level < depth; ++level) {
        ASSERT_EQ(back.Levels[level].EntryNo, p.Levels[level].EntryNo) << fanOut << " level " << level;
        ASSERT_EQ(back.Levels[level].PageNo, -1);
        ASSERT_EQ(back.Levels[level].EntryCount, 0);
      }
      ASSERT_EQ(back.GetApproxPosition(fanOut), position);
    }
  }
  // The root's digit is the most significant: (1 + 1) * 11 + (3 + 1).
  TVLMKeyPath p;
  p.Push(1, 1, 5);
  p.Push(2, 3, 5);
  EXPECT_EQ(p.GetApproxPosition(10), 26);
  EXPECT_DOUBLE_EQ(p.GetPositionFraction(), (1 * 5 + 3) / 25.0);
  TVLMKeyPath none;
  none.SetApproxPosition(0, 10);
  EXPECT_EQ(none.Depth, 0);
}

TEST(BTreeKeyPathTest, ApproximatePositionsOutOfRange) {
  TVLMKeyPath deep;
  for (int i = 0; i < 12; ++i) deep.Push(i, 4000, 4096);
  EXPECT_EQ(RaisedCode([&] { deep.GetApproxPosition(4096); }), 20341);
  EXPECT_EQ(RaisedCode([&] { deep.GetApproxPosition(0); }), 20341);
  TVLMKeyPath p;
  EXPECT_EQ(RaisedCode([&] { p.SetApproxPosition(5, 0); }), 20342);
  // Base 2 needs 63 digits for the largest position: more than 32 levels.
  EXPECT_EQ(RaisedCode([&] { p.SetApproxPosition(INT64_MAX, 1); }), 20342);
}

}  // namespace
