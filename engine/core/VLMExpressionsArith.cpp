// The value nodes of arithmetic and text, and the subquery node
// (VLMExpressions.h): TVLMExprNodeArithmetic, TVLMExprNodeStringFunction,
// TVLMExprNodeSubquery.
//
// All arithmetic on values is the value's own (VLMVariant.h: Add, Multiply,
// Divide, Invert with their null rules and errors); these nodes choose the
// operation, the order and the result type.
//
// The numeric functions never store a NaN or an infinity: a stored NaN
// breaks the order of an index and of every sort, so an argument outside a
// function's domain, or a result its type cannot hold, raises instead:
//   20470 ACOS, 20471 ASIN argument outside -1 .. 1
//   20472 LOG argument not above 0, 20473 SQRT argument below 0
//   20474 POWER, 20475 EXP, 20480 ATAN, 20481 COS, 20482 SIN result not a
//         finite number
//   20476 CEIL, 20477 FLOOR, 20478 ROUND (one argument) result outside the
//         32-bit integer range, 20479 ROUND result not a finite number
// Other codes: 30121 unknown arithmetic operator, 30131 unknown string
// function, 20246 / 20247 / 20249 the subquery's field and row counts, 30703
// a subquery node without its SELECT.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCasts.h"
#include "engine/core/VLMD4Routines.h"
#include "engine/core/VLMDecimalRounding.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMMathErrors.h"
#include "engine/core/VLMStrUtils.h"
#include "platform/host/HostVariant.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace {

// ---- RAND's generator: one per process, seeded from the system until a
// caller fixes the seed.

std::mutex& RandomLock() {
  static std::mutex m;
  return m;
}

std::mt19937& RandomEngine() {
  static std::mt19937 engine{std::random_device{}()};
  return engine;
}

// 0 <= r < range; 0 for a range below 1.
int32_t RandomBelow(int32_t range) {
  if (range <= 0) return 0;
  std::lock_guard<std::mutex> guard(RandomLock());
  return std::uniform_int_distribution<int32_t>(0, range - 1)(RandomEngine());
}

const char* FunctionName(uint8_t op) {
  static const char* const kNames[] = {"ABS",  "ACOS", "ASIN",  "ATAN", "CEIL", "COS",  "EXP", "FLOOR",
                                       "LOG",  "POWER", "RAND", "ROUND", "SIGN", "SIN", "SQR", "SQRT"};
  return op >= kVLMOpAbs && op <= kVLMOpSqrt ? kNames[op - kVLMOpAbs] : "unknown";
}

[[noreturn]] void BadArgument(int32_t code, uint8_t op) {
  throw EVLMException(code, "Argument out of range for function '%s'", {FunctionName(op)});
}

[[noreturn]] void BadResult(int32_t code, uint8_t op) {
  throw EVLMException(code, "Result of function '%s' out of range", {FunctionName(op)});
}

// v as a 32-bit integer; false when v is NaN or outside the range.
bool FitsInteger(long double v) {
  return v >= static_cast<long double>(std::numeric_limits<int32_t>::min()) &&
         v <= static_cast<long double>(std::numeric_limits<int32_t>::max());
}

// The rounding mode a ROUND mode word names by its keyword id: HALFEVEN 1
// ... RNDUP 9; any other word 0 (no rounding).
TVLMRoundingMode RoundingModeOf(int32_t keywordId) {
  if (keywordId < kwHALFEVEN || keywordId > kwRNDUP) return drNone;
  return static_cast<TVLMRoundingMode>(keywordId - kwHALFEVEN + drHalfEven);
}

bool IsBlank(char16_t c) { return c <= u' '; }

std::u16string TrimWide(const std::u16string& s, bool left, bool right) {
  size_t a = 0;
  size_t b = s.size();
  if (left)
    while (a < b && IsBlank(s[a])) ++a;
  if (right)
    while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

// v converted to text: ANSI text, or wide text for a wide memo, whose
// characters 8-bit text could not hold.
void ToText(TVLMVariant& v) {
  if (v.IsString()) return;
  v.CastTo(v.DataType == bdtWideMemo ? bdtWideString : bdtString);
}

// Characters of v as text; 0 when null.
int32_t TextLength(const TVLMVariant& source) {
  TVLMVariant text;
  text.Assign(source, true);
  ToText(text);
  return text.IsNull() ? 0 : text.GetStringLength();
}

// Characters [start, start + count) of s, start 1-based; a start below 1
// counts as 1.
template <class Text>
Text SubText(const Text& s, int64_t start, int64_t count) {
  if (start < 1) start = 1;
  if (count <= 0 || start > static_cast<int64_t>(s.size())) return Text();
  return s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count));
}

// The operator and the arguments of a function node (absent ones skipped).
void SetUp(TVLMExprNode& node, uint8_t op, std::unique_ptr<TVLMExprNode> child1, std::unique_ptr<TVLMExprNode> child2,
           std::unique_ptr<TVLMExprNode> child3) {
  node.Operator = op;
  node.AddChild(std::move(child1));
  node.AddChild(std::move(child2));
  node.AddChild(std::move(child3));
}

}  // namespace

void VLMSetRandomSeed(uint32_t seed) {
  std::lock_guard<std::mutex> guard(RandomLock());
  RandomEngine().seed(seed);
}

// --------------------------------------------------- TVLMExprNodeArithmetic

TVLMExprNodeArithmetic::TVLMExprNodeArithmetic(uint8_t op, std::unique_ptr<TVLMExprNode> child1,
                                               std::unique_ptr<TVLMExprNode> child2,
                                               std::unique_ptr<TVLMExprNode> child3) {
  SetUp(*this, op, std::move(child1), std::move(child2), std::move(child3));
}

bool TVLMExprNodeArithmetic::ReadArguments() {
  bool present = true;
  for (size_t i = 0; i < Arguments_.size(); ++i) {
    Arguments_[i] = i < Children.size() ? &Children[i]->GetValue() : nullptr;
    if (Arguments_[i] != nullptr && Arguments_[i]->IsNull()) present = false;
  }
  return present;
}

const TVLMVariant& TVLMExprNodeArithmetic::ArgumentValue(int32_t index) const {
  const TVLMVariant* value = Arguments_.at(static_cast<size_t>(index));
  if (value == nullptr) throw std::out_of_range("function argument missing");
  return *value;
}

double TVLMExprNodeArithmetic::Argument(int32_t index) const { return ArgumentValue(index).GetAsDouble(); }

void TVLMExprNodeArithmetic::SetFloat(double value, int32_t code) {
  if (!std::isfinite(value)) BadResult(code, Operator);
  Result.Clear(bdtFloat);
  Result.SetAsDouble(value);
}

TVLMVariant& TVLMExprNodeArithmetic::GetValue() {
  auto first = [this]() -> const TVLMVariant& { return Children.at(0)->GetValue(); };
  // The functions but ABS and SQR, which follow their argument's type: a
  // null argument makes the result null, as it does for + - * /.
  if (Operator > kVLMOpAbs && Operator <= kVLMOpSqrt && Operator != kVLMOpSqr && !ReadArguments()) {
    Result.Clear(VLMDataTypeToBaseType(GetDataType()));
    return Result;
  }
  switch (Operator) {
    case kVLMOpAdd:
      Result.Assign(first(), true);
      for (size_t i = 1; i < Children.size(); ++i) Result.Add(Children[i]->GetValue());
      break;
    case kVLMOpNegate:
      Result.Assign(first(), true);
      Result.Invert();
      break;
    case kVLMOpMultiply:
      Result.Assign(first(), true);
      for (size_t i = 1; i < Children.size(); ++i) Result.Multiply(Children[i]->GetValue());
      break;
    case kVLMOpDivide:
      Result.Assign(first(), true);
      for (size_t i = 1; i < Children.size(); ++i) Result.Divide(Children[i]->GetValue());
      break;
    case kVLMOpAbs: {
      const TVLMVariant& v = first();
      if (v.IsNull()) {
        Result.Clear(v.DataType);
        break;
      }
      // Through the host's variant, whose type the result takes.
      qv::HostVariant host;
      v.GetAsVariant(host);
      Result.Clear();
      Result.SetAsVariant(host);
      TVLMVariant zero(bdtInteger);
      zero.SetAsInteger(0);
      if (Result.Compare(zero) == kVLMCompareLess) Result.Invert();
      break;
    }
    case kVLMOpAcos:
    case kVLMOpAsin: {
      const double x = Argument(0);
      if (!(x >= -1.0 && x <= 1.0)) BadArgument(Operator == kVLMOpAcos ? 20470 : 20471, Operator);
      SetFloat(Operator == kVLMOpAcos ? std::acos(x) : std::asin(x), Operator == kVLMOpAcos ? 20470 : 20471);
      break;
    }
    case kVLMOpAtan: SetFloat(std::atan2(Argument(0), 1.0), 20480); break;
    case kVLMOpCos: SetFloat(std::cos(Argument(0)), 20481); break;
    case kVLMOpSin: SetFloat(std::sin(Argument(0)), 20482); break;
    case kVLMOpExp: SetFloat(std::exp(Argument(0)), 20475); break;
    case kVLMOpLog: {
      const double x = Argument(0);
      if (!(x > 0.0)) BadArgument(20472, Operator);
      SetFloat(std::log(x), 20472);
      break;
    }
    case kVLMOpSqrt: {
      const double x = Argument(0);
      if (!(x >= 0.0)) BadArgument(20473, Operator);
      SetFloat(std::sqrt(x), 20473);
      break;
    }
    case kVLMOpPower: {
      const double x = Argument(0);
      SetFloat(std::pow(x, Argument(1)), 20474);
      break;
    }
    case kVLMOpCeil:
    case kVLMOpFloor: {
      const double x = Argument(0);
      const double r = Operator == kVLMOpCeil ? std::ceil(x) : std::floor(x);
      if (!FitsInteger(r)) BadResult(Operator == kVLMOpCeil ? 20476 : 20477, Operator);
      Result.Clear(bdtInteger);
      Result.SetAsInteger(static_cast<int32_t>(r));
      break;
    }
    case kVLMOpRand: {
      const int32_t range = ArgumentValue(0).GetAsInteger();
      Result.Clear(bdtInteger);
      Result.SetAsInteger(RandomBelow(range));
      break;
    }
    case kVLMOpRound: Round(); break;
    case kVLMOpSign: {
      const int32_t sign = VLMSign(Argument(0));
      Result.Clear(bdtInteger);
      Result.SetAsInteger(sign);
      break;
    }
    case kVLMOpSqr:
      Result.Assign(first(), true);
      Result.Multiply(first());
      break;
    default: UnknownOperator(30121);
  }
  return Result;
}

void TVLMExprNodeArithmetic::Round() {
  const double x = Argument(0);
  if (ChildCount() == 1) {
    const long double r = std::nearbyint(VLMRoundDecimal(x, 0, drHalfEven));
    if (!FitsInteger(r)) BadResult(20478, Operator);
    Result.Clear(bdtInteger);
    Result.SetAsInteger(static_cast<int32_t>(r));
    return;
  }
  const int32_t digits = ArgumentValue(1).GetAsInteger();
  const TVLMRoundingMode mode = ChildCount() > 2 ? RoundingModeOf(ArgumentValue(2).GetAsInteger()) : drHalfEven;
  const long double r = VLMRoundDecimal(x, digits, mode);
  // The extended result may lie beyond what a double holds.
  if (!(std::fabs(r) <= static_cast<long double>(DBL_MAX))) BadResult(20479, Operator);
  SetFloat(static_cast<double>(r), 20479);
}

TVLMDataType TVLMExprNodeArithmetic::GetDataType() {
  switch (Operator) {
    case kVLMOpAbs:
    case kVLMOpSqr: return Children.empty() ? 0 : Children[0]->GetDataType();
    case kVLMOpCeil:
    case kVLMOpFloor:
    case kVLMOpRand:
    case kVLMOpSign: return dtInteger;
    case kVLMOpRound: return ChildCount() == 1 ? dtInteger : dtFloat;
    default:
      if (Operator > kVLMOpAbs && Operator <= kVLMOpSqrt) return dtFloat;
      return TVLMExprNode::GetDataType();
  }
}

// ----------------------------------------------- TVLMExprNodeStringFunction

TVLMExprNodeStringFunction::TVLMExprNodeStringFunction(uint8_t op, std::unique_ptr<TVLMExprNode> child1,
                                                       std::unique_ptr<TVLMExprNode> child2,
                                                       std::unique_ptr<TVLMExprNode> child3) {
  SetUp(*this, op, std::move(child1), std::move(child2), std::move(child3));
}

bool TVLMExprNodeStringFunction::PrepareText() {
  Result.Assign(Children.at(0)->GetValue(), true);
  ToText(Result);
  return !Result.IsNull();
}

TVLMVariant& TVLMExprNodeStringFunction::GetValue() {
  switch (Operator) {
    case kVLMOpConcat: {
      // A null part counts as the empty text, first or later; the result is
      // null only when every part is.
      PrepareText();
      TVLMVariant text;
      for (size_t i = 1; i < Children.size(); ++i) {
        const TVLMVariant& part = Children[i]->GetValue();
        if (part.IsNull() || part.IsString()) {
          Result.Add(part);
          continue;
        }
        text.Assign(part, true);
        ToText(text);
        Result.Add(text);
      }
      break;
    }
    case kVLMOpUpper:
    case kVLMOpLower: {
      if (!PrepareText()) break;
      const bool upper = Operator == kVLMOpUpper;
      if (Result.IsWideString()) {
        const std::u16string text = Result.GetAsWideString();
        Result.SetAsWideString(upper ? VLMWideUpperCase(text) : VLMWideLowerCase(text));
      } else {
        const std::string text = Result.GetAsString();
        Result.SetAsString(upper ? qv::UpperCase1252(text) : qv::LowerCase1252(text));
      }
      break;
    }
    case kVLMOpTrim:
    case kVLMOpLTrim:
    case kVLMOpRTrim: {
      if (!PrepareText()) break;
      const bool left = Operator != kVLMOpRTrim;
      const bool right = Operator != kVLMOpLTrim;
      // Wide text is trimmed as wide text: through 8-bit text it would lose
      // every character code page 1252 lacks.
      if (Result.IsWideString()) {
        Result.SetAsWideString(TrimWide(Result.GetAsWideString(), left, right));
      } else {
        const std::string text = Result.GetAsString();
        Result.SetAsString(left && right ? qv::Trim(text) : left ? qv::TrimLeft(text) : qv::TrimRight(text));
      }
      break;
    }
    case kVLMOpLength: {
      const int32_t length = TextLength(Children.at(0)->GetValue());
      Result.Clear(bdtInteger);
      Result.SetAsInteger(length);
      break;
    }
    case kVLMOpPos: {
      TVLMVariant needle;
      TVLMVariant text;
      needle.Assign(Children.at(0)->GetValue(), true);
      text.Assign(Children.at(1)->GetValue(), true);
      ToText(needle);
      ToText(text);
      size_t at = std::string::npos;
      if (needle.IsWideString() || text.IsWideString()) {
        const std::u16string n = needle.GetAsWideString();
        if (!n.empty()) at = text.GetAsWideString().find(n);
      } else {
        const std::string n = needle.GetAsString();
        if (!n.empty()) at = text.GetAsString().find(n);
      }
      Result.Clear(bdtInteger);
      Result.SetAsInteger(at == std::string::npos ? 0 : static_cast<int32_t>(at) + 1);
      break;
    }
    case kVLMOpSubstring: {
      const int32_t start = Children.at(1)->GetValue().GetAsInteger();
      const int32_t count =
          ChildCount() > 2 ? Child(2)->GetValue().GetAsInteger() : TextLength(Children[0]->GetValue());
      if (!PrepareText()) break;
      if (Result.IsWideString())
        Result.SetAsWideString(SubText(Result.GetAsWideString(), start, count));
      else
        Result.SetAsString(SubText(Result.GetAsString(), start, count));
      break;
    }
    default: UnknownOperator(30131);
  }
  return Result;
}

TVLMDataType TVLMExprNodeStringFunction::GetDataType() {
  switch (Operator) {
    case kVLMOpLength:
    case kVLMOpPos: return dtInteger;
    case kVLMOpConcat: return TVLMExprNode::GetDataType();
    default: {
      const TVLMDataType type = Children.at(0)->GetDataType();
      if (VLMIsStringDataType(type)) return type;
      const TVLMBaseDataType base = VLMDataTypeToBaseType(type);
      if (base == bdtMemo) return dtString;
      if (base == bdtWideMemo) return dtWideString;
      return type;
    }
  }
}

int32_t TVLMExprNodeStringFunction::GetDataSize() {
  switch (Operator) {
    case kVLMOpConcat: {
      const TVLMDataType type = GetDataType();
      int64_t sum = 0;
      for (auto& child : Children) {
        // Fixes the conversion of each operand to the result's type.
        if (child->GetDataType() != type && dynamic_cast<TVLMExprNodeCast*>(child.get()) == nullptr)
          child = std::make_unique<TVLMExprNodeCast>(std::move(child), nullptr, type);
        sum += child->GetDataSize();
        if (sum > std::numeric_limits<int32_t>::max() || sum < std::numeric_limits<int32_t>::min())
          throw EIntOverflow();
      }
      return static_cast<int32_t>(sum);
    }
    case kVLMOpUpper:
    case kVLMOpLower:
    case kVLMOpTrim:
    case kVLMOpLTrim:
    case kVLMOpRTrim: return Children.at(0)->GetDataSize();
    case kVLMOpSubstring: {
      const int32_t size = Children.at(0)->GetDataSize();
      if (size != 0) return size;
      if (!VLMIsStringDataType(GetDataType())) return 0;
      return ChildCount() > 2 ? Child(2)->GetValue().GetAsInteger() : 4096;
    }
    default: return 0;
  }
}

// ----------------------------------------------------- TVLMExprNodeSubquery

TVLMExprNodeSubquery::TVLMExprNodeSubquery(std::unique_ptr<TVLMSubquery> subquery, bool singleField,
                                           bool singleRow)
    : SingleField(singleField), SingleRow(singleRow), Subquery_(std::move(subquery)) {}

template <class Action>
auto TVLMExprNodeSubquery::Run(Action action) {
  if (!Subquery_) throw EVLMException(30703, "Subquery node without its SELECT");
  std::unique_ptr<TVLMSubqueryResult> rows = Subquery_->Open(OuterOperand_, OuterCursor_, OuterRecordBuffer_);
  if (SingleField && rows->GetFieldCount() != 1)
    throw EVLMException(20246, "Subquery must have only one result field, but subquery's FieldCount=%d",
                        {rows->GetFieldCount()});
  if (SingleRow) {
    rows->First();
    if (rows->Eof()) throw EVLMException(20249, "Subquery must have one row, but it contains 0 rows");
    rows->Next();
    if (!rows->Eof()) throw EVLMException(20247, "Subquery must have only one row");
  }
  return action(*rows);
}

TVLMVariant& TVLMExprNodeSubquery::GetValue() {
  Run([this](TVLMSubqueryResult& rows) {
    rows.First();
    Result.Clear();
    RowValues_.clear();
    if (rows.Eof()) return 0;
    // The rows go away with the run: the values are copied.
    TVLMVariant value;
    rows.GetFirstFieldValue(value);
    Result.Assign(value, true);
    if (SingleField) return 0;
    for (int32_t i = 0; i < rows.GetFieldCount(); ++i) {
      value.Clear();
      rows.GetFieldValue(i, value);
      RowValues_.push_back(std::make_unique<TVLMVariant>());
      RowValues_.back()->Assign(value, true);
    }
    return 0;
  });
  return Result;
}

TVLMVariant* TVLMExprNodeSubquery::GetValueByIndex(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= RowValues_.size()) return nullptr;
  return RowValues_[static_cast<size_t>(index)].get();
}

void TVLMExprNodeSubquery::LoadValues() {
  Run([this](TVLMSubqueryResult& rows) {
    size_t count = 0;
    TVLMVariant value;
    for (rows.First(); !rows.Eof(); rows.Next()) {
      if (count == LoadedValues_.size()) LoadedValues_.push_back(std::make_unique<TVLMVariant>());
      value.Clear();
      rows.GetFirstFieldValue(value);
      LoadedValues_[count++]->Assign(value, true);
    }
    LoadedValues_.resize(count);
    return 0;
  });
}

TVLMVariant* TVLMExprNodeSubquery::GetLoadedValue(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= LoadedValues_.size()) return nullptr;
  return LoadedValues_[static_cast<size_t>(index)].get();
}

void TVLMExprNodeSubquery::BindToOperands(TVLMQueryOperator* operand1, TVLMQueryOperator*, TVLMCursor*) {
  OuterOperand_ = operand1;
}

void TVLMExprNodeSubquery::BindToCursor(TVLMCursor* cursor1, TVLMQueryOperator*, TVLMCursor*) {
  OuterCursor_ = cursor1;
  OuterRecordBuffer_ = cursor1 != nullptr ? cursor1->RecordBuffer : nullptr;
}

void TVLMExprNodeSubquery::SetRecordBuffer(uint8_t* buffer, bool) { OuterRecordBuffer_ = buffer; }

bool TVLMExprNodeSubquery::ResolveFields(TVLMQueryOperator* operand1, TVLMQueryOperator*, bool,
                                         TVLMCursor* cursor) {
  return !IsCorrelated() || Subquery_->ResolvesOuterReferences(operand1, cursor);
}

TVLMDataType TVLMExprNodeSubquery::GetDataType() {
  const TVLMDataType type = Subquery_ ? Subquery_->GetFieldDataType() : 0;
  if (type == 0) throw EVLMException(30283, "Cannot determine expression type");
  return type;
}

int32_t TVLMExprNodeSubquery::GetDataSize() { return Subquery_ ? Subquery_->GetFieldDataSize() : 0; }

bool TVLMExprNodeSubquery::HasRows() {
  // The first row answers: the rest are never looked for. Without a check
  // of the result's shape the SELECT answers itself.
  if (Subquery_ && !SingleField && !SingleRow)
    return Subquery_->HasRows(OuterOperand_, OuterCursor_, OuterRecordBuffer_);
  return Run([](TVLMSubqueryResult& rows) {
    rows.First();
    return !rows.Eof();
  });
}

bool TVLMExprNodeSubquery::ContainsValue(const TVLMVariant& value) {
  // The rows of a subquery that refers to no outer row are the same for
  // every outer row, so the last answer holds for an equal value.
  const bool correlated = IsCorrelated();
  if (!correlated && LastValid_ && value.Compare(LastTested_) == kVLMCompareEqual) return LastAnswer_;
  const bool found = Run([&value](TVLMSubqueryResult& rows) { return rows.Locate(value); });
  if (!correlated) {
    LastTested_.Assign(value, true);
    LastAnswer_ = found;
    LastValid_ = true;
  }
  return found;
}

bool TVLMExprNodeSubquery::CompareQuantified(uint8_t op, uint8_t quantifier, const TVLMVariant& value) {
  return Run([&](TVLMSubqueryResult& rows) {
    rows.First();
    return VLMCompareQuantified(op, quantifier, rows.Eof(),
                                [&](uint8_t searchOp) { return rows.FindRow(searchOp, value); });
  });
}
