// The remaining value nodes (VLMExpressions.h): TVLMExprNodeSystem
// (LASTAUTOINC, ROWNUM), TVLMExprNodeAggregated (SUM ... COUNT(*)),
// TVLMExprNodeCast, TVLMExprNodeCase (both CASE forms and COALESCE),
// TVLMExprNodeBlob (MIMETOBIN) and TVLMExprNodeDateFunction; and the test
// whether a field default is an expression.
//
// Aggregates: a SUM over integers runs in 64 bits, the type it reports, so a
// sum beyond the 32-bit range is not cut; AVG divides a copy of its running
// sum, so reading it twice gives the same value; DISTINCT keeps the values a
// group has met and counts each once.
//
// Error codes: 30338 unknown system operator, 30337 LASTAUTOINC field not
// found, 30702 LASTAUTOINC without the components' table hook, 30132 / 30133
// non-numeric SUM / AVG argument, 30134 unknown aggregate, 30466 CAST width
// of an unsupported type, 30130 / 30287 unknown date function.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "crypto/VLMCipherUtil.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMDateFormat.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMathErrors.h"
#include "platform/host/SysUtils.h"
#include "platform/os/System.h"

namespace {

bool IsIntegerBaseType(TVLMBaseDataType t) { return t >= bdtShortInt && t <= bdtCardinal; }

// The text width of a CAST to text from a value of type t; -1 for a type
// without one.
int32_t TextWidthOf(TVLMDataType t) {
  switch (t) {
    case dtShortInt:
    case dtAutoincShortInt: return 4;
    case dtSmallInt:
    case dtAutoincSmallInt: return 6;
    case dtInteger:
    case dtAutoinc:
    case dtAutoincInteger: return 11;
    case dtLargeInt:
    case dtAutoincLargeInt: return 20;
    case dtByte:
    case dtAutoincByte: return 3;
    case dtWord:
    case dtAutoincWord:
    case dtLogical: return 5;
    case dtCardinal:
    case dtAutoincCardinal: return 10;
    case dtSingle:
    case dtFloat:
    case dtExtended:
    case dtDate:
    case dtTime:
    case dtDateTime:
    case dtTimeStamp: return 26;
    case dtCurrency: return 21;
    case dtMemo:
    case dtFormattedMemo:
    case dtWideMemo: return 4096;
    case dtGUID: return 38;
    default: return -1;
  }
}

// The expression of a default value when it is an expression default.
std::unique_ptr<TVLMExpression> ExpressionDefault(const TVLMVariant& value) {
  if (value.IsNull() || !value.IsString()) return nullptr;
  const std::string text = value.GetAsString();
  if (text.empty()) return nullptr;
  auto expression = std::make_unique<TVLMExpression>();
  if (!expression->ParseDefaultExpression(text) || expression->HasFieldOperand()) return nullptr;
  const TVLMVariant* result = expression->GetValue(true);
  if (result == nullptr || result->GetAsWideString() == value.GetAsWideString()) return nullptr;
  // A fresh tree: the test evaluated this one (ROWNUM has counted).
  auto fresh = std::make_unique<TVLMExpression>();
  if (!fresh->ParseDefaultExpression(text)) return nullptr;
  return fresh;
}

}  // namespace

bool VLMIsExpressionDefault(const TVLMVariant& value) {
  try {
    return ExpressionDefault(value) != nullptr;
  } catch (...) {
    return false;
  }
}

TVLMExpression* VLMParseExpressionDefault(const TVLMVariant& value) noexcept {
  try {
    return ExpressionDefault(value).release();
  } catch (...) {
    return nullptr;
  }
}

// ------------------------------------------------------- TVLMExprNodeSystem

TVLMExprNodeSystem::TVLMExprNodeSystem(uint8_t op) : TVLMExprNode(true, false) { Operator = op; }

TVLMExprNodeSystem::TVLMExprNodeSystem(uint8_t op, bool inMemory, std::string tableName, std::string fieldName,
                                       const std::string& databaseName, const std::string& sessionName)
    : TVLMExprNode(true, false), InMemory(inMemory), TableName(std::move(tableName)), FieldName(std::move(fieldName)) {
  Operator = op;
  const TVLMExpressionServices* services = VLMGetExpressionServices();
  if (services == nullptr || services->OpenAutoincTable == nullptr)
    throw EVLMException(30702, "Cannot open table '%s' for LASTAUTOINC: no table layer", {TableName});
  Table_ = services->OpenAutoincTable(sessionName, databaseName, TableName, InMemory);
  FieldDataType_ = Table_ ? Table_->FindFieldDataType(FieldName) : 0;
  if (FieldDataType_ == 0) throw EVLMException(30337, "Field '%s' not found", {FieldName});
}

TVLMVariant& TVLMExprNodeSystem::GetValue() {
  switch (Operator) {
    case kVLMOpLastAutoinc:
      Result.Clear(VLMDataTypeToBaseType(FieldDataType_));
      Result.SetAsLargeInt(Table_->GetLastAutoincValue(FieldName));
      break;
    case kVLMOpRowNum:
      if (RowCount_ == std::numeric_limits<int32_t>::max()) throw EIntOverflow();
      Result.Clear(bdtInteger);
      Result.SetAsInteger(++RowCount_);
      break;
    default: UnknownOperator(30338);
  }
  return Result;
}

TVLMDataType TVLMExprNodeSystem::GetDataType() {
  if (Operator == kVLMOpLastAutoinc) return FieldDataType_;
  return Operator == kVLMOpRowNum ? dtInteger : 0;
}

// --------------------------------------------------- TVLMExprNodeAggregated

// The values one group has met, ordered by the engine's comparison.
class TVLMExprNodeAggregated::TSeenValues {
public:
  // True when value was not met before (it is then remembered).
  bool Insert(const TVLMVariant& value) {
    auto copy = std::make_unique<TVLMVariant>();
    copy->Assign(value, true);
    return Values_.insert(std::move(copy)).second;
  }
  void Clear() { Values_.clear(); }

private:
  struct Less {
    bool operator()(const std::unique_ptr<TVLMVariant>& a, const std::unique_ptr<TVLMVariant>& b) const {
      return a->Compare(*b) == kVLMCompareLess;
    }
  };
  std::set<std::unique_ptr<TVLMVariant>, Less> Values_;
};

TVLMExprNodeAggregated::TVLMExprNodeAggregated(uint8_t op)
    : TVLMExprNode(true, false), Distinct(false), Seen_(std::make_unique<TSeenValues>()) {
  Operator = op;
}

TVLMExprNodeAggregated::TVLMExprNodeAggregated(uint8_t op, std::unique_ptr<TVLMExprNode> argument, bool distinct)
    : TVLMExprNodeAggregated(op) {
  Distinct = distinct;
  AddChild(std::move(argument));
}

TVLMExprNodeAggregated::~TVLMExprNodeAggregated() = default;

bool TVLMExprNodeAggregated::FirstTime(const TVLMVariant& value) { return !Distinct || Seen_->Insert(value); }

void TVLMExprNodeAggregated::CountRow() {
  if (RowCount_ == std::numeric_limits<int32_t>::max()) throw EIntOverflow();
  ++RowCount_;
}

void TVLMExprNodeAggregated::InitAggregate() {
  RowCount_ = 0;
  Result.Clear();
  Work_.Clear();
  Seen_->Clear();
}

void TVLMExprNodeAggregated::Accumulate() {
  if (Operator == kVLMOpCountAll) {
    CountRow();
    return;
  }
  if (Operator < kVLMOpSum || Operator > kVLMOpCount) UnknownOperator(30134);
  const TVLMVariant& argument = Children.at(0)->GetValue();
  switch (Operator) {
    case kVLMOpSum:
    case kVLMOpAvg: {
      if (argument.IsNull()) return;
      const bool sum = Operator == kVLMOpSum;
      if (!argument.IsNumeric()) {
        if (sum) throw EVLMException(30132, "Not numeric argument in numeric operator '%s'", {"SUM"});
        throw EVLMException(30133, "Not numeric argument in numeric operator '%s'", {"AVG"});
      }
      if (!FirstTime(argument)) return;
      // SUM adds in the result (integers in 64 bits), AVG in its work value
      // as a float.
      TVLMVariant& total = sum ? Result : Work_;
      if (total.IsNull()) {
        total.Assign(argument, true);
        if (!sum)
          total.CastTo(bdtFloat);
        else if (IsIntegerBaseType(total.DataType))
          total.CastTo(bdtLargeInt);
      } else {
        total.Add(argument);
      }
      if (!sum) CountRow();
      return;
    }
    case kVLMOpMin:
    case kVLMOpMax: {
      if (Result.IsNull()) {
        Result.Assign(argument, true);
        return;
      }
      if (argument.IsNull()) return;
      const uint8_t c = argument.Compare(Result, true, true, false);
      if (c == (Operator == kVLMOpMin ? kVLMCompareLess : kVLMCompareGreater)) Result.Assign(argument, true);
      return;
    }
    default:  // COUNT
      if (!argument.IsNull() && FirstTime(argument)) CountRow();
      return;
  }
}

TVLMVariant& TVLMExprNodeAggregated::GetValue() {
  switch (Operator) {
    case kVLMOpAvg: {
      // The running sum stays as it is, so every read gives the same mean.
      Result.Assign(Work_, true);
      if (Result.IsNull()) break;
      TVLMVariant count(bdtFloat);
      count.SetAsDouble(RowCount_);
      Result.Divide(count);
      break;
    }
    case kVLMOpCount:
    case kVLMOpCountAll:
      Result.Clear(bdtInteger);
      Result.SetAsInteger(RowCount_);
      break;
    default: break;
  }
  return Result;
}

bool TVLMExprNodeAggregated::ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator* operand2, bool,
                                           TVLMCursor* cursor) {
  if (operand1 == nullptr || !operand1->IsGroupBy()) return false;
  return TVLMExprNode::ResolveFields(operand1, operand2, false, cursor);
}

TVLMDataType TVLMExprNodeAggregated::GetDataType() {
  switch (Operator) {
    case kVLMOpCount:
    case kVLMOpCountAll: return dtInteger;
    case kVLMOpAvg: return dtFloat;
    default: break;
  }
  if (Children.empty()) return 0;
  const TVLMDataType type = Children[0]->GetDataType();
  if (Operator != kVLMOpSum) return type;
  return type == dtSingle || type == dtFloat || type == dtExtended || type == dtCurrency ? type : dtLargeInt;
}

int32_t TVLMExprNodeAggregated::GetDataSize() {
  if ((Operator == kVLMOpMin || Operator == kVLMOpMax) && !Children.empty()) return Children[0]->GetDataSize();
  return TVLMExprNode::GetDataSize();
}

// --------------------------------------------------------- TVLMExprNodeCast

TVLMExprNodeCast::TVLMExprNodeCast(std::unique_ptr<TVLMExprNode> argument, std::unique_ptr<TVLMExprNode> length,
                                   TVLMDataType targetType)
    : TVLMExprNode(true, false), TargetType(targetType) {
  Operator = kVLMOpCast;
  AddChild(std::move(argument));
  AddChild(std::move(length));
}

TVLMVariant& TVLMExprNodeCast::GetValue() {
  Result.Assign(Children.at(0)->GetValue(), true);
  Result.CastTo(VLMDataTypeToBaseType(TargetType));
  if (!VLMIsStringDataType(TargetType) || Result.IsNull()) return Result;
  const int32_t limit = std::max<int32_t>(Length() != nullptr ? Length()->GetValue().GetAsInteger() : 4096, 0);
  if (Result.IsWideString()) {
    const std::u16string text = Result.GetAsWideString();
    if (text.size() > static_cast<size_t>(limit)) Result.SetAsWideString(text.substr(0, static_cast<size_t>(limit)));
  } else {
    const std::string text = Result.GetAsString();
    if (text.size() > static_cast<size_t>(limit)) Result.SetAsString(text.substr(0, static_cast<size_t>(limit)));
  }
  return Result;
}

int32_t TVLMExprNodeCast::GetDataSize() {
  if (Length() != nullptr) return Length()->GetValue().GetAsInteger();
  if (!VLMIsStringDataType(TargetType)) return 0;
  const TVLMDataType type = Children.at(0)->GetDataType();
  if ((type >= dtChar && type <= dtWideString) || (type >= dtBytes && type <= dtGraphic))
    return Children[0]->GetDataSize();
  const int32_t width = TextWidthOf(type);
  if (width < 0) throw EVLMException(30466, "Unsupported data type '%s'", {VLMGetDataTypeName(type)});
  return width;
}

// --------------------------------------------------------- TVLMExprNodeCase

TVLMExprNodeCase::TVLMExprNodeCase(std::unique_ptr<TVLMExprNode> operand) : TVLMExprNode(true, false) {
  Operand_ = operand.get();
  AddChild(std::move(operand));
}

TVLMExprNodeCase::TVLMExprNodeCase(std::vector<std::unique_ptr<TVLMExprNode>> arguments)
    : TVLMExprNode(true, false), Coalesce(true) {
  for (auto& argument : arguments) {
    Arguments_.push_back(argument.get());
    AddChild(std::move(argument));
  }
}

void TVLMExprNodeCase::AddWhen(std::unique_ptr<TVLMExprNode> when) {
  When_.push_back(when.get());
  AddChild(std::move(when));
}

void TVLMExprNodeCase::AddThen(std::unique_ptr<TVLMExprNode> then) {
  Then_.push_back(then.get());
  AddChild(std::move(then));
}

void TVLMExprNodeCase::SetElse(std::unique_ptr<TVLMExprNode> otherwise) {
  Else_ = otherwise.get();
  AddChild(std::move(otherwise));
}

void TVLMExprNodeCase::ChildReplaced(const TVLMExprNode* old, TVLMExprNode* now) {
  auto swap = [&](TVLMExprNode*& slot) {
    if (slot == old) slot = now;
  };
  swap(Operand_);
  swap(Else_);
  for (std::vector<TVLMExprNode*>* list : {&When_, &Then_, &Arguments_})
    for (TVLMExprNode*& slot : *list) swap(slot);
}

std::vector<TVLMExprNode**> TVLMExprNodeCase::ResultSlots() {
  std::vector<TVLMExprNode**> slots;
  if (Coalesce) {
    for (auto& argument : Arguments_) slots.push_back(&argument);
    return slots;
  }
  for (auto& then : Then_) slots.push_back(&then);
  if (Else_ != nullptr) slots.push_back(&Else_);
  return slots;
}

TVLMVariant& TVLMExprNodeCase::GetValue() {
  Result.Clear();
  TVLMExprNode* chosen = nullptr;
  if (Coalesce) {
    for (TVLMExprNode* argument : Arguments_) {
      const TVLMVariant& v = argument->GetValue();
      if (!v.IsNull()) {
        Result.Assign(v, false);
        break;
      }
    }
    return Result;
  }
  const size_t pairs = std::min(When_.size(), Then_.size());
  if (Operand_ != nullptr) {
    // Evaluated once; a null operand matches a null WHEN, text matches
    // whatever its case.
    const TVLMVariant& operand = Operand_->GetValue();
    for (size_t i = 0; i < pairs && chosen == nullptr; ++i)
      if (operand.Compare(When_[i]->GetValue(), false, true, false) == kVLMCompareEqual) chosen = Then_[i];
  } else {
    // A WHEN that is not true, false or unknown (null) alike, is passed by.
    for (size_t i = 0; i < pairs && chosen == nullptr; ++i) {
      const TVLMVariant& condition = When_[i]->GetValue();
      if (!condition.IsNull() && condition.GetAsBoolean()) chosen = Then_[i];
    }
  }
  if (chosen == nullptr) chosen = Else_;
  if (chosen != nullptr) Result.Assign(chosen->GetValue(), false);
  return Result;
}

TVLMDataType TVLMExprNodeCase::GetDataType() {
  TVLMDataType type = 0;
  bool first = true;
  for (TVLMExprNode** slot : ResultSlots()) {
    const TVLMDataType t = (*slot)->GetDataType();
    type = first ? t : VLMGetCommonDataType(type, t, false);
    first = false;
  }
  if (type == 0) throw EVLMException(30283, "Cannot determine expression type");
  return type;
}

int32_t TVLMExprNodeCase::GetDataSize() {
  const TVLMDataType type = GetDataType();
  int32_t size = 0;
  for (TVLMExprNode** slot : ResultSlots()) {
    if ((*slot)->GetDataType() != type && dynamic_cast<TVLMExprNodeCast*>(*slot) == nullptr) {
      // The result converts to the node's type: a CAST takes its place
      // among the children.
      const int32_t at = IndexOfChild(*slot);
      auto cast = std::make_unique<TVLMExprNodeCast>(std::move(Children[static_cast<size_t>(at)]), nullptr, type);
      *slot = cast.get();
      Children[static_cast<size_t>(at)] = std::move(cast);
    }
    size = std::max(size, (*slot)->GetDataSize());
  }
  return size;
}

// --------------------------------------------------------- TVLMExprNodeBlob

TVLMExprNodeBlob::TVLMExprNodeBlob(std::unique_ptr<TVLMExprNode> text) {
  Operator = kVLMOpMimeToBin;
  AddChild(std::move(text));
}

TVLMVariant& TVLMExprNodeBlob::GetValue() {
  const TVLMVariant& text = Children.at(0)->GetValue();
  Result.Clear(bdtString);
  if (text.IsNull()) return Result;
  const std::string encoded = text.GetAsString();
  std::string bytes =
      qv::TStringFormat_MIME64::Class()->ToStr(encoded.data(), static_cast<int32_t>(encoded.size()));
  if (bytes.empty()) return Result;
  // A text value keeps its terminating zero, so no reader runs past the
  // decoded bytes.
  bytes.push_back('\0');
  Result.SetBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), bdtString, true);
  return Result;
}

// -------------------------------------------------- TVLMExprNodeDateFunction

TVLMExprNodeDateFunction::TVLMExprNodeDateFunction(uint8_t op) : TVLMExprNode(true, false) { Operator = op; }

TVLMExprNodeDateFunction::TVLMExprNodeDateFunction(uint8_t op, std::string_view format,
                                                   std::unique_ptr<TVLMExprNode> argument)
    : TVLMExprNode(true, false), Formater_(std::make_unique<TDateFormater>(format)) {
  Operator = op;
  AddChild(std::move(argument));
}

TVLMExprNodeDateFunction::TVLMExprNodeDateFunction(uint8_t op, std::unique_ptr<TVLMExprNode> argument, uint8_t part)
    : TVLMExprNode(true, false), Part(part) {
  Operator = op;
  AddChild(std::move(argument));
}

TVLMExprNodeDateFunction::~TVLMExprNodeDateFunction() = default;

TVLMVariant& TVLMExprNodeDateFunction::GetValue() {
  switch (Operator) {
    case kVLMOpNow:
      Result.Clear(bdtDateTime);
      Result.SetAsTDateTime(qv::NowLocal());
      break;
    case kVLMOpCurrentDate:
      Result.Clear(bdtDate);
      Result.SetAsTDate(qv::NowLocal());
      break;
    case kVLMOpCurrentTime:
      Result.Clear(bdtTime);
      Result.SetAsTTime(qv::NowLocal());
      break;
    case kVLMOpToDate: {
      Result.Clear(bdtDateTime);
      const TVLMVariant& text = Children.at(0)->GetValue();
      if (text.IsNull()) break;
      const double value = Formater_->StrToDateTime(text.GetAsString());
      // Each value takes the type its text gives: no day is a time, no time
      // of day a date (so midnight of day 0 is a date).
      const double days = std::trunc(value);
      if (value == days) {
        Result.Clear(bdtDate);
        Result.SetAsTDate(value);
      } else if (days == 0) {
        Result.Clear(bdtTime);
        Result.SetAsTTime(value);
      } else {
        Result.SetAsTDateTime(value);
      }
      break;
    }
    case kVLMOpToString: {
      Result.Clear(bdtString);
      const TVLMVariant& value = Children.at(0)->GetValue();
      if (!value.IsNull()) Result.SetAsString(Formater_->DateTimeToStr(value.GetAsTDateTime()));
      break;
    }
    case kVLMOpExtract: {
      Result.Clear(bdtWord);
      const TVLMVariant& value = Children.at(0)->GetValue();
      if (value.IsNull()) break;
      int32_t parts[3] = {0, 0, 0};
      int32_t milliseconds = 0;
      if (Part >= 3)
        qv::DecodeTime(value.GetAsTTime(), parts[0], parts[1], parts[2], milliseconds);
      else
        qv::DecodeDate(value.GetAsTDate(), parts[0], parts[1], parts[2]);
      Result.SetAsWord(static_cast<uint16_t>(parts[Part % 3]));
      break;
    }
    default: UnknownOperator(30130);
  }
  return Result;
}

TVLMDataType TVLMExprNodeDateFunction::GetDataType() {
  switch (Operator) {
    case kVLMOpNow: return dtDateTime;
    case kVLMOpCurrentDate: return dtDate;
    case kVLMOpCurrentTime: return dtTime;
    case kVLMOpToDate: return Formater_->GetDataType();
    case kVLMOpToString: return dtString;
    case kVLMOpExtract: return dtWord;
    default: UnknownOperator(30287);
  }
}

int32_t TVLMExprNodeDateFunction::GetDataSize() {
  return Operator == kVLMOpToString ? Formater_->GetMaxLength() : 0;
}
