// The B-tree record index at its edges: record numbers and steps at both
// ends, key checks of unique and non-unique indexes, updates that leave the
// key alone, DISTINCT filtering of a record bitmap, and paths whose entry
// numbers lie outside their pages.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/storage/DiskTableSupport.h"

namespace storage_test {
namespace {

using qv::test::RaisedCode;

enum { kID, kCall, kMode };

// Calls longer than the key prefix of 20 characters, many sharing it.
const char* const kCalls[] = {"W1AW", "K1ABC", "PREFIXPREFIXPREFIXPRE_B", "PREFIXPREFIXPREFIXPRE_A", "DL1AA",
                              "K1ABC", "PREFIXPREFIXPREFIXPRE_B", "AA1A", "ZL2QQ", "W1AW", "VE3XX", "G4ABC"};

class RecordIndex : public ::testing::Test {
protected:
  void SetUp() override {
    int id = 0;
    for (int round = 0; round < 3; ++round)
      for (const char* call : kCalls) ids.push_back(table.Insert({std::to_string(++id), call, "CW"}));
  }
  // Record IDs in the order of an index, as the cursor walks it.
  std::vector<TVLMRecordID> Order(const char* name) {
    std::vector<TVLMRecordID> order;
    table.Cursor.UseIndex(name);
    table.Cursor.SetToBegin();
    while (table.Cursor.GetRecord(1) == kVLMNavOK) order.push_back(table.Cursor.Position.RecordID);
    return order;
  }

  DiskTable table{256,
                  {{"ID", dtInteger}, {"Call", dtString, 30}, {"Mode", dtString, 6}},
                  {{"ByCall", "Call"}, {"ByID", "ID", false, true}}};
  std::vector<TVLMRecordID> ids;
};

TEST_F(RecordIndex, RecordNumbersAndStepsAtBothEnds) {
  const std::vector<TVLMRecordID> order = Order("ByCall");
  TVLMBTreeRecordIndex& index = table.Index("ByCall");
  const auto count = static_cast<int64_t>(order.size());
  for (int64_t k = 1; k <= count; ++k) {
    ASSERT_TRUE(table.Go(order[static_cast<size_t>(k - 1)]));
    EXPECT_EQ(index.GetRecNo(0, table.Cursor.Position.RecordID, table.Cursor.RecordBuffer), k);
    TVLMRecordID id;
    index.SetRecNo(0, id, k);
    EXPECT_EQ(id, order[static_cast<size_t>(k - 1)]);
  }
  table.Cursor.SetText(kCall, "NOT STORED");
  EXPECT_EQ(index.GetRecNo(0, {9999, 0}, table.Cursor.RecordBuffer), -1);
  struct Edge {
    int64_t RecNo;
    int32_t Code;
  };
  for (const Edge& e : {Edge{count + 1, 20075}, Edge{0, 20074}, Edge{-3, 20074}}) {
    TVLMRecordID id;
    EXPECT_EQ(RaisedCode([&] { index.SetRecNo(0, id, e.RecNo); }), e.Code) << e.RecNo;
  }
  // Next from the last entry ends after it, prior from the first before it.
  struct Step {
    TVLMRecordID From;
    uint8_t Mode;
    uint8_t Result;
    bool Bof, Eof;
  };
  for (const Step& s : {Step{order.back(), 1, kVLMNavEOF, false, true}, Step{order.front(), 2, kVLMNavBOF, true, false},
                        Step{order.front(), 1, kVLMNavOK, false, false}}) {
    ASSERT_TRUE(table.Go(s.From));
    TVLMNavigationRequest request;
    request.Mode = s.Mode;
    request.RecordID = s.From;
    request.RecordBuffer = table.Cursor.RecordBuffer;
    index.GetRecord(0, request, 0, nullptr);
    EXPECT_EQ(request.Result, s.Result);
    EXPECT_EQ(request.Bof, s.Bof);
    EXPECT_EQ(request.Eof, s.Eof);
  }
  EXPECT_EQ(index.GetFanOut(), table.Pages().PageDataSize / (index.KeyRef.KeySize + 4));
}

TEST_F(RecordIndex, KeyChecksAndUpdatesThatKeepTheKey) {
  TVLMBTreeRecordIndex& byCall = table.Index("ByCall");
  TVLMBTreeRecordIndex& byID = table.Index("ByID");
  std::vector<uint8_t> probe(table.Cursor.RecordBuffer, table.Cursor.RecordBuffer + table.Cursor.RecordBufferSize);
  struct Key {
    std::optional<int64_t> ID;
    bool Free;
  };
  for (const Key& k : {Key{5, false}, Key{999, true}, Key{std::nullopt, true}}) {
    table.Cursor.SetInt(kID, k.ID, probe.data());
    table.Cursor.SetText(kCall, "K1ABC", probe.data());
    EXPECT_EQ(byID.CanInsertKey(0, probe.data()), k.Free) << k.ID.value_or(-1);
    EXPECT_TRUE(byCall.CanInsertKey(0, probe.data()));
  }
  // Null parts equal null parts: a second null ID is a duplicate.
  table.Insert({std::nullopt, "N0NE", "CW"});
  table.Cursor.SetInt(kID, std::nullopt, probe.data());
  EXPECT_FALSE(byID.CanInsertKey(0, probe.data()));

  ASSERT_TRUE(table.Go(ids[3]));
  table.Cursor.Edit();
  EXPECT_TRUE(byID.CanUpdateKey(0, table.Cursor.OldRecordBuffer, table.Cursor.RecordBuffer));
  table.Cursor.SetText(kMode, "SSB");
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
  std::vector<TVLMRecordID> order = Order("ByCall");
  for (bool more = index.GoFirst(0, path); more; more = index.NextEntry(0, path)) {
    ASSERT_TRUE(table.Go(index.GetRecordIDAt(0, path)));
    const std::string call = *table.Cursor.Text(kCall);
    if (bitmap.ContainsRecord(objectID, path)) kept.push_back(call);
    if (table.Cursor.Position.RecordID != order.front() && (expected.empty() || expected.back() != call))
      expected.push_back(call);
  }
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(RaisedCode([&] { index.SetBitmapInfo(0, nullptr, 1); }), 20076);
}

TEST_F(RecordIndex, PathEntriesOutsideTheirPagesAreKeptInside) {
  const std::vector<TVLMRecordID> order = Order("ByCall");
  TVLMBTreeRecordIndex& index = table.Index("ByCall");
  TVLMKeyPath first;
  ASSERT_TRUE(index.GoFirst(0, first));
  ASSERT_GE(first.Depth, 2);
  TVLMKeyPath lastOfFirstLeaf = first;
  lastOfFirstLeaf.Levels[first.Depth - 1].EntryNo = first.Levels[first.Depth - 1].EntryCount - 1;
  struct Case {
    std::vector<int32_t> Entries;  // per level from the root
    TVLMRecordID Expected;
  };
  const auto depth = static_cast<size_t>(first.Depth);
  std::vector<int32_t> lastInFirstLeaf(depth, 0);
  lastInFirstLeaf.back() = 9999;
  const Case cases[] = {{std::vector<int32_t>(depth, 0), order.front()},
                        {std::vector<int32_t>(depth, 9999), order.back()},
                        {std::vector<int32_t>(depth, -5), order.front()},
                        {lastInFirstLeaf, index.GetRecordIDAt(0, lastOfFirstLeaf)},
                        {{0}, order.front()}};
  for (const Case& c : cases) {
    TVLMKeyPath path;
    path.Depth = static_cast<int32_t>(c.Entries.size());
    for (int32_t level = 0; level < path.Depth; ++level) path.Levels[level] = {-1, c.Entries[level], 0};
    TVLMRecordID id;
    index.KeyPathToRecordID(0, path, id);
    EXPECT_EQ(id, c.Expected) << c.Entries[0];
  }
  TVLMRecordID id;
  EXPECT_EQ(RaisedCode([&] { index.KeyPathToRecordID(0, TVLMKeyPath(), id); }), 20068);
}

}  // namespace
}  // namespace storage_test
