// The B-tree record index at its edges: record numbers and steps at both
// ends, key checks, updates that leave the key alone, DISTINCT filtering of
// a record bitmap, and paths whose entry numbers lie outside their pages.
#include <gtest/gtest.h>

#include "engine/core/VLMCheck.h"
#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

enum { kID, kCall, kMode };

class RecordIndex : public ::testing::Test {
protected:
  void SetUp() override {
    // Calls longer than the key prefix of 20 characters, many sharing it.
    const char* const calls[] = {"W1AW",  "K1ABC",  "PREFIXPREFIXPREFIXPRE_B", "PREFIXPREFIXPREFIXPRE_A",
                                 "DL1AA", "K1ABC", "AA1A", "ZL2QQ", "W1AW", "VE3XX", "G4ABC"};
    for (int id = 1; id <= 33; ++id) ids.push_back(table.Insert({std::to_string(id), calls[id % 11], "CW"}));
    order = table.Walk("ByCall");
  }
  TVLMRecordID At(size_t k) const {
    return {static_cast<uint32_t>(order[k] >> 16), static_cast<uint16_t>(order[k] & 0xFFFF)};
  }

  DiskTable table{256,
                  {{"ID", dtInteger}, {"Call", dtString, 30}, {"Mode", dtString, 6}},
                  {{"ByCall", "Call"}, {"ByID", "ID", false, true}}};
  std::vector<TVLMRecordID> ids;
  std::vector<uint64_t> order;
};

TEST_F(RecordIndex, RecordNumbersAndStepsAtBothEnds) {
  TVLMBTreeRecordIndex& index = table.Index("ByCall");
  const auto count = static_cast<int64_t>(order.size());
  struct Number {
    int64_t RecNo;
    int32_t Code;
  };
  for (const Number& n : {Number{1, 0}, Number{count, 0}, Number{count + 1, 20075}, Number{0, 20074}}) {
    TVLMRecordID id;
    EXPECT_EQ(RaisedCode([&] { index.SetRecNo(0, id, n.RecNo); }), n.Code) << n.RecNo;
    if (n.Code != 0) continue;
    EXPECT_EQ(id, At(static_cast<size_t>(n.RecNo - 1)));
    ASSERT_TRUE(table.Go(id));
    EXPECT_EQ(index.GetRecNo(0, id, table.Cursor.RecordBuffer), n.RecNo);
  }
  EXPECT_EQ(index.GetRecNo(0, {9999, 0}, table.Cursor.RecordBuffer), -1);
  struct Step {
    size_t From;
    uint8_t Mode, Result;
    bool Bof, Eof;
  };
  for (const Step& s : {Step{order.size() - 1, 1, kVLMNavEOF, false, true}, Step{0, 2, kVLMNavBOF, true, false}}) {
    ASSERT_TRUE(table.Go(At(s.From)));
    TVLMNavigationRequest request;
    request.Mode = s.Mode;
    request.RecordID = At(s.From);
    request.RecordBuffer = table.Cursor.RecordBuffer;
    index.GetRecord(0, request, 0, nullptr);
    EXPECT_EQ(request.Result, s.Result);
    EXPECT_EQ(request.Bof, s.Bof);
    EXPECT_EQ(request.Eof, s.Eof);
  }
}

TEST_F(RecordIndex, KeyChecksAndUpdatesThatKeepTheKey) {
  TVLMBTreeRecordIndex& byCall = table.Index("ByCall");
  TVLMBTreeRecordIndex& byID = table.Index("ByID");
  std::vector<uint8_t> probe(static_cast<size_t>(table.Cursor.RecordBufferSize));
  table.Cursor.InitRecordBuffer(probe.data(), false);
  table.Cursor.SetText(kCall, "K1ABC", probe.data());
  // Free on a unique index: no entry with the key, null parts equal.
  struct Key {
    std::optional<int64_t> ID;
    bool Free;
  };
  for (const Key& k : {Key{5, false}, Key{999, true}, Key{std::nullopt, true}}) {
    table.Cursor.SetInt(kID, k.ID, probe.data());
    EXPECT_EQ(byID.CanInsertKey(0, probe.data()), k.Free) << k.ID.value_or(-1);
    EXPECT_TRUE(byCall.CanInsertKey(0, probe.data()));
  }
  table.Insert({std::nullopt, "N0NE", "CW"});
  EXPECT_FALSE(byID.CanInsertKey(0, probe.data()));

  ASSERT_TRUE(table.Go(ids[3]));
  table.Cursor.Edit();
  table.Cursor.SetText(kMode, "SSB");
  EXPECT_TRUE(byID.CanUpdateKey(0, table.Cursor.OldRecordBuffer, table.Cursor.RecordBuffer));
  for (bool removeOld : {true, false}) {
    byCall.UpdateRecord(&table.Cursor, removeOld);
    byID.UpdateRecord(&table.Cursor, removeOld);
    EXPECT_FALSE(table.Pages().HasSessionChanges(0)) << removeOld;
  }
  table.Cursor.SetInt(kID, 7);
  EXPECT_FALSE(byID.CanUpdateKey(0, table.Cursor.OldRecordBuffer, table.Cursor.RecordBuffer));
}

TEST_F(RecordIndex, RemoveDuplicatesKeepsTheFirstRecordOfEveryKey) {
  TVLMBTreeRecordIndex& index = table.Index("ByCall");
  TVLMRecordBitmap bitmap(&table.Cursor.Table());
  const int32_t objectID = index.IndexDef->ObjectID;
  // Every record but the very first of the index joins the bitmap.
  TVLMKeyPath path;
  for (bool more = index.GoFirst(0, path), first = true; more; more = index.NextEntry(0, path), first = false)
    if (!first) bitmap.IncludeRecordAt(objectID, path);
  index.SetBitmapInfo(0, &bitmap, 1);
  std::vector<std::string> kept, expected;
  for (bool more = index.GoFirst(0, path), first = true; more; more = index.NextEntry(0, path), first = false) {
    ASSERT_TRUE(table.Go(index.GetRecordIDAt(0, path)));
    const std::string call = *table.Cursor.Text(kCall);
    if (bitmap.ContainsRecord(objectID, path)) kept.push_back(call);
    if (!first && (expected.empty() || expected.back() != call)) expected.push_back(call);
  }
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(RaisedCode([&] { index.SetBitmapInfo(0, nullptr, 1); }), 20076);
}

TEST_F(RecordIndex, PathEntriesOutsideTheirPagesAreKeptInside) {
  TVLMBTreeRecordIndex& index = table.Index("ByCall");
  TVLMKeyPath first;
  ASSERT_TRUE(index.GoFirst(0, first));
  ASSERT_GE(first.Depth, 2);
  const auto depth = static_cast<size_t>(first.Depth);
  TVLMKeyPath leafEnd = first;
  leafEnd.Levels[depth - 1].EntryNo = first.Levels[depth - 1].EntryCount - 1;
  std::vector<int32_t> lastOfFirstLeaf(depth, 0);
  lastOfFirstLeaf.back() = 9999;
  struct Case {
    std::vector<int32_t> Entries;  // per level from the root
    TVLMRecordID Expected;
  };
  for (const Case& c : {Case{std::vector<int32_t>(depth, 0), At(0)}, Case{std::vector<int32_t>(depth, 9999), At(32)},
                        Case{std::vector<int32_t>(depth, -5), At(0)},
                        Case{lastOfFirstLeaf, index.GetRecordIDAt(0, leafEnd)}, Case{{0}, At(0)}}) {
    TVLMKeyPath path;
    path.Depth = static_cast<int32_t>(c.Entries.size());
    for (size_t level = 0; level < c.Entries.size(); ++level) path.Levels[level] = {-1, c.Entries[level], 0};
    TVLMRecordID id;
    index.KeyPathToRecordID(0, path, id);
    EXPECT_EQ(id, c.Expected) << c.Entries[0];
  }
  TVLMRecordID id;
  EXPECT_EQ(RaisedCode([&] { index.KeyPathToRecordID(0, TVLMKeyPath(), id); }), 20068);
}

#if VLM_DEBUG_CHECKS
// A keyed probe's visitor must leave the table alone: the walk goes on along
// the leaves it read. A debug build stops a visitor that inserts a record,
// naming the rule; one that only looks is answered.
using RecordIndexDeathTest = RecordIndex;
TEST_F(RecordIndexDeathTest, AProbeWhoseVisitorChangesTheTableStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TVLMBTreeRecordIndex& index = table.Index("ByID");
  ASSERT_TRUE(table.Go(ids[4]));
  TVLMScanSearchCondition key(true);
  key.Operator = kVLMScanEqual;
  key.KeyBuffer = table.Cursor.RecordBuffer;
  key.KeyBufferSize = table.Cursor.RecordBufferSize;
  key.KeyFieldCount = 1;
  key.IndexID = table.Cursor.IndexID;
  std::vector<TVLMRecordID> visited;
  EXPECT_TRUE(index.ProbeEqual(0, key, nullptr, [&](const TVLMRecordID& id) {
    visited.push_back(id);
    return true;
  }));
  EXPECT_EQ(visited, std::vector<TVLMRecordID>{ids[4]});
  EXPECT_DEATH(index.ProbeEqual(0, key, nullptr,
                                [&](const TVLMRecordID&) {
                                  table.Insert({"99", "N0CALL", "CW"});
                                  return false;
                                }),
               "Invariant VLMBTreeRecordIndex 5 violated");
}
#endif

}  // namespace
}  // namespace storage_test
