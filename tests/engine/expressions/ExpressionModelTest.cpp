// Model tests: random condition trees over random rows with nulls agree with
// a small reference evaluator written from the truth tables; random nested
// AND trees flatten into one level with the conjuncts in order.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>

#include "tests/engine/expressions/ExpressionTestSupport.h"
#include "tests/support/TestBudget.h"

namespace {

using namespace expr_test;
using Tri = std::optional<bool>;
using Value = std::optional<int32_t>;

// A row: three integer fields X0..X2 and a text field S.
struct Row {
  Value X[3];
  std::optional<std::string> S;
};

// The reference form of a tree; Build makes the engine's nodes from it.
struct Ref {
  enum Kind { Compare, CompareFields, And, Or, Not, In, Between, Like, IsNull, IsNotNull } kind = Compare;
  uint8_t op = 0;
  int field = 0, field2 = 0;
  bool nullStrict = true;
  std::vector<Value> values;  // constant, IN items, BETWEEN bounds
  std::optional<std::string> pattern;
  std::vector<Ref> kids;
};

bool LikeMatch(std::string_view v, std::string_view p) {
  if (p.empty()) return v.empty();
  if (p[0] == '%') return LikeMatch(v, p.substr(1)) || (!v.empty() && LikeMatch(v.substr(1), p));
  return !v.empty() && (p[0] == '_' || p[0] == v[0]) && LikeMatch(v.substr(1), p.substr(1));
}

// A comparison never yields null: with the null-strict flag a null operand
// makes it false, without it null is the smallest value and equals null.
Tri CompareRef(uint8_t op, Value a, Value b, bool nullStrict) {
  if ((!a || !b) && nullStrict) return false;
  const int64_t x = a ? *a : INT64_MIN, y = b ? *b : INT64_MIN;
  switch (op) {
    case kVLMOpEqual: return x == y;
    case kVLMOpNotEqual: return x != y;
    case kVLMOpGreater: return x > y;
    case kVLMOpLess: return x < y;
    case kVLMOpGreaterEqual: return x >= y;
    default: return x <= y;
  }
}

Tri Eval(const Ref& r, const Row& row) {
  switch (r.kind) {
    case Ref::Compare: return CompareRef(r.op, row.X[r.field], r.values[0], r.nullStrict);
    case Ref::CompareFields: return CompareRef(r.op, row.X[r.field], row.X[r.field2], r.nullStrict);
    case Ref::And:
    case Ref::Or: {
      const bool decisive = r.kind == Ref::Or;
      bool unknown = false;
      for (const Ref& k : r.kids) {
        const Tri t = Eval(k, row);
        if (!t) unknown = true;
        else if (*t == decisive) return decisive;
      }
      return unknown ? Tri() : Tri(!decisive);
    }
    case Ref::Not: {
      const Tri t = Eval(r.kids[0], row);
      return t ? Tri(!*t) : Tri();
    }
    case Ref::In: {
      if (!row.X[r.field]) return {};
      for (const Value& v : r.values)
        if (v && *v == *row.X[r.field]) return true;
      return false;
    }
    case Ref::Between: {
      const Value x = row.X[r.field], lo = r.values[0], hi = r.values[1];
      if (!x || !lo || !hi) return {};
      return *lo <= *x && *x <= *hi;
    }
    case Ref::Like:
      if (!r.pattern) return {};
      return LikeMatch(row.S.value_or(""), *r.pattern);
    case Ref::IsNull: return !row.X[r.field];
    default: return row.X[r.field].has_value();
  }
}

const char* kFields[] = {"X0", "X1", "X2"};

NodePtr Build(const Ref& r, TVLMCursor* c) {
  switch (r.kind) {
    case Ref::Compare: return Cmp(r.op, Field(c, kFields[r.field]), Int(r.values[0]), r.nullStrict);
    case Ref::CompareFields: return Cmp(r.op, Field(c, kFields[r.field]), Field(c, kFields[r.field2]), r.nullStrict);
    case Ref::And:
    case Ref::Or: {
      auto node = std::make_unique<TVLMExprNodeBoolean>(r.kind == Ref::And ? kVLMOpAnd : kVLMOpOr);
      for (const Ref& k : r.kids) node->AddChild(Build(k, c));
      return node;
    }
    case Ref::Not: return Bool(kVLMOpNot, Build(r.kids[0], c));
    case Ref::In: {
      auto node = std::make_unique<TVLMExprNodeBoolean>(kVLMOpIn);
      node->AddChild(Field(c, kFields[r.field]));
      for (const Value& v : r.values) node->AddChild(Int(v));
      return node;
    }
    case Ref::Between: return Bool(kVLMOpBetween, Field(c, kFields[r.field]), Int(r.values[0]), Int(r.values[1]));
    case Ref::Like: return Bool(kVLMOpLike, Field(c, "S"), Text(r.pattern));
    case Ref::IsNull: return Bool(kVLMOpIsNull, Field(c, kFields[r.field]));
    default: return Bool(kVLMOpIsNotNull, Field(c, kFields[r.field]));
  }
}

Value RandomValue(std::mt19937& rng) {
  const int v = static_cast<int>(rng() % 5);
  return v == 4 ? Value() : Value(v);
}

Ref RandomTree(std::mt19937& rng, int depth) {
  static const Ref::Kind leaves[] = {Ref::Compare, Ref::CompareFields, Ref::In, Ref::Between,
                                     Ref::Like, Ref::IsNull, Ref::IsNotNull};
  static const Ref::Kind inner[] = {Ref::And, Ref::Or, Ref::Not};
  Ref r;
  r.kind = depth > 0 && rng() % 2 == 0 ? inner[rng() % 3] : leaves[rng() % 7];
  r.op = static_cast<uint8_t>(rng() % 6 + 1);
  r.field = static_cast<int>(rng() % 3);
  r.field2 = static_cast<int>(rng() % 3);
  r.nullStrict = rng() % 2 == 0;
  switch (r.kind) {
    case Ref::And:
    case Ref::Or:
      for (int i = 0, n = static_cast<int>(rng() % 3 + 2); i < n; ++i) r.kids.push_back(RandomTree(rng, depth - 1));
      break;
    case Ref::Not: r.kids.push_back(RandomTree(rng, depth - 1)); break;
    case Ref::Like: {
      static const char* patterns[] = {"a%", "%b", "_b", "%", "a_c", "%a%", "ab"};
      if (rng() % 6 != 0) r.pattern = patterns[rng() % 7];
      break;
    }
    default:
      for (int i = 0, n = static_cast<int>(rng() % 3 + 2); i < n; ++i) r.values.push_back(RandomValue(rng));
  }
  return r;
}

TEST(ExpressionModelTest, RandomTreesAgreeWithTheTruthTables) {
  RecordCursor cursor({{"X0", dtInteger}, {"X1", dtInteger}, {"X2", dtInteger}, {"S", dtChar, 4}});
  qv::test::TestBudget budget(20);
  for (uint64_t seed = 0; budget.Continue(seed); ++seed) {
    std::mt19937 rng(static_cast<uint32_t>(seed));
    const Ref tree = RandomTree(rng, static_cast<int>(rng() % 4));
    TVLMExpression e(Build(tree, &cursor));
    for (int n = 0; n < 16; ++n) {
      Row row;
      for (Value& x : row.X) x = RandomValue(rng);
      static const char* texts[] = {"a", "ab", "ba", "abc", "b"};
      if (rng() % 5 != 0) row.S = texts[rng() % 5];
      for (int32_t i = 0; i < 3; ++i) cursor.SetInt(i, row.X[i]);
      cursor.SetText(3, row.S);
      ASSERT_EQ(Answer(e), Eval(tree, row)) << "seed " << seed << ", row " << n;
    }
  }
}

// A random AND tree over distinct leaves; every AND node's direct non-AND
// children are noted in order.
NodePtr RandomAnd(std::mt19937& rng, int depth, std::vector<std::vector<TVLMExprNode*>>& orders,
                  std::set<TVLMExprNode*>& leaves) {
  auto node = std::make_unique<TVLMExprNodeBoolean>(kVLMOpAnd);
  std::vector<TVLMExprNode*> order;
  for (int i = 0, n = static_cast<int>(rng() % 4); i < n; ++i) {
    if (depth > 0 && rng() % 3 == 0) {
      node->AddChild(RandomAnd(rng, depth - 1, orders, leaves));
    } else {
      node->AddChild(Int(i));
      order.push_back(node->Children.back().get());
      leaves.insert(order.back());
    }
  }
  orders.push_back(order);
  return node;
}

TEST(ExpressionModelTest, FlattenAndKeepsEveryConjunctInOrder) {
  // The worked example: AND(a, AND(b, AND(c, d)), e) gives AND(a, e, b, c, d).
  TVLMExpression example(Bool(kVLMOpAnd, Int(1), Bool(kVLMOpAnd, Int(2), Bool(kVLMOpAnd, Int(3), Int(4))), Int(5)));
  example.FlattenAnd();
  std::vector<int32_t> got;
  for (auto& child : example.GetRoot()->Children) got.push_back(child->GetValue().GetAsInteger());
  EXPECT_EQ(got, (std::vector<int32_t>{1, 5, 2, 3, 4}));

  qv::test::TestBudget budget(5);
  for (uint64_t seed = 0; budget.Continue(seed); ++seed) {
    std::mt19937 rng(static_cast<uint32_t>(seed));
    std::vector<std::vector<TVLMExprNode*>> orders;
    std::set<TVLMExprNode*> leaves;
    TVLMExpression e(RandomAnd(rng, 4, orders, leaves));
    const std::vector<TVLMExprNode*> rootOrder = orders.back();
    e.FlattenAnd();
    const auto& flat = e.GetRoot()->Children;
    ASSERT_EQ(flat.size(), leaves.size()) << "seed " << seed;
    std::vector<TVLMExprNode*> seen;
    for (auto& child : flat) {
      ASSERT_EQ(leaves.count(child.get()), 1u) << "seed " << seed;  // no AND left, nothing lost
      seen.push_back(child.get());
    }
    // The root's own conjuncts come first; every group keeps its order.
    ASSERT_TRUE(std::equal(rootOrder.begin(), rootOrder.end(), seen.begin())) << "seed " << seed;
    for (const auto& order : orders) {
      auto at = seen.begin();
      for (TVLMExprNode* leaf : order) {
        at = std::find(at, seen.end(), leaf);
        ASSERT_NE(at, seen.end()) << "seed " << seed;
      }
    }
  }
}

}  // namespace
