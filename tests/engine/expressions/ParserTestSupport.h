// Shared pieces of the parser and value-node tests: a one-line picture of a
// tree, parsing helpers, and a stand-in for the SQL engine's subquery
// factory whose SELECT lists integer rows ("SELECT 1, 2" has two rows,
// "SELECT" none).
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExpressions.h"
#include "tests/engine/expressions/ExpressionTestSupport.h"

namespace parser_test {

// Constants as values ('text', NULL, numbers as written by the value), every
// other node as name(children): fields by name, comparisons by operator
// (P marks a prefix comparison, ALL / ANY a quantified one), functions by
// name.
inline std::string Describe(TVLMExprNode* node) {
  if (node == nullptr) return "<none>";
  std::string head;
  if (auto* field = dynamic_cast<TVLMExprNodeField*>(node)) {
    return field->TableName.empty() ? field->FieldName : field->TableName + "." + field->FieldName;
  } else if (auto* constant = dynamic_cast<TVLMExprNodeConst*>(node)) {
    if (constant->Result.IsNull()) return "NULL";
    if (constant->Result.IsString()) return "'" + constant->Result.GetAsString() + "'";
    return constant->Result.GetAsString();
  } else if (auto* cmp = dynamic_cast<TVLMExprNodeComparison*>(node)) {
    head = VLMOperatorName(cmp->Operator) + (cmp->PrefixOnly ? "P" : "");
    if (cmp->Quantifier != kVLMQuantifierNone) head += cmp->Quantifier == kVLMQuantifierAll ? "ALL" : "ANY";
  } else if (dynamic_cast<TVLMExprNodeBoolean*>(node) != nullptr) {
    static const char* const kNames[] = {"NOT", "AND", "OR", "IN", "NOT IN", "EXISTS", "BETWEEN", "NOT BETWEEN"};
    head = node->Operator >= kVLMOpNot && node->Operator <= kVLMOpNotBetween ? kNames[node->Operator - kVLMOpNot]
                                                                            : VLMOperatorName(node->Operator);
  } else if (auto* cast = dynamic_cast<TVLMExprNodeCast*>(node)) {
    head = "CAST " + VLMGetDataTypeName(cast->TargetType);
  } else if (auto* aggregate = dynamic_cast<TVLMExprNodeAggregated*>(node)) {
    head = VLMOperatorName(aggregate->Operator) + (aggregate->Distinct ? " DISTINCT" : "");
  } else if (auto* c = dynamic_cast<TVLMExprNodeCase*>(node)) {
    head = c->Coalesce ? "COALESCE" : "CASE";
  } else if (dynamic_cast<TVLMExprNodeSubquery*>(node) != nullptr) {
    return "SELECT";
  } else if (node->Operator >= kVLMOpAbs && node->Operator <= kVLMOpSqrt) {
    static const char* const kNames[] = {"ABS", "ACOS", "ASIN", "ATAN", "CEIL", "COS", "EXP", "FLOOR",
                                         "LOG", "POWER", "RAND", "ROUND", "SIGN", "SIN", "SQR", "SQRT"};
    head = kNames[node->Operator - kVLMOpAbs];
  } else if (node->Operator >= kVLMOpNow && node->Operator <= kVLMOpRowNum) {
    static const char* const kNames[] = {"NOW", "CURRENT_DATE", "CURRENT_TIME", "TODATE", "TOSTRING",
                                         "EXTRACT", "CAST", "LASTAUTOINC", "MIMETOBIN", "ROWNUM"};
    head = kNames[node->Operator - kVLMOpNow];
  } else if (node->Operator == kVLMOpLength || node->Operator == kVLMOpPos || node->Operator == kVLMOpSubstring) {
    static const char* const kNames[] = {"LENGTH", "POS", "SUBSTRING"};
    head = kNames[node->Operator - kVLMOpLength];
  } else {
    head = VLMOperatorName(node->Operator);
  }
  if (node->Children.empty()) return head;
  std::string s = head + "(";
  for (int32_t i = 0; i < node->ChildCount(); ++i) s += (i ? "," : "") + Describe(node->Child(i));
  return s + ")";
}

// text parsed as a filter over cursor (nullptr: names stay unbound).
inline std::unique_ptr<TVLMExpression> Filter(std::string_view text, TVLMCursor* cursor = nullptr,
                                              bool partialCompare = false) {
  auto e = std::make_unique<TVLMExpression>();
  e->ParseFilter(cursor, text, false, partialCompare);
  return e;
}

// text parsed as a value expression over cursor's fields.
inline std::unique_ptr<TVLMExpression> Value(std::string_view text, TVLMCursor* cursor = nullptr) {
  auto e = std::make_unique<TVLMExpression>();
  e->Cursor = cursor;
  TVLMLexer lexer(text, nullptr, true);
  lexer.NextCommand();
  e->ParseValue(nullptr, &lexer);
  e->Lexer = nullptr;
  return e;
}

// ---- the stand-in subquery factory

class FakeRows : public TVLMSubqueryResult {
public:
  explicit FakeRows(std::vector<int32_t> rows) : Rows_(std::move(rows)) {}
  int32_t GetFieldCount() override { return 1; }
  int64_t GetRecordCount() override { return static_cast<int64_t>(Rows_.size()); }
  void First() override { At_ = 0; }
  void Next() override { ++At_; }
  bool Eof() override { return At_ >= Rows_.size(); }
  void GetFirstFieldValue(TVLMVariant& value) override {
    value.Clear(bdtInteger);
    value.SetAsInteger(Rows_.at(At_));
  }
  void GetFieldValue(int32_t, TVLMVariant& value) override { GetFirstFieldValue(value); }
  bool Locate(const TVLMVariant& value) override { return FindRow(kVLMOpEqual, value); }
  bool FindRow(uint8_t op, const TVLMVariant& value) override {
    for (int32_t r : Rows_) {
      TVLMVariant row(bdtInteger);
      row.SetAsInteger(r);
      const uint8_t c = row.Compare(value, true);
      const bool less = c == kVLMCompareLess, equal = c == kVLMCompareEqual, greater = c == kVLMCompareGreater;
      const bool holds[] = {false, equal, less || greater, greater, less, equal || greater, equal || less};
      if (holds[op]) return true;
    }
    return false;
  }

private:
  std::vector<int32_t> Rows_;
  size_t At_ = 0;
};

class FakeSelect : public TVLMSubquery {
public:
  explicit FakeSelect(std::vector<int32_t> rows) : Rows(std::move(rows)) {}
  bool IsCorrelated() override { return false; }
  TVLMDataType GetFieldDataType() override { return dtInteger; }
  int32_t GetFieldDataSize() override { return 4; }
  std::unique_ptr<TVLMSubqueryResult> Open(TVLMQueryOperator*, TVLMCursor*, uint8_t*) override {
    ++Runs;
    return std::make_unique<FakeRows>(Rows);
  }
  std::vector<int32_t> Rows;
  static inline int32_t Runs = 0;
};

// Reads "SELECT n, m ..." up to the ')' that closes it (or the end).
inline std::unique_ptr<TVLMSubquery> CreateFakeSelect(TVLMLexer& lexer, TVLMQueryContext*) {
  std::vector<int32_t> rows;
  TToken t;
  for (lexer.GetNextToken(t); t.Kind != tktNone && t.Kind != tktRightParenthesis; lexer.GetNextToken(t))
    if (int32_t n = 0; t.Kind == tktInt && std::from_chars(t.Text.data(), t.Text.data() + t.Text.size(), n).ec == std::errc())
      rows.push_back(n);
  return std::make_unique<FakeSelect>(std::move(rows));
}

// Installs the stand-in factory for the life of the object.
class FakeSubqueries {
public:
  FakeSubqueries() : Services_(VLMExpressionModuleServices()) {
    Services_.CreateSubquery = &CreateFakeSelect;
    Previous_ = VLMInstallExpressionServices(&Services_);
  }
  ~FakeSubqueries() { VLMInstallExpressionServices(Previous_); }
  FakeSubqueries(const FakeSubqueries&) = delete;
  FakeSubqueries& operator=(const FakeSubqueries&) = delete;

private:
  TVLMExpressionServices Services_;
  const TVLMExpressionServices* Previous_ = nullptr;
};

}  // namespace parser_test
