// The set operator and the derived table (VLMRelAlgebraSet.h).
#include "engine/sql/VLMRelAlgebraSet.h"

#include <exception>
#include <utility>

#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypesRoutines.h"
#include "platform/os/Collation.h"

namespace {

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }

// The columns of an operand's result as a parent reads them: the dataset's
// (projected) fields, each with the table field behind it.
const TVLMFieldDefs& ResultColumns(TVLMAO& operand) {
  TVLMLocalCursor* cursor = operand.ResultTable() ? operand.ResultTable()->Handle() : nullptr;
  if (cursor == nullptr || !cursor->CursorFieldDefs) throw EVLMException(10339, "Empty field list, item count = %d", {0});
  return *cursor->CursorFieldDefs;
}

const TVLMFieldDef& TableColumn(TVLMAO& operand, int32_t datasetFieldNo) {
  const TVLMFieldDefs& columns = ResultColumns(operand);
  const int32_t tableNo = columns.GetFieldDef(datasetFieldNo)->FieldNo;
  return *operand.ResultTable()->Handle()->FieldDefs->GetFieldDef(tableNo);
}

int32_t FindColumn(const TVLMFieldDefs& columns, const std::string& upperName) {
  for (int32_t i = 0; i < columns.GetCount(); ++i)
    if (Upper(columns.GetFieldDef(i)->Name) == upperName) return i;
  return -1;
}


}  // namespace

// ------------------------------------------------------------- TVLMAOUnion

TVLMAOUnion::TVLMAOUnion(std::unique_ptr<TVLMAO> left, std::unique_ptr<TVLMAO> right, uint8_t unionType,
                         bool distinct, bool corresponding, const TVLMFields* correspondingBy,
                         TVLMQueryOperator* outerOperand, TVLMCursor* outerCursor)
    : TVLMAO(std::move(left), std::move(right), std::string(), std::string()), UnionType(unionType) {
  Materialized = 0;
  if (unionType > kExcept) throw EVLMException(10336, "Invalid union type = %d", {static_cast<int32_t>(unionType)});
  // The pairs are found among the operands' result columns.
  Left->Open(false, outerOperand, outerCursor);
  Right->Open(false, outerOperand, outerCursor);
  const TVLMFieldDefs& leftColumns = ResultColumns(*Left);
  const TVLMFieldDefs& rightColumns = ResultColumns(*Right);
  TVLMSortKeys leftKeys;
  TVLMSortKeys rightKeys;
  if (correspondingBy != nullptr) {
    if (correspondingBy->Count() < 1)
      throw EVLMException(10337, "Empty field list, item count = %d", {correspondingBy->Count()});
    for (int32_t k = 0; k < correspondingBy->Count(); ++k) {
      const std::string name = Upper((*correspondingBy)[k].FieldName);
      const int32_t leftNo = FindColumn(leftColumns, name);
      const int32_t rightNo = FindColumn(rightColumns, name);
      if (leftNo >= 0 && rightNo >= 0) AddPair(leftNo, rightNo, leftKeys, rightKeys);
    }
  } else {
    for (int32_t i = 0; i < leftColumns.GetCount(); ++i) {
      int32_t rightNo = corresponding ? FindColumn(rightColumns, Upper(leftColumns.GetFieldDef(i)->Name))
                                      : (i < rightColumns.GetCount() ? i : -1);
      if (rightNo >= 0) AddPair(i, rightNo, leftKeys, rightKeys);
    }
  }
  if (LeftUnionFields.size() != RightUnionFields.size())
    throw EVLMException(10338, "Error - different list lengths. L1 = %d, L2 = %d",
                        {static_cast<int32_t>(LeftUnionFields.size()), static_cast<int32_t>(RightUnionFields.size())});
  if (LeftUnionFields.empty()) throw EVLMException(10339, "Empty field list, item count = %d", {0});
  // Every form but UNION ALL merges the operands in pair order; the order
  // takes effect when Open opens them again.
  if (UnionType != kUnion || distinct) {
    Left->SetOrderBy(std::move(leftKeys));
    Right->SetOrderBy(std::move(rightKeys));
  }
  if (distinct) {
    std::vector<int32_t> fieldNos(Fields.size());
    for (size_t i = 0; i < fieldNos.size(); ++i) fieldNos[i] = static_cast<int32_t>(i);
    SetDistinct(std::move(fieldNos));
  }
}

void TVLMAOUnion::AddPair(int32_t leftNo, int32_t rightNo, TVLMSortKeys& leftKeys, TVLMSortKeys& rightKeys) {
  const TVLMFieldDef& leftColumn = TableColumn(*Left, leftNo);
  const TVLMFieldDef& rightColumn = TableColumn(*Right, rightNo);
  const bool leftComparable = VLMIsCastableDataType(leftColumn.DataType);
  const bool rightComparable = VLMIsCastableDataType(rightColumn.DataType);
  // INTERSECT and EXCEPT compare rows, which a BLOB, BYTES or GUID column
  // cannot take part in; UNION keeps the pair (UNION ALL only copies it).
  if (UnionType != kUnion && (!leftComparable || !rightComparable)) return;
  // The left column's type, unless only the right one is of such a type:
  // text and numbers go into a BLOB column, a BLOB into no other.
  const TVLMFieldDef& typed = leftComparable && !rightComparable ? rightColumn : leftColumn;
  const TVLMFieldDefs& leftColumns = ResultColumns(*Left);
  const TVLMFieldDefs& rightColumns = ResultColumns(*Right);
  TVLMAOField field;
  field.Name = leftColumns.GetFieldDef(leftNo)->Name;
  field.DisplayName = field.Name;
  field.DataType = typed.DataType;
  field.DataSize = std::max(leftColumn.Size, rightColumn.Size);
  field.Flag1 = typed.BlobCompressionAlgorithm;
  field.Flag2 = typed.BlobCompressionMode;
  field.Extra = typed.BlobBlockSize;
  field.Source = TVLMAOFromDataSet{Left->ResultTable(), leftColumns.GetFieldDef(leftNo)->FieldNo};
  Fields.push_back(std::move(field));
  LeftUnionFields.push_back(leftColumns.GetFieldDef(leftNo)->FieldNo);
  RightUnionFields.push_back(rightColumns.GetFieldDef(rightNo)->FieldNo);
  leftKeys.push_back({leftColumns.GetFieldDef(leftNo)->Name});
  rightKeys.push_back({rightColumns.GetFieldDef(rightNo)->Name});
}

void TVLMAOUnion::ReadFrom(bool left) {
  FromLeft = left ? 1 : 0;
  TVLMTable* table = left ? Left->ResultTable() : Right->ResultTable();
  const std::vector<int32_t>& columns = left ? LeftUnionFields : RightUnionFields;
  for (size_t k = 0; k < columns.size(); ++k) {
    Fields[k].Source = TVLMAOFromDataSet{table, columns[k]};
  }
}

uint8_t TVLMAOUnion::CompareRows() {
  TVLMTable& left = *Left->ResultTable();
  TVLMTable& right = *Right->ResultTable();
  RowCompare = kVLMCompareEqual;
  for (size_t k = 0; k < LeftUnionFields.size() && RowCompare == kVLMCompareEqual; ++k) {
    try {
      left.GetFieldVariant(LeftValue_, LeftUnionFields[k], true);
      right.GetFieldVariant(RightValue_, RightUnionFields[k], true);
      // Nulls equal each other and come before every value, as in the
      // operands' sort.
      RowCompare = LeftValue_.Compare(RightValue_);
    } catch (const std::exception& e) {
      throw EVLMException(10335, "Cannot compare values for fields: %s, %s. Error: %s",
                          {left.Handle()->FieldDefs->GetFieldDef(LeftUnionFields[k])->Name,
                           right.Handle()->FieldDefs->GetFieldDef(RightUnionFields[k])->Name, std::string(e.what())});
    }
  }
  LeftValue_.SetNull();
  RightValue_.SetNull();
  return RowCompare;
}

void TVLMAOUnion::PipelineFirst() {
  UnionEof = 0;
  Left->First();
  Right->First();
  ReadFrom(true);
  if (UnionType == kIntersect) {
    SeekIntersectRow();
  } else if (UnionType == kExcept) {
    SeekExceptRow();
  } else if (!Distinct) {
    if (Left->Eof()) ReadFrom(false);
  } else {
    NextUnionRow();
  }
}

void TVLMAOUnion::PipelineNext() {
  if (PipelineEof()) return;
  if (UnionType == kIntersect || UnionType == kExcept) {
    Left->Next();
    if (UnionType == kIntersect)
      SeekIntersectRow();
    else
      SeekExceptRow();
    return;
  }
  // The row just taken goes; UNION ALL turns to the right rows when the
  // left ones are done.
  if (FromLeft)
    Left->Next();
  else
    Right->Next();
  if (!Distinct) {
    if (FromLeft && Left->Eof()) ReadFrom(false);
    return;
  }
  NextUnionRow();
}

void TVLMAOUnion::NextUnionRow() {
  if (Left->Eof() || Right->Eof()) {
    ReadFrom(!Left->Eof());
    return;
  }
  // A right row equal to the left one would only be dropped later.
  while (CompareRows() == kVLMCompareEqual) {
    Right->Next();
    if (Right->Eof()) break;
  }
  ReadFrom(Right->Eof() || RowCompare != kVLMCompareGreater);
}

void TVLMAOUnion::SeekIntersectRow() {
  for (; !Left->Eof(); Left->Next()) {
    while (!Right->Eof() && CompareRows() == kVLMCompareGreater) Right->Next();
    if (Right->Eof()) {
      UnionEof = 1;
      return;
    }
    if (RowCompare == kVLMCompareEqual) return;
  }
}

void TVLMAOUnion::SeekExceptRow() {
  for (; !Left->Eof(); Left->Next()) {
    while (!Right->Eof() && CompareRows() == kVLMCompareGreater) Right->Next();
    if (Right->Eof() || RowCompare == kVLMCompareLess) return;
  }
}

bool TVLMAOUnion::PipelineEof() {
  if (UnionType == kUnion) return Left->Eof() && Right->Eof();
  return UnionEof != 0 || Left->Eof();
}

int64_t TVLMAOUnion::PipelineRecordCount() { return Materialized ? ResultTable()->RecordCount() : 0; }

// ------------------------------------------------------- TVLMAODerivedTable

TVLMAODerivedTable::TVLMAODerivedTable(std::unique_ptr<TVLMAO> root, const std::string& alias)
    : TVLMAOTableExpr(std::move(root)) {
  TableName = alias;
  Alias = alias;
  for (TVLMAOField& f : Fields) {
    f.Hidden = 0;
    f.DisplayName = f.Name;
  }
}

int32_t TVLMAODerivedTable::FindFields(const std::string& name, const std::string& qualifier, bool visibleOnly,
                                       bool keepHidden, TVLMIntegerArray* found, bool unhide) {
  if (!qualifier.empty() && Upper(qualifier) != Upper(Alias)) return 0;
  const bool all = name == "*";
  const std::string upper = Upper(name);
  int32_t count = 0;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TVLMAOField& f = Fields[static_cast<size_t>(i)];
    if (visibleOnly && f.Hidden) continue;
    if (!all && Upper(f.Name) != upper && Upper(f.DisplayName) != upper) continue;
    ++count;
    if (found != nullptr) found->Append(i);
    if (unhide && !keepHidden) f.Hidden = 0;
    if (!all) break;
  }
  return count;
}
