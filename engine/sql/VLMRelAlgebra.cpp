// The operator base (VLMRelAlgebra.h): field lookup, the select list as
// result fields, output names, field values, and opening an operator:
// materialisation into a result table in "TEMP", ORDER BY through indexes,
// DISTINCT through a unique index, row limits and the statement's table
// locks.
#include "engine/sql/VLMRelAlgebra.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMNesting.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMTypesRoutines.h"
#include "engine/core/VLMSettings.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldTypes.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/Collation.h"

namespace {

constexpr std::string_view kInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";
constexpr std::string_view kHiddenField =
    "Cannot access hidden field: table name = %s, field name = %s, display name = %s, FieldNo = %d";

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }


// The bytes of a DISTINCT row's values that have met the result's unique
// index (kept or refused) are remembered up to this many bytes: a later row
// with the very same bytes is refused without a search of the index.
constexpr size_t kDistinctMemoryBytes = size_t{32} << 20;

// Appends value to key: type, null flag, size and bytes, so that two keys
// are equal only for values equal byte for byte.
void AppendValueBytes(std::string& key, const TVLMVariant& value) {
  const bool null = value.IsNull();
  const int32_t size = null ? 0 : std::max(value.DataSize, 0);
  const size_t at = key.size();
  key.resize(at + 2 + sizeof size + static_cast<size_t>(size));
  char* out = key.data() + at;
  out[0] = static_cast<char>(value.DataType);
  out[1] = null ? '\0' : '\1';
  std::memcpy(out + 2, &size, sizeof size);
  if (size > 0) std::memcpy(out + 2 + sizeof size, value.Data, static_cast<size_t>(size));
}

bool SameName(std::string_view a, std::string_view b) { return qv::SameName(a, b); }

}  // namespace

// ------------------------------------------------------------ unique names

std::string TVLMUniqueNames::Take(const std::string& wanted) {
  std::string name = wanted;
  std::string upper = Upper(name);
  if (!Taken_.insert(upper).second) {
    // The counter of a wanted name goes on from where it stopped, so n
    // equal names cost n steps, not n * n.
    int32_t& counter = Next_[upper];
    const std::string base = upper;
    do {
      name = wanted + "_" + std::to_string(++counter);
      upper = base + "_" + std::to_string(counter);
    } while (!Taken_.insert(upper).second);
  }
  return name;
}

void TVLMUniqueNames::Add(const std::string& name) {
  if (!name.empty()) Taken_.insert(Upper(name));
}

bool TVLMUniqueNames::Contains(const std::string& name) const { return Taken_.count(Upper(name)) > 0; }

namespace {

// The names as an index text: ";"-separated.
std::string JoinNames(const qv::StringList& names) {
  std::string text;
  for (int32_t i = 0; i < names.Count(); ++i) text += (i > 0 ? ";" : "") + names[i];
  return text;
}

}  // namespace

// ------------------------------------------------------------- field lists

TVLMFieldRef::TVLMFieldRef() = default;
TVLMFieldRef::~TVLMFieldRef() = default;
TVLMFieldRef::TVLMFieldRef(TVLMFieldRef&&) noexcept = default;
TVLMFieldRef& TVLMFieldRef::operator=(TVLMFieldRef&&) noexcept = default;

TVLMAOField::TVLMAOField() = default;
TVLMAOField::~TVLMAOField() = default;
TVLMAOField::TVLMAOField(TVLMAOField&&) noexcept = default;
TVLMAOField& TVLMAOField::operator=(TVLMAOField&&) noexcept = default;

TVLMAOComputed::TVLMAOComputed(std::unique_ptr<TVLMExpression> expression) : Expression(std::move(expression)) {}
TVLMAOComputed::~TVLMAOComputed() = default;
TVLMAOComputed::TVLMAOComputed(TVLMAOComputed&&) noexcept = default;
TVLMAOComputed& TVLMAOComputed::operator=(TVLMAOComputed&&) noexcept = default;

TVLMAO* TVLMAOField::SourceOperator() const {
  const auto* operand = std::get_if<TVLMAOFromOperand>(&Source);
  return operand != nullptr ? operand->Operator : nullptr;
}

TVLMTable* TVLMAOField::SourceDataSet() const {
  const auto* dataset = std::get_if<TVLMAOFromDataSet>(&Source);
  return dataset != nullptr ? dataset->DataSet : nullptr;
}

int32_t TVLMAOField::SourceFieldNo() const {
  if (const auto* operand = std::get_if<TVLMAOFromOperand>(&Source)) return operand->FieldNo;
  if (const auto* dataset = std::get_if<TVLMAOFromDataSet>(&Source)) return dataset->FieldNo;
  return 0;
}

TVLMExpression* TVLMAOField::Expression() const {
  const auto* computed = std::get_if<TVLMAOComputed>(&Source);
  return computed != nullptr ? computed->Expression.get() : nullptr;
}

// -------------------------------------------------------------------- life

TVLMAO::TVLMAO(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, std::string alias,
               std::string tableName)
    : TableName(std::move(tableName)),
      Alias(std::move(alias)),
      Left(std::move(left)),
      Right(std::move(right)) {
  for (TVLMAO* operand : {Left.get(), Right.get()}) {
    if (operand == nullptr) continue;
    if (operand->ResultTable() && !operand->ResultTable()->SessionName().empty())
      ResultTable()->SetSessionName(operand->ResultTable()->SessionName());
    Result_.DisableTempFiles = Result_.DisableTempFiles || operand->Result_.DisableTempFiles;
  }
}

TVLMAO::~TVLMAO() {
  // A destructor reports nothing: each step goes on when one before it
  // failed, so that no lock and no temporary table is left behind.
  try {
    if (IsLeaf && TablesLocked && ResultTable() && ResultTable()->Active()) UnlockTables();
  } catch (...) {
  }

  // The base table of a leaf holds Condition as its filter: it closes first.
  Result_.Close();
  Fields.clear();
  Left.reset();
  Right.reset();
}

bool TVLMAO::ReadsOwnResult(const TVLMAOField& f) const {
  return !Materialized || f.SourceDataSet() == ResultTable();
}

TVLMAOField& TVLMAO::FieldAt(int32_t fieldNo, int32_t code) {
  if (fieldNo < 0 || fieldNo >= FieldCount()) throw EVLMException(code, kInvalidFieldNo, {fieldNo, FieldCount()});
  return Fields[static_cast<size_t>(fieldNo)];
}

// ------------------------------------------------------------ row interface

int64_t TVLMAO::PipelineRecordCount() { return Materialized ? ResultTable()->RecordCount() : 0; }

void TVLMAO::First() {
  if (Materialized)
    ResultTable()->First();
  else
    PipelineFirst();
}

void TVLMAO::Next() {
  if (Materialized)
    ResultTable()->Next();
  else
    PipelineNext();
}

bool TVLMAO::Eof() { return Materialized ? ResultTable()->Eof() : PipelineEof(); }

int64_t TVLMAO::RecordCount() { return Materialized ? ResultTable()->RecordCount() : PipelineRecordCount(); }

// ------------------------------------------------------------ field lookup

bool TVLMAO::QualifierNamesThis(const std::string& qualifier) const {
  if (SameName(qualifier, Alias)) return true;
  return (Alias.empty() || NameQualifies) && SameName(qualifier, TableName);
}

int32_t TVLMAO::FindFields(const std::string& name, const std::string& qualifier, bool visibleOnly,
                           bool keepHidden, TVLMIntegerArray* found, bool unhide) {
  const bool qualifierMatches = qualifier.empty() || QualifierNamesThis(qualifier);
  if (IsLeaf && !qualifierMatches) return 0;
  int32_t count = 0;
  // firstPass: a match through the left operand, which a grouping operator
  // leaves hidden.
  auto take = [&](int32_t i, bool firstPass) {
    ++count;
    if (found != nullptr) found->Append(i);
    if (unhide && !keepHidden && !(firstPass && IsGrouping)) Fields[static_cast<size_t>(i)].Hidden = 0;
  };
  TVLMIntegerArray list(0, 100, 10);

  if (name == "*") {
    if (Left) Left->FindFields("*", qualifier, false, false, &list, unhide);
    for (int32_t i = 0; i < FieldCount(); ++i) {
      const TVLMAOField& f = Fields[static_cast<size_t>(i)];
      const bool computedHere = f.IsComputed() && SameName(qualifier, TableName);
      const bool fromLeft = Left && f.SourceOperator() == Left.get() && list.Contains(f.SourceFieldNo());
      if (IsLeaf || computedHere || fromLeft) take(i, true);
    }
    if (Right) {
      list.SetSize(0);
      Right->FindFields("*", qualifier, false, false, &list, unhide);
      for (int32_t i = 0; i < FieldCount(); ++i) {
        const TVLMAOField& f = Fields[static_cast<size_t>(i)];
        if (f.SourceOperator() == Right.get() && list.Contains(f.SourceFieldNo())) take(i, false);
      }
    }
    return count;
  }

  for (TVLMAO* operand : {Left.get(), Right.get()}) {
    if (operand == nullptr) continue;
    list.SetSize(0);
    operand->FindFields(name, qualifier, false, false, &list, unhide);
    for (int32_t k = 0; k < list.Count(); ++k) {
      for (int32_t i = 0; i < FieldCount(); ++i) {
        const TVLMAOField& f = Fields[static_cast<size_t>(i)];
        if (f.SourceOperator() != operand || f.SourceFieldNo() != list.Items()[k]) continue;
        if (visibleOnly && f.Hidden) continue;
        take(i, operand == Left.get());
      }
    }
  }
  if (!qualifierMatches) return count;
  // A column is found by its name, never by the alias of an item: an alias
  // names its item, a column name the column.
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TVLMAOField& f = Fields[static_cast<size_t>(i)];
    if (visibleOnly && f.Hidden) continue;
    if (!SameName(f.Name, name)) continue;
    if (found != nullptr && !found->Contains(i)) {
      found->Append(i);
      ++count;
    }
    if (unhide && !keepHidden) f.Hidden = 0;
    break;
  }
  return count;
}

std::vector<int32_t> TVLMAO::ResultFieldNumbers() const {
  // Without FieldMap entries (an operator that never made them) the result
  // columns are the visible fields in field order.
  if (FieldMap.Count() > 0) return std::vector<int32_t>(FieldMap.Items(), FieldMap.Items() + FieldMap.Count());
  std::vector<int32_t> columns;
  for (int32_t i = 0; i < FieldCount(); ++i)
    if (!Fields[static_cast<size_t>(i)].Hidden) columns.push_back(i);
  return columns;
}

int32_t TVLMAO::ResultColumnField(int32_t position) const {
  const std::vector<int32_t> columns = ResultFieldNumbers();
  if (position < 0 || position >= static_cast<int32_t>(columns.size()))
    throw EVLMException(20243, "Invalid field number in ORDER BY clause: %d", {position + 1});
  return columns[static_cast<size_t>(position)];
}

std::string TVLMAO::GetOrderByName(int32_t position) const {
  const TVLMAOField& f = Fields[static_cast<size_t>(ResultColumnField(position))];
  return f.DisplayName.empty() ? f.Name : f.DisplayName;
}

int32_t TVLMAO::FindResultColumn(const std::string& name, bool aliasedOnly) const {
  const std::string upper = Upper(name);
  for (const int32_t no : ResultFieldNumbers()) {
    const TVLMAOField& f = Fields[static_cast<size_t>(no)];
    const std::string& shown = aliasedOnly ? f.ItemAlias : f.DisplayName.empty() ? f.Name : f.DisplayName;
    if (!shown.empty() && Upper(shown) == upper) return no;
  }
  return -1;
}

std::string TVLMAO::GetSourceFieldName(int32_t fieldNo, bool direct) {
  const TVLMAOField& f = FieldAt(fieldNo, 10306);
  if (const auto* dataset = std::get_if<TVLMAOFromDataSet>(&f.Source);
      dataset != nullptr && dataset->DataSet != nullptr && dataset->DataSet != ResultTable()) {
    TVLMLocalCursor* cursor = dataset->DataSet->Handle();
    if (cursor != nullptr && cursor->FieldDefs && dataset->FieldNo >= 0 &&
        dataset->FieldNo < cursor->FieldDefs->GetCount())
      return cursor->FieldDefs->GetFieldDef(dataset->FieldNo)->Name;
    return f.Name;
  }
  if (const auto* operand = std::get_if<TVLMAOFromOperand>(&f.Source);
      !direct && operand != nullptr && operand->Operator != nullptr && operand->Operator != this)
    return operand->Operator->GetSourceFieldName(operand->FieldNo, false);
  return f.Name;
}

void TVLMAO::MakeOutputNames() {
  for (int32_t i = 0; i < FieldCount(); ++i) {
    std::string name = GetSourceFieldName(i, false);
    Fields[static_cast<size_t>(i)].Name = name.empty() ? VLMNewGUIDName("Expr") : std::move(name);
  }
  // A name that an earlier field has is extended: the first time by "_1",
  // then by one more digit each time (A_1, A_12, A_123). The hidden fields
  // are renamed first, then every field; earlier holds the upper-cased
  // names of the fields before the one renamed.
  auto rename = [&](bool hiddenOnly) {
    std::unordered_set<std::string> earlier;
    for (TVLMAOField& f : Fields) {
      if (!hiddenOnly || f.Hidden) {
        std::string candidate = f.Name;
        for (int32_t counter = 1; earlier.count(Upper(candidate)) > 0; ++counter) {
          if (counter == 1) candidate += '_';
          candidate += std::to_string(counter);
        }
        f.Name = std::move(candidate);
      }
      earlier.insert(Upper(f.Name));
    }
  };
  rename(true);
  rename(false);
}

// -------------------------------------------------------------- field values

std::string TVLMAO::GetFieldName(int32_t fieldNo) { return FieldAt(fieldNo, 10306).Name; }

TVLMDataType TVLMAO::GetFieldDataType(int32_t fieldNo) { return FieldAt(fieldNo, 10376).DataType; }

int32_t TVLMAO::GetFieldDataSize(int32_t fieldNo) { return FieldAt(fieldNo, 10377).DataSize; }

int32_t TVLMAO::GetFieldAttribute(int32_t fieldNo) { return FieldAt(fieldNo, 10378).FieldAttribute; }

void TVLMAO::GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool allowHidden, bool flag) {
  TVLMAOField& f = FieldAt(fieldNo, 10307);
  value.SetNull();
  if (!f.HasSource())
    throw EVLMException(10309, "Invalid field link: table name = %s, FieldNo = %d", {TableName, fieldNo});
  if (f.Hidden && !allowHidden) throw EVLMException(10310, kHiddenField, {TableName, f.Name, f.DisplayName, fieldNo});
  VLM_INVARIANT("VLMRelAlgebra 1", ReadsOwnResult(f));
  if (const auto* computed = std::get_if<TVLMAOComputed>(&f.Source)) {
    if (computed->Expression == nullptr) return;
    if (TVLMVariant* result = computed->Expression->GetValue(true)) value.Assign(*result, false);
    return;
  }
  if (const auto* operand = std::get_if<TVLMAOFromOperand>(&f.Source)) {
    if ((LeftIsNull && operand->Operator == Left.get()) || (RightIsNull && operand->Operator == Right.get())) return;
    operand->Operator->GetFieldValue(value, operand->FieldNo, allowHidden, flag);
    return;
  }
  const auto& dataset = std::get<TVLMAOFromDataSet>(f.Source);
  TVLMTable& table = *dataset.DataSet;
  if (table.Bof() && table.Eof()) return;
  table.GetFieldVariant(value, dataset.FieldNo, true);
}

void TVLMAO::AddCondition(std::unique_ptr<TVLMExpression> condition) {
  if (!condition) return;
  if (!Condition) {
    Condition = std::move(condition);
    return;
  }
  Condition->AndWith(*condition);
}

void TVLMAO::SetIntoTable(bool inMemory, bool enabled, const std::string& databaseName,
                          const std::string& tableName) {
  Result_.SetInto(inMemory, enabled, databaseName, tableName);
}

// ---------------------------------------------------------- result fields

void TVLMAO::SetResultFields(std::span<TVLMFieldRef> items, bool distinct) {
  if (items.empty()) {
    FindFields("*", "", false, false, &FieldMap, true);
  } else {
    // A computed field is named by its item's alias unless a field of this
    // operator has that name: names stay unique within an operator, since
    // DISTINCT, ORDER BY and the result table's columns go by them.
    TVLMUniqueNames names;
    for (const TVLMAOField& f : Fields) names.Add(f.Name);
    for (TVLMFieldRef& item : items) {
      const std::string lookup = item.AllFields ? std::string("*") : item.FieldName;
      if (item.IsExpression && item.Expression && (IsGrouping || !item.Expression->IsAggregated())) {
        TVLMAOField field;
        TVLMExpression& expression = *item.Expression;
        field.Source = TVLMAOComputed{std::move(item.Expression)};
        expression.BindToOperands(Left.get(), Right.get(), nullptr);
        field.Name = names.Take(!item.Alias.empty() ? item.Alias : VLMNewGUIDName("Expr"));
        field.DisplayName = !item.Alias.empty() ? item.Alias : field.Name;
        field.ItemAlias = item.Alias;
        field.DataType = expression.GetDataType();
        field.DataSize = expression.GetDataSize();
        field.FieldAttribute = expression.GetExtraAttribute();
        field.IsAggregated = expression.IsAggregated() ? 1 : 0;
        HasComputedFields = 1;
        FieldMap.Append(FieldCount());
        // The item now names the computed field (a grouping operator keeps
        // the item an expression: it computes it per group).
        if (!IsGrouping) {
          item.IsExpression = 0;
          item.TableName.clear();
          item.FieldName = field.Name;
        }
        Fields.push_back(std::move(field));
        continue;
      }
      if (lookup.empty()) continue;
      const int32_t before = FieldMap.Count();
      const int32_t matches = FindFields(lookup, item.TableName, false, false, &FieldMap, true);
      if (matches == 0) throw EVLMException(10305, "Cannot find field %s", {lookup});
      if (matches >= 2 && lookup != "*") FieldMap.SetSize(FieldMap.Count() - (matches - 1));
      if (matches == 1 || lookup != "*") {
        TVLMAOField& f = Fields[static_cast<size_t>(FieldMap.Items()[before])];
        f.ItemAlias = item.Alias;
        if (!item.Alias.empty())
          f.DisplayName = item.Alias;
        else if (lookup != "*")
          f.DisplayName = lookup;
      }
    }
  }
  // The result columns are shown under names of their own: a name that an
  // earlier column shows already gets a suffix (x, x_1), as a column
  // selected twice does.
  TVLMUniqueNames shown;
  std::unordered_set<int32_t> seen;
  std::vector<int32_t> distinctFields;
  for (int32_t k = 0; k < FieldMap.Count(); ++k) {
    const int32_t no = FieldMap.Items()[k];
    TVLMAOField& f = Fields[static_cast<size_t>(no)];
    if (distinct) distinctFields.push_back(no);
    if (!seen.insert(no).second) continue;
    f.DisplayName = shown.Take(f.DisplayName.empty() ? f.Name : f.DisplayName);
  }
  if (distinct) SetDistinct(std::move(distinctFields));
  ResultFieldsSet = 1;
}

void TVLMAO::ShowFieldsInOrder(bool distinct) {
  FieldMap.SetSize(0);
  std::vector<int32_t> distinctFields;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TVLMAOField& f = Fields[static_cast<size_t>(i)];
    if (f.Hidden) continue;
    FieldMap.Append(i);
    if (f.DisplayName.empty()) f.DisplayName = f.Name;
    if (distinct) distinctFields.push_back(i);
  }
  if (distinct) SetDistinct(std::move(distinctFields));
  ResultFieldsSet = 1;
}

void TVLMAO::AddFieldFromOperand(int32_t operandFieldNo, bool skipHidden) {
  const TVLMAOField& source = Left->FieldAt(operandFieldNo, 10307);
  if (Left->ResultFieldsSet && source.Hidden && skipHidden) return;
  TVLMAOField field;
  field.Source = TVLMAOFromOperand{Left.get(), operandFieldNo};
  field.Hidden = source.Hidden;
  field.Name = Left->ResultFieldsSet && !source.DisplayName.empty() ? source.DisplayName : source.Name;
  field.DataType = source.DataType;
  field.DataSize = source.DataSize;
  field.FieldAttribute = source.FieldAttribute;
  field.Flag1 = source.Flag1;
  field.Flag2 = source.Flag2;
  field.Extra = source.Extra;
  Fields.push_back(std::move(field));
}

void TVLMAO::SetDistinct(std::vector<int32_t> fieldNos) {
  Distinct = fieldNos.empty() ? 0 : 1;
  if (!Distinct) return;
  DistinctFieldNos = std::move(fieldNos);
}

// ------------------------------------------------------ ORDER BY and limits

void TVLMAO::SetRowLimit(int64_t firstRow, int64_t rowLimit) {
  // A limit below an operator that filters, sorts or drops rows would cut
  // its input before the rows it keeps are known.
  if (Distinct || !OrderKeys.empty() || Condition) return;
  RowLimit = rowLimit;
  FirstRow = firstRow >= 0 ? firstRow : 1;
}

void TVLMAO::SetOrderBy(TVLMSortKeys keys) {
  // A later entry of a field already listed orders nothing the first one
  // left tied, unless the first ignores case and the later does not: drop
  // it, so "a, a DESC" sorts by a ascending. The index texts name a field's
  // direction and case once for all its entries, so in the remaining case
  // every entry of the field sorts as they say together.
  TVLMSortKeys kept;
  for (TVLMSortKey& key : keys) {
    key.Field = Upper(key.Field);
    auto earlier = std::find_if(kept.begin(), kept.end(), [&](const TVLMSortKey& k) { return k.Field == key.Field; });
    if (earlier == kept.end()) {
      kept.push_back(std::move(key));
    } else if (earlier->CaseInsensitive && !key.CaseInsensitive) {
      earlier->Descending = earlier->Descending || key.Descending;
    }
  }
  OrderKeys = std::move(kept);
}

void VLMSortKeyLists(const TVLMSortKeys& keys, qv::StringList& fields, qv::StringList& directions,
                     qv::StringList& cases) {
  fields.Clear();
  directions.Clear();
  cases.Clear();
  for (const TVLMSortKey& key : keys) {
    fields.Add(key.Field);
    directions.Add(key.Descending ? "DESC" : "ASC");
    cases.Add(key.CaseInsensitive ? "NO_CASE" : "CASE");
  }
}

void TVLMAO::ApplyOrderBy(bool freeOrderLists) {
  if (!ResultTable()) throw EVLMException(10308, "Nil pointer occured");
  if (!OrderKeys.empty() && ResultTable()->IndexName().empty() && ResultTable()->IndexFieldNames().empty()) {
    qv::StringList fields, directions, cases;
    VLMSortKeyLists(OrderKeys, fields, directions, cases);
    ResultTable()->SetIndexName(ResultTable()->GetIndexForFields(fields, directions, cases));
  }
  if (freeOrderLists) OrderKeys.clear();
}

// -------------------------------------------------------------------- Open

void TVLMAO::Open(bool isRoot, TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor) {
  // Opening recurses into the operands (VLMNesting.h).
  if (VLMStackIsLow()) throw EVLMException(20844, "Query nested too deeply to be opened");
  IsRoot = isRoot ? 1 : 0;
  const bool hasOperands = Left || Right;
  if (hasOperands && Condition) Condition->BindToOperands(this, outerOperand, outerCursor);
  // An operand materialises only its visible fields: those the condition
  // and the computed fields read must be among them.
  if (hasOperands) {
    UnhideOperandFields(Condition.get());
    for (TVLMAOField& f : Fields)
      if (f.IsComputed()) UnhideOperandFields(f.Expression());
    // An operand of which nothing is read still gives its rows (a join
    // under COUNT(*)): it carries one field for them.
    for (TVLMAO* operand : {Left.get(), Right.get()}) {
      if (operand == nullptr || operand->IsLeaf || operand->Fields.empty()) continue;
      if (std::none_of(operand->Fields.begin(), operand->Fields.end(), [](const TVLMAOField& f) { return !f.Hidden; }))
        UnhideField(*operand, 0);
    }
  }
  if (Left) Left->Open(false, outerOperand, outerCursor);
  if (Right) Right->Open(false, outerOperand, outerCursor);
  // An operator opened again after its materialisation (a set operation
  // opens its operands twice) has no operands left to prepare.
  if (hasOperands) OperandsOpened();
  // A limited, sorted operator reads its operand in sort order, so that the
  // rows it keeps are the first ones.
  if (RowLimit > 0 && !OrderKeys.empty() && Left) {
    TVLMTable& input = *Left->ResultTable();
    qv::StringList fields, directions, cases;
    VLMSortKeyLists(OrderKeys, fields, directions, cases);
    input.SetIndexName(input.GetIndexForFields(fields, directions, cases));
  }
  if (!hasOperands) {
    if (!OrderKeys.empty()) ApplyOrderBy(true);
    return;
  }
  if (StaysPipelined()) return;
  if (!Materialized) Materialize();
  if (!OrderKeys.empty()) ApplyOrderBy(true);
}

void TVLMAO::UnhideField(TVLMAO& op, int32_t fieldNo) {
  TVLMAOField& f = op.Fields[static_cast<size_t>(fieldNo)];
  f.Hidden = 0;
  if (const auto* operand = std::get_if<TVLMAOFromOperand>(&f.Source); operand != nullptr && operand->Operator != &op)
    UnhideField(*operand->Operator, operand->FieldNo);
}

void TVLMAO::UnhideOperandFields(TVLMExpression* expression) {
  if (expression == nullptr || expression->GetRoot() == nullptr) return;
  auto walk = [&](auto& self, TVLMExprNode* node) -> void {
    if (auto* field = dynamic_cast<TVLMExprNodeField*>(node); field != nullptr && !field->OuterReference) {
      for (TVLMAO* operand : {Left.get(), Right.get()})
        if (operand != nullptr) operand->FindFields(field->FieldName, field->TableName, false, false, nullptr, true);
    }
    for (int32_t i = 0; i < node->ChildCount(); ++i) self(self, node->Child(i));
  };
  walk(walk, expression->GetRoot());
}

// ---------------------------------------------------------- materialisation

void TVLMAO::Materialize() {
  // Its parent pulls the rows of an operator that stays pipelined.
  VLM_INVARIANT("VLMRelAlgebra 6", !StaysPipelined());
  qv::StringList names;
  qv::StringList displays;
  if (FieldMap.Count() > 0) {
    for (int32_t k = 0; k < FieldMap.Count(); ++k) {
      const int32_t no = FieldMap.Items()[k];
      const TVLMAOField& f = FieldAt(no, 10312);
      if (f.Hidden) throw EVLMException(10312, kHiddenField, {TableName, f.Name, f.DisplayName, no});
      if (f.DisplayName.empty()) continue;
      names.Add(f.Name);
      displays.Add(f.DisplayName);
    }
  } else {
    for (const TVLMAOField& f : Fields) {
      if (f.Hidden) continue;
      names.Add(f.Name);
      displays.Add(std::string());
    }
  }
  std::string distinctFields;
  if (Distinct) {
    qv::StringList distinctNames;
    for (const int32_t no : DistinctFieldNos) distinctNames.Add(Fields[static_cast<size_t>(no)].Name);
    distinctFields = JoinNames(distinctNames);
  }
  // A limited sort keeps its rows in sort order while the limit counts them.
  Result_.Create(Fields, RowLimit >= 0 ? std::span<const TVLMSortKey>(OrderKeys) : std::span<const TVLMSortKey>(),
                 distinctFields, IsRoot != 0);
  FillResultTable();
  // A DISTINCT result is read in the order of its unique index.
  Result_.Finish(RowLimit < 0 && !Distinct ? std::span<const TVLMSortKey>(OrderKeys) : std::span<const TVLMSortKey>(),
                 names, displays);
  // Every visible field now reads its column of the result table, by table
  // field number; a hidden one has nothing to read any more.
  int32_t column = 0;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TVLMAOField& f = Fields[static_cast<size_t>(i)];
    if (f.Hidden) {
      if (IsRoot && FieldMap.Contains(i))
        throw EVLMException(10314, kHiddenField, {TableName, f.Name, f.DisplayName, i});
      f.Source = std::monostate();
      continue;
    }
    f.IsAggregated = 0;
    f.Source = TVLMAOFromDataSet{ResultTable(), column++};
  }
  Materialized = 1;
  OperandsClosing();
  Left.reset();
  Right.reset();
}

template <class OnStep>
TVLMTable* TVLMAO::WalkToDataset(int32_t fieldNo, int32_t& column, OnStep&& onStep) {
  TVLMAO* op = this;
  int32_t no = fieldNo;
  for (;;) {
    const TVLMAOField& f = op->FieldAt(no, 10307);
    const auto* dataset = std::get_if<TVLMAOFromDataSet>(&f.Source);
    if (dataset != nullptr && dataset->DataSet != nullptr) {
      column = dataset->FieldNo;
      return dataset->DataSet;
    }
    const auto* operand = std::get_if<TVLMAOFromOperand>(&f.Source);
    if (operand == nullptr || operand->Operator == nullptr || operand->Operator == op) return nullptr;
    if (!onStep(op, operand->Operator)) return nullptr;
    no = operand->FieldNo;
    op = operand->Operator;
  }
}

bool TVLMAO::PaddedSide(const TVLMAO* op, const TVLMAO* operand) {
  return (op->LeftIsNull && operand == op->Left.get()) || (op->RightIsNull && operand == op->Right.get());
}

// Each visible field's road into the result table's new record, found once
// when the sources stay put while the rows come: the chain of operands
// behind it (DatasetSource's) and, where it ends at a column that is not a
// BLOB and has the result column's type and size, the bytes CopyFieldValue
// would copy (From -1: none; the field goes through CopyFieldToCursor). A
// padded side on the chain leaves the field null.
struct TVLMAO::TColumnCopy {
  int32_t FieldNo = 0;
  std::vector<std::pair<TVLMAO*, TVLMAO*>> Sides;
  TVLMTable* Source = nullptr;
  int32_t From = -1;
  int32_t FromOffset = 0;
  int32_t To = 0;
  int32_t ToOffset = 0;
  int32_t Size = 0;
};

// What DISTINCT's fill remembers: the values of the row before, and the
// bytes of rows the unique index decided on. Values equal byte for byte are
// equal for the unique index, whatever its collation: a row whose bytes met
// the index before is refused by it again, as the result only grows. Rows
// unequal in bytes but equal for the index are still refused by the index
// itself.
class TVLMAO::TDistinctRows {
public:
  explicit TDistinctRows(size_t fieldCount) : Previous(fieldCount) {}
  // The current row's bytes (Key) as decided, within the memory allowed.
  void Remember() {
    if (DecidedBytes + Key.size() > kDistinctMemoryBytes) return;
    if (Decided.insert(Key).second) DecidedBytes += Key.size() + sizeof(std::string);
  }

  std::vector<TVLMVariant> Previous;
  std::unordered_set<std::string> Decided;
  size_t DecidedBytes = 0;
  std::string Key;
};

void TVLMAO::FillResultTable() {
  TVLMTable& table = *ResultTable();
  TVLMLocalCursor* cursor = table.Handle();
  // Rows go into the result table's cursor from a record buffer of its own,
  // without the dataset's insert states and buffer moves. A BLOB column
  // (written through a stream over the dataset's field) or an INTO table (a
  // table of the user's, posted like any other write) takes the dataset's
  // Append and Post instead.
  bool atCursor = IntoTableName().empty();
  for (int32_t i = 0; atCursor && i < cursor->FieldDefs->GetCount(); ++i)
    atCursor = !VLMIsBLOBBaseType(cursor->FieldDefs->GetFieldDef(i)->BaseType);
  uint8_t* record = atCursor ? cursor->AllocRecordBuffer() : nullptr;
  uint8_t* const shown = cursor->RecordBuffer;
  auto release = qv::ScopeExit([&] {
    cursor->RecordBuffer = shown;
    if (record != nullptr) cursor->FreeRecordBuffer(record);
  });
  TDistinctRows distinct(Distinct ? DistinctFieldNos.size() : 0);
  const std::vector<TColumnCopy> copies = atCursor ? PlanColumnCopies(*cursor) : std::vector<TColumnCopy>();
  // Rows the result holds, and the rows that passed the condition: the
  // skip of FirstRow counts these, so it never skips a row twice.
  int64_t held = 0;
  int64_t passed = 0;
  for (First(); !Eof(); Next()) {
    if (RowLimit >= 0 && held >= RowLimit) break;
    if (Condition && !Condition->GetBooleanValue()) continue;
    ++passed;
    if (FirstRow >= 0 && passed < FirstRow) continue;
    if (Distinct && RepeatsDecidedRow(distinct, held)) continue;
    const bool taken = atCursor ? PostAtCursor(*cursor, record, copies) : PostThroughDataset(table, *cursor);
    if (Distinct) distinct.Remember();
    if (!taken) continue;
    ++held;
    if (RowLimit >= 0 && held >= RowLimit) break;
  }
  RowLimit = -1;
  // The dataset opened on the empty table: it reads the rows anew.
  if (atCursor) {
    release.Release();
    cursor->RecordBuffer = shown;
    cursor->FreeRecordBuffer(record);
    table.First();
  }
}

std::vector<TVLMAO::TColumnCopy> TVLMAO::PlanColumnCopies(TVLMLocalCursor& cursor) {
  std::vector<TColumnCopy> copies;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    if (Fields[static_cast<size_t>(i)].Hidden) continue;
    TColumnCopy& copy = copies.emplace_back();
    copy.FieldNo = i;
    if (!SourcesStayWhileFilling()) continue;
    int32_t column = -1;
    copy.Source = WalkToDataset(i, column, [&](TVLMAO* op, TVLMAO* operand) {
      copy.Sides.emplace_back(op, operand);
      return true;
    });
    const TVLMLocalCursor* from = copy.Source != nullptr ? copy.Source->Handle() : nullptr;
    const int32_t dest = static_cast<int32_t>(copies.size()) - 1;
    if (from == nullptr || !from->FieldDefs || column < 0 || column >= from->FieldDefs->GetCount() ||
        dest >= cursor.CursorFieldCount())
      continue;
    const int32_t to = cursor.CursorFieldDefs->GetFieldDef(dest)->FieldNo;
    if (to < 0 || to >= cursor.TableFieldCount()) continue;
    const TVLMFieldDef& source = *from->FieldDefs->GetFieldDef(column);
    const TVLMFieldDef& target = *cursor.FieldDefs->GetFieldDef(to);
    if (VLMIsBLOBBaseType(source.BaseType) || source.BaseType != target.BaseType || source.DataSize != target.DataSize)
      continue;
    copy.From = column;
    copy.FromOffset = source.BufferOffset;
    copy.To = to;
    copy.ToOffset = target.BufferOffset;
    copy.Size = source.DataSize;
  }
  // One column of the result table for each visible field, in field order.
  VLM_INVARIANT("VLMRelAlgebra 5", static_cast<int32_t>(copies.size()) == cursor.CursorFieldCount());
  return copies;
}

void TVLMAO::CopyRowToRecord(const std::vector<TColumnCopy>& copies, TVLMLocalCursor& cursor, uint8_t* record) {
  for (const TColumnCopy& copy : copies) {
    if (copy.From < 0) {
      CopyFieldToCursor(copy.FieldNo, static_cast<int32_t>(&copy - copies.data()), cursor);
      continue;
    }
    bool padded = false;
    for (const auto& [op, operand] : copy.Sides)
      if (PaddedSide(op, operand)) padded = true;
    if (padded || (copy.Source->Bof() && copy.Source->Eof())) continue;
    const TVLMLocalCursor* from = copy.Source->CursorAtActiveRecord();
    if (from == nullptr) continue;
    if (VLMGetBit(copy.From, from->RecordBuffer)) {
      VLMSetBit(true, copy.To, record);
      continue;
    }
    std::memcpy(record + copy.ToOffset, from->RecordBuffer + copy.FromOffset, static_cast<size_t>(copy.Size));
    VLMSetBit(false, copy.To, record);
  }
}

bool TVLMAO::RepeatsDecidedRow(TDistinctRows& rows, int64_t held) {
  // A run of equal rows is dropped here; equal rows that are not adjacent
  // are refused by the unique index when posted.
  bool allEqual = true;
  rows.Key.clear();
  for (size_t k = 0; k < rows.Previous.size(); ++k) {
    GetFieldValue(WorkValue, DistinctFieldNos[k], true, false);
    if (held > 0 && WorkValue.Compare(rows.Previous[k]) != 0) allEqual = false;
    AppendValueBytes(rows.Key, WorkValue);
    rows.Previous[k].Assign(WorkValue, true);
    WorkValue.SetNull();
  }
  return (allEqual && held > 0) || rows.Decided.count(rows.Key) > 0;
}

bool TVLMAO::PostAtCursor(TVLMLocalCursor& cursor, uint8_t* record, const std::vector<TColumnCopy>& copies) {
  // A new record: every field null, no place yet.
  cursor.InitRecordBuffer(record, true);
  std::memset(record + cursor.BookmarkOffset, 0xFF, kVLMRecordIDSize);
  cursor.RecordBuffer = record;
  CopyRowToRecord(copies, cursor, record);
  // The unique index answers without raising; a row it refuses never
  // reaches the table.
  if (Distinct && !cursor.CheckConstraints(true)) return false;
  cursor.Post(true);
  VLMCheckEngineError(cursor.ResultCode, cursor.ResultText);
  return true;
}

bool TVLMAO::PostThroughDataset(TVLMTable& table, TVLMLocalCursor& cursor) {
  table.Append();
  int32_t column = 0;
  for (int32_t i = 0; i < FieldCount(); ++i)
    if (!Fields[static_cast<size_t>(i)].Hidden) CopyFieldToResult(i, column++);
  // The copies left the cursor on the new record's buffer.
  if (Distinct && !cursor.CheckConstraints(true)) {
    table.Cancel();
    return false;
  }
  table.Post();
  return true;
}

TVLMTable* TVLMAO::DatasetSource(int32_t fieldNo, int32_t& column, bool& padded) {
  padded = false;
  return WalkToDataset(fieldNo, column, [&](const TVLMAO* op, const TVLMAO* operand) {
    padded = PaddedSide(op, operand);
    return !padded;
  });
}

void TVLMAO::CopyFieldToResult(int32_t fieldNo, int32_t destFieldNo) {
  int32_t column = 0;
  bool padded = false;
  TVLMTable* source = DatasetSource(fieldNo, column, padded);
  // A new record starts with every field null.
  if (padded) return;
  const TVLMBaseDataType destType = ResultTable()->Handle()->FieldDefs->GetFieldDef(destFieldNo)->BaseType;
  if (source != nullptr) {
    if (source->Bof() && source->Eof()) return;
    // Between a BLOB column (memo included) and another kind the value goes
    // through the BLOB streams (GetFieldVariant, SetFieldVariant), never as
    // the bytes of a BLOB reference.
    if (VLMIsBLOBBaseType(destType) == VLMIsBLOBBaseType(source->Handle()->FieldDefs->GetFieldDef(column)->BaseType)) {
      source->CopyFieldValue(column, true, ResultTable(), destFieldNo);
      return;
    }
  }
  GetFieldValue(WorkValue, fieldNo, true, false);
  if (VLMIsBLOBBaseType(destType) && !WorkValue.IsNull() && !VLMIsBLOBBaseType(WorkValue.DataType)) {
    // Its text, without the terminator a text value carries.
    const std::string text = WorkValue.GetAsString();
    WorkValue.SetBuffer(text.data(), static_cast<int32_t>(text.size()), destType, true);
  }
  ResultTable()->SetFieldVariant(WorkValue, destFieldNo, true);
  WorkValue.SetNull();
}

void TVLMAO::CopyFieldToCursor(int32_t fieldNo, int32_t destFieldNo, TVLMLocalCursor& dest) {
  int32_t column = 0;
  bool padded = false;
  TVLMTable* source = DatasetSource(fieldNo, column, padded);
  if (padded) return;
  if (source != nullptr) {
    if (source->Bof() && source->Eof()) return;
    // The result holds no BLOB column here: a BLOB source column (memo
    // included) gives its value through its stream, below.
    if (!VLMIsBLOBBaseType(source->Handle()->FieldDefs->GetFieldDef(column)->BaseType)) {
      if (TVLMLocalCursor* from = source->CursorAtActiveRecord())
        from->CopyFieldValue(column, true, &dest, destFieldNo);
      return;
    }
  }
  GetFieldValue(WorkValue, fieldNo, true, false);
  dest.SetFieldValue(WorkValue, destFieldNo, true, nullptr);
  WorkValue.SetNull();
}

// ------------------------------------------------------------- table locks

bool TVLMAO::OpenTables() {
  if (IsLeaf) {
    if (!ResultTable()) return false;
    if (!ResultTable()->Active()) ResultTable()->Open();
    return true;
  }
  bool ok = !Left || Left->OpenTables();
  if (ok && Right) ok = Right->OpenTables();
  return ok;
}

bool TVLMAO::LockTables(std::string* refused) {
  if (IsLeaf) {
    TVLMLocalCursor* cursor = ResultTable() && ResultTable()->Active() ? ResultTable()->Handle() : nullptr;
    if (cursor != nullptr) {
      const TVLMRetrySettings& retry = VLMRetrySettings();
      TablesLocked = cursor->LockTable(kVLMLockTableOperation, retry.LeafLockTries,
                                       static_cast<int32_t>(retry.LeafLockDelayMs), true)
                         ? 1
                         : 0;
    }
    if (TablesLocked != 0 && cursor != nullptr) return true;
    if (refused != nullptr) *refused = TableName;
    return false;
  }
  bool ok = !Left || Left->LockTables(refused);
  if (ok && Right) ok = Right->LockTables(refused);
  return ok;
}

bool TVLMAO::UnlockTables() {
  if (IsLeaf) {
    if (!TablesLocked) return true;
    TVLMLocalCursor* cursor = ResultTable() && ResultTable()->Active() ? ResultTable()->Handle() : nullptr;
    if (cursor == nullptr) return false;
    if (!cursor->UnlockTable(kVLMLockTableOperation, false)) return false;
    TablesLocked = 0;
    return true;
  }
  bool ok = !Left || Left->UnlockTables();
  if (ok && Right) ok = Right->UnlockTables();
  return ok;
}
