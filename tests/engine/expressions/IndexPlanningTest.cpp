// Index planning: which conjuncts become index conditions, with which scan
// operator and how many key columns; the condition array's bookkeeping; and
// taking covered conjuncts out of a filter for a walk and back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/core/VLMMemory.h"
#include "tests/support/EngineErrors.h"
#include "tests/engine/expressions/ExpressionTestSupport.h"

namespace {

using namespace expr_test;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

struct IndexSpec {
  const char* Name;
  int32_t ObjectID;
  std::vector<std::string> Columns;
  bool Descending = false;
  bool CaseInsensitive = false;
};

std::unique_ptr<TVLMIndexDefs> Indexes(std::initializer_list<IndexSpec> specs) {
  auto defs = std::make_unique<TVLMIndexDefs>();
  for (const IndexSpec& s : specs) {
    TVLMIndexDef* def = defs->AddIndexDef();
    def->Name = s.Name;
    def->ObjectID = s.ObjectID;
    def->SetColumnCount(static_cast<int32_t>(s.Columns.size()));
    for (size_t i = 0; i < s.Columns.size(); ++i) {
      def->GetColumn(static_cast<int32_t>(i)).Name = s.Columns[i];
      def->GetColumn(static_cast<int32_t>(i)).Descending = s.Descending;
      def->GetColumn(static_cast<int32_t>(i)).CaseInsensitive = s.CaseInsensitive;
    }
  }
  return defs;
}

TEST(IndexPlanningTest, ConjunctsBecomeIndexConditions) {
  RecordCursor cursor({{"A", dtInteger}, {"B", dtInteger}, {"Name", dtChar, 5}, {"Notes", dtMemo}});
  TVLMCursor* c = &cursor;
  struct Case {
    const char* what;
    std::function<NodePtr()> build;
    IndexSpec index;
    uint8_t scanOperator;  // 0: no index condition
    int32_t keyFields;
  };
  auto a = [&] { return Field(c, "A"); };
  auto b = [&] { return Field(c, "B"); };
  auto name = [&] { return Field(c, "Name"); };
  const Case cases[] = {
      {"A > 5 descending", [&] { return Cmp(kVLMOpGreater, a(), Int(5)); }, {"D", 1, {"A"}, true}, kVLMScanLess, 1},
      {"A <= 5 descending", [&] { return Cmp(kVLMOpLessEqual, a(), Int(5)); }, {"D", 1, {"A"}, true}, kVLMScanGreaterEqual, 1},
      {"A IS NOT NULL descending", [&] { return Bool(kVLMOpIsNotNull, a()); }, {"D", 1, {"A"}, true}, kVLMScanLess, 1},
      {"A IS NOT NULL", [&] { return Bool(kVLMOpIsNotNull, a()); }, {"I", 1, {"A"}}, kVLMScanGreater, 1},
      {"5 < A", [&] { return Cmp(kVLMOpLess, Int(5), a()); }, {"I", 1, {"A"}}, kVLMScanGreater, 1},
      {"A <> 5", [&] { return Cmp(kVLMOpNotEqual, a(), Int(5)); }, {"I", 1, {"A"}}, 0, 0},
      {"A = 1 AND B = 2", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpEqual, a(), Int(1)), Cmp(kVLMOpEqual, b(), Int(2))); },
       {"AB", 1, {"A", "B"}}, kVLMScanEqual, 2},
      {"B = 2 AND A = 1 AND NULL", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpEqual, b(), Int(2)),
                                                     Bool(kVLMOpAnd, Cmp(kVLMOpEqual, a(), Int(1)), Bool(kVLMOpIsNull, Int(1))));
       }, {"AB", 1, {"A", "B"}}, kVLMScanEqual, 2},
      {"A = 1 AND B IS NULL", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpEqual, a(), Int(1)), Bool(kVLMOpIsNull, b())); },
       {"AB", 1, {"A", "B"}}, kVLMScanEqual, 2},
      {"A = 1 AND B > 2", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpEqual, a(), Int(1)), Cmp(kVLMOpGreater, b(), Int(2))); },
       {"AB", 1, {"A", "B"}}, kVLMScanEqual, 1},
      {"A > 1 AND B = 2", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpGreater, a(), Int(1)), Cmp(kVLMOpEqual, b(), Int(2))); },
       {"AB", 1, {"A", "B"}}, kVLMScanGreater, 1},
      {"A = 1 OR B = 2", [&] { return Bool(kVLMOpOr, Cmp(kVLMOpEqual, a(), Int(1)), Cmp(kVLMOpEqual, b(), Int(2))); },
       {"AB", 1, {"A", "B"}}, 0, 0},
      {"NOT A = 1", [&] { return Bool(kVLMOpNot, Cmp(kVLMOpEqual, a(), Int(1))); }, {"I", 1, {"A"}}, 0, 0},
      {"Name = 'abcde' (declared length)", [&] { return Cmp(kVLMOpEqual, name(), Text("abcde")); }, {"N", 1, {"Name"}}, 0, 0},
      {"Name = 'abcd'", [&] { return Cmp(kVLMOpEqual, name(), Text("abcd")); }, {"N", 1, {"Name"}}, kVLMScanEqual, 1},
      {"Name = 'abcd' on a case-free index", [&] { return Cmp(kVLMOpEqual, name(), Text("abcd")); },
       {"N", 1, {"Name"}, false, true}, 0, 0},
      {"UPPER(Name) = 'k1ab'", [&] { return Cmp(kVLMOpEqual, std::make_unique<UpperNode>(name()), Text("k1ab")); },
       {"N", 1, {"Name"}, false, true}, 0, 0},
      {"UPPER(Name) = 'K1AB'", [&] { return Cmp(kVLMOpEqual, std::make_unique<UpperNode>(name()), Text("K1AB")); },
       {"N", 1, {"Name"}, false, true}, kVLMScanEqual, 1},
      {"Notes = 'x'", [&] { return Cmp(kVLMOpEqual, Field(c, "Notes"), Text("x")); }, {"M", 1, {"Notes"}}, 0, 0},
      // Under SQL's null rules a comparison with NULL holds for no row: no
      // key condition, which would find the null fields; a locate's does.
      {"A = NULL (null rules)", [&] { return Cmp(kVLMOpEqual, a(), Int(std::nullopt)); }, {"I", 1, {"A"}}, 0, 0},
      {"A < NULL (null rules)", [&] { return Cmp(kVLMOpLess, a(), Int(std::nullopt)); }, {"I", 1, {"A"}}, 0, 0},
      {"A = NULL (locate)", [&] { return Cmp(kVLMOpEqual, a(), Int(std::nullopt), false); }, {"I", 1, {"A"}},
       kVLMScanEqual, 1},
      {"A = 1 AND B = NULL", [&] { return Bool(kVLMOpAnd, Cmp(kVLMOpEqual, a(), Int(1)), Cmp(kVLMOpEqual, b(), Int(std::nullopt))); },
       {"AB", 1, {"A", "B"}}, kVLMScanEqual, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    TVLMExpression filter(k.build());
    auto indexes = Indexes({k.index});
    TVLMScanSearchConditionArray conditions;
    conditions.AddExpression(&filter);
    conditions.BuildIndexConditions(*indexes, 0);
    ASSERT_EQ(conditions.GetCount(), k.scanOperator == 0 ? 1 : 2);
    if (k.scanOperator == 0) continue;
    const TVLMScanSearchCondition& made = conditions.GetItem(1);
    EXPECT_EQ(made.Operator, k.scanOperator);
    EXPECT_EQ(made.KeyFieldCount, k.keyFields);
    EXPECT_EQ(made.IndexID, 1);
    EXPECT_TRUE(made.IndexCondition);
    EXPECT_EQ(made.Sources.size(), static_cast<size_t>(k.keyFields));
  }
}

TEST(IndexPlanningTest, ConditionArrayBookkeeping) {
  RecordCursor cursor({{"A", dtInteger}});
  TVLMScanSearchConditionArray conditions;
  TVLMScanSearchCondition neither;
  EXPECT_EQ(RaisedMessage([&] { conditions.Add(neither); }),
            "Invalid scan condition - indexID = -1, count = 0 - Native error: 10388");
  TVLMExpression filter;
  TVLMScanSearchCondition withExpression;
  withExpression.Expression = &filter;
  conditions.Add(withExpression);
  EXPECT_EQ(RaisedMessage([&] { conditions.Delete(-1); }),
            "Invalid item number - ItemNo = -1, ItemCount = 1 - Native error: 10413");
  EXPECT_EQ(RaisedCode([&] { conditions.Delete(1); }), 10413);

  // A copy of a condition over the cursor's key buffer owns a block of its
  // own; freeing the copy leaves the cursor's buffer alone.
  uint8_t* key = cursor.AllocKeyBuffer();
  std::memset(key, 0x5A, static_cast<size_t>(cursor.KeyBufferSize));
  {
    TVLMScanSearchCondition shared(true);
    shared.KeyBuffer = key;
    shared.KeyBufferSize = cursor.KeyBufferSize;
    shared.IndexID = 7;
    conditions.Add(shared);
    const TVLMScanSearchCondition& copy = conditions.GetItem(1);
    EXPECT_NE(copy.KeyBuffer, key);
    EXPECT_FALSE(copy.KeyBufferNotOwned);
    EXPECT_EQ(std::memcmp(copy.KeyBuffer, key, static_cast<size_t>(cursor.KeyBufferSize)), 0);
    conditions.Delete(1);
  }
  EXPECT_EQ(VLMMemoryManager().GetMemSize(key), cursor.KeyBufferSize);
  EXPECT_EQ(key[0], 0x5A);
  VLMMemoryManager().FreeMem(key);
}

// count index conditions on distinct index IDs 100, 101, ...
void FillIndexConditions(TVLMScanSearchConditionArray& conditions, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    TVLMScanSearchCondition c;
    c.IndexID = 100 + i;
    c.IndexCondition = true;
    conditions.Add(c);
  }
}

TEST(IndexPlanningTest, RemovingIndexConditionsKeepsTheChosenPair) {
  struct Case {
    int32_t count, keep1, keep2;
    std::vector<int32_t> survivors;  // index IDs left, in order
    int32_t newKeep1, newKeep2;
  };
  const Case cases[] = {
      {4, 2, 2, {102, 103}, 0, 0},
      {300, 280, 290, {380, 390, 399}, 0, 1},
      {300, 299, 3, {103, 399}, 1, 0},
  };
  for (const Case& c : cases) {
    TVLMScanSearchConditionArray conditions;
    FillIndexConditions(conditions, c.count);
    int32_t keep1 = c.keep1, keep2 = c.keep2;
    conditions.RemoveIndexConditions(keep1, keep2);
    std::vector<int32_t> ids;
    for (int32_t i = 0; i < conditions.GetCount(); ++i) ids.push_back(conditions.GetItem(i).IndexID);
    EXPECT_EQ(ids, c.survivors);
    EXPECT_EQ(keep1, c.newKeep1);
    EXPECT_EQ(keep2, c.newKeep2);
  }
}

TEST(IndexPlanningTest, CoveredConjunctsLeaveTheFilterOnlyForTheWalk) {
  RecordCursor cursor({{"A", dtInteger}, {"B", dtInteger}, {"Name", dtChar, 8}});
  TVLMExpression filter(Bool(kVLMOpAnd, Cmp(kVLMOpEqual, Field(&cursor, "A"), Int(1)),
                             Cmp(kVLMOpEqual, Field(&cursor, "Name"), Text("x")), Cmp(kVLMOpEqual, Field(&cursor, "B"), Int(2))));
  const std::vector<TVLMExprNode*> before{filter.GetRoot()->Child(0), filter.GetRoot()->Child(1),
                                          filter.GetRoot()->Child(2)};
  auto indexes = Indexes({{"AB", 1, {"A", "B"}}});
  TVLMScanSearchConditionArray conditions;
  conditions.AddExpression(&filter);
  conditions.BuildIndexConditions(*indexes, 0);
  ASSERT_EQ(conditions.GetCount(), 2);
  EXPECT_THROW(
      {
        TVLMDetachedConjuncts detached(conditions, 1, 1);
        ASSERT_EQ(filter.GetRoot()->ChildCount(), 1);
        EXPECT_EQ(filter.GetRoot()->Child(0), before[1]);
        throw std::runtime_error("walk failed");
      },
      std::runtime_error);
  ASSERT_EQ(filter.GetRoot()->ChildCount(), 3);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(filter.GetRoot()->Child(i), before[static_cast<size_t>(i)]);

  // A whole-root conjunct leaves the expression empty and comes back as root.
  TVLMExpression single(Cmp(kVLMOpEqual, Field(&cursor, "A"), Int(1)));
  TVLMExprNode* root = single.GetRoot();
  TVLMScanSearchConditionArray one;
  one.AddExpression(&single);
  one.BuildIndexConditions(*indexes, 0);
  {
    TVLMDetachedConjuncts detached(one, 1, -1);
    EXPECT_TRUE(single.IsEmptyCondition());
  }
  EXPECT_EQ(single.GetRoot(), root);
}

}  // namespace
