#include "engine/core/VLMExpressions.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMLike.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMStrUtils.h"
#include "engine/core/VLMTypesDefs.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/host/StringList.h"
#include "platform/os/Collation.h"

namespace {

// Engine open mode of a BLOB stream that is only read.
constexpr uint8_t kBlobOpenRead = 1;

std::string Upper(std::string_view text) { return qv::UpperCase1252(text); }

bool IsAnd(const TVLMExprNode* node) {
  return node != nullptr && node->Operator == kVLMOpAnd && dynamic_cast<const TVLMExprNodeBoolean*>(node) != nullptr;
}

// The conjunct kinds that index planning offers to the indexes.
bool IsPlanningCandidate(const TVLMExprNode* node) {
  if (dynamic_cast<const TVLMExprNodeComparison*>(node) != nullptr) return true;
  return dynamic_cast<const TVLMExprNodeBoolean*>(node) != nullptr &&
         (node->Operator == kVLMOpIsNull || node->Operator == kVLMOpIsNotNull || node->Operator == kVLMOpBetween);
}

// A node's logical answer is written into the block of the last one, which
// the value owns: a filter tested on every record allocates nothing.
void SetLogical(TVLMVariant& value, bool b) {
  const int16_t logical = b ? -1 : 0;
  if (value.DataType == bdtLogical && value.DataNotOwned == 0 && value.Data != nullptr &&
      value.DataSize == static_cast<int32_t>(sizeof logical)) {
    std::memcpy(value.Data, &logical, sizeof logical);
    value.NullFlag = 0;
    return;
  }
  value.Clear(bdtLogical);
  value.SetAsBoolean(b);
}

// Unknown, keeping an owned logical block for the next answer.
void ResetLogical(TVLMVariant& value) {
  if (value.DataType == bdtLogical && value.DataNotOwned == 0)
    value.SetNull();
  else
    value.Clear(bdtLogical);
}

// The field under an indexable node: the node itself, or the field under
// UPPER / LOWER.
TVLMExprNodeField* IndexableFieldOf(TVLMExprNode* node) {
  if (!TVLMExprNode::IsIndexableField(node)) return nullptr;
  if (auto* field = dynamic_cast<TVLMExprNodeField*>(node)) return field;
  return static_cast<TVLMExprNodeField*>(node->Child(0));
}

// The operator read from the other side: a < b is b > a.
uint8_t MirroredOperator(uint8_t op) {
  switch (op) {
    case kVLMOpGreater: return kVLMOpLess;
    case kVLMOpLess: return kVLMOpGreater;
    case kVLMOpGreaterEqual: return kVLMOpLessEqual;
    case kVLMOpLessEqual: return kVLMOpGreaterEqual;
    default: return op;
  }
}

uint8_t NegatedOperator(uint8_t op) {
  switch (op) {
    case kVLMOpEqual: return kVLMOpNotEqual;
    case kVLMOpNotEqual: return kVLMOpEqual;
    case kVLMOpGreater: return kVLMOpLessEqual;
    case kVLMOpLess: return kVLMOpGreaterEqual;
    case kVLMOpGreaterEqual: return kVLMOpLess;
    case kVLMOpLessEqual: return kVLMOpGreater;
    default: return op;
  }
}

// The scan operator of "field op key" on an index whose first column runs
// in the given direction; 0 for an operator no range serves.
uint8_t ScanOperatorFor(uint8_t op, bool descending) {
  switch (op) {
    case kVLMOpEqual: return kVLMScanEqual;
    case kVLMOpGreater: return descending ? kVLMScanLess : kVLMScanGreater;
    case kVLMOpLess: return descending ? kVLMScanGreater : kVLMScanLess;
    case kVLMOpGreaterEqual: return descending ? kVLMScanLessEqual : kVLMScanGreaterEqual;
    case kVLMOpLessEqual: return descending ? kVLMScanGreaterEqual : kVLMScanLessEqual;
    default: return kVLMScanNone;
  }
}

// An empty index condition on indexDef with a zero-filled key buffer of the
// field's cursor.
void InitIndexCondition(TVLMScanSearchCondition& condition, TVLMCursor& cursor, const TVLMIndexDef& indexDef,
                        bool partialKey) {
  condition.KeyBuffer = cursor.AllocRecordBuffer();
  condition.KeyBufferSize = cursor.RecordBufferSize;
  condition.KeyFieldCount = 0;
  condition.IndexID = indexDef.ObjectID;
  condition.Expression = nullptr;
  condition.IndexCondition = true;
  condition.PartialKey = partialKey;
}

// Whether the field is the index column's: same name, and for column 0 an
// index of this session when it is a session's temporary index.
bool FieldServesColumn(const TVLMExprNodeField& field, int32_t columnNo, int32_t sessionID,
                       const TVLMIndexDef& indexDef) {
  if (columnNo < 0 || columnNo >= indexDef.GetColumnCount()) return false;
  if (Upper(field.FieldName) != Upper(indexDef.GetColumn(columnNo).Name)) return false;
  return columnNo != 0 || !indexDef.Temporary || indexDef.SessionID == sessionID;
}

// Bytes a search value needs in a key field, its text terminator included.
int32_t KeyBytesOf(TVLMExprNode* value) {
  auto* constant = dynamic_cast<TVLMExprNodeConst*>(value);
  if (constant == nullptr) return value->GetDataSize();
  const int32_t size = constant->GetDataSize();
  if (!constant->Result.IsString() || constant->Result.IsNull()) return size;
  return size + (constant->Result.IsWideString() ? 2 : 1);
}

// The result of an AND of accepted conjuncts: the first becomes the result,
// later ones join it under one AND node.
void AppendConjunct(std::unique_ptr<TVLMExprNode>& result, std::unique_ptr<TVLMExprNode> conjunct) {
  if (!result) {
    result = std::move(conjunct);
  } else if (IsAnd(result.get())) {
    result->AddChild(std::move(conjunct));
  } else {
    result = std::make_unique<TVLMExprNodeBoolean>(kVLMOpAnd, std::move(result), std::move(conjunct));
  }
}

// A non-null text equal to its own upper (or lower) case: 8-bit text by the
// 1252 table, wide text by the simple Unicode mapping.
bool EqualsOwnCase(const TVLMVariant& value, bool upper) {
  if (value.IsNull() || !value.IsString()) return false;
  if (value.IsWideString()) {
    const std::u16string text = value.GetAsWideString();
    return text == (upper ? VLMWideUpperCase(text) : VLMWideLowerCase(text));
  }
  const std::string text = value.GetAsString();
  return text == (upper ? qv::UpperCase1252(text) : qv::LowerCase1252(text));
}

// ---- the services the definitions and cursors call ----

void FreeExpressionService(TVLMExpression* expression) noexcept { delete expression; }

void BindToCursorService(TVLMExpression& expression, TVLMCursor* cursor, TVLMQueryOperator* operand,
                         TVLMCursor* outerCursor) {
  expression.BindToCursor(cursor, operand, outerCursor);
}

const TVLMExpressionServices kServices = {.FreeExpression = &FreeExpressionService,
                                          .ParseDefaultExpression = &VLMParseExpressionDefault,
                                          .BindToCursor = &BindToCursorService};

// Installed before the first expression exists; services installed by
// someone else (a test's stand-ins) are left in place.
void InstallServices() {
  if (VLMGetExpressionServices() == nullptr) VLMInstallExpressionServices(&kServices);
}

}  // namespace

// ------------------------------------------------------------------ routines

const TVLMExpressionServices& VLMExpressionModuleServices() { return kServices; }

std::string VLMOperatorName(uint8_t code) {
  switch (code) {
    case kVLMOpEqual: return "=";
    case kVLMOpNotEqual: return "<>";
    case kVLMOpGreater: return ">";
    case kVLMOpLess: return "<";
    case kVLMOpGreaterEqual: return ">=";
    case kVLMOpLessEqual: return "<=";
    case kVLMOpNot: return "NOT";
    case kVLMOpAnd: return "AND";
    case kVLMOpOr: return "OR";
    case kVLMOpLike: return "LIKE";
    case kVLMOpNotLike: return "NOT LIKE";
    case kVLMOpIsNull: return "IS NULL";
    case kVLMOpIsNotNull: return "IS NOT NULL";
    case kVLMOpAdd: return "+";
    case kVLMOpNegate: return "-";
    case kVLMOpMultiply: return "*";
    case kVLMOpDivide: return "/";
    case kVLMOpConcat: return "||";
    case kVLMOpUpper: return "UPPER";
    case kVLMOpLower: return "LOWER";
    case kVLMOpTrim: return "TRIM";
    case kVLMOpLTrim: return "LTRIM";
    case kVLMOpRTrim: return "RTRIM";
    case kVLMOpSum: return "SUM";
    case kVLMOpAvg: return "AVG";
    case kVLMOpMin: return "MIN";
    case kVLMOpMax: return "MAX";
    case kVLMOpCount: return "COUNT";
    case kVLMOpCountAll: return "COUNT(*)";
    default: return "unknown";
  }
}

void VLMSplitFieldNames(std::string_view text, qv::StringList& list) {
  list.Clear();
  if (text.empty()) return;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(';', start);
    std::string_view name = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    while (!name.empty() && static_cast<unsigned char>(name.front()) <= ' ') name.remove_prefix(1);
    while (!name.empty() && static_cast<unsigned char>(name.back()) <= ' ') name.remove_suffix(1);
    list.Add(Upper(name));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

bool VLMCompareQuantified(uint8_t op, uint8_t quantifier, bool empty,
                          const std::function<bool(uint8_t searchOp)>& findRow) {
  const bool all = quantifier == kVLMQuantifierAll;
  // ALL holds for every row there is, so it holds over no rows.
  if (empty) return all;
  const uint8_t mirrored = MirroredOperator(op);
  if (!all) return findRow(mirrored);
  return !findRow(NegatedOperator(mirrored));
}

// -------------------------------------------------------------- TVLMExprNode

TVLMExprNode::TVLMExprNode(bool caseInsensitive, bool prefixOnly)
    : CaseInsensitive(caseInsensitive), PrefixOnly(prefixOnly) {}

TVLMExprNode::~TVLMExprNode() {
  // Descendants are freed from a list, never by recursion: a chain a
  // million levels deep (built by hand or by the SQL engine) must not run
  // the stack out. Each node leaves with its children already taken.
  if (Children.empty()) return;
  std::vector<std::unique_ptr<TVLMExprNode>> pending = std::move(Children);
  while (!pending.empty()) {
    std::unique_ptr<TVLMExprNode> node = std::move(pending.back());
    pending.pop_back();
    if (!node) continue;
    for (auto& child : node->Children) {
      if (!child) continue;
      try {
        pending.push_back(std::move(child));
      } catch (...) {
        child.reset();  // no memory for the list: this one branch recurses
      }
    }
    node->Children.clear();
  }
}

void TVLMExprNode::Prepare() {
  for (auto& child : Children) child->Prepare();
}

void TVLMExprNode::LoadValues() {}

TVLMVariant* TVLMExprNode::GetLoadedValue(int32_t) { return nullptr; }

bool TVLMExprNode::IsAggregated() {
  for (auto& child : Children)
    if (child && child->IsAggregated()) return true;
  return false;
}

bool TVLMExprNode::IsCountAll() { return false; }

void TVLMExprNode::InitAggregate() {
  for (auto& child : Children) child->InitAggregate();
}

void TVLMExprNode::Accumulate() {
  for (auto& child : Children) child->Accumulate();
}

void TVLMExprNode::SetRowCount(int32_t) {}

void TVLMExprNode::BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor) {
  for (auto& child : Children) child->BindToOperands(operand1, operand2, cursor);
}

void TVLMExprNode::BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2) {
  for (auto& child : Children) child->BindToCursor(cursor1, operand, cursor2);
}

void TVLMExprNode::SetRecordBuffer(uint8_t* buffer, bool outerFlag) {
  for (auto& child : Children) child->SetRecordBuffer(buffer, outerFlag);
}

TVLMDataType TVLMExprNode::GetDataType() {
  if (Children.empty()) return 0;
  TVLMDataType type = Children[0]->GetDataType();
  for (size_t i = 1; i < Children.size(); ++i)
    type = VLMGetCommonDataType(type, Children[i]->GetDataType(), false);
  if (type == 0) throw EVLMException(30283, "Cannot determine expression type");
  return type;
}

int32_t TVLMExprNode::GetDataSize() {
  if (Operator != kVLMOpAdd && Operator != kVLMOpConcat && Operator != kVLMOpCast) return 0;
  if (!VLMIsStringBaseType(VLMDataTypeToBaseType(GetDataType()))) return 0;
  int64_t sum = 0;
  for (auto& child : Children) {
    sum += child->GetDataSize();
    if (sum > std::numeric_limits<int32_t>::max() || sum < std::numeric_limits<int32_t>::min())
      throw EIntOverflow();
  }
  return static_cast<int32_t>(sum);
}

int32_t TVLMExprNode::GetExtraAttribute() { return 0; }

bool TVLMExprNode::ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                                 TVLMCursor* cursor) {
  for (auto& child : Children)
    if (!child->ResolveFields(operand1, operand2, matchFlag, cursor)) return false;
  return true;
}

bool TVLMExprNode::CanUseIndex(int32_t, uint8_t, int32_t, const TVLMIndexDef&) { return false; }

void TVLMExprNode::AddScanCondition(TVLMScanSearchConditionArray&, const TVLMIndexDef&, TVLMExpression*) {}

void TVLMExprNode::ExtendScanCondition(TVLMScanSearchCondition&, const TVLMIndexDef&, TVLMExpression*) {}

bool TVLMExprNode::IsJoinCondition(TVLMQueryOperator*, TVLMQueryOperator*) { return false; }

void TVLMExprNode::RemapFields(std::span<const TVLMFieldMapping> mapping) {
  for (auto& child : Children) child->RemapFields(mapping);
}

bool TVLMExprNode::UsesOnlyFields(std::string_view fieldList) {
  for (auto& child : Children)
    if (!child->UsesOnlyFields(fieldList)) return false;
  return true;
}

void TVLMExprNode::AddChild(std::unique_ptr<TVLMExprNode> child) {
  if (child) Children.push_back(std::move(child));
}

std::unique_ptr<TVLMExprNode> TVLMExprNode::TakeChild(int32_t index) {
  auto child = std::move(Children[static_cast<size_t>(index)]);
  Children.erase(Children.begin() + index);
  return child;
}

std::unique_ptr<TVLMExprNode> TVLMExprNode::ReplaceChild(int32_t index, std::unique_ptr<TVLMExprNode> node) {
  std::unique_ptr<TVLMExprNode> old = std::move(Children[static_cast<size_t>(index)]);
  Children[static_cast<size_t>(index)] = std::move(node);
  ChildReplaced(old.get(), Children[static_cast<size_t>(index)].get());
  return old;
}

void TVLMExprNode::ChildReplaced(const TVLMExprNode*, TVLMExprNode*) {}

int32_t TVLMExprNode::IndexOfChild(const TVLMExprNode* child) const {
  for (size_t i = 0; i < Children.size(); ++i)
    if (Children[i].get() == child) return static_cast<int32_t>(i);
  return -1;
}

bool TVLMExprNode::IsIndexableField(const TVLMExprNode* node) {
  if (node == nullptr) return false;
  if (const auto* field = dynamic_cast<const TVLMExprNodeField*>(node)) return !field->OuterReference;
  if (node->Operator != kVLMOpUpper && node->Operator != kVLMOpLower) return false;
  if (node->Children.empty()) return false;
  const auto* field = dynamic_cast<const TVLMExprNodeField*>(node->Children[0].get());
  return field != nullptr && !field->OuterReference;
}

bool TVLMExprNode::IsSearchValue(const TVLMExprNode* node) {
  if (dynamic_cast<const TVLMExprNodeConst*>(node) != nullptr) return true;
  const auto* field = dynamic_cast<const TVLMExprNodeField*>(node);
  return field != nullptr && field->OuterReference;
}

void TVLMExprNode::FillKeyField(TVLMExprNode* node, const TVLMVariant& value, TVLMCursor* cursor,
                                TVLMScanSearchCondition& condition, TVLMExpression* expression, int32_t fieldNo) {
  cursor->SetFieldValue(value, fieldNo, true, condition.KeyBuffer);
  ++condition.KeyFieldCount;
  condition.Sources.emplace_back(expression, node);
}

void TVLMExprNode::UnknownOperator(int32_t code) const {
  throw EVLMException(code, "Unknown operator: '%s'", {VLMOperatorName(Operator)});
}

// --------------------------------------------------------- TVLMExprNodeField

TVLMExprNodeField::TVLMExprNodeField(TVLMCursor* cursor, std::string tableName, std::string fieldName)
    : TableName(std::move(tableName)), FieldName(std::move(fieldName)) {
  if (cursor != nullptr) TVLMExprNodeField::BindToCursor(cursor, nullptr, nullptr);
}

TVLMVariant& TVLMExprNodeField::GetValue() {
  Result.Clear();
  if (RecordBuffer == nullptr) {
    if (Operand == nullptr || FieldNo == -1) throw EVLMException(30196, "Dataset and AO not assigned");
    Operand->GetFieldValue(Result, FieldNo, true, false);
    return Result;
  }
  if (VLMGetBit(FieldNo, RecordBuffer)) {
    Result.Clear(BaseType);
    return Result;
  }
  if (BaseType == bdtMemo || BaseType == bdtWideMemo) {
    ReadMemo();
    return Result;
  }
  // Shares the buffer's bytes: the value follows the buffer until the next
  // evaluation. A text takes only its own bytes, not the field's padding
  // (SetBuffer measures it), so every string function sees its length.
  Result.SetBuffer(RecordBuffer + FieldOffset, DataSize, BaseType, false);
  return Result;
}

void TVLMExprNodeField::ReadMemo() {
  TVLMTableDataBase* table = Cursor != nullptr ? Cursor->TableData : nullptr;
  if (table == nullptr) throw EVLMException(30610, "Pointer is nil");
  std::unique_ptr<qv::Stream> stream;
  {
    // The table data opens the BLOB of the cursor's current record: the
    // node's buffer stands in for it during the call.
    uint8_t* saved = Cursor->RecordBuffer;
    Cursor->RecordBuffer = RecordBuffer;
    auto restore = qv::ScopeExit([&] { Cursor->RecordBuffer = saved; });
    stream = table->OpenBlob(Cursor, kBlobOpenRead, FieldNo);
  }
  auto release = qv::ScopeExit([&] {
    try {
      table->ReleaseRecordBlobs(RecordBuffer);
    } catch (...) {
    }
  });
  std::string bytes;
  if (stream) {
    stream->SetPosition(0);
    bytes.resize(static_cast<size_t>(stream->Size()));
    if (!bytes.empty()) stream->ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  if (BaseType == bdtMemo) {
    Result.SetAsString(bytes);
    return;
  }
  // A wide memo holds UTF-16LE code units.
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                    (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  Result.SetAsWideString(text);
}

void TVLMExprNodeField::TakeCursorField(TVLMCursor* cursor, int32_t fieldNo) {
  const TVLMFieldDef& def = *cursor->FieldDefs->GetFieldDef(fieldNo);
  Cursor = cursor;
  Operand = nullptr;
  FieldNo = fieldNo;
  FieldOffset = def.BufferOffset;
  DataType = def.DataType;
  BaseType = def.BaseType;
  DataSize = def.DataSize;
}

bool TVLMExprNodeField::FindInCursor(TVLMCursor* cursor, int32_t& fieldNo) const {
  auto find = [&](const std::string& name) {
    if (name.empty()) return false;
    if (cursor->FieldDefs) {
      const int32_t at = cursor->FieldDefs->IndexOfName(name);
      if (at >= 0) {
        fieldNo = at;
        return true;
      }
    }
    if (cursor->CursorFieldDefs) {
      if (const TVLMFieldDef* def = cursor->CursorFieldDefs->FindFieldDef(name)) {
        fieldNo = def->FieldNo;
        return true;
      }
    }
    return false;
  };
  if (cursor != nullptr && (find(FieldName) || find(OperandFieldName))) return true;
  fieldNo = -1;
  return false;
}

bool TVLMExprNodeField::BindToOperand(TVLMQueryOperator* operand) {
  TVLMIntegerArray found(0, 100, 10);
  operand->FindFields(FieldName, TableName, MatchFlag, false, &found, false);
  if (found.Count() < 1) return false;
  Operand = operand;
  FieldNo = found.Items()[0];
  OperandFieldName = operand->GetFieldName(FieldNo);
  FieldOffset = 0;
  DataType = operand->GetFieldDataType(FieldNo);
  BaseType = VLMDataTypeToBaseType(DataType);
  DataSize = operand->GetFieldDataSize(FieldNo);
  OperandFieldAttribute = operand->GetFieldAttribute(FieldNo);
  return true;
}

void TVLMExprNodeField::BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2,
                                       TVLMCursor* cursor) {
  Cursor = nullptr;
  RecordBuffer = nullptr;
  Operand = nullptr;
  if (operand1 != nullptr && BindToOperand(operand1)) return;
  if (operand2 != nullptr && BindToOperand(operand2)) return;
  if (OuterReference) {
    BindToCursor(cursor, operand2, cursor);
    return;
  }
  throw EVLMException(30197, "Field '%s' not found", {TableName.empty() ? FieldName : TableName + "." + FieldName});
}

void TVLMExprNodeField::BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2) {
  if (cursor1 == nullptr) throw EVLMException(30202, "Value is Null");
  if (operand != nullptr) Operand = nullptr;
  if (cursor2 != nullptr) Cursor = nullptr;
  int32_t fieldNo = -1;
  if (!OuterReference) {
    Cursor = nullptr;
    Operand = nullptr;
    if (FindInCursor(cursor1, fieldNo)) {
      TakeCursorField(cursor1, fieldNo);
    } else if (cursor2 != nullptr && FindInCursor(cursor2, fieldNo)) {
      TakeCursorField(cursor2, fieldNo);
    }
  } else if (cursor2 != nullptr && FindInCursor(cursor2, fieldNo)) {
    TakeCursorField(cursor2, fieldNo);
  } else if (operand != nullptr && BindToOperand(operand)) {
    RecordBuffer = nullptr;
  } else {
    return;
  }
  if (Cursor == nullptr && Operand == nullptr) throw EVLMException(30115, "Field '%s' not found", {FieldName});
  if (Cursor != nullptr) SetRecordBuffer(Cursor->RecordBuffer, OuterReference);
}

void TVLMExprNodeField::SetRecordBuffer(uint8_t* buffer, bool outerFlag) {
  if (outerFlag == OuterReference) RecordBuffer = buffer;
}

TVLMDataType TVLMExprNodeField::GetDataType() {
  TVLMDataType type = 0;
  if (Cursor != nullptr) {
    if (Cursor->FieldDefs && FieldNo >= 0 && FieldNo < Cursor->FieldDefs->GetCount())
      type = Cursor->FieldDefs->GetFieldDef(FieldNo)->DataType;
  } else if (Operand != nullptr) {
    type = Operand->GetFieldDataType(FieldNo);
  }
  if (type == 0) throw EVLMException(30284, "Cannot determine expression type");
  return type;
}

int32_t TVLMExprNodeField::GetDataSize() { return DataSize; }

bool TVLMExprNodeField::ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool matchFlag,
                                      TVLMCursor* cursor) {
  OuterReference = false;
  TVLMIntegerArray found(0, 100, 10);
  auto exactlyOne = [&](TVLMQueryOperator* operand) {
    found.SetSize(0);
    return operand->FindFields(FieldName, TableName, matchFlag, false, &found, false) == 1;
  };
  bool resolved = operand1 != nullptr && exactlyOne(operand1);
  if (!resolved && operand2 != nullptr && exactlyOne(operand2)) resolved = OuterReference = true;
  int32_t fieldNo = -1;
  if (!resolved && cursor != nullptr && FindInCursor(cursor, fieldNo)) resolved = OuterReference = true;
  if (resolved) MatchFlag = matchFlag;
  return resolved;
}

void TVLMExprNodeField::RemapFields(std::span<const TVLMFieldMapping> mapping) {
  for (const TVLMFieldMapping& entry : mapping) {
    if (entry.Hidden || Upper(FieldName) != Upper(entry.FieldName)) continue;
    if (!TableName.empty() && Upper(TableName) != Upper(entry.TableName)) continue;
    FieldName = entry.NewFieldName;
    TableName = entry.TableName;
  }
}

bool TVLMExprNodeField::UsesOnlyFields(std::string_view fieldList) {
  qv::StringList names;
  VLMSplitFieldNames(fieldList, names);
  const std::string name = Upper(FieldName);
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

void TVLMExprNodeField::GetRealNames(std::string& tableName, std::string& fieldName) const {
  tableName = TableName;
  fieldName = FieldName;
}

// ---------------------------------------------------- TVLMExprNodeComparison

TVLMExprNodeComparison::TVLMExprNodeComparison(uint8_t op, bool caseInsensitive, bool prefixOnly, bool nullStrict,
                                               std::unique_ptr<TVLMExprNode> left,
                                               std::unique_ptr<TVLMExprNode> right, uint8_t quantifier)
    : TVLMExprNode(caseInsensitive, prefixOnly), NullStrict(nullStrict), Quantifier(quantifier) {
  Operator = op;
  AddChild(std::move(left));
  AddChild(std::move(right));
  Result.Clear(bdtLogical);
}

void TVLMExprNodeComparison::Prepare() {
  TVLMExprNode::Prepare();
  TVLMExprNodeField* field = nullptr;
  TVLMExprNodeConst* constant = nullptr;
  for (auto& child : Children) {
    if (auto* f = dynamic_cast<TVLMExprNodeField*>(child.get())) field = f;
    if (auto* c = dynamic_cast<TVLMExprNodeConst*>(child.get())) constant = c;
  }
  // An unbound field has no type yet; the next binding prepares again.
  if (field == nullptr || constant == nullptr || (field->Cursor == nullptr && field->Operand == nullptr)) return;
  const TVLMDataType fieldType = field->GetDataType();
  if (VLMIsStringDataType(fieldType) && !VLMIsWideStringDataType(fieldType) &&
      VLMIsWideStringDataType(constant->GetDataType()))
    constant->Result.CastTo(bdtString);
}

TVLMVariant& TVLMExprNodeComparison::GetValue() {
  if (Operator < kVLMOpEqual || Operator > kVLMOpLessEqual) UnknownOperator(30117);
  TVLMVariant& left = Children[0]->GetValue();
  bool holds = false;
  if (Quantifier != kVLMQuantifierNone) {
    auto* subquery = ChildCount() > 1 ? dynamic_cast<TVLMExprNodeSubqueryBase*>(Child(1)) : nullptr;
    if (subquery == nullptr)
      throw EVLMException(30611, "Subquery expected for operator '%s'", {VLMOperatorName(Operator)});
    holds = subquery->CompareQuantified(Operator, Quantifier, left);
  } else {
    TVLMVariant& right = Children[1]->GetValue();
    const uint8_t c = left.Compare(right, NullStrict, CaseInsensitive, PrefixOnly);
    switch (Operator) {
      case kVLMOpEqual: holds = c == kVLMCompareEqual; break;
      case kVLMOpNotEqual:
        holds = NullStrict ? (c == kVLMCompareLess || c == kVLMCompareGreater) : c != kVLMCompareEqual;
        break;
      case kVLMOpGreater: holds = c == kVLMCompareGreater; break;
      case kVLMOpLess: holds = c == kVLMCompareLess; break;
      case kVLMOpGreaterEqual: holds = c == kVLMCompareEqual || c == kVLMCompareGreater; break;
      default: holds = c == kVLMCompareEqual || c == kVLMCompareLess; break;
    }
  }
  SetLogical(Result, holds);
  return Result;
}

void TVLMExprNodeComparison::FindFieldAndValue(TVLMExprNodeField*& field, TVLMExprNode*& value,
                                               bool& fieldOnRight) {
  field = nullptr;
  value = nullptr;
  fieldOnRight = false;
  if (ChildCount() < 2) return;
  if (IsSearchValue(Child(1)))
    value = Child(1);
  else if (IsSearchValue(Child(0)))
    value = Child(0);
  for (int32_t i = 0; i < 2; ++i) {
    TVLMExprNode* child = Child(i);
    if (!IsIndexableField(child)) continue;
    if (auto* f = dynamic_cast<TVLMExprNodeField*>(child)) {
      field = f;
      fieldOnRight = i == 1;
      continue;
    }
    // UPPER / LOWER of the field serves an index only against a constant
    // already in that case, and then as a case-insensitive comparison.
    auto* constant = dynamic_cast<TVLMExprNodeConst*>(value);
    const bool usable = constant != nullptr &&
                        (child->Operator == kVLMOpUpper ? constant->IsUpperCase() : constant->IsLowerCase());
    if (!usable) {
      field = nullptr;
      value = nullptr;
      return;
    }
    field = static_cast<TVLMExprNodeField*>(child->Child(0));
    fieldOnRight = i == 1;
    CaseInsensitive = true;
  }
  if (field == nullptr) value = nullptr;
}

bool TVLMExprNodeComparison::CanUseIndex(int32_t columnNo, uint8_t scanOperator, int32_t sessionID,
                                         const TVLMIndexDef& indexDef) {
  TVLMExprNodeField* field = nullptr;
  TVLMExprNode* value = nullptr;
  bool fieldOnRight = false;
  FindFieldAndValue(field, value, fieldOnRight);
  if (field == nullptr || value == nullptr) return false;
  // Under SQL's null rules a comparison with NULL holds for no row, but a
  // null key would find the rows whose field is null: no key condition then,
  // and the comparison, left in the filter, matches nothing. (Without the
  // null rules, as in a locate, a null key finds the null fields.)
  if (NullStrict && value->GetValue().IsNull()) return false;
  if (!FieldServesColumn(*field, columnNo, sessionID, indexDef)) return false;
  if (VLMIsBLOBBaseType(field->BaseType)) return false;
  const bool text = VLMIsStringBaseType(field->BaseType);
  if (text && indexDef.GetColumn(columnNo).CaseInsensitive != CaseInsensitive) return false;
  if (PrefixOnly) return false;
  if (ScanOperatorFor(Operator, false) == kVLMScanNone) return false;
  // A text key as long as the field's declared length or longer is never
  // looked up: written into the key it could be cut and then stand for a
  // shorter value.
  if (text && KeyBytesOf(value) >= field->DataSize) return false;
  return columnNo == 0 || (scanOperator == kVLMScanEqual && Operator == kVLMOpEqual);
}

void TVLMExprNodeComparison::AddScanCondition(TVLMScanSearchConditionArray& conditions,
                                              const TVLMIndexDef& indexDef, TVLMExpression* expression) {
  TVLMExprNodeField* field = nullptr;
  TVLMExprNode* value = nullptr;
  bool fieldOnRight = false;
  FindFieldAndValue(field, value, fieldOnRight);
  if (field == nullptr || value == nullptr) throw EVLMException(20055, "Pointer is nil");
  if (field->Cursor == nullptr) throw EVLMException(20054, "Pointer is nil");
  if (indexDef.GetColumnCount() == 0) throw EVLMException(20057, "Invalid index for search");
  // "5 < Field" asks for the keys above 5.
  const uint8_t op = fieldOnRight ? MirroredOperator(Operator) : Operator;
  TVLMScanSearchCondition condition;
  condition.Operator = ScanOperatorFor(op, indexDef.GetColumn(0).Descending);
  if (condition.Operator == kVLMScanNone) UnknownOperator(30117);
  InitIndexCondition(condition, *field->Cursor, indexDef, PrefixOnly);
  FillKeyField(this, value->GetValue(), field->Cursor, condition, expression, field->FieldNo);
  conditions.Add(condition);
}

void TVLMExprNodeComparison::ExtendScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef&,
                                                 TVLMExpression* expression) {
  TVLMExprNodeField* field = nullptr;
  TVLMExprNode* value = nullptr;
  bool fieldOnRight = false;
  FindFieldAndValue(field, value, fieldOnRight);
  if (field == nullptr || value == nullptr || field->Cursor == nullptr) return;
  FillKeyField(this, value->GetValue(), field->Cursor, condition, expression, field->FieldNo);
}

bool TVLMExprNodeComparison::IsJoinCondition(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2) {
  if (Operator != kVLMOpEqual || ChildCount() < 2) return false;
  auto* first = dynamic_cast<TVLMExprNodeField*>(Child(0));
  auto* second = dynamic_cast<TVLMExprNodeField*>(Child(1));
  if (first == nullptr || second == nullptr || first->OuterReference || second->OuterReference) return false;
  TVLMIntegerArray found(0, 100, 10);
  auto matches = [&](TVLMQueryOperator* operand, const TVLMExprNodeField& field) {
    if (operand == nullptr) return 0;
    found.SetSize(0);
    return operand->FindFields(field.FieldName, field.TableName, false, false, &found, false);
  };
  const int32_t first1 = matches(operand1, *first);
  const int32_t firstTotal = first1 + matches(operand2, *first);
  if (firstTotal > 1) throw EVLMException(10404, "Ambiguous field reference to '%s'", {first->FieldName});
  const int32_t second1 = matches(operand1, *second);
  const int32_t secondTotal = second1 + matches(operand2, *second);
  if (secondTotal > 1) throw EVLMException(10405, "Ambiguous field reference to '%s'", {second->FieldName});
  return firstTotal == 1 && secondTotal == 1 && first1 != second1;
}

// ------------------------------------------------------- TVLMExprNodeBoolean

TVLMExprNodeBoolean::TVLMExprNodeBoolean(uint8_t op, std::string escape, bool prefixOnly, bool caseInsensitive)
    : TVLMExprNode(caseInsensitive, prefixOnly), Escape(std::move(escape)), Scratch_(bdtLogical) {
  Operator = op;
  Result.Clear(bdtLogical);
}

TVLMExprNodeBoolean::TVLMExprNodeBoolean(uint8_t op, std::unique_ptr<TVLMExprNode> child1,
                                         std::unique_ptr<TVLMExprNode> child2,
                                         std::unique_ptr<TVLMExprNode> child3)
    : TVLMExprNodeBoolean(op) {
  AddChild(std::move(child1));
  AddChild(std::move(child2));
  AddChild(std::move(child3));
}

TVLMExprNodeSubqueryBase* TVLMExprNodeBoolean::SubqueryChild(int32_t index) const {
  return index < ChildCount() ? dynamic_cast<TVLMExprNodeSubqueryBase*>(Child(index)) : nullptr;
}

TVLMVariant& TVLMExprNodeBoolean::GetValue() {
  ResetLogical(Result);
  switch (Operator) {
    case kVLMOpNot: {
      const TVLMVariant& v = Children.at(0)->GetValue();
      if (!v.IsNull()) SetLogical(Result, !v.GetAsBoolean());
      break;
    }
    case kVLMOpAnd:
    case kVLMOpOr: {
      // AND stops at the first false, OR at the first true; a null child
      // leaves the answer unknown unless a later child decides it.
      const bool decisive = Operator == kVLMOpOr;
      bool unknown = false;
      for (auto& child : Children) {
        const TVLMVariant& v = child->GetValue();
        if (v.IsNull()) {
          unknown = true;
        } else if (v.GetAsBoolean() == decisive) {
          SetLogical(Result, decisive);
          return Result;
        }
      }
      if (!unknown) SetLogical(Result, !decisive);
      break;
    }
    case kVLMOpIn:
    case kVLMOpNotIn:
      EvaluateIn();
      if (Operator == kVLMOpNotIn && !Result.IsNull()) SetLogical(Result, !Result.GetAsBoolean());
      break;
    case kVLMOpExists: {
      TVLMExprNodeSubqueryBase* subquery = SubqueryChild(0);
      if (subquery == nullptr) throw EVLMException(30611, "Subquery expected for operator '%s'", {"EXISTS"});
      SetLogical(Result, subquery->HasRows());
      break;
    }
    case kVLMOpBetween:
    case kVLMOpNotBetween:
      EvaluateBetween();
      if (Operator == kVLMOpNotBetween && !Result.IsNull()) SetLogical(Result, !Result.GetAsBoolean());
      break;
    case kVLMOpLike:
    case kVLMOpNotLike:
      EvaluateLike();
      if (Operator == kVLMOpNotLike && !Result.IsNull()) SetLogical(Result, !Result.GetAsBoolean());
      break;
    case kVLMOpIsNull:
    case kVLMOpIsNotNull:
      SetLogical(Result, Children.at(0)->GetValue().IsNull() == (Operator == kVLMOpIsNull));
      break;
    default: UnknownOperator(30116);
  }
  return Result;
}

void TVLMExprNodeBoolean::EvaluateIn() {
  Scratch_.Assign(Children.at(0)->GetValue(), true);
  TVLMExprNodeSubqueryBase* subquery = SubqueryChild(1);
  // A null value is in no list and out of none: unknown, with a list of
  // values and with a subquery alike; but nothing is in a subquery that
  // yields no rows, a null value neither.
  if (Scratch_.IsNull()) {
    if (subquery != nullptr && !subquery->HasRows()) SetLogical(Result, false);
    return;
  }
  if (subquery != nullptr) {
    SetLogical(Result, subquery->ContainsValue(Scratch_));
    return;
  }
  // Text items match whatever the case; a null item never matches.
  bool found = false;
  for (int32_t i = 1; i < ChildCount() && !found; ++i)
    found = Scratch_.Compare(Child(i)->GetValue(), true, true, false) == kVLMCompareEqual;
  SetLogical(Result, found);
}

void TVLMExprNodeBoolean::EvaluateBetween() {
  Scratch_.Assign(Children.at(0)->GetValue(), true);
  const TVLMVariant& low = Children.at(1)->GetValue();
  const TVLMVariant& high = Children.at(2)->GetValue();
  if (Scratch_.IsNull() || low.IsNull() || high.IsNull()) return;
  const uint8_t aboveLow = Scratch_.Compare(low, true, true, false);
  const uint8_t belowHigh = Scratch_.Compare(high, true, true, false);
  SetLogical(Result, (aboveLow == kVLMCompareEqual || aboveLow == kVLMCompareGreater) &&
                         (belowHigh == kVLMCompareEqual || belowHigh == kVLMCompareLess));
}

void TVLMExprNodeBoolean::EvaluateLike() {
  Scratch_.Assign(Children.at(0)->GetValue(), true);
  const TVLMVariant& pattern = Children.at(1)->GetValue();
  if (pattern.IsNull()) return;
  // A null value matches as the empty text.
  if (Scratch_.IsNull()) Scratch_.TryCastTo(pattern.DataType);
  const TVLMBaseDataType common = VLMGetCommonBaseType(Scratch_.DataType, pattern.DataType, false);
  if (!VLMIsStringBaseType(common)) throw EVLMException(30120, "Not string argument in function '%s'", {"LIKE"});
  const bool hasEscape = !Escape.empty();
  bool matched = false;
  if (VLMIsWideStringBaseType(common)) {
    TVLMVariant escape(bdtWideString);
    escape.SetAsString(Escape);
    const std::u16string escapeText = escape.GetAsWideString();
    matched = VLMMatchLikeWide(Scratch_.GetAsWideString(), pattern.GetAsWideString(), hasEscape,
                               escapeText.empty() ? u'\0' : escapeText[0], CaseInsensitive);
  } else {
    matched = VLMMatchLike(Scratch_.GetAsString(), pattern.GetAsString(), hasEscape,
                           hasEscape ? Escape[0] : '\0', CaseInsensitive);
  }
  SetLogical(Result, matched);
}

TVLMExprNodeField* TVLMExprNodeBoolean::IndexedField() const {
  return Children.empty() ? nullptr : IndexableFieldOf(Children[0].get());
}

bool TVLMExprNodeBoolean::CanUseIndex(int32_t columnNo, uint8_t scanOperator, int32_t sessionID,
                                      const TVLMIndexDef& indexDef) {
  if (Operator == kVLMOpBetween) return BetweenServesIndex(columnNo, sessionID, indexDef);
  if (Operator != kVLMOpIsNull && Operator != kVLMOpIsNotNull) return false;
  const TVLMExprNodeField* field = IndexedField();
  if (field == nullptr || !FieldServesColumn(*field, columnNo, sessionID, indexDef)) return false;
  return columnNo == 0 || (Operator == kVLMOpIsNull && scanOperator == kVLMScanEqual);
}

bool TVLMExprNodeBoolean::BetweenServesIndex(int32_t columnNo, int32_t sessionID, const TVLMIndexDef& indexDef) {
  // Only the first column: a range says nothing about the columns after it.
  if (columnNo != 0 || ChildCount() != 3) return false;
  auto* field = dynamic_cast<TVLMExprNodeField*>(Child(0));
  if (field == nullptr || field->OuterReference || !FieldServesColumn(*field, 0, sessionID, indexDef)) return false;
  if (VLMIsBLOBBaseType(field->BaseType)) return false;
  // BETWEEN compares text without regard to case: only such a column's
  // order is its order.
  const bool text = VLMIsStringBaseType(field->BaseType);
  if (text && !indexDef.GetColumn(0).CaseInsensitive) return false;
  for (int32_t i = 1; i <= 2; ++i) {
    TVLMExprNode* bound = Child(i);
    // A null bound leaves the answer unknown for every row: no range.
    if (!IsSearchValue(bound) || bound->GetValue().IsNull()) return false;
    if (text && KeyBytesOf(bound) >= field->DataSize) return false;
  }
  return true;
}

bool TVLMExprNodeBoolean::InProbe(TVLMExprNodeField*& field, std::vector<const TVLMVariant*>& values) {
  field = nullptr;
  values.clear();
  if (Operator != kVLMOpIn || ChildCount() < 2) return false;
  auto* f = dynamic_cast<TVLMExprNodeField*>(Child(0));
  // Text is left out: its equality in an index is the collation's, which
  // need not be the comparison's.
  if (f == nullptr || f->OuterReference || f->Cursor == nullptr || !VLMIsNumericBaseType(f->BaseType)) return false;
  auto take = [&](const TVLMVariant* value) {
    // A null item matches nothing; another kind of value is not looked up.
    if (value == nullptr || value->IsNull()) return true;
    if (!VLMIsNumericBaseType(value->DataType)) return false;
    values.push_back(value);
    return true;
  };
  if (auto* subquery = dynamic_cast<TVLMExprNodeSubquery*>(Child(1))) {
    if (ChildCount() != 2 || subquery->IsCorrelated()) return false;
    subquery->LoadValues();
    for (int32_t i = 0;; ++i) {
      const TVLMVariant* value = subquery->GetLoadedValue(i);
      if (value == nullptr) break;
      if (!take(value)) return false;
    }
  } else {
    for (int32_t i = 1; i < ChildCount(); ++i) {
      auto* constant = dynamic_cast<TVLMExprNodeConst*>(Child(i));
      if (constant == nullptr || !take(&constant->Result)) return false;
    }
  }
  field = f;
  return true;
}

void TVLMExprNodeBoolean::AddScanCondition(TVLMScanSearchConditionArray& conditions, const TVLMIndexDef& indexDef,
                                           TVLMExpression* expression) {
  if (Operator == kVLMOpBetween) {
    // Two bounds, each with this node as its source: the node leaves its
    // filter only when the walk's range is made of both (the search's
    // KeepInexactConjuncts), as either alone says half of it.
    auto* field = dynamic_cast<TVLMExprNodeField*>(Child(0));
    if (field == nullptr || field->Cursor == nullptr) throw EVLMException(20254, "Pointer is nil");
    if (indexDef.GetColumnCount() == 0) throw EVLMException(20255, "Invalid index for search");
    const bool descending = indexDef.GetColumn(0).Descending;
    for (const auto& [op, bound] : {std::pair{kVLMOpGreaterEqual, 1}, std::pair{kVLMOpLessEqual, 2}}) {
      TVLMScanSearchCondition condition;
      condition.Operator = ScanOperatorFor(op, descending);
      InitIndexCondition(condition, *field->Cursor, indexDef, false);
      FillKeyField(this, Child(bound)->GetValue(), field->Cursor, condition, expression, field->FieldNo);
      conditions.Add(condition);
    }
    return;
  }
  if (Operator != kVLMOpIsNull && Operator != kVLMOpIsNotNull) return;
  TVLMExprNodeField* field = IndexedField();
  if (field == nullptr || field->Cursor == nullptr) throw EVLMException(20254, "Pointer is nil");
  if (indexDef.GetColumnCount() == 0) throw EVLMException(20255, "Invalid index for search");
  TVLMScanSearchCondition condition;
  // Null sorts first: every present key lies after the null key.
  if (Operator == kVLMOpIsNull)
    condition.Operator = kVLMScanEqual;
  else
    condition.Operator = indexDef.GetColumn(0).Descending ? kVLMScanLess : kVLMScanGreater;
  InitIndexCondition(condition, *field->Cursor, indexDef, false);
  const TVLMVariant nullKey;
  FillKeyField(this, nullKey, field->Cursor, condition, expression, field->FieldNo);
  conditions.Add(condition);
}

void TVLMExprNodeBoolean::ExtendScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef&,
                                              TVLMExpression* expression) {
  if (Operator != kVLMOpIsNull && Operator != kVLMOpIsNotNull) return;
  TVLMExprNodeField* field = IndexedField();
  if (field == nullptr || field->Cursor == nullptr) return;
  const TVLMVariant nullKey;
  FillKeyField(this, nullKey, field->Cursor, condition, expression, field->FieldNo);
}

// --------------------------------------------------------- TVLMExprNodeConst

TVLMExprNodeConst::TVLMExprNodeConst() = default;

TVLMExprNodeConst::TVLMExprNodeConst(const TVLMVariant& value) { Result.Assign(value, true); }

TVLMDataType TVLMExprNodeConst::GetDataType() { return VLMBaseTypeToDataType(Result.DataType); }

int32_t TVLMExprNodeConst::GetDataSize() {
  if (Result.IsNull() || !Result.IsString()) return 0;
  const int32_t length = Result.GetStringLength();
  return Result.IsWideString() ? 2 * length : length;
}

bool TVLMExprNodeConst::IsPrefixPattern() const {
  if (Result.IsNull() || !Result.IsString()) return false;
  if (Result.IsWideString()) {
    const std::u16string text = Result.GetAsWideString();
    return text.size() > 1 && text.find(u'%') == text.size() - 1 && text.find(u'_') == std::u16string::npos;
  }
  const std::string text = Result.GetAsString();
  return text.size() > 1 && text.find('%') == text.size() - 1 && text.find('_') == std::string::npos;
}

void TVLMExprNodeConst::RemoveLastChar() {
  if (Result.IsNull() || !Result.IsString()) return;
  LastCharRemoved = true;
  if (Result.IsWideString()) {
    std::u16string text = Result.GetAsWideString();
    if (!text.empty()) text.pop_back();
    Result.SetAsWideString(text);
  } else {
    std::string text = Result.GetAsString();
    if (!text.empty()) text.pop_back();
    Result.SetAsString(text);
  }
}

bool TVLMExprNodeConst::IsUpperCase() const { return EqualsOwnCase(Result, true); }

bool TVLMExprNodeConst::IsLowerCase() const { return EqualsOwnCase(Result, false); }

// ------------------------------------------------------------ TVLMExpression

TVLMExpression::TVLMExpression() { InstallServices(); }

TVLMExpression::TVLMExpression(std::unique_ptr<TVLMExprNode> root) : TVLMExpression() { Root_ = std::move(root); }

TVLMExpression::~TVLMExpression() = default;

void TVLMExpression::SetRoot(std::unique_ptr<TVLMExprNode> root) { Root_ = std::move(root); }

void TVLMExpression::AddNode(std::unique_ptr<TVLMExprNode> node) {
  if (!node) return;
  if (Root_)
    Root_->AddChild(std::move(node));
  else
    Root_ = std::move(node);
}

void TVLMExpression::InsertNode(std::unique_ptr<TVLMExprNode> node, int32_t position) {
  if (!node) return;
  if (!Root_) {
    Root_ = std::move(node);
  } else if (position < 0) {
    Root_->AddChild(std::move(node));
  } else {
    const size_t at = std::min(static_cast<size_t>(position), Root_->Children.size());
    Root_->Children.insert(Root_->Children.begin() + static_cast<std::ptrdiff_t>(at), std::move(node));
  }
}

void TVLMExpression::AndWith(TVLMExpression& other) {
  if (!other.Root_) return;
  if (!Root_) {
    Root_ = std::move(other.Root_);
  } else {
    if (!IsAnd(Root_.get())) Root_ = std::make_unique<TVLMExprNodeBoolean>(kVLMOpAnd, std::move(Root_));
    Root_->AddChild(std::move(other.Root_));
  }
  FlattenAnd();
}

void TVLMExpression::FlattenAnd() {
  if (!IsAnd(Root_.get())) return;
  auto& conjuncts = Root_->Children;
  // Children of a nested AND move to the end and are looked at in their
  // turn, so deeper ANDs dissolve too.
  for (size_t i = 0; i < conjuncts.size();) {
    if (!IsAnd(conjuncts[i].get())) {
      ++i;
      continue;
    }
    std::unique_ptr<TVLMExprNode> nested = std::move(conjuncts[i]);
    conjuncts.erase(conjuncts.begin() + static_cast<std::ptrdiff_t>(i));
    for (auto& child : nested->Children) conjuncts.push_back(std::move(child));
  }
}

void TVLMExpression::BuildKeyValuesCondition(TVLMCursor* cursor, std::string_view fieldNames,
                                             const qv::HostVariant& keyValues, bool caseInsensitive,
                                             bool partialKey) {
  Clear();
  Cursor = cursor;
  NullSemantics = false;
  qv::StringList names;
  VLMSplitFieldNames(fieldNames, names);
  const bool isArray = keyValues.IsArray();
  const int32_t low = isArray ? keyValues.ArrayLowBound(1) : 0;
  const int32_t count = isArray ? keyValues.ArrayHighBound(1) - low + 1 : 1;
  if (names.Count() != count)
    throw EVLMException(30112, "Count of FieldNames (%d) not equal counts of KeyValues (%d)", {names.Count(), count});

  auto equality = [&](const std::string& name, const qv::HostVariant& key) {
    auto field = std::make_unique<TVLMExprNodeField>(cursor, std::string(), name);
    auto constant = std::make_unique<TVLMExprNodeConst>();
    // A number given for a date or time field is a host date-time.
    const uint16_t keyType = key.VarType() & qv::varTypeMask;
    const bool number = keyType == qv::varSmallint || keyType == qv::varInteger || keyType == qv::varSingle ||
                        keyType == qv::varDouble || keyType == qv::varShortInt || keyType == qv::varByte ||
                        keyType == qv::varWord || keyType == qv::varLongWord || keyType == qv::varInt64;
    if (number && VLMIsDateTimeBaseType(field->BaseType))
      constant->Result.SetAsVariant(qv::HostVariant::FromDateTime(key.AsDouble()));
    else
      constant->Result.SetAsVariant(key);
    return std::make_unique<TVLMExprNodeComparison>(kVLMOpEqual, caseInsensitive, partialKey, NullSemantics,
                                                    std::move(field), std::move(constant));
  };

  std::unique_ptr<TVLMExprNode> root;
  if (!isArray) {
    root = equality(names[0], keyValues);
  } else {
    root = std::make_unique<TVLMExprNodeBoolean>(kVLMOpAnd);
    for (int32_t i = 0; i < count; ++i) root->AddChild(equality(names[i], keyValues[low + i]));
  }
  if (Cursor != nullptr) root->Prepare();
  Root_ = std::move(root);
}

void TVLMExpression::BuildFieldComparison(TVLMCursor* cursor, std::string_view fieldName, uint8_t op,
                                          const TVLMVariant& value) {
  Clear();
  Cursor = cursor;
  NullSemantics = false;
  auto root = std::make_unique<TVLMExprNodeComparison>(
      op, false, false, NullSemantics, std::make_unique<TVLMExprNodeField>(cursor, std::string(), std::string(fieldName)),
      std::make_unique<TVLMExprNodeConst>(value));
  if (Cursor != nullptr) root->Prepare();
  Root_ = std::move(root);
}

TVLMVariant* TVLMExpression::GetValue(bool keepNull) {
  if (!Root_) return nullptr;
  TVLMVariant& value = Root_->GetValue();
  if (value.IsNull() && !keepNull) SetLogical(value, false);
  return &value;
}

bool TVLMExpression::GetBooleanValue() {
  if (!Root_) throw EVLMException(30110, "Value is Null");
  const TVLMVariant& value = *GetValue(false);
  // A node's logical answer, read in place (a filter asks once per record).
  if (value.DataType == bdtLogical && !value.IsNull() && value.DataSize == static_cast<int32_t>(sizeof(int16_t))) {
    int16_t logical = 0;
    std::memcpy(&logical, value.Data, sizeof logical);
    return logical != 0;
  }
  return value.GetAsBoolean();
}

int32_t TVLMExpression::GetValueCount() {
  if (auto* row = dynamic_cast<TVLMExprNodeSubquery*>(Root_.get()); row != nullptr && !row->SingleField)
    return row->GetValueCount();
  return Root_ ? 1 : 0;
}

TVLMVariant* TVLMExpression::GetValueByIndex(int32_t index) {
  if (auto* row = dynamic_cast<TVLMExprNodeSubquery*>(Root_.get()); row != nullptr && !row->SingleField)
    return row->GetValueByIndex(index);
  return index == 0 ? GetValue(true) : nullptr;
}

void TVLMExpression::LoadValues() {
  if (Root_) Root_->LoadValues();
}

void TVLMExpression::RefreshParameters() {
  auto walk = [&](auto& self, TVLMExprNode* node) -> void {
    if (auto* constant = dynamic_cast<TVLMExprNodeConst*>(node); constant != nullptr && constant->Source != nullptr) {
      constant->Result.Assign(*constant->Source, true);
      // The parse took the pattern's '%' (or a filter's '*') off the end.
      if (constant->LastCharRemoved) constant->RemoveLastChar();
    }
    for (int32_t i = 0; i < node->ChildCount(); ++i) self(self, node->Child(i));
  };
  if (Root_) walk(walk, Root_.get());
}

bool TVLMExpression::FollowsParameters() const {
  auto walk = [&](auto& self, const TVLMExprNode* node) -> bool {
    if (dynamic_cast<const TVLMExprNodeSubquery*>(node) != nullptr) return false;
    for (int32_t i = 0; i < node->ChildCount(); ++i)
      if (!self(self, node->Child(i))) return false;
    return true;
  };
  return !Root_ || walk(walk, Root_.get());
}

TVLMVariant* TVLMExpression::GetLoadedValue(int32_t index) { return Root_ ? Root_->GetLoadedValue(index) : nullptr; }

bool TVLMExpression::IsAggregated() { return Root_ && Root_->IsAggregated(); }

bool TVLMExpression::IsCountAll() { return Root_ && Root_->IsCountAll(); }

void TVLMExpression::InitAggregate() {
  if (Root_) Root_->InitAggregate();
}

void TVLMExpression::Accumulate() {
  if (Root_) Root_->Accumulate();
}

void TVLMExpression::SetRowCount(int32_t count) {
  if (Root_) Root_->SetRowCount(count);
}

void TVLMExpression::BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, TVLMCursor* cursor) {
  if (!Root_) return;
  Root_->BindToOperands(operand1, operand2, cursor);
  Root_->Prepare();
}

void TVLMExpression::BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator* operand, TVLMCursor* cursor2) {
  if (!Root_) return;
  Root_->BindToCursor(cursor1, operand, cursor2);
  Root_->Prepare();
}

void TVLMExpression::SetRecordBuffer(uint8_t* buffer, bool outerFlag) {
  if (!Root_) return;
  Root_->SetRecordBuffer(buffer, outerFlag);
  Root_->Prepare();
}

TVLMDataType TVLMExpression::GetDataType() { return Root_ ? Root_->GetDataType() : 0; }

int32_t TVLMExpression::GetDataSize() { return Root_ ? Root_->GetDataSize() : 0; }

int32_t TVLMExpression::GetExtraAttribute() { return Root_ ? Root_->GetExtraAttribute() : 0; }

void TVLMExpression::RemapFields(std::span<const TVLMFieldMapping> mapping) {
  if (Root_) Root_->RemapFields(mapping);
}

bool TVLMExpression::UsesOnlyFields(std::string_view fieldNames) {
  return !Root_ || Root_->UsesOnlyFields(fieldNames);
}

bool TVLMExpression::IsEmptyCondition() const {
  return !Root_ || (Root_->Children.empty() && dynamic_cast<const TVLMExprNodeBoolean*>(Root_.get()) != nullptr);
}

bool TVLMExpression::IsField() const { return dynamic_cast<const TVLMExprNodeField*>(Root_.get()) != nullptr; }

bool TVLMExpression::HasFieldOperand() const {
  if (!Root_) return false;
  if (IsField()) return true;
  for (const auto& child : Root_->Children)
    if (dynamic_cast<const TVLMExprNodeField*>(child.get()) != nullptr) return true;
  return false;
}

void TVLMExpression::GetFieldName(std::string& tableName, std::string& fieldName) const {
  const auto* field = dynamic_cast<const TVLMExprNodeField*>(Root_.get());
  if (field == nullptr) throw EVLMException(30198, "Node is not a field");
  field->GetRealNames(tableName, fieldName);
}

void TVLMExpression::SetSelectList(
    const std::function<std::unique_ptr<TVLMExprNode>(const TVLMExprNodeField&)>& itemFor) {
  if (!Root_) return;
  if (const auto* field = dynamic_cast<const TVLMExprNodeField*>(Root_.get())) {
    if (std::unique_ptr<TVLMExprNode> item = itemFor(*field)) Root_ = std::move(item);
    return;
  }
  // An item's own tree names columns only: it is not walked again.
  auto walk = [&](auto& self, TVLMExprNode& node) -> void {
    for (int32_t i = 0; i < node.ChildCount(); ++i) {
      if (const auto* field = dynamic_cast<const TVLMExprNodeField*>(node.Child(i))) {
        if (std::unique_ptr<TVLMExprNode> item = itemFor(*field)) node.ReplaceChild(i, std::move(item));
      } else {
        self(self, *node.Child(i));
      }
    }
  };
  walk(walk, *Root_);
}

void TVLMExpression::ExtractConditionsFor(TVLMQueryOperator* op, TVLMQueryOperator* outerOperand, bool matchFlag,
                                          bool recurse, TVLMCursor* cursor) {
  if (op == nullptr) return;
  if (recurse && op->GetJoinFlag() == 0) {
    ExtractConditionsFor(op->GetLeftOperand(), outerOperand, matchFlag, recurse, cursor);
    ExtractConditionsFor(op->GetRightOperand(), outerOperand, matchFlag, recurse, cursor);
  }
  if (!Root_) return;
  std::unique_ptr<TVLMExprNode> taken;
  if (IsAnd(Root_.get())) {
    auto& conjuncts = Root_->Children;
    for (size_t i = 0; i < conjuncts.size();) {
      if (conjuncts[i]->ResolveFields(op, outerOperand, matchFlag, cursor))
        AppendConjunct(taken, Root_->TakeChild(static_cast<int32_t>(i)));
      else
        ++i;
    }
    if (conjuncts.empty()) Root_.reset();
  } else if (Root_->ResolveFields(op, outerOperand, matchFlag, cursor)) {
    taken = std::move(Root_);
  }
  if (taken) op->AddCondition(std::make_unique<TVLMExpression>(std::move(taken)));
}

bool TVLMExpression::HasJoinCondition(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2) {
  if (!Root_) return false;
  auto pairs = [&](TVLMExprNode& node) {
    return dynamic_cast<TVLMExprNodeComparison*>(&node) != nullptr && node.Operator == kVLMOpEqual &&
           node.IsJoinCondition(operand1, operand2);
  };
  if (!IsAnd(Root_.get())) return pairs(*Root_);
  for (auto& conjunct : Root_->Children)
    if (conjunct->IsJoinCondition(operand1, operand2)) return true;
  return false;
}

int32_t TVLMExpression::ExtractJoinFieldPairs(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2,
                                              std::vector<TVLMQualifiedFieldName>& leftFields,
                                              std::vector<TVLMQualifiedFieldName>& rightFields) {
  if (!Root_) return 0;
  auto appendPair = [&](const TVLMExprNode& comparison) {
    TVLMQualifiedFieldName left;
    TVLMQualifiedFieldName right;
    static_cast<const TVLMExprNodeField*>(comparison.Child(0))->GetRealNames(left.TableName, left.FieldName);
    static_cast<const TVLMExprNodeField*>(comparison.Child(1))->GetRealNames(right.TableName, right.FieldName);
    leftFields.push_back(std::move(left));
    rightFields.push_back(std::move(right));
  };
  if (IsAnd(Root_.get())) {
    auto& conjuncts = Root_->Children;
    std::vector<size_t> taken;
    for (size_t i = 0; i < conjuncts.size(); ++i) {
      if (!conjuncts[i]->IsJoinCondition(operand1, operand2)) continue;
      appendPair(*conjuncts[i]);
      taken.push_back(i);
    }
    for (auto it = taken.rbegin(); it != taken.rend(); ++it)
      conjuncts.erase(conjuncts.begin() + static_cast<std::ptrdiff_t>(*it));
    if (conjuncts.empty()) Root_.reset();
    return static_cast<int32_t>(taken.size());
  }
  if (dynamic_cast<TVLMExprNodeComparison*>(Root_.get()) != nullptr && Root_->Operator == kVLMOpEqual &&
      Root_->IsJoinCondition(operand1, operand2)) {
    appendPair(*Root_);
    Root_.reset();
    return 1;
  }
  return 0;
}

void TVLMExpression::CollectScanConditions(TVLMScanSearchConditionArray& conditions, const TVLMIndexDefs& indexDefs,
                                           int32_t sessionID) {
  std::function<void(TVLMExprNode*)> walk = [&](TVLMExprNode* node) {
    if (IsAnd(node)) {
      for (auto& child : node->Children) walk(child.get());
      return;
    }
    if (!IsPlanningCandidate(node)) return;
    for (int32_t i = 0; i < indexDefs.GetCount(); ++i) {
      const TVLMIndexDef& indexDef = *indexDefs.GetIndexDef(i);
      if (node->CanUseIndex(0, kVLMScanNone, sessionID, indexDef)) node->AddScanCondition(conditions, indexDef, this);
    }
  };
  if (Root_) walk(Root_.get());
}

bool TVLMExpression::HasScanCondition(TVLMScanSearchCondition& condition, const TVLMIndexDef& indexDef) {
  std::function<bool(TVLMExprNode*)> walk = [&](TVLMExprNode* node) {
    if (IsAnd(node)) {
      for (auto& child : node->Children)
        if (walk(child.get())) return true;
      return false;
    }
    if (!IsPlanningCandidate(node) || condition.KeyFieldCount >= indexDef.GetColumnCount()) return false;
    if (!node->CanUseIndex(condition.KeyFieldCount, condition.Operator, -1, indexDef)) return false;
    // Counts only when a key field was really added, so the caller's passes
    // always end.
    const int32_t before = condition.KeyFieldCount;
    node->ExtendScanCondition(condition, indexDef, this);
    return condition.KeyFieldCount > before;
  };
  return Root_ && walk(Root_.get());
}

bool TVLMExpression::FindInProbe(TVLMExprNodeField*& field, std::vector<const TVLMVariant*>& values) {
  std::function<bool(TVLMExprNode*)> walk = [&](TVLMExprNode* node) {
    if (IsAnd(node)) {
      for (auto& child : node->Children)
        if (walk(child.get())) return true;
      return false;
    }
    auto* boolean = dynamic_cast<TVLMExprNodeBoolean*>(node);
    return boolean != nullptr && boolean->InProbe(field, values);
  };
  return Root_ && walk(Root_.get());
}

void TVLMExpression::RemoveCoveredConditions(TVLMScanSearchConditionArray& conditions, int32_t index1,
                                             int32_t index2) {
  auto detach = [&](int32_t index) {
    if (index < 0 || index >= conditions.GetCount()) return;
    for (TVLMScanConditionSource& source : conditions.GetItem(index).Sources) {
      if (source.Expression != this || source.Detached || source.Node == nullptr || !Root_) continue;
      if (source.Node == Root_.get()) {
        source.Detached = std::move(Root_);
        source.DetachedPosition = -1;
      } else {
        const int32_t at = Root_->IndexOfChild(source.Node);
        if (at < 0) continue;
        source.Detached = Root_->TakeChild(at);
        source.DetachedPosition = at;
      }
      source.DetachedOrder = conditions.NextDetachedOrder();
    }
  };
  detach(index1);
  if (index2 != index1) detach(index2);
}
