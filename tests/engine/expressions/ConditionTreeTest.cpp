// Condition trees: the locate tree, three-valued logic, field reads, the
// subquery answers, query-operator bindings and the error paths.
#include <gtest/gtest.h>

#include <functional>

#include "engine/core/VLMStreams.h"
#include "platform/host/HostVariant.h"
#include "tests/support/EngineErrors.h"
#include "tests/engine/expressions/ExpressionTestSupport.h"

namespace {

using namespace expr_test;
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

TEST(ConditionTreeTest, LocateTreeHasOneEqualityPerNameInOrder) {
  RecordCursor cursor({{"Call", dtChar, 10}, {"Freq", dtInteger}, {"Mode", dtChar, 4}});
  cursor.SetText(0, "K1ABC");
  cursor.SetInt(1, 14025);
  cursor.SetText(2, "CW");
  struct Case {
    const char* names;
    qv::HostVariant keys;
    int32_t conjuncts;  // -1: a lone comparison
    int32_t code;
  };
  const Case cases[] = {
      {"Call;Freq;Mode", qv::VarArrayOf({"K1ABC", 14025, "CW"}), 3, 0},
      {"Call", qv::HostVariant("K1ABC"), -1, 0},
      {"Call", qv::VarArrayOf({"K1ABC"}), 1, 0},
      {" Call ;  Mode ", qv::VarArrayOf({"K1ABC", "CW"}), 2, 0},
      {"Call;Mode", qv::VarArrayOf({"K1ABC", "CW", 1}), 0, 30112},
      {"Call;Freq", qv::HostVariant("K1ABC"), 0, 30112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names);
    TVLMExpression e;
    e.BuildFieldComparison(&cursor, "Freq", kVLMOpEqual, TVLMVariant());
    const int32_t code = RaisedCode([&] { e.BuildKeyValuesCondition(&cursor, c.names, c.keys, false, false); });
    EXPECT_EQ(code, c.code);
    if (code != 0) {
      EXPECT_EQ(e.GetRoot(), nullptr);
      continue;
    }
    TVLMExprNode* root = e.GetRoot();
    std::vector<TVLMExprNode*> comparisons{root};
    if (c.conjuncts >= 0) {
      ASSERT_TRUE(dynamic_cast<TVLMExprNodeBoolean*>(root) && root->Operator == kVLMOpAnd);
      ASSERT_EQ(root->ChildCount(), c.conjuncts);
      comparisons.clear();
      for (auto& child : root->Children) comparisons.push_back(child.get());
    }
    const char* expectedNames[] = {"CALL", c.conjuncts == 2 ? "MODE" : "FREQ", "MODE"};
    for (size_t i = 0; i < comparisons.size(); ++i) {
      auto* cmp = dynamic_cast<TVLMExprNodeComparison*>(comparisons[i]);
      ASSERT_NE(cmp, nullptr);
      EXPECT_EQ(cmp->Operator, kVLMOpEqual);
      EXPECT_FALSE(cmp->NullStrict);
      EXPECT_EQ(static_cast<TVLMExprNodeField*>(cmp->Child(0))->FieldName, expectedNames[i]);
    }
    EXPECT_TRUE(e.GetBooleanValue());
  }
}

TEST(ConditionTreeTest, LocateKeysForDatesAndNulls) {
  RecordCursor cursor({{"QsoDate", dtDate}, {"Call", dtChar, 10}});
  TVLMVariant day;
  day.SetAsTDate(45000.0);  // the host's date-time number, not a day number
  cursor.SetFieldValue(day, 0, true);
  TVLMExpression e;
  e.BuildKeyValuesCondition(&cursor, "QsoDate", qv::HostVariant(45000), false, false);
  EXPECT_TRUE(e.GetBooleanValue());
  e.BuildKeyValuesCondition(&cursor, "QsoDate", qv::HostVariant(45001), false, false);
  EXPECT_FALSE(e.GetBooleanValue());

  e.BuildKeyValuesCondition(&cursor, "Call", qv::HostVariant::Null(), false, false);
  EXPECT_TRUE(e.GetBooleanValue());
  cursor.SetText(1, "K1ABC");
  EXPECT_FALSE(e.GetBooleanValue());
}

NodePtr True() { return Cmp(kVLMOpEqual, Int(1), Int(1)); }
NodePtr False() { return Cmp(kVLMOpEqual, Int(1), Int(2)); }
NodePtr Unknown() { return Bool(kVLMOpLike, Text("a"), Text(std::nullopt)); }

TEST(ConditionTreeTest, ThreeValuedLogicFollowsTheTruthTables) {
  RecordCursor cursor({{"X", dtInteger}, {"S", dtString, 10}});
  cursor.SetText(1, "ABC");
  const std::nullopt_t null = std::nullopt;
  struct Case {
    const char* what;
    std::function<NodePtr()> build;
    std::optional<bool> expected;
  };
  auto between = [](std::optional<int32_t> v, std::optional<int32_t> lo, std::optional<int32_t> hi) {
    return Bool(kVLMOpBetween, Int(v), Int(lo), Int(hi));
  };
  const Case cases[] = {
      {"1 = NULL strict", [&] { return Cmp(kVLMOpEqual, Int(1), Int(null)); }, false},
      {"1 <> NULL strict", [&] { return Cmp(kVLMOpNotEqual, Int(1), Int(null)); }, false},
      {"NULL = NULL strict", [&] { return Cmp(kVLMOpEqual, Int(null), Int(null)); }, false},
      {"NULL = NULL loose", [&] { return Cmp(kVLMOpEqual, Int(null), Int(null), false); }, true},
      {"NULL < 1 loose", [&] { return Cmp(kVLMOpLess, Int(null), Int(1), false); }, true},
      {"NOT (X > 1), X null", [&] { return Bool(kVLMOpNot, Cmp(kVLMOpGreater, Field(&cursor, "X"), Int(1))); }, true},
      {"S IN ('abc'), S = 'ABC'", [&] { return Bool(kVLMOpIn, Field(&cursor, "S"), Text("abc")); }, true},
      {"2 IN (1, NULL)", [&] { return Bool(kVLMOpIn, Int(2), Int(1), Int(null)); }, false},
      {"NULL IN (1)", [&] { return Bool(kVLMOpIn, Int(null), Int(1)); }, null},
      {"X NOT IN (1), X null", [&] { return Bool(kVLMOpNotIn, Field(&cursor, "X"), Int(1)); }, null},
      {"0 BETWEEN 5 AND 1", [&] { return between(0, 5, 1); }, false},
      {"3 BETWEEN 5 AND 1", [&] { return between(3, 5, 1); }, false},
      {"6 BETWEEN 5 AND 1", [&] { return between(6, 5, 1); }, false},
      {"3 BETWEEN 1 AND 5", [&] { return between(3, 1, 5); }, true},
      {"3 NOT BETWEEN NULL AND 5", [&] { return Bool(kVLMOpNotBetween, Int(3), Int(null), Int(5)); }, null},
      {"NULL LIKE '%'", [&] { return Bool(kVLMOpLike, Text(null), Text("%")); }, true},
      {"'a' LIKE NULL", [&] { return Unknown(); }, null},
      {"S NOT LIKE 'A_C'", [&] { return Bool(kVLMOpNotLike, Field(&cursor, "S"), Text("A_C")); }, false},
      {"TRUE AND NULL", [&] { return Bool(kVLMOpAnd, True(), Unknown()); }, null},
      {"NULL AND FALSE", [&] { return Bool(kVLMOpAnd, Unknown(), False()); }, false},
      {"NULL OR TRUE", [&] { return Bool(kVLMOpOr, Unknown(), True()); }, true},
      {"NULL OR FALSE", [&] { return Bool(kVLMOpOr, Unknown(), False()); }, null},
      {"NOT NULL", [&] { return Bool(kVLMOpNot, Unknown()); }, null},
      {"X IS NULL", [&] { return Bool(kVLMOpIsNull, Field(&cursor, "X")); }, true},
      {"S IS NOT NULL", [&] { return Bool(kVLMOpIsNotNull, Field(&cursor, "S")); }, true},
  };
  for (const Case& c : cases) {
    TVLMExpression e(c.build());
    EXPECT_EQ(Answer(e), c.expected) << c.what;
  }

  // Without keepNull a null answer reads as a logical false.
  TVLMExpression e(Unknown());
  TVLMVariant* v = e.GetValue(false);
  ASSERT_FALSE(v->IsNull());
  EXPECT_EQ(v->DataType, bdtLogical);
  EXPECT_FALSE(v->GetAsBoolean());
  EXPECT_TRUE(e.GetValue(true)->IsNull());
}

// A table whose one BLOB field holds the given bytes.
class MemoTable : public TVLMTableDataBase {
public:
  explicit MemoTable(std::string bytes) : TVLMTableDataBase(nullptr), Bytes(std::move(bytes)) {}
  void RefreshSessionCursors(int32_t) override {}
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t, int32_t) override {
    OpenedOn = cursor->RecordBuffer;
    auto s = std::make_unique<TVLMMemoryStream>();
    s->Write(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    return s;
  }
  void ReleaseRecordBlobs(uint8_t* record) override { Released = record; }
  std::string Bytes;
  uint8_t* OpenedOn = nullptr;
  uint8_t* Released = nullptr;
};

TEST(ConditionTreeTest, MemoFieldsAreReadWholeThroughTheTableData) {
  const std::u16string wide = u"K\u00d8ABC Zone";  // ten characters, one beyond 8-bit ASCII
  std::string utf16le;
  for (char16_t ch : wide) utf16le += {static_cast<char>(ch & 0xFF), static_cast<char>(ch >> 8)};
  for (const bool isWide : {true, false}) {
    RecordCursor cursor({{"Notes", isWide ? dtWideMemo : dtMemo}});
    MemoTable table(isWide ? utf16le : std::string("Big gun, 59 both ways"));
    cursor.TableData = &table;
    uint8_t* own = cursor.RecordBuffer;
    uint8_t* record = cursor.AllocRecordBuffer();
    TVLMExpression e(Field(&cursor, "Notes"));
    e.SetRecordBuffer(record, false);
    const TVLMVariant* v = e.GetValue(true);
    if (isWide)
      EXPECT_EQ(v->GetAsWideString(), wide);
    else
      EXPECT_EQ(v->GetAsString(), table.Bytes);
    EXPECT_EQ(table.OpenedOn, record);
    EXPECT_EQ(table.Released, record);
    EXPECT_EQ(cursor.RecordBuffer, own);
    cursor.FreeRecordBuffer(record);
  }
}

TEST(ConditionTreeTest, SubqueryAnswers) {
  struct Case {
    uint8_t quantifier;
    uint8_t op;
    std::vector<int32_t> rows;
    int32_t x;
    bool expected;
  };
  const Case cases[] = {
      {kVLMQuantifierAll, kVLMOpGreater, {}, 5, true},  {kVLMQuantifierAny, kVLMOpGreater, {}, 5, false},
      {kVLMQuantifierAll, kVLMOpGreater, {1, 2}, 3, true}, {kVLMQuantifierAll, kVLMOpGreater, {1, 4}, 3, false},
      {kVLMQuantifierAny, kVLMOpLess, {1, 4}, 3, true},    {kVLMQuantifierAny, kVLMOpEqual, {1, 4}, 3, false},
      {kVLMQuantifierAll, kVLMOpNotEqual, {1, 4}, 3, true},
  };
  for (const Case& c : cases) {
    TVLMExpression e(std::make_unique<TVLMExprNodeComparison>(c.op, false, false, true, Int(c.x),
                                                              std::make_unique<FakeSubquery>(c.rows), c.quantifier));
    EXPECT_EQ(Answer(e), c.expected) << VLMOperatorName(c.op) << " quantifier " << int(c.quantifier);
  }
  TVLMExpression exists(Bool(kVLMOpExists, std::make_unique<FakeSubquery>(std::vector<int32_t>{})));
  EXPECT_EQ(Answer(exists), false);
  TVLMExpression in(Bool(kVLMOpNotIn, Int(4), std::make_unique<FakeSubquery>(std::vector<int32_t>{1, 4})));
  EXPECT_EQ(Answer(in), false);
}

TEST(ConditionTreeTest, ConjunctsMoveToTheOperatorsThatResolveThem) {
  FakeOperator left("L", {"X", "K"}, {7, 0});
  FakeOperator right("R", {"Y", "K"}, {2, 0});
  FakeOperator join(&left, &right);
  auto field = [](const char* table, const char* name) { return std::make_unique<TVLMExprNodeField>(nullptr, table, name); };
  TVLMExpression where(Bool(kVLMOpAnd, Cmp(kVLMOpEqual, field("L", "X"), Int(1)),
                            Cmp(kVLMOpEqual, field("R", "Y"), Int(2)), Cmp(kVLMOpEqual, field("L", "X"), field("R", "Y"))));
  TVLMExpression rest(Cmp(kVLMOpEqual, field("", "Z"), Int(3)));
  where.AndWith(rest);
  where.ExtractConditionsFor(&join, nullptr, false, true, nullptr);
  ASSERT_EQ(left.Conditions.size(), 1u);
  ASSERT_EQ(right.Conditions.size(), 1u);
  ASSERT_EQ(join.Conditions.size(), 1u);
  ASSERT_EQ(where.GetRoot()->ChildCount(), 1);  // Z = 3 stays

  // The join condition names one field of each side.
  std::vector<TVLMQualifiedFieldName> l, r;
  EXPECT_EQ(join.Conditions[0]->ExtractJoinFieldPairs(&left, &right, l, r), 1);
  EXPECT_EQ(join.Conditions[0]->GetRoot(), nullptr);
  EXPECT_EQ(l[0].TableName + "." + l[0].FieldName + "=" + r[0].TableName + "." + r[0].FieldName, "L.X=R.Y");
  TVLMExpression ambiguous(Cmp(kVLMOpEqual, field("", "K"), field("L", "X")));
  EXPECT_EQ(RaisedCode([&] { ambiguous.ExtractJoinFieldPairs(&left, &right, l, r); }), 10404);

  // A condition pushed to the left operand reads its row.
  left.Conditions[0]->BindToOperands(&left, nullptr, nullptr);
  EXPECT_FALSE(left.Conditions[0]->GetBooleanValue());
  left.Values[0] = 1;
  EXPECT_TRUE(left.Conditions[0]->GetBooleanValue());
}

TEST(ConditionTreeTest, ErrorPaths) {
  RecordCursor cursor({{"X", dtInteger}});
  TVLMExprNodeField outer(nullptr, "", "X");
  outer.OuterReference = true;
  EXPECT_EQ(RaisedCode([&] { outer.BindToCursor(nullptr, nullptr, &cursor); }), 30202);
  EXPECT_EQ(RaisedCode([&] { Field(&cursor, "Nope"); }), 30115);
  // A name no operand has: the message names a table only when one is given.
  FakeOperator op("T", {"A"});
  TVLMExprNodeField plain(nullptr, "", "X");
  TVLMExprNodeField qualified(nullptr, "T", "X");
  EXPECT_EQ(RaisedMessage([&] { plain.BindToOperands(&op, nullptr, nullptr); }),
            "Field 'X' not found - Native error: 30197");
  EXPECT_EQ(RaisedMessage([&] { qualified.BindToOperands(&op, nullptr, nullptr); }),
            "Field 'T.X' not found - Native error: 30197");

  struct Case {
    NodePtr node;
    int32_t code;
    const char* message;
  };
  Case cases[] = {
      {Cmp(19, Int(1), Int(1)), 30117, "Unknown operator: 'unknown' - Native error: 30117"},
      {Bool(40, Int(1)), 30116, "Unknown operator: 'unknown' - Native error: 30116"},
      {Bool(kVLMOpAdd, Int(1)), 30116, "Unknown operator: '+' - Native error: 30116"},
      {Bool(kVLMOpLike, Int(1), Int(1)), 30120, "Not string argument in function 'LIKE' - Native error: 30120"},
  };
  for (Case& c : cases) {
    TVLMExpression e(std::move(c.node));
    EXPECT_EQ(RaisedCode([&] { e.GetValue(true); }), c.code);
    EXPECT_EQ(RaisedMessage([&] { e.GetValue(true); }), c.message);
  }
  TVLMExpression empty;
  EXPECT_EQ(RaisedCode([&] { empty.GetBooleanValue(); }), 30110);
  EXPECT_EQ(RaisedCode([&] {
              std::string t, f;
              TVLMExpression(True()).GetFieldName(t, f);
            }),
            30198);
}

}  // namespace
