// TVLMAOGroupBy (VLMRelAlgebraGroup.h): GROUP BY, the aggregates of the
// select list and HAVING.
//
// What it holds: one field per operand field (field i reads operand field i,
// hidden unless it is a group field), then one computed field per select
// item (every item, aggregate or not, is computed here, once per group); the
// group fields by number and by name; and, while it fills its result, a
// look-ahead table: a second, read-only table component over the operand's
// result table (the base table when the operand is a table leaf), read
// through the same index and the same filter, one row ahead of the operand.
//
// Groups come from sorting, not hashing: the constructor gives the operand an
// ORDER BY on the group fields, so the operand is read through an index on
// them, and equal group values are adjacent. Each call of the pipeline moves
// the operand over one group, feeding every aggregate with each row, and
// stops on the group's last row: the look-ahead row shows where the group
// ends without moving the operand past it. The fill loop of the base
// (FillResultTable) then tests HAVING (this operator's Condition) and copies
// the row: group fields read the operand's current row, computed fields
// evaluate their expressions over the totals.
//
// Without group fields the whole input is one group: one row, also over an
// empty input (COUNT 0, the other aggregates null). A select list of bare
// COUNT(*) items without HAVING is answered from the operand's record count
// without reading a row (for a table leaf with a condition, the count its
// cursor's record bitmap gives, through an index where one serves).
//
// States:
//
//   built        fields copied (hidden), group fields found (and made
//                visible here and in the operand), the operand sorted by them
//     --SetResultFields, AddCondition (HAVING), SetOrderBy, SetRowLimit-->
//   built
//     --Open: the operand opened; OperandsOpened opens the look-ahead on
//       the operand's result, with its index (and its filter, for a table
//       leaf with a condition)-->
//   filling      PipelineFirst: the first group; PipelineNext: the next;
//                GroupEof after the last (at once for an empty input with
//                group fields)
//     --Materialize: OperandsClosing frees the look-ahead, then the
//       operand goes-->
//   materialised rows read from the result table
//     --destructor (any state)--> gone; the look-ahead closes first
//
// Invariants:
//   1. While filling with group fields, the look-ahead table is on the row
//      after the operand's (or past the end): both tables read the same rows
//      in the same order.
//   2. When a group row is produced the operand is on the group's last row,
//      and every aggregate has been fed exactly the group's rows, once each.
//   3. Field i below the operand's field count reads operand field i; field
//      numbers never change, so expressions stay bound.
//   4. A group field is visible in this operator and in the operand, and so
//      is every column a computed field or HAVING reads, so an operand that
//      is materialised keeps them.
//   5. The look-ahead table never outlives the operand whose result it reads.
//   6. DISTINCT, ORDER BY and a row limit apply to the group rows (the base's
//      fill and sort), never to the operand.
//
// Error codes: the design's 20245 (GROUP BY item not found), 20269 (a
// computed item that is not computable per group), 10341 / 10342 (a plain
// item that names no field / is not grouped), 10304 (look-ahead table cannot
// be opened), 10340 (group values that cannot be compared).
#include "engine/sql/VLMRelAlgebraGroup.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <utility>

#include "engine/components/VLMMain.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/sql/VLMSQLCommand.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kNotGrouped =
    "Field is not included in GROUP BY list. Table name = '%s', Field name = '%s', FieldNo = %d, Found field "
    "name = '%s'";

bool SameName(std::string_view a, std::string_view b) { return qv::UpperCase1252(a) == qv::UpperCase1252(b); }

bool IsAggregateItem(const TVLMFieldRef& item) {
  return item.IsExpression && item.Expression && item.Expression->IsAggregated();
}

// Calls visit for every field node of the tree under node.
template <class Visit>
void ForEachField(TVLMExprNode* node, const Visit& visit) {
  if (node == nullptr) return;
  if (auto* field = dynamic_cast<TVLMExprNodeField*>(node)) visit(*field);
  for (auto& child : node->Children) ForEachField(child.get(), visit);
}

}  // namespace

// ---------------------------------------------------------------- building

TVLMAOGroupBy::TVLMAOGroupBy(std::unique_ptr<TVLMAO> operand, std::span<const TVLMFieldRef> items,
                             const TVLMFields& groupBy)
    : TVLMAO(std::move(operand), nullptr, std::string(), std::string()) {
  IsGrouping = 1;
  Materialized = 0;
  NoGroupFields = groupBy.Count() == 0 ? 1 : 0;
  for (int32_t i = 0; i < Left->FieldCount(); ++i) {
    const TVLMAOField& source = Left->Fields[static_cast<size_t>(i)];
    TVLMAOField field;
    field.Name = source.Name;
    field.DataType = source.DataType;
    field.DataSize = source.DataSize;
    field.FieldAttribute = source.FieldAttribute;
    field.Flag1 = source.Flag1;
    field.Flag2 = source.Flag2;
    field.Extra = source.Extra;
    field.Source = TVLMAOFromOperand{Left.get(), i};
    field.Hidden = 1;
    Fields.push_back(std::move(field));
  }
  TVLMSortKeys groupKeys;
  for (int32_t g = 0; g < groupBy.Count(); ++g) {
    const TVLMFieldRef& ref = groupBy[g];
    const int32_t before = GroupFieldNos.Count();
    int32_t found = FindFields(ref.FieldName, ref.TableName, false, false, &GroupFieldNos, true);
    if (found == 0) {
      // GROUP BY may name a select item by its alias, unless that item is an
      // aggregate.
      const auto item = std::find_if(items.begin(), items.end(),
                                     [&](const TVLMFieldRef& i) { return SameName(i.Alias, ref.FieldName); });
      if (item != items.end() && !IsAggregateItem(*item) && !item->FieldName.empty())
        found = FindFields(item->FieldName, item->TableName, false, false, &GroupFieldNos, true);
    }
    if (found == 0 || GroupFieldNos.Count() == before)
      throw EVLMException(20245,
                          "Invalid field for 'GROUP BY.' Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d",
                          {ref.TableName, ref.FieldName, g, found});
    // A group has its group fields' values: they are part of the result
    // (a qualified name, matched only through the operand, would leave them
    // hidden here).
    for (int32_t k = before; k < GroupFieldNos.Count(); ++k)
      Fields[static_cast<size_t>(GroupFieldNos.Items()[k])].Hidden = 0;
    const TVLMAOField& last = Fields[static_cast<size_t>(GroupFieldNos.Items()[GroupFieldNos.Count() - 1])];
    groupKeys.push_back({last.Name});
  }
  // Ascending and case-sensitive: equal group values become adjacent.
  if (!NoGroupFields) Left->SetOrderBy(std::move(groupKeys));
}

TVLMAOGroupBy::~TVLMAOGroupBy() {
  try {
    LookAhead.reset();
  } catch (...) {
  }
}

void TVLMAOGroupBy::KeepOperandFields(const TVLMExpression* tree) {
  if (tree == nullptr) return;
  ForEachField(tree->GetRoot(), [&](TVLMExprNodeField& field) {
    Left->FindFields(field.FieldName, field.TableName, false, false, nullptr, true);
  });
}

void TVLMAOGroupBy::SetResultFields(std::span<TVLMFieldRef> items, bool distinct) {
  if (items.empty()) {
    // "*": the group fields are the only columns a group has.
    TVLMAO::SetResultFields(items, distinct);
    for (int32_t k = 0; k < FieldMap.Count(); ++k) {
      const int32_t no = FieldMap.Items()[k];
      const TVLMAOField& f = Fields[static_cast<size_t>(no)];
      if (!GroupFieldNos.Contains(no)) throw EVLMException(10342, kNotGrouped, {std::string(), f.Name, no, f.Name});
    }
    return;
  }
  // The expressions read the operand's current row: the columns they name
  // must survive the operand's materialisation.
  for (const TVLMFieldRef& item : items)
    if (item.IsExpression) KeepOperandFields(item.Expression.get());
  // DISTINCT applies to the group rows, like ORDER BY.
  TVLMAO::SetResultFields(items, distinct);
  for (const TVLMAOField& f : Fields) {
    if (f.Hidden || f.Expression() == nullptr) continue;
    if (!ReadsOnlyGroupFields(f.Expression()->GetRoot()))
      throw EVLMException(20269,
                          "Expression (Name=\"%s\", DisplayName=\"%s\") cannot be used with GROUP BY. Possibly "
                          "expression is not aggregate, but it uses fields not included into group fields",
                          {f.Name, f.DisplayName});
  }
  for (const TVLMFieldRef& item : items) {
    if (item.IsExpression) continue;
    const std::string name = item.AllFields ? std::string("*") : item.FieldName;
    TVLMIntegerArray found(0, 100, 10);
    if (FindFields(name, item.TableName, false, false, &found, false) == 0)
      throw EVLMException(10341, "Cannot find field %s in table %s", {name, item.TableName});
    for (int32_t k = 0; k < found.Count(); ++k) {
      const int32_t no = found.Items()[k];
      if (!GroupFieldNos.Contains(no))
        throw EVLMException(10342, kNotGrouped, {item.TableName, name, no, Fields[static_cast<size_t>(no)].Name});
    }
  }
}

bool TVLMAOGroupBy::ReadsOnlyGroupFields(const TVLMExprNode* node) const {
  if (node == nullptr || dynamic_cast<const TVLMExprNodeAggregated*>(node) != nullptr) return true;
  if (const auto* field = dynamic_cast<const TVLMExprNodeField*>(node))
    return field->OuterReference || (field->Operand == Left.get() && GroupFieldNos.Contains(field->FieldNo));
  for (const auto& child : node->Children)
    if (!ReadsOnlyGroupFields(child.get())) return false;
  return true;
}

// ------------------------------------------------------------------ opening

void TVLMAOGroupBy::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  OuterOperand_ = outerOperand;
  OuterCursor_ = outerCursor;
  // Opened again once materialised (as a set operation's operand), it only
  // sorts its result table.
  if (Left) KeepOperandFields(Condition.get());
  TVLMAO::Open(isRoot, outerOperand, outerCursor);
}

TVLMAOTable* TVLMAOGroupBy::FilteredLeaf() const {
  auto* leaf = dynamic_cast<TVLMAOTable*>(Left.get());
  return leaf != nullptr && leaf->Condition ? leaf : nullptr;
}

void TVLMAOGroupBy::OperandsOpened() {
  if (NoGroupFields) return;
  TVLMTable& source = *Left->ResultTable();
  LookAhead = std::make_unique<TVLMTable>();
  LookAhead->SetSessionName(source.SessionName());
  if (source.Temporary())
    LookAhead->SetTemporary(true);
  else if (source.InMemory())
    LookAhead->SetInMemory(true);
  else
    LookAhead->SetDatabaseName(source.DatabaseName());
  LookAhead->SetTableName(source.TableName());
  LookAhead->DisableTempFiles = source.DisableTempFiles;
  LookAhead->ReadOnly = true;
  try {
    LookAhead->Open();
  } catch (const std::exception& e) {
    if (const int32_t conflict = VLMLockConflictCode(e)) VLMRaiseLockConflict(conflict, source.TableName());
    throw EVLMException(10304, "Cannot open table %s: %s", {source.TableName(), std::string(e.what())});
  }
  LookAhead->AssignIndexFrom(source);
  // The look-ahead must see the rows the operand sees. The leaf's condition
  // is shared: a filter is bound to a cursor's record again before each
  // test, and both cursors read the same table with the same layout, so one
  // tree serves both without being bound again before every move (which
  // would drop each cursor's record bitmap).
  if (TVLMAOTable* leaf = FilteredLeaf())
    LookAhead->SetFilterExpression(leaf->Condition.get(), OuterOperand_, OuterCursor_);
}

void TVLMAOGroupBy::OperandsClosing() {
  LookAhead.reset();
  // The leaf's condition was last bound to the look-ahead's cursor.
  if (TVLMAOTable* leaf = FilteredLeaf())
    leaf->ResultTable()->SetFilterExpression(leaf->Condition.get(), OuterOperand_, OuterCursor_);
}

int64_t TVLMAOGroupBy::PipelineRecordCount() { return Left->RecordCount(); }

// ------------------------------------------------------------------ groups

void TVLMAOGroupBy::InitAggregates() {
  if (Condition) Condition->InitAggregate();
  if (!HasComputedFields) return;
  for (TVLMAOField& f : Fields)
    if (f.IsAggregated && f.Expression()) f.Expression()->InitAggregate();
}

void TVLMAOGroupBy::AccumulateRow() {
  if (Condition) Condition->Accumulate();
  if (!HasComputedFields) return;
  for (TVLMAOField& f : Fields)
    if (f.IsAggregated && f.Expression()) f.Expression()->Accumulate();
}

void TVLMAOGroupBy::CompareGroup() {
  GroupCompare = kVLMCompareEqual;
  for (int32_t k = 0; k < GroupFieldNos.Count(); ++k) {
    const int32_t no = GroupFieldNos.Items()[k];
    const TVLMAOField& source = Left->Fields[static_cast<size_t>(no)];
    try {
      Left->GetFieldValue(Current_, no, true, false);
      // Both the leaf and a materialised operand read their columns by table
      // field number; the look-ahead table has no projection.
      if (source.SourceDataSet() == nullptr)
        throw EVLMException(10309, "Invalid field link: table name = %s, FieldNo = %d", {Left->TableName, no});
      LookAhead->GetFieldVariant(Ahead_, source.SourceFieldNo(), true);
      GroupCompare = Current_.Compare(Ahead_);
    } catch (const std::exception& e) {
      throw EVLMException(10340, "Cannot compare values for fields: %s, %s. Error: %s",
                          {source.Name, source.Name, std::string(e.what())});
    }
    if (GroupCompare != kVLMCompareEqual) return;
  }
}

void TVLMAOGroupBy::ScanGroup() {
  for (;;) {
    AccumulateRow();
    // The operand's row is the last of the input.
    if (LookAhead->Eof()) return;
    CompareGroup();
    if (GroupCompare != kVLMCompareEqual) return;
    Left->Next();
    LookAhead->Next();
    if (Left->Eof()) return;
  }
}

void TVLMAOGroupBy::PipelineFirst() {
  GroupEof = 0;
  // Without group fields the operand is positioned only when its rows are
  // read: the COUNT(*) answer needs no row.
  if (!NoGroupFields) {
    Left->First();
    LookAhead->First();
  }
  FirstStep = 1;
  PipelineNext();
}

void TVLMAOGroupBy::PipelineNext() {
  if (NoGroupFields) {
    // One row for the whole input; the second call ends it.
    if (!FirstStep) {
      GroupEof = 1;
      return;
    }
    FirstStep = 0;
    bool onlyCountAll = false;
    for (const TVLMAOField& f : Fields) {
      if (!f.IsAggregated || !f.Expression()) continue;
      onlyCountAll = f.Expression()->IsCountAll();
      if (!onlyCountAll) break;
    }
    // HAVING has aggregates of its own to feed, so it reads the rows.
    if (onlyCountAll && !Condition) {
      const int64_t count = Left->RecordCount();
      if (count > INT32_MAX) throw EIntOverflow();
      for (TVLMAOField& f : Fields)
        if (f.IsAggregated && f.Expression()) f.Expression()->SetRowCount(static_cast<int32_t>(count));
      return;
    }
    InitAggregates();
    for (Left->First(); !Left->Eof(); Left->Next()) AccumulateRow();
    // Columns outside aggregates read the first input row.
    Left->First();
    return;
  }
  if (FirstStep) {
    FirstStep = 0;
    // An empty input has no groups.
    if (Left->Eof()) {
      GroupEof = 1;
      return;
    }
    LookAhead->Next();
  } else {
    Left->Next();
    if (Left->Eof()) {
      GroupEof = 1;
      return;
    }
    LookAhead->Next();
  }
  InitAggregates();
  ScanGroup();
}
