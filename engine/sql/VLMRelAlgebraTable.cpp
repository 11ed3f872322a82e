// The table leaf, the table-expression operator and the TOP operator
// (VLMRelAlgebra.h).
#include <algorithm>
#include <exception>
#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExpressions.h"
#include "engine/sql/VLMKeptTables.h"
#include "engine/sql/VLMRelAlgebra.h"
#include "engine/sql/VLMSQLCommand.h"
#include "platform/os/Collation.h"

namespace {

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }

}  // namespace

// ------------------------------------------------------------- TVLMAOTable

TVLMAOTable::TVLMAOTable(std::string tableName, std::unique_ptr<TVLMTable> table, TVLMDatabase* database,
                         std::string alias)
    : TVLMAO(nullptr, nullptr, std::move(alias), std::move(tableName)), Database(database) {
  Result().Adopt(std::move(table));
  Result().DisableTempFiles = database != nullptr && database->DisableTempFiles;
  IsLeaf = 1;
  try {
    ResultTable()->Open();
  } catch (const std::exception& e) {
    // Opening takes the table's open lock and reads the first record under
    // the read lock the statement lock takes: another session holding the
    // table (or the database) locked keeps the statement out as the
    // statement lock would.
    if (const int32_t conflict = VLMLockConflictCode(e)) VLMRaiseLockConflict(conflict, TableName);
    // Another connection's cut commit refuses readers as it refuses
    // writers, with its own code and message.
    if (const auto* engine = dynamic_cast<const EVLMException*>(&e); engine != nullptr && engine->NativeError == 10741)
      throw;
    throw EVLMException(10303, "Error on opening table \"%s\" in SQL query: %s", {TableName, std::string(e.what())});
  }
  // The leaf's fields are the table's columns, also while the dataset
  // still shows another query's projection.
  TVLMAdvFieldDefs columns;
  TVLMLocalCursor* cursor = ResultTable()->Handle();
  if (cursor != nullptr && cursor->ProjectionSet) {
    if (cursor->FieldDefs && cursor->ConstraintDefs) {
      VLMEngineToAdvFieldDefs(*cursor->FieldDefs, *cursor->ConstraintDefs, columns);
      ClearProjectionAtOpen_ = true;
    } else {
      ResultTable()->ClearProjection();
    }
  }
  const TVLMAdvFieldDefs& defs = ClearProjectionAtOpen_ ? columns : ResultTable()->AdvFieldDefs;
  for (int32_t i = 0; i < defs.GetCount(); ++i) {
    const TVLMAdvFieldDef& def = *defs.GetItem(i);
    TVLMAOField field;
    field.Name = def.Name;
    field.DataType = def.DataType;
    field.DataSize = def.Size;
    field.Flag1 = def.BlobCompressionAlgorithm;
    field.Flag2 = def.BlobCompressionMode;
    field.Extra = def.BlobBlockSize;
    field.Source = TVLMAOFromDataSet{ResultTable(), i};
    field.Hidden = 1;
    Fields.push_back(std::move(field));
  }
}

TVLMAOTable::~TVLMAOTable() {
  // A table of the statement's own database goes back, open and unlocked,
  // to the kept tables of the run under way (they close it when it is not
  // as lent); the base closes any other.
  TVLMKeptTables* kept = VLMCurrentKeptTables();
  if (kept == nullptr || Database != nullptr || !ResultTable()) return;
  try {
    if (TablesLocked && ResultTable()->Active() && !UnlockTables()) return;
  } catch (...) {
    return;
  }
  kept->Give(Result().Release());
}

void TVLMAOTable::SetResultFields(std::span<TVLMFieldRef> items, bool distinct) {
  if (items.empty()) {
    TVLMAO::SetResultFields(items, distinct);
    return;
  }
  for (const TVLMFieldRef& item : items) {
    if (!item.TableName.empty() && !QualifierNamesThis(item.TableName))
      throw EVLMException(30327, "Invalid table name in reference. Table name = %s, table alias = %s, tname = %s",
                          {qv::UpperCase1252(TableName), qv::UpperCase1252(Alias),
                           qv::UpperCase1252(item.TableName)});
    // t.*: the table shows all its columns, as they are.
    if (item.AllFields) return;
  }
  TVLMAO::SetResultFields(items, distinct);
  if (CopiedAtEnd) return;
  // The table shows the result columns under the names the base operation
  // gave them.
  qv::StringList names;
  qv::StringList aliases;
  for (const int32_t no : ResultFieldNumbers()) {
    names.Add(Fields[static_cast<size_t>(no)].Name);
    aliases.Add(Fields[static_cast<size_t>(no)].DisplayName);
  }
  ResultTable()->SetProjection(names, aliases);
  ClearProjectionAtOpen_ = false;
}

void TVLMAOTable::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  if (ClearProjectionAtOpen_) {
    ClearProjectionAtOpen_ = false;
    ResultTable()->ClearProjection();
  }
  if (!OrderKeys.empty()) ApplyOrderBy(!Distinct);
  if (Distinct) {
    // Equal rows come together in an index over the sort fields and then
    // every other DISTINCT field.
    qv::StringList fields, directions, cases;
    VLMSortKeyLists(OrderKeys, fields, directions, cases);
    for (const int32_t no : DistinctFieldNos) {
      const std::string name = Upper(Fields[static_cast<size_t>(no)].Name);
      if (fields.IndexOf(name) >= 0) continue;
      fields.Add(name);
      directions.Add("ASC");
      cases.Add("CASE");
    }
    ResultTable()->SetIndexByFields(fields, directions, cases);
    OrderKeys.clear();
  }
  ResultTable()->SetFilterExpression(Condition.get(), outerOperand, outerCursor);
  TVLMAO::Open(isRoot, outerOperand, outerCursor);
}

bool TVLMAOTable::TakeOrderBy(TVLMSortKeys& keys) {
  if (!ResultTable()) throw EVLMException(10513, "Nil pointer occured");
  if (OrderKeys.empty() || !ResultTable()->IndexName().empty() || !ResultTable()->IndexFieldNames().empty())
    return false;
  qv::StringList fields, directions, cases;
  VLMSortKeyLists(OrderKeys, fields, directions, cases);
  if (ResultTable()->HasIndexForFields(fields, directions, cases)) return false;
  keys = std::move(OrderKeys);
  OrderKeys.clear();
  return true;
}

// ---------------------------------------------------------- TVLMAOTableExpr

namespace {

// The fields of a pass-through operator: one per result field of its
// operand.
void AddOperandFields(TVLMAO& op) {
  TVLMAO& operand = *op.Left;
  if (operand.ResultFieldsSet) {
    for (int32_t k = 0; k < operand.FieldMap.Count(); ++k) op.AddFieldFromOperand(operand.FieldMap.Items()[k], true);
  } else {
    for (int32_t i = 0; i < operand.FieldCount(); ++i) op.AddFieldFromOperand(i, true);
  }
}

}  // namespace

TVLMAOTableExpr::TVLMAOTableExpr(std::unique_ptr<TVLMAO> operand)
    : TVLMAO(std::move(operand), nullptr, std::string(), std::string()) {
  Materialized = 0;
  AddOperandFields(*this);
}

void TVLMAOTableExpr::PipelineFirst() { Left->First(); }

void TVLMAOTableExpr::PipelineNext() { Left->Next(); }

bool TVLMAOTableExpr::PipelineEof() { return Left->Eof(); }

int64_t TVLMAOTableExpr::PipelineRecordCount() { return Left->RecordCount(); }

void TVLMAOTableExpr::SetRowLimit(int64_t firstRow, int64_t rowLimit) {
  TVLMAO::SetRowLimit(firstRow, rowLimit);
  if (RowLimit >= 0) Left->SetRowLimit(firstRow, rowLimit);
}

void TVLMAOTableExpr::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  auto* table = dynamic_cast<TVLMAOTable*>(Left.get());
  TVLMSortKeys keys;
  if (table != nullptr && table->TakeOrderBy(keys)) {
    // The table's sort names its columns; here each is the field that reads
    // that column, added when none does (a column sorted on but not
    // selected), under a name of its own.
    for (TVLMSortKey& key : keys) {
      int32_t column = -1;
      for (int32_t i = 0; i < Left->FieldCount() && column < 0; ++i)
        if (Upper(Left->Fields[static_cast<size_t>(i)].Name) == key.Field) column = i;
      if (column < 0) continue;
      int32_t own = -1;
      for (int32_t i = 0; i < FieldCount() && own < 0; ++i) {
        const TVLMAOField& f = Fields[static_cast<size_t>(i)];
        if (f.SourceOperator() == Left.get() && f.SourceFieldNo() == column) own = i;
      }
      if (own < 0) {
        TVLMUniqueNames names;
        for (const TVLMAOField& f : Fields) names.Add(f.Name);
        AddFieldFromOperand(column, false);
        own = FieldCount() - 1;
        TVLMAOField& added = Fields[static_cast<size_t>(own)];
        added.Name = names.Take(added.Name);
      }
      key.Field = Upper(Fields[static_cast<size_t>(own)].Name);
    }
    OrderKeys = std::move(keys);
  }
  TVLMAO::Open(isRoot, outerOperand, outerCursor);
}

// ----------------------------------------------------- TVLMAOSQLTopRowCount

// One row the bounded heap keeps: its sort values, its place in the walk
// and its bookmark in the leaf's table.
struct TVLMAOSQLTopRowCount::TKeptRow {
  std::vector<std::unique_ptr<TVLMVariant>> Values;
  int64_t Sequence = 0;
  qv::Bookmark Place;
};

TVLMAOSQLTopRowCount::TVLMAOSQLTopRowCount(std::unique_ptr<TVLMAO> operand)
    : TVLMAO(std::move(operand), nullptr, std::string(), std::string()) {
  Materialized = 0;
  AddOperandFields(*this);
}

TVLMAOSQLTopRowCount::~TVLMAOSQLTopRowCount() = default;

namespace {

// The rows kept for TOP n at the most: beyond, the sort through an index
// costs less than holding the rows.
constexpr int64_t kHeapRows = 10000;

// A sort column the bounded heap orders as an index would.
bool HeapOrderable(TVLMBaseDataType type) {
  return type != 0 && !VLMIsStringBaseType(type) && !VLMIsBLOBBaseType(type);
}

}  // namespace

void TVLMAOSQLTopRowCount::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  auto* table = dynamic_cast<TVLMAOTable*>(Left.get());
  const int64_t skipped = FirstRow > 1 ? FirstRow - 1 : 0;
  if (table != nullptr && !Condition && !table->Distinct && RowLimit >= 0 && skipped + RowLimit <= kHeapRows &&
      !table->OrderBy().empty() && table->ResultTable() && table->ResultTable()->Active()) {
    std::vector<int32_t> columns;
    std::vector<bool> descending;
    TVLMLocalCursor* cursor = table->ResultTable()->Handle();
    for (const TVLMSortKey& key : table->OrderBy()) {
      // The sort names columns of the table the result table reads.
      if (cursor == nullptr || !cursor->FieldDefs || key.CaseInsensitive) break;
      const std::string wanted = Upper(key.Field);
      int32_t column = -1;
      for (int32_t c = 0; c < cursor->FieldDefs->GetCount() && column < 0; ++c)
        if (Upper(cursor->FieldDefs->GetFieldDef(c)->Name) == wanted) column = c;
      if (column < 0 || !HeapOrderable(cursor->FieldDefs->GetFieldDef(column)->BaseType)) break;
      columns.push_back(column);
      descending.push_back(key.Descending);
    }
    TVLMSortKeys keys;
    if (columns.size() == table->OrderBy().size() && table->TakeOrderBy(keys)) {
      SortColumns_ = std::move(columns);
      SortDescending_ = std::move(descending);
      Heap_ = true;
    }
  }
  TVLMAO::Open(isRoot, outerOperand, outerCursor);
}

void TVLMAOSQLTopRowCount::FillBest() {
  TVLMTable& table = *Left->ResultTable();
  const size_t wanted = static_cast<size_t>((FirstRow > 1 ? FirstRow - 1 : 0) + std::max<int64_t>(RowLimit, 0));
  // a before b in the index's order: the values, then the walk's order.
  auto before = [&](const TKeptRow& a, const TKeptRow& b) {
    for (size_t k = 0; k < SortColumns_.size(); ++k) {
      const TVLMVariant& x = *a.Values[k];
      const TVLMVariant& y = *b.Values[k];
      int32_t c = VLMCompareValuesSigned(x.Data, y.Data, x.DataType, y.DataType, x.IsNull(), y.IsNull(), -1, false,
                                         kVLMKeyCompareLocale, x.DataSize, y.DataSize);
      if (SortDescending_[k]) c = -c;
      if (c != 0) return c < 0;
    }
    return a.Sequence < b.Sequence;
  };
  // A max-heap on "before": its top is the worst row kept.
  Best_.clear();
  auto fresh = [&] {
    TKeptRow r;
    for (size_t k = 0; k < SortColumns_.size(); ++k) r.Values.push_back(std::make_unique<TVLMVariant>());
    return r;
  };
  TKeptRow row = fresh();
  int64_t sequence = 0;
  TVLMVariant value;
  for (table.First(); wanted > 0 && !table.Eof(); table.Next()) {
    row.Sequence = sequence++;
    for (size_t k = 0; k < SortColumns_.size(); ++k) {
      table.GetFieldVariant(value, SortColumns_[k], true);
      row.Values[k]->Assign(value, true);
      value.Clear();
    }
    if (Best_.size() == wanted) {
      if (!before(row, Best_.front())) continue;
      std::pop_heap(Best_.begin(), Best_.end(), before);
      Best_.pop_back();
    }
    row.Place = table.GetBookmark();
    Best_.push_back(std::move(row));
    std::push_heap(Best_.begin(), Best_.end(), before);
    row = fresh();
  }
  std::sort_heap(Best_.begin(), Best_.end(), before);
  Filled_ = true;
}

void TVLMAOSQLTopRowCount::GoToKept() {
  if (Next_ < Best_.size()) Left->ResultTable()->GotoBookmark(Best_[Next_].Place);
}

void TVLMAOSQLTopRowCount::PipelineFirst() {
  if (!Heap_) {
    Left->First();
    return;
  }
  if (!Filled_) FillBest();
  Next_ = 0;
  GoToKept();
}

void TVLMAOSQLTopRowCount::PipelineNext() {
  if (!Heap_) {
    Left->Next();
    return;
  }
  ++Next_;
  GoToKept();
}

bool TVLMAOSQLTopRowCount::PipelineEof() { return Heap_ ? Next_ >= Best_.size() : Left->Eof(); }

int64_t TVLMAOSQLTopRowCount::PipelineRecordCount() {
  return Heap_ ? static_cast<int64_t>(Best_.size()) : Left->RecordCount();
}

void TVLMAOSQLTopRowCount::SetRowLimit(int64_t firstRow, int64_t rowLimit) {
  TVLMAO::SetRowLimit(firstRow, rowLimit);
  // Only this operator skips: the rows below it are counted before the
  // skip, so they get the skipped rows and the kept ones as their limit.
  const int64_t skipped = firstRow > 1 ? firstRow - 1 : 0;
  Left->SetRowLimit(-1, rowLimit < 0 ? -1 : skipped + rowLimit);
}
