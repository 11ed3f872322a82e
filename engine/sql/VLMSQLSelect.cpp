// The SELECT statement (TVLMSQLSelect): its grammar, ORDER BY and its
// resolution against the operator tree (shared with the query expression),
// and the operator tree of one SELECT block. The FROM clause, its
// joins and their operators are in VLMSQLSelectFrom.cpp.
//
// The tree of a single-table SELECT, bottom up:
//
//   TVLMAOTable          the FROM table; WHERE conjuncts it can evaluate
//                        become its cursor filter, ORDER BY its index
//   TVLMAOTableExpr      when an item is computed (or repeats a column), or
//                        when a DISTINCT must be applied before TOP or in a
//                        live result: the items and the DISTINCT
//   TVLMAOSQLTopRowCount TOP n[, start]
//   TVLMAOTableExpr      when the result need not be live and nothing above
//                        the table copies it yet: the rows copied (with the
//                        DISTINCT), so that the table itself is not handed
//                        out
//
// A grouped query (GROUP BY, or aggregates among the items) puts a
// TVLMAOGroupBy over the table (or over a TVLMAOTableExpr that computes the
// items first, when GROUP BY names one by its alias); the group operator
// computes every item per group, takes HAVING as its condition, and carries
// DISTINCT and ORDER BY; TOP goes over it.
//
// A live result over the bare table leaf reads the table itself and may be
// edited; every other result is a temporary table and read-only. Over a
// join the join operator takes the place of the leaf: it computes the
// items, applies the DISTINCT and is copied already.
#include <algorithm>
#include <charconv>
#include <climits>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMRelAlgebraGroup.h"
#include "engine/sql/VLMSQLCommand.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kTokenExpected = "Token '%s' expected, but '%s' found at line %d, column %d";
constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";

bool InKinds(TVLMTokenKinds kinds, TVLMTokenKind kind) { return (kinds & (TVLMTokenKinds{1} << kind)) != 0; }

bool SameName(std::string_view a, std::string_view b) { return qv::UpperCase1252(a) == qv::UpperCase1252(b); }

// A whole text of digits as a number (INT32_MAX when it is too large);
// false for anything else.
bool AsColumnNumber(const std::string& text, int32_t& number) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) number = INT32_MAX;
  return true;
}

}  // namespace

// ------------------------------------------------------------------ grammar

TVLMSQLSelect::~TVLMSQLSelect() {
  // The tree reads through the components the table references own.
  Root.reset();
}

void TVLMSQLSelect::Parse() {
  if (!GetCurrentToken()) throw EVLMException(30155, "Blank SQL command");
  if (!IsKeyword(kwSELECT)) RaiseAtToken(30156, "SQL token expected, but '%s' found at line %d, column %d");
  GetNextToken();
  if (IsKeyword(kwALL)) {
    GetNextToken();
  } else if (IsKeyword(kwDISTINCT)) {
    Distinct = 1;
    GetNextToken();
  }
  if (IsKeyword(kwTOP)) ParseTop();
  ParseSelectList();
  if (IsKeyword(kwINTO)) ParseInto();
  if (!IsKeyword(kwFROM)) RaiseTokenExpected(30184, "FROM");
  ExpectNextToken(kVLMTableNameKinds | VLMKinds({tktLeftParenthesis}), 30180, kTableNameExpected);
  ParseFrom();
  if (IsKeyword(kwWHERE)) {
    GetNextToken();
    Where = std::make_unique<TVLMExpression>();
    Where->InMemory = Owner != nullptr && Owner->InMemory();
    Where->ParseBoolean(this, Lexer);
    GetCurrentToken();
  }
  if (IsKeyword(kwGROUP)) {
    GetNextToken();
    if (!IsKeyword(kwBY)) RaiseTokenExpected(30185, "BY");
    GetNextToken();
    ParseFieldReferenceList(GroupBy);
  }
  if (IsKeyword(kwHAVING)) {
    GetNextToken();
    Having = std::make_unique<TVLMExpression>();
    Having->ParseBoolean(this, Lexer);
    GetCurrentToken();
  }
  if (IsKeyword(kwORDER)) ParseOrderBy();
}

void TVLMSQLSelect::ParseTop() {
  auto number = [&](int32_t code) {
    ExpectNextToken(0, -1, "");
    int32_t value = 0;
    std::string text = TokenValue();
    const bool integer = Token.Kind == tktInt || Token.Kind == tktParameter;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (!integer || text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
      RaiseAtToken(code, "Integer expected, but '%s' found at line %d, column %d");
    return value;
  };
  TopCount = number(30158);
  GetNextToken();
  if (Token.Kind == tktComma) {
    TopStart = number(30159);
    GetNextToken();
  }
}

void TVLMSQLSelect::ParseSelectList() {
  if (Token.Text == "*" && Token.Kind != tktQuotedString && Token.Kind != tktBracketedString) {
    SelectAll = 1;
    GetNextToken();
    return;
  }
  for (;;) {
    const TToken start = Token;
    TVLMFieldRef item;
    item.Expression = ParseValueExpression();
    if (item.Expression->GetRoot() == nullptr)
      throw EVLMException(30160, "Expression expected, but '%s' found at line %d, column %d",
                          {start.Text, start.Line, start.Column});
    if (IsKeyword(kwAS)) {
      ExpectNextToken(kVLMNameKinds, 30162, "Field pseudonym expected, but '%s' found at line %d, column %d");
      item.Alias = Token.Text;
      GetNextToken();
    } else if (InKinds(kVLMNameKinds, Token.Kind)) {
      item.Alias = Token.Text;
      GetNextToken();
    }
    if (!item.Expression->IsField()) {
      item.IsExpression = 1;
    } else {
      std::string tableName, fieldName;
      item.Expression->GetFieldName(tableName, fieldName);
      const bool repeated = fieldName != "*" && std::any_of(Items.begin(), Items.end(), [&](const TVLMFieldRef& e) {
                              return !e.IsExpression && SameName(e.TableName, tableName) &&
                                     SameName(e.FieldName, fieldName);
                            });
      if (repeated) {
        // A column named twice is computed the second time, under a name of
        // its own.
        item.IsExpression = 1;
        item.IsDuplicate = 1;
        for (int32_t n = 1; item.Alias.empty(); ++n) {
          const std::string candidate = fieldName + "_" + std::to_string(n);
          const bool taken = std::any_of(Items.begin(), Items.end(), [&](const TVLMFieldRef& e) {
            return SameName(e.TableName, tableName) && (SameName(e.FieldName, candidate) || SameName(e.Alias, candidate));
          });
          if (!taken) item.Alias = candidate;
        }
      } else {
        item.TableName = tableName;
        item.FieldName = fieldName;
        item.AllFields = fieldName == "*" ? 1 : 0;
        item.Expression.reset();
      }
    }
    Items.push_back(std::move(item));
    if (Token.Kind != tktComma) return;
    GetNextToken();
  }
}

void TVLMSQLSelect::ParseInto() {
  ExpectNextToken(kVLMTableNameKinds, 30165, kTableNameExpected);
  if (IsKeyword(kwMEMORY)) {
    InMemory = 1;
    GetNextToken();
    if (IsKeyword(kwIMMEDIATE)) {
      IntoImmediate = 1;
      GetNextToken();
    }
  }
  IntoTableName = TokenValue();
  GetNextToken();
  if (Token.Kind == tktDot) {
    IntoDatabaseName = IntoTableName;
    ExpectNextToken(kVLMAliasKinds, 30166, kTableNameExpected);
    IntoTableName = TokenValue();
    GetNextToken();
  }
}

// ---------------------------------------------------------------- ORDER BY

void TVLMSQLCursorCommand::ParseOrderBy() {
  GetNextToken();
  if (!IsKeyword(kwBY)) RaiseTokenExpected(30188, "BY");
  GetNextToken();
  for (;;) {
    if (!InKinds(kVLMNameKinds | VLMKinds({tktInt, tktReservedWord, tktParameter}), Token.Kind))
      RaiseAtToken(30187, "Field name expected, but '%s' found at line %d, column %d");
    TVLMOrderByItem item;
    item.FieldName = TokenValue();
    GetNextToken();
    if (Token.Kind == tktDot) {
      item.Qualifier = item.FieldName;
      ExpectNextToken(kVLMTableNameKinds, 30186, kUnexpectedToken);
      item.FieldName = TokenValue();
      GetNextToken();
    }
    if (IsKeyword(kwASC)) {
      GetNextToken();
    } else if (IsKeyword(kwDESC)) {
      item.Descending = 1;
      GetNextToken();
    }
    OrderBy.push_back(std::move(item));
    if (Token.Kind != tktComma) return;
    ExpectNextToken(kVLMNameKinds | VLMKinds({tktInt, tktReservedWord}), 30189, kUnexpectedToken);
  }
}

void TVLMSQLCursorCommand::ResolveOrderBy(TVLMAO& root) {
  if (OrderBy.empty()) return;
  std::string fields;
  std::string descending;
  for (const TVLMOrderByItem& item : OrderBy) {
    std::string name = item.FieldName;
    int32_t column = 0;
    if (item.Qualifier.empty() && AsColumnNumber(name, column)) name = root.GetOrderByName(column - 1);
    TVLMIntegerArray found(0, 100, 10);
    root.FindFields(name, item.Qualifier, false, false, &found, root.IsGrouping == 0);
    if (found.Count() == 0) throw EVLMException(30195, "Column '%s' from ORDER BY clause not found", {name});
    const std::string& fieldName = root.Fields[static_cast<size_t>(found.Items()[0])].Name;
    fields += (fields.empty() ? "" : ";") + fieldName;
    if (item.Descending) descending += (descending.empty() ? "" : ";") + fieldName;
  }
  root.SetOrderBy(fields, descending, std::string());
}

// ------------------------------------------------------------ operator tree

// ---------------------------------------------------------------- grouping

namespace {

// The query forms groups: it has GROUP BY, or an aggregate among its items.
bool IsGroupedQuery(const TVLMSQLSelect& select) {
  if (select.GroupBy.Count() > 0) return true;
  if (select.SelectAll) return false;
  return std::any_of(select.Items.begin(), select.Items.end(), [](const TVLMFieldRef& item) {
    return item.IsExpression && item.Expression && item.Expression->IsAggregated();
  });
}

// The operand of the group operator. When GROUP BY names a computed item by
// its alias, a table-expression operator computes the items first, so that
// the groups form over that column.
std::unique_ptr<TVLMAO> GroupOperand(std::unique_ptr<TVLMAO> source, std::vector<TVLMFieldRef>& items,
                                     const TVLMFields& groupBy) {
  for (const TVLMFieldRef& item : items) {
    if (!item.IsExpression || !item.Expression || item.Expression->IsAggregated() || item.Alias.empty()) continue;
    for (int32_t g = 0; g < groupBy.Count(); ++g) {
      if (!SameName(item.Alias, groupBy[g].FieldName)) continue;
      auto computed = std::make_unique<TVLMAOTableExpr>(std::move(source));
      computed->SetResultFields(items, false);
      return computed;
    }
  }
  return source;
}

// HAVING's conjuncts onto the operator over the groups, then onto the group
// operator; what neither can evaluate is 20244 unless outer rows may supply
// it.
void PlaceHaving(TVLMExpression& having, TVLMAO& source, TVLMAOGroupBy& group, TVLMQueryOperator* outerOperand,
                 TVLMCursor* outerCursor, bool allowOuterReferences) {
  having.ExtractConditionsFor(&source, outerOperand, false, false, outerCursor);
  if (&source != &group) having.ExtractConditionsFor(&group, outerOperand, false, false, outerCursor);
  if (!allowOuterReferences && !having.IsEmptyCondition())
    throw EVLMException(20244, "'Having' condition is not applicable");
}

}  // namespace

bool TVLMSQLSelect::IsSelfContained() {
  return HasCorrelatedSubquery == 0 && (!Where || Where->IsEmptyCondition()) &&
         (!Having || Having->IsEmptyCondition());
}

std::unique_ptr<TVLMAO> TVLMSQLSelect::BuildOperatorTree(TVLMDataSet* owner, bool live,
                                                         TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                         bool allowOuterReferences) {
  HasCorrelatedSubquery = 0;
  std::unique_ptr<TVLMAO> source = BuildFromOperator(owner, outerOperand, outerCursor, allowOuterReferences);

  // A HAVING without groups would have nothing to test.
  const bool grouped = IsGroupedQuery(*this);
  if (Having && !grouped) throw EVLMException(20244, "'Having' condition is not applicable");

  // Computed items over the table leaf need an operator to compute them (a
  // join computes its own). So does a DISTINCT that cannot wait for the
  // copy at the end (a live result, or one that TOP counts): the table leaf
  // only sorts, it never drops a row. Over groups the group operator
  // computes the items and applies the DISTINCT.
  bool needsExpression = Distinct && (live || TopCount != -1);
  for (const TVLMFieldRef& item : Items)
    if (item.IsExpression && item.Expression && !item.Expression->IsAggregated()) needsExpression = true;
  if (grouped)
    source = GroupOperand(std::move(source), Items, GroupBy);
  else if (needsExpression && dynamic_cast<TVLMAOTable*>(source.get()) != nullptr)
    source = std::make_unique<TVLMAOTableExpr>(std::move(source));
  if (Where) Where->ExtractConditionsFor(source.get(), outerOperand, false, true, outerCursor);
  TVLMAOGroupBy* group = nullptr;
  if (grouped) {
    auto groups = std::make_unique<TVLMAOGroupBy>(std::move(source), Items, GroupBy);
    group = groups.get();
    source = std::move(groups);
  }
  if (source->ResultFieldsSet) source = std::make_unique<TVLMAOTableExpr>(std::move(source));

  bool distinctNow = Distinct != 0;
  bool copyAtEnd = false;
  if (!live && TopCount == -1) {
    if (auto* table = dynamic_cast<TVLMAOTable*>(source.get())) {
      distinctNow = false;
      copyAtEnd = true;
      table->CopiedAtEnd = OrderBy.empty();
    }
  }
  source->SetResultFields(SelectAll ? std::span<TVLMFieldRef>() : std::span<TVLMFieldRef>(Items), distinctNow);
  if (group != nullptr && Having)
    PlaceHaving(*Having, *source, *group, outerOperand, outerCursor, allowOuterReferences);
  ResolveOrderBy(*source);
  // Conditions on select items find them now that they are result fields.
  if (Where) {
    Where->ExtractConditionsFor(source.get(), outerOperand, false, true, outerCursor);
    if (!allowOuterReferences && !Where->IsEmptyCondition())
      throw EVLMException(30144, "Search condition is not applicable");
  }
  if (TopCount != -1) {
    auto top = std::make_unique<TVLMAOSQLTopRowCount>(std::move(source));
    top->SetRowLimit(TopStart, TopCount);
    source = std::move(top);
  }
  if (copyAtEnd) {
    auto copy = std::make_unique<TVLMAOTableExpr>(std::move(source));
    copy->SetResultFields(SelectAll ? std::span<TVLMFieldRef>() : std::span<TVLMFieldRef>(Items), Distinct != 0);
    source = std::move(copy);
  }
  return source;
}
