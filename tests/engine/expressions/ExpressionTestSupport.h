// Shared pieces of the expression tests: a cursor over a few fields with one
// record buffer, the node builders (ExpressionBuilders.h), and stand-ins for
// a subquery, a query operator and an UPPER node.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/VLMExpressions.h"
#include "platform/os/Collation.h"
#include "tests/support/engine/ExpressionBuilders.h"
#include "tests/support/engine/SchemaTestSupport.h"

namespace expr_test {

using schema_test::TestCursor;

struct FieldSpec {
  const char* Name;
  TVLMDataType Type;
  int32_t Size = 0;
};

// A cursor over the given fields with a current record buffer whose fields
// start null.
class RecordCursor : public TestCursor {
public:
  explicit RecordCursor(std::initializer_list<FieldSpec> fields) {
    auto defs = std::make_unique<TVLMFieldDefs>();
    for (const FieldSpec& f : fields) schema_test::AddField(*defs, f.Name, f.Type, f.Size);
    UseFields(std::move(defs));
    RecordBuffer = AllocRecordBuffer();
    InitRecordBuffer(RecordBuffer, false);
  }
  ~RecordCursor() override { FreeRecordBuffer(RecordBuffer); }

  void SetInt(int32_t fieldNo, std::optional<int32_t> v) {
    TVLMVariant value(bdtInteger);
    if (v) value.SetAsInteger(*v);
    SetFieldValue(value, fieldNo, true);
  }
  void SetText(int32_t fieldNo, std::optional<std::string> v) {
    TVLMVariant value(bdtString);
    if (v) value.SetAsString(*v);
    SetFieldValue(value, fieldNo, true);
  }
};

// Three-valued answer of a tree: nullopt for null.
inline std::optional<bool> Answer(TVLMExpression& e) {
  TVLMVariant* v = e.GetValue(true);
  if (v == nullptr || v->IsNull()) return std::nullopt;
  return v->GetAsBoolean();
}

// A subquery whose rows hold one integer each.
class FakeSubquery : public TVLMExprNodeSubqueryBase {
public:
  explicit FakeSubquery(std::vector<int32_t> rows) : Rows(std::move(rows)) {}
  TVLMVariant& GetValue() override { return Result; }
  bool HasRows() override { return !Rows.empty(); }
  bool ContainsValue(const TVLMVariant& value) override {
    for (int32_t r : Rows)
      if (!value.IsNull() && value.GetAsInteger() == r) return true;
    return false;
  }
  bool CompareQuantified(uint8_t op, uint8_t quantifier, const TVLMVariant& value) override {
    return VLMCompareQuantified(op, quantifier, Rows.empty(), [&](uint8_t searchOp) {
      for (int32_t r : Rows) {
        TVLMVariant row(bdtInteger);
        row.SetAsInteger(r);
        const uint8_t c = row.Compare(value, true);
        const bool holds = searchOp == kVLMOpEqual ? c == 0 : searchOp == kVLMOpNotEqual ? c == 1 || c == 2
                         : searchOp == kVLMOpGreater ? c == 2 : searchOp == kVLMOpLess ? c == 1
                         : searchOp == kVLMOpGreaterEqual ? c == 0 || c == 2 : c == 0 || c == 1;
        if (holds) return true;
      }
      return false;
    });
  }
  std::vector<int32_t> Rows;
};

// UPPER over one child, as the string-function node computes it.
class UpperNode : public TVLMExprNode {
public:
  explicit UpperNode(NodePtr child) {
    Operator = kVLMOpUpper;
    AddChild(std::move(child));
  }
  TVLMVariant& GetValue() override {
    Result.Clear();
    const TVLMVariant& v = Child(0)->GetValue();
    if (!v.IsNull()) Result.SetAsString(qv::UpperCase1252(v.GetAsString()));
    return Result;
  }
};

// A query operator with integer result fields of one table, or over two
// operands whose fields it passes on.
class FakeOperator : public TVLMQueryOperator {
public:
  FakeOperator(std::string table, std::vector<std::string> names, std::vector<int32_t> values = {})
      : Table(std::move(table)), Names(std::move(names)), Values(std::move(values)) {}
  FakeOperator(FakeOperator* left, FakeOperator* right) : Left(left), Right(right) {}

  int32_t FindFields(const std::string& name, const std::string& qualifier, bool, bool, TVLMIntegerArray* found,
                     bool) override {
    if (Left != nullptr) return Left->FindFields(name, qualifier, false, false, found, false) +
                                Right->FindFields(name, qualifier, false, false, found, false);
    int32_t n = 0;
    for (size_t i = 0; i < Names.size(); ++i) {
      if (qv::UpperCase1252(Names[i]) != qv::UpperCase1252(name)) continue;
      if (!qualifier.empty() && qv::UpperCase1252(qualifier) != qv::UpperCase1252(Table)) continue;
      ++n;
      if (found != nullptr) found->Append(static_cast<int32_t>(i));
    }
    return n;
  }
  std::string GetFieldName(int32_t fieldNo) override { return Names.at(static_cast<size_t>(fieldNo)); }
  TVLMDataType GetFieldDataType(int32_t) override { return dtInteger; }
  int32_t GetFieldDataSize(int32_t) override { return 4; }
  int32_t GetFieldAttribute(int32_t) override { return 0; }
  void GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool, bool) override {
    value.Clear(bdtInteger);
    value.SetAsInteger(Values.at(static_cast<size_t>(fieldNo)));
  }
  void AddCondition(std::unique_ptr<TVLMExpression> condition) override {
    Conditions.push_back(std::move(condition));
  }
  TVLMQueryOperator* GetLeftOperand() override { return Left; }
  TVLMQueryOperator* GetRightOperand() override { return Right; }

  std::string Table;
  std::vector<std::string> Names;
  std::vector<int32_t> Values;
  FakeOperator* Left = nullptr;
  FakeOperator* Right = nullptr;
  std::vector<std::unique_ptr<TVLMExpression>> Conditions;
};

}  // namespace expr_test
