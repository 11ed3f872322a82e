// Range walks and estimates of the reference index and of the B-tree record
// index against a brute-force filter of their entries (the table search
// relies on them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/VLMMemory.h"
#include "tests/support/engine/ReferenceEngine.h"

namespace tabledata_test {
namespace {

enum { kID, kPoints };

uint64_t Key(const TVLMRecordID& id) { return (uint64_t{id.Page} << 16) | id.Row; }

class RangeWalks : public ::testing::TestWithParam<EngineKind> {};

INSTANTIATE_TEST_SUITE_P(Engines, RangeWalks, ::testing::Values(EngineKind::Reference, EngineKind::Disk),
                         [](const ::testing::TestParamInfo<EngineKind>& info) { return EngineKindName(info.param); });

TEST_P(RangeWalks, RangeWalksMeetTheirConditionsInIndexOrder) {
  RefDatabaseData db(GetParam());
  schema_test::TestSession session;
  db.ConnectSession(&session);
  TableCursor t(db, session, "T");
  t.Create({{"ID", dtAutoinc}, {"Points", dtInteger}}, {{"ByPoints", "Points"}});
  for (int points : {5, 2, 7, 2, 9, 5, 0, 5, 3}) t.Append({std::nullopt, std::to_string(points)});
  t.UseIndex("ByPoints");
  TVLMIndex& index = *t.Table().IndexManager->GetIndex(t.IndexID);

  // A condition "Points op key" with its own key buffer.
  struct Condition {
    uint8_t Op;
    int Key;
  };
  std::vector<uint8_t*> keys;
  auto make = [&](const Condition& c, TVLMScanSearchCondition& out) {
    out.Operator = c.Op;
    out.KeyBuffer = t.AllocKeyBuffer();
    keys.push_back(out.KeyBuffer);
    t.InitKeyBuffer(out.KeyBuffer);
    t.SetInt(kPoints, c.Key, out.KeyBuffer);
    out.KeyBufferSize = t.KeyBufferSize;
    out.KeyFieldCount = 1;
    out.IndexID = t.IndexID;
    out.KeyBufferNotOwned = true;
  };
  // Single conditions both ways; pairs walk from the lower bound forward or
  // from the upper bound backward.
  struct Walk {
    Condition Start;
    std::optional<Condition> End;
    bool Forward;
  };
  std::vector<Walk> walks = {{{kVLMScanGreater, 2}, Condition{kVLMScanLessEqual, 7}, true},
                             {{kVLMScanLessEqual, 7}, Condition{kVLMScanGreater, 2}, false},
                             {{kVLMScanGreaterEqual, 5}, Condition{kVLMScanLess, 5}, true},
                             {{kVLMScanLess, 9}, Condition{kVLMScanGreaterEqual, 2}, false}};
  for (const Condition& c : {Condition{kVLMScanEqual, 5}, Condition{kVLMScanGreater, 2},
                             Condition{kVLMScanGreaterEqual, 5}, Condition{kVLMScanLess, 5},
                             Condition{kVLMScanLessEqual, 2}, Condition{kVLMScanEqual, 4}})
    for (bool forward : {true, false}) walks.push_back({c, std::nullopt, forward});
  for (const Walk& w : walks) {
    TVLMScanSearchCondition start, end;
    make(w.Start, start);
    make(w.End.value_or(w.Start), end);
    // Brute force: the entries in index order meeting both conditions.
    std::vector<uint64_t> expected;
    t.SetToBegin();
    while (t.GetRecord(1) == kVLMNavOK) {
      const int32_t c1 = index.CompareRecordWithKey(t.RecordBuffer, start.KeyBuffer, 1);
      const int32_t c2 = index.CompareRecordWithKey(t.RecordBuffer, end.KeyBuffer, 1);
      if (VLMScanOperatorHolds(start.Operator, c1) && VLMScanOperatorHolds(end.Operator, c2))
        expected.push_back(Key(t.Position.RecordID));
    }
    if (!w.Forward) std::reverse(expected.begin(), expected.end());
    std::vector<uint64_t> walked;
    TVLMIndexWalk* walk = index.CreateWalk();
    TVLMRecordID id;
    const TVLMScanSearchCondition* endCondition = w.End ? &end : nullptr;
    for (bool first = true; index.FindNextInRange(0, first, walk, id, t.RecordBuffer, endCondition, &start, w.Forward);
         first = false)
      walked.push_back(Key(id));
    index.FreeWalk(walk);
    const std::string what =
        std::to_string(w.Start.Op) + " " + std::to_string(w.Start.Key) + (w.Forward ? " fw" : " bw");
    EXPECT_EQ(walked, expected) << what;
    // The reference counts; the B-tree estimates from the positions of the
    // range's ends, within one record on a single leaf.
    const int64_t estimate = index.EstimateRangeCount(0, &start, endCondition, 9);
    const auto exact = static_cast<int64_t>(expected.size());
    if (GetParam() == EngineKind::Reference)
      EXPECT_EQ(estimate, exact) << what;
    else
      EXPECT_LE(std::abs(estimate - exact), 1) << what;
  }
  // A walk continued from a record inside the range goes on after it.
  TVLMScanSearchCondition from;
  make({kVLMScanGreaterEqual, 3}, from);
  t.SetRecNo(5);  // the first record with 5 points
  TVLMIndexWalk* walk = index.CreateWalk();
  TVLMRecordID id = t.Position.RecordID;
  ASSERT_TRUE(index.FindNextInRange(0, false, walk, id, t.RecordBuffer, nullptr, &from, true));
  t.SetRecNo(6);
  EXPECT_EQ(id, t.Position.RecordID);
  index.FreeWalk(walk);
  for (uint8_t* key : keys) VLMMemoryManager().FreeMem(key);
}

}  // namespace
}  // namespace tabledata_test
