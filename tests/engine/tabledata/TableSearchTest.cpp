// The steps of the table search: the merge table against a brute-force
// filter, the edges of FindRecord, the counters, and the sound handling of
// zero cost figures and of a filter that raises during a walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/VLMMemory.h"
#include "platform/host/ScopeExit.h"
#include "tests/engine/expressions/ExpressionTestSupport.h"
#include "tests/support/engine/ReferenceEngine.h"

namespace tabledata_test {
namespace {

using expr_test::Bool;
using expr_test::Cmp;
using expr_test::Field;
using expr_test::Int;
using schema_test::RaisedCode;
using schema_test::RaisedMessage;

uint64_t Key(const TVLMRecordID& id) { return (uint64_t{id.Page} << 16) | id.Row; }

// ------------------------------------------------------------- merge table

// A table over (A, B) with every pair of null and 0-4, indexed on (A, B), on
// every engine.
class MergeTable : public ::testing::TestWithParam<EngineKind> {
protected:
  void SetUp() override {
    database->ConnectSession(&session);
    t.Create({{"A", dtInteger}, {"B", dtInteger}}, {{"AB", "A;B"}});
    for (int a = -1; a < 5; ++a)
      for (int b = -1; b < 5; ++b) {
        t.PrepareInsert();
        t.SetInt(0, a < 0 ? std::nullopt : std::optional<int64_t>(a));
        t.SetInt(1, b < 0 ? std::nullopt : std::optional<int64_t>(b));
        t.Post(true);
        records.push_back(
            {t.Position.RecordID, std::vector<uint8_t>(t.RecordBuffer, t.RecordBuffer + t.RecordBufferSize)});
      }
    t.UseIndex("AB");
    index = t.Table().IndexManager->GetIndex(t.IndexID);
  }

  // An index condition "(A, B) op (a, b)" over fieldCount fields.
  void Make(TVLMScanSearchCondition& c, uint8_t op, int a, int b, int32_t fieldCount) {
    c.Operator = op;
    c.KeyBuffer = t.AllocRecordBuffer();
    c.KeyBufferSize = t.RecordBufferSize;
    t.InitRecordBuffer(c.KeyBuffer, false);
    t.SetInt(0, a, c.KeyBuffer);
    t.SetInt(1, b, c.KeyBuffer);
    c.KeyFieldCount = fieldCount;
    c.IndexID = t.IndexID;
  }
  bool Meets(const TVLMScanSearchCondition& c, const uint8_t* record) {
    return VLMScanOperatorHolds(c.Operator, index->CompareRecordWithKey(record, c.KeyBuffer, c.KeyFieldCount));
  }
  // The records every condition of conditions lets through.
  std::set<uint64_t> Selected(const TVLMScanSearchConditionArray& conditions) {
    std::set<uint64_t> keys;
    for (const auto& [id, data] : records) {
      bool all = true;
      for (int32_t i = 0; i < conditions.GetCount(); ++i) all = all && Meets(conditions.GetItem(i), data.data());
      if (all) keys.insert(Key(id));
    }
    return keys;
  }
  // A range walk over two conditions, started and ended as the search does.
  std::set<uint64_t> Walked(const TVLMScanSearchConditionArray& conditions, bool forward) {
    const TVLMScanSearchCondition& a = conditions.GetItem(0);
    const TVLMScanSearchCondition& b = conditions.GetItem(1);
    const bool aIsLower = index->CompareConditions(a, b) <= 0;
    const TVLMScanSearchCondition& start = aIsLower == forward ? a : b;
    const TVLMScanSearchCondition& end = &start == &a ? b : a;
    std::set<uint64_t> keys;
    TVLMIndexWalk* walk = index->CreateWalk();
    TVLMRecordID id;
    for (bool first = true; index->FindNextInRange(session.SessionID, first, walk, id, t.RecordBuffer, &end, &start,
                                                   forward);
         first = false)
      keys.insert(Key(id));
    index->FreeWalk(walk);
    return keys;
  }

  schema_test::TestSession session;
  std::unique_ptr<TVLMDatabaseData> database = NewDatabase(GetParam());
  TableCursor t{*database, session, "M"};
  std::vector<std::pair<TVLMRecordID, std::vector<uint8_t>>> records;
  TVLMIndex* index = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Engines, MergeTable,
                         ::testing::Values(EngineKind::Reference, EngineKind::Disk, EngineKind::Memory,
                                           EngineKind::Temporary),
                         [](const ::testing::TestParamInfo<EngineKind>& info) { return EngineKindName(info.param); });

TEST_P(MergeTable, MergedConditionsSelectWhatThePairSelects) {
  // The index is used directly, under the table lock as the search uses it.
  auto guard = t.Table().LockGuard();
  const uint8_t ops[] = {kVLMScanEqual, kVLMScanLess, kVLMScanGreater, kVLMScanLessEqual, kVLMScanGreaterEqual};
  // Per cell (E's operator, C's operator): some case was merged or found
  // impossible, so no row of the table is dead.
  bool reduced[6][6] = {};
  for (uint8_t opE : ops)
    for (uint8_t opC : ops)
      for (int32_t fE : {1, 2})
        for (int32_t fC : {1, 2})
          for (int a = 1; a <= 3; ++a)
            for (int b = 1; b <= 3; ++b) {
              // E's key (2, 2) against C's (a, b): cmp <, = and > on each
              // leading field.
              TVLMScanSearchCondition e, c;
              Make(e, opE, 2, 2, fE);
              Make(c, opC, a, b, fC);
              auto conditions = std::make_unique<TVLMScanSearchConditionArray>();
              conditions->Add(e);
              conditions->Add(c);
              const std::set<uint64_t> expected = Selected(*conditions);
              bool noMatch = false;
              t.Table().MergeConditions(conditions, noMatch);
              const std::string what = "E op " + std::to_string(opE) + " f" + std::to_string(fE) + ", C op " +
                                       std::to_string(opC) + " (" + std::to_string(a) + "," + std::to_string(b) +
                                       ") f" + std::to_string(fC);
              if (noMatch) {
                EXPECT_TRUE(expected.empty()) << what;
                EXPECT_EQ(conditions->GetCount(), 2) << what;
                reduced[opE][opC] = true;
                continue;
              }
              ASSERT_GE(conditions->GetCount(), 1) << what;
              ASSERT_LE(conditions->GetCount(), 2) << what;
              EXPECT_EQ(Selected(*conditions), expected) << what;
              if (conditions->GetCount() == 1) {
                reduced[opE][opC] = true;
                continue;
              }
              // A pair the merge keeps is walked as one range.
              EXPECT_EQ(Walked(*conditions, true), expected) << what << " forward";
              EXPECT_EQ(Walked(*conditions, false), expected) << what << " backward";
            }
  for (uint8_t opE : ops)
    for (uint8_t opC : ops) EXPECT_TRUE(reduced[opE][opC]) << "cell " << int(opE) << " " << int(opC);
}

// ------------------------------------------------------------ the search

enum { kID, kA, kB, kD };

class TableSearch : public ::testing::Test {
protected:
  void SetUp() override {
    db.ConnectSession(&session);
    t.Create({{"ID", dtAutoinc}, {"A", dtInteger}, {"B", dtInteger}, {"D", dtInteger}},
             {{"PK", "ID", true}, {"ByA", "A"}, {"ByB", "B"}});
  }
  void Fill(int count) {
    for (int i = 0; i < count; ++i)
      t.Append({std::nullopt, std::to_string(i % 10), std::to_string(i % 7), std::to_string(i % 5)});
  }
  TVLMSearchFigures Figures() { return t.Table().GetSearchFigures(); }
  // The IDs the cursor shows from the start.
  std::vector<std::string> Shown() { return t.Column(kID); }

  RefDatabaseData db;
  schema_test::TestSession session;
  TableCursor t{db, session, "S"};
};

TEST_F(TableSearch, EdgesOfTheSearch) {
  // FillAll on an empty table: false and an empty bitmap.
  TVLMRecordBitmap bitmap(&t.Table());
  EXPECT_FALSE(t.Table().FindRecord(&t, nullptr, true, &bitmap, nullptr, true, true, nullptr));
  EXPECT_EQ(bitmap.GetRecordCount(), 0);

  Fill(50);
  // A contradiction on one index reads no record.
  {
    TVLMExpression condition(Bool(kVLMOpAnd, Cmp(kVLMOpEqual, Field(&t, "A"), Int(5)),
                                  Cmp(kVLMOpEqual, Field(&t, "A"), Int(6))));
    const TVLMSearchFigures before = Figures();
    EXPECT_FALSE(t.Table().Locate(&t, &condition));
    const TVLMSearchFigures d = Figures() - before;
    EXPECT_EQ(d.Road(TVLMSearchRoad::NoMatch), 1);
    EXPECT_EQ(d.RecordsRead, 0);
  }
  // An equality on the one-column primary index is walked on it while
  // another index gives the order: one key, one record read by the walk and
  // one by the locate.
  {
    t.UseIndex("ByB");
    TVLMExpression condition(Bool(kVLMOpAnd, Cmp(kVLMOpEqual, Field(&t, "A"), Int(3)),
                                  Cmp(kVLMOpEqual, Field(&t, "ID"), Int(14))));
    const TVLMSearchFigures before = Figures();
    ASSERT_TRUE(t.Table().Locate(&t, &condition));
    const TVLMSearchFigures d = Figures() - before;
    EXPECT_EQ(t.Int(kID), 14);
    EXPECT_EQ(d.Road(TVLMSearchRoad::WalkIndexRangeByBitmap), 1);
    EXPECT_EQ(d.IndexSteps, 1);
    EXPECT_EQ(d.RecordsRead, 2);
  }
  // A start condition out of range.
  TVLMScanSearchConditionArray conditions;
  TVLMExpression any(Cmp(kVLMOpEqual, Field(&t, "D"), Int(1)));
  conditions.AddExpression(&any);
  TVLMSearchRequest search;
  search.Cursor = &t;
  EXPECT_EQ(RaisedMessage([&] {
              TVLMRecordID found;
              t.Table().DispatchSearch(search, conditions, 1, -1, found);
            }),
            "Invalid condition number = 1, count = 1 - Native error: 10382");
}

TEST_F(TableSearch, ACompleteBitmapAnswersUntilTheTableChanges) {
  Fill(60);
  TVLMExpression filter(Cmp(kVLMOpGreater, Field(&t, "D"), Int(2)));
  int64_t matches = 24;
  for (const char* index : {"", "ByA"}) {
    t.UseIndex(index);
    t.SetFilterExpression(&filter);
    EXPECT_EQ(t.GetRecordCount(), matches) << index;
    TVLMSearchFigures before = Figures();
    EXPECT_EQ(t.GetRecordCount(), matches) << index;
    EXPECT_EQ((Figures() - before).RecordsRead, 0) << index;
    t.Append({std::nullopt, "1", "1", "4"});
    before = Figures();
    EXPECT_EQ(t.GetRecordCount(), ++matches) << index;
    EXPECT_GT((Figures() - before).RecordsRead, 0) << index;
  }
  t.SetFilterExpression(nullptr);
}

// --------------------------------------------------------------- the mends

TEST_F(TableSearch, ZeroCostFiguresNeitherDivideByZeroNorLoseTheRange) {
  Fill(50);
  struct Case {
    TVLMIndexPageFigures Figures;
    uint16_t PageDataSize;
    int HighestID;
    TVLMSearchRoad Road;
  };
  // Every key counts as one page of its own, yet the figures stay finite: a
  // range of one key is walked even when the page size is unknown; a range
  // over every key costs more than the scan beside it.
  const Case cases[] = {{{0, 0}, 0, 1, TVLMSearchRoad::WalkIndexRangeNaturalOrder},
                        {{0, 0}, 4056, 50, TVLMSearchRoad::ScanNavigationOrder},
                        {{100, 20}, 0, 1, TVLMSearchRoad::WalkIndexRangeNaturalOrder},
                        {{-5, 2}, 4056, 1, TVLMSearchRoad::WalkIndexRangeNaturalOrder}};
  for (const Case& c : cases) {
    t.Ref().IndexPageFigures = c.Figures;
    t.Ref().PageDataSizeFigure = c.PageDataSize;
    TVLMExpression filter(Bool(kVLMOpAnd, Cmp(kVLMOpLessEqual, Field(&t, "ID"), Int(c.HighestID)),
                               Cmp(kVLMOpGreaterEqual, Field(&t, "D"), Int(0))));
    t.SetFilterExpression(&filter);
    const TVLMSearchFigures before = Figures();
    EXPECT_EQ(Shown().size(), static_cast<size_t>(c.HighestID)) << c.PageDataSize;
    EXPECT_GT((Figures() - before).Road(c.Road), 0) << c.PageDataSize << " " << c.HighestID;
    t.SetFilterExpression(nullptr);
  }
}

// A conjunct that raises once armed, as a failing cast would.
class RaisingNode : public TVLMExprNode {
public:
  explicit RaisingNode(bool& armed) : Armed_(armed) {}
  TVLMVariant& GetValue() override {
    if (Armed_) throw EVLMException(30102, "Cannot convert value");
    Result.SetAsBoolean(true);
    return Result;
  }

private:
  bool& Armed_;
};

TEST_F(TableSearch, AFilterThatRaisesDuringAWalkIsWholeAfterwards) {
  Fill(40);
  struct Case {
    const char* Index;
    const char* Field;  // the conjunct "Field = 3" beside the raising one
    TVLMSearchRoad Road;
    size_t Matches;
  };
  const Case cases[] = {{"", "D", TVLMSearchRoad::ScanNavigationOrder, 8},
                        {"", "A", TVLMSearchRoad::WalkIndexRangeNaturalOrder, 4},
                        {"ByA", "A", TVLMSearchRoad::WalkNavigationIndexRange, 4},
                        {"ByB", "A", TVLMSearchRoad::WalkIndexRangeByBitmap, 4}};
  for (const Case& c : cases) {
    bool armed = false;
    TVLMExpression filter(Bool(kVLMOpAnd, Cmp(kVLMOpEqual, Field(&t, c.Field), Int(3)),
                               std::make_unique<RaisingNode>(armed)));
    std::vector<const TVLMExprNode*> whole;
    for (int32_t i = 0; i < filter.GetRoot()->ChildCount(); ++i) whole.push_back(filter.GetRoot()->Child(i));
    t.UseIndex(c.Index);
    t.SetFilterExpression(&filter);
    armed = true;
    t.SetToBegin();
    const TVLMSearchFigures before = Figures();
    EXPECT_EQ(RaisedCode([&] { t.GetRecord(1); }), 30102) << c.Index << " " << c.Field;
    EXPECT_EQ((Figures() - before).Road(c.Road), 1) << c.Index << " " << c.Field;
    ASSERT_EQ(filter.GetRoot()->ChildCount(), 2) << c.Index << " " << c.Field;
    for (int32_t i = 0; i < 2; ++i) EXPECT_EQ(filter.GetRoot()->Child(i), whole[static_cast<size_t>(i)]);
    // Disarmed, the same filter shows its matches.
    armed = false;
    EXPECT_EQ(Shown().size(), c.Matches) << c.Index << " " << c.Field;
    t.SetFilterExpression(nullptr);
  }
}

}  // namespace
}  // namespace tabledata_test
