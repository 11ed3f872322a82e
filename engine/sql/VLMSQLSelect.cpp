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
// edited; every other result is read-only, a temporary table filled while
// the statement holds its lock: every read of it, also one from the start
// again after other connections committed, gives the rows of the one
// committed state the statement read. Over a join the join operator takes
// the place of the leaf: it computes the items, applies the DISTINCT and is
// copied already.
//
// Names. A column name names the column and an item's alias the item;
// neither takes the other's place:
//   - select items, GROUP BY and the join keys name columns (GROUP BY, and
//     WHERE, ON and HAVING, name an item by its alias only where no column
//     of FROM has that name; such a condition name stands for a new tree of
//     the item, read again from its tokens);
//   - ORDER BY names an item by its alias before a column, and a number
//     names its result column;
//   - a qualifier names the table that exposes it (its alias, or its name
//     without one) in the innermost statement that has one; an aliased
//     table answers to its own name only where no table of its statement,
//     or of one around it, exposes that name.
// A column named again (also written another way, t.a and a) is computed
// under a name no item has (a_1); result columns shown under equal names
// get suffixes (x, x_1).
#include <algorithm>
#include <charconv>
#include <climits>
#include <unordered_set>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/sql/VLMRelAlgebraGroup.h"
#include "engine/sql/VLMSQLSelect.h"
#include "platform/host/ScopeExit.h"
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

TVLMSQLSelect::~TVLMSQLSelect() = default;

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
  ItemCommand_ = Lexer->CurrentCommand;
  // The plain items as "QUALIFIER.FIELD", upper-cased, and every name an
  // item has (field names and aliases): a repeated column is found, and
  // named, in one step per item.
  std::unordered_set<std::string> plain;
  TVLMUniqueNames names;
  for (;;) {
    const TToken start = Token;
    ItemStarts_.push_back(Lexer->GetTokenIndex());
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
      const std::string key = qv::UpperCase1252(tableName) + "." + qv::UpperCase1252(fieldName);
      if (fieldName != "*" && plain.count(key) > 0) {
        // A column named twice is computed the second time, under a name of
        // its own: the first "%s_%d" that no item has as its name or alias.
        item.IsExpression = 1;
        item.IsDuplicate = 1;
        if (item.Alias.empty()) item.Alias = names.Take(fieldName);
      } else {
        item.TableName = tableName;
        item.FieldName = fieldName;
        item.AllFields = fieldName == "*" ? 1 : 0;
        item.Expression.reset();
        plain.insert(key);
      }
    }
    names.Add(item.FieldName);
    names.Add(item.Alias);
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
  TVLMSortKeys keys;
  for (const TVLMOrderByItem& item : OrderBy) {
    // A number names its result column; a name first the item with that
    // alias, then a column of the input (made visible, so that it can be
    // sorted on, unless the root forms groups), then the result column
    // shown under it (x_1).
    int32_t fieldNo = -1;
    int32_t column = 0;
    if (item.Qualifier.empty() && AsColumnNumber(item.FieldName, column)) {
      fieldNo = root.ResultColumnField(column - 1);
    } else {
      if (item.Qualifier.empty()) fieldNo = root.FindResultColumn(item.FieldName, true);
      TVLMIntegerArray found(0, 100, 10);
      const bool unhide = root.IsGrouping == 0;
      if (fieldNo < 0 && root.FindFields(item.FieldName, item.Qualifier, false, false, &found, unhide) > 0)
        fieldNo = found.Items()[0];
      if (fieldNo < 0 && item.Qualifier.empty()) fieldNo = root.FindResultColumn(item.FieldName, false);
    }
    if (fieldNo < 0) throw EVLMException(30195, "Column '%s' from ORDER BY clause not found", {item.FieldName});
    keys.push_back({root.Fields[static_cast<size_t>(fieldNo)].Name, item.Descending != 0});
  }
  root.SetOrderBy(std::move(keys));
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
// its alias (a name that is no column: a column's name is the column), a
// table-expression operator computes the items first, so that the groups
// form over that column.
std::unique_ptr<TVLMAO> GroupOperand(std::unique_ptr<TVLMAO> source, std::vector<TVLMFieldRef>& items,
                                     const TVLMFields& groupBy) {
  for (const TVLMFieldRef& item : items) {
    if (!item.IsExpression || !item.Expression || item.Expression->IsAggregated() || item.Alias.empty()) continue;
    for (int32_t g = 0; g < groupBy.Count(); ++g) {
      if (!groupBy[g].TableName.empty() || !SameName(item.Alias, groupBy[g].FieldName)) continue;
      TVLMIntegerArray found(0, 100, 10);
      if (source->FindFields(groupBy[g].FieldName, std::string(), false, true, &found, false) > 0) continue;
      auto computed = std::make_unique<TVLMAOTableExpr>(std::move(source));
      computed->SetResultFields(items, false);
      return computed;
    }
  }
  return source;
}

// HAVING's conjuncts onto the operator over the groups, then onto the group
// operator; what neither can evaluate stays in having.
void PlaceHaving(TVLMExpression& having, TVLMAO& source, TVLMAOGroupBy& group, TVLMQueryOperator* outerOperand,
                 TVLMCursor* outerCursor) {
  having.ExtractConditionsFor(&source, outerOperand, false, false, outerCursor);
  if (&source != &group) having.ExtractConditionsFor(&group, outerOperand, false, false, outerCursor);
}

// Plain items that name a column an earlier item names too (written
// another way: t.a and a, or a column of an earlier t.*) are computed like
// a column written twice, under a name no item has.
void MarkRepeatedColumns(std::vector<TVLMFieldRef>& items, TVLMAO& source, bool inMemory) {
  std::unordered_set<int32_t> named;
  TVLMUniqueNames names;
  for (const TVLMFieldRef& item : items) {
    names.Add(item.FieldName);
    names.Add(item.Alias);
  }
  TVLMIntegerArray found(0, 100, 10);
  for (TVLMFieldRef& item : items) {
    if (item.IsExpression) continue;
    found.SetSize(0);
    source.FindFields(item.AllFields ? std::string("*") : item.FieldName, item.TableName, false, true, &found, false);
    if (item.AllFields || found.Count() == 0) {
      for (int32_t k = 0; k < found.Count(); ++k) named.insert(found.Items()[k]);
      continue;
    }
    if (named.insert(found.Items()[0]).second) continue;
    item.Expression =
        std::make_unique<TVLMExpression>(std::make_unique<TVLMExprNodeField>(nullptr, item.TableName, item.FieldName));
    item.Expression->InMemory = inMemory;
    item.IsExpression = 1;
    item.IsDuplicate = 1;
    if (item.Alias.empty()) item.Alias = names.Take(item.FieldName);
    item.TableName.clear();
    item.FieldName.clear();
  }
}

}  // namespace

bool TVLMSQLSelect::ExposesTableName(const std::string& name) const {
  auto exposes = [&](auto& self, const TVLMTableReference& reference) -> bool {
    switch (reference.Kind) {
      case TVLMTableReference::TKind::Join:
        return (reference.Left && self(self, *reference.Left)) || (reference.Right && self(self, *reference.Right));
      case TVLMTableReference::TKind::Derived:
        return SameName(reference.Alias, name);
      default:
        return SameName(reference.Alias.empty() ? reference.TableName : reference.Alias, name);
    }
  };
  return std::any_of(Tables.begin(), Tables.end(), [&](const auto& reference) { return exposes(exposes, *reference); });
}

void TVLMSQLSelect::GiveSelectList(TVLMExpression* condition, std::initializer_list<TVLMAO*> from) {
  if (condition == nullptr || SelectAll || Items.empty()) return;
  condition->SetSelectList([&](const TVLMExprNodeField& field) -> std::unique_ptr<TVLMExprNode> {
    if (!field.TableName.empty()) return nullptr;
    const auto item = std::find_if(Items.begin(), Items.end(),
                                   [&](const TVLMFieldRef& i) { return SameName(i.Alias, field.FieldName); });
    if (item == Items.end()) return nullptr;
    TVLMIntegerArray found(0, 100, 10);
    for (TVLMAO* op : from)
      if (op != nullptr && op->FindFields(field.FieldName, std::string(), false, true, &found, false) > 0)
        return nullptr;
    // The item's tokens read again: a tree of its own for the condition.
    const int32_t command = Lexer->CurrentCommand;
    const int32_t token = Lexer->GetTokenIndex();
    const TToken current = Token;
    auto restore = qv::ScopeExit([&] {
      Lexer->CurrentCommand = command;
      Lexer->SetTokenIndex(token);
      Token = current;
    });
    Lexer->CurrentCommand = ItemCommand_;
    Lexer->SetTokenIndex(ItemStarts_[static_cast<size_t>(item - Items.begin())]);
    GetCurrentToken();
    return ParseValueExpression()->ReleaseRoot();
  });
}

void TVLMSQLSelect::RefuseUnknownName(TVLMExprNode* node, std::initializer_list<TVLMQueryOperator*> from) const {
  std::vector<TVLMQualifiedFieldName> names;
  VLMAppendUnknownNames(node, from, nullptr, names);
  for (const TVLMQualifiedFieldName& name : names)
    if (!NamesItem(name)) throw EVLMException(10305, "Cannot find field %s", {name.FieldName});
}

bool TVLMSQLSelect::NamesItem(const TVLMQualifiedFieldName& name) const {
  return name.TableName.empty() && !SelectAll &&
         std::any_of(Items.begin(), Items.end(),
                     [&](const TVLMFieldRef& item) { return SameName(item.Alias, name.FieldName); });
}

bool TVLMSQLSelect::IsSelfContained() {
  return HasCorrelatedSubquery == 0 && (!Where || Where->IsEmptyCondition()) &&
         (!Having || Having->IsEmptyCondition());
}

std::unique_ptr<TVLMAO> TVLMSQLSelect::BuildOperatorTree(TVLMDataSet* owner, bool live,
                                                         TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor,
                                                         bool allowOuterReferences) {
  HasCorrelatedSubquery = 0;
  OuterNames.clear();
  std::unique_ptr<TVLMAO> source = BuildFromOperator(owner, outerOperand, outerCursor, allowOuterReferences);
  // Names of WHERE and HAVING that are no column of FROM may name items.
  GiveSelectList(Where.get(), {source.get()});
  GiveSelectList(Having.get(), {source.get()});
  if (!SelectAll) MarkRepeatedColumns(Items, *source, Owner != nullptr && Owner->InMemory());

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
  // What WHERE has left names no column of FROM (an aggregate among them):
  // only outer rows may supply it (refused below). Without them a name no
  // column has, also one a subquery of it takes from here, is refused as
  // the select list refuses it.
  if (Where && !Where->IsEmptyCondition()) {
    if (allowOuterReferences)
      VLMAppendUnknownNames(Where->GetRoot(), {source.get()}, nullptr, OuterNames);
    else
      RefuseUnknownName(Where->GetRoot(), {source.get()});
  }
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
      // The rows are copied at the end, under the statement's lock: read
      // later, the table itself would show each row as it is then, rows of
      // other connections' later commits among those of the state read.
      distinctNow = false;
      copyAtEnd = true;
      table->CopiedAtEnd = OrderBy.empty();
    }
  }
  source->SetResultFields(SelectAll ? std::span<TVLMFieldRef>() : std::span<TVLMFieldRef>(Items), distinctNow);
  // What HAVING has left is 20244 unless outer rows may supply it; a name
  // no column has is refused as in WHERE.
  if (group != nullptr && Having) {
    PlaceHaving(*Having, *source, *group, outerOperand, outerCursor);
    if (!Having->IsEmptyCondition()) {
      if (allowOuterReferences) {
        VLMAppendUnknownNames(Having->GetRoot(), {source.get(), group}, nullptr, OuterNames);
      } else {
        RefuseUnknownName(Having->GetRoot(), {source.get(), group});
        throw EVLMException(20244, "'Having' condition is not applicable");
      }
    }
  }
  ResolveOrderBy(*source);
  if (Where && !allowOuterReferences && !Where->IsEmptyCondition())
    throw EVLMException(30144, "Search condition is not applicable");
  if (TopCount != -1) {
    auto top = std::make_unique<TVLMAOSQLTopRowCount>(std::move(source));
    top->SetRowLimit(TopStart, TopCount);
    source = std::move(top);
  }
  if (copyAtEnd) {
    // The copy's fields are the table's result columns, one to one (its
    // names are what the table shows, which an item's name need not be).
    auto copy = std::make_unique<TVLMAOTableExpr>(std::move(source));
    if (copy->Left->ResultFieldsSet)
      copy->ShowFieldsInOrder(Distinct != 0);
    else
      copy->SetResultFields(SelectAll ? std::span<TVLMFieldRef>() : std::span<TVLMFieldRef>(Items), Distinct != 0);
    source = std::move(copy);
  }
  return source;
}

// ----------------------------------------------------------------- names

void VLMAppendUnknownNames(TVLMExprNode* node, std::initializer_list<TVLMQueryOperator*> from, TVLMCursor* cursor,
                           std::vector<TVLMQualifiedFieldName>& names) {
  if (node == nullptr) return;
  TVLMIntegerArray list(0, 100, 10);
  auto found = [&](const std::string& qualifier, const std::string& name) {
    for (TVLMQueryOperator* op : from) {
      list.SetSize(0);
      if (op != nullptr && op->FindFields(name, qualifier, false, true, &list, false) > 0) return true;
    }
    int32_t fieldNo = -1;
    return cursor != nullptr && TVLMExprNodeField(nullptr, qualifier, name).FindInCursor(cursor, fieldNo);
  };
  if (auto* field = dynamic_cast<TVLMExprNodeField*>(node)) {
    if (!found(field->TableName, field->FieldName)) names.push_back({field->TableName, field->FieldName});
    return;
  }
  if (auto* subquery = dynamic_cast<TVLMExprNodeSubquery*>(node)) {
    std::vector<TVLMQualifiedFieldName> outer;
    subquery->AppendOuterNames(outer);
    for (TVLMQualifiedFieldName& name : outer)
      if (!found(name.TableName, name.FieldName)) names.push_back(std::move(name));
  }
  for (int32_t i = 0; i < node->ChildCount(); ++i) VLMAppendUnknownNames(node->Child(i), from, cursor, names);
}
