#include "platform/dataset/Fields.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/CodePage.h"
#include "platform/host/HostVariant.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/Stream.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace qv {

namespace {

// Sizes beyond these cannot be laid out in a record buffer.
constexpr int32_t kMaxFieldSize = 1 << 28;
constexpr int32_t kMaxVarBytesSize = 65535;  // the length prefix is 16 bits

std::string trimmed(std::string_view s) { return Trim(s); }

// Round half to even, as the host rounds floats to integers.
double roundHalfEven(double value) { return std::nearbyint(value); }

}  // namespace

std::string FieldTypeName(TFieldType type) {
  static constexpr const char* kNames[kFieldTypeCount] = {
      "Unknown",  "String",      "SmallInt",  "Integer", "Word",       "Boolean",   "Float",   "Currency",
      "BCD",      "Date",        "Time",      "DateTime", "Bytes",     "VarBytes",  "AutoInc", "Blob",
      "Memo",     "Graphic",     "FmtMemo",   "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor", "FixedChar",
      "WideString", "LargeInt",  "ADT",       "Array",   "Reference",  "DataSet",   "OraBlob", "OraClob",
      "Variant",  "Interface",   "IDispatch", "Guid",    "TimeStamp",  "FMTBcd"};
  if (type < 0 || type >= kFieldTypeCount) return "Unknown";
  return kNames[type];
}

// ---------------------------------------------------------------- Field

Field::Field(TFieldType dataType, int32_t defaultSize) : DataType_(dataType), Size_(defaultSize) {}

Field::~Field() = default;

void Field::SetFieldName(std::string_view name) {
  if (name == FieldName_) return;
  if (DataSet_ != nullptr) {
    DataSet_->CheckInactive();
    Field* other = DataSet_->FindField(name);
    if (!name.empty() && other != nullptr && other != this) {
      DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {std::string(name)}, DataSet_);
    }
  }
  FieldName_ = std::string(name);
}

void Field::SetFieldKind(TFieldKind kind) {
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  FieldKind_ = kind;
}

bool Field::IsSizedType() const {
  switch (DataType_) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftBytes:
    case ftVarBytes:
      return true;
    default:
      return IsBlobType(DataType_);
  }
}

void Field::SetSize(int32_t size) {
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  bool valid;
  if (DataType_ == ftGuid) {
    valid = size == kGuidSize;
  } else if (!IsSizedType()) {
    valid = size == 0;
  } else {
    valid = size >= 0 && size <= (DataType_ == ftVarBytes ? kMaxVarBytesSize : kMaxFieldSize);
  }
  if (!valid) DatabaseError(dbmsg::SInvalidFieldSize);
  Size_ = size;
}

int32_t Field::GetDataSize() const { return FieldDataSize(DataType_, Size_); }

int32_t Field::Index() const { return DataSet_ != nullptr ? DataSet_->GetFields().IndexOf(this) : -1; }

bool Field::CanModify() const {
  return !ReadOnly_ && DataSet_ != nullptr && (FieldKind_ == fkData || FieldKind_ == fkLookup) &&
         DataSet_->CanModify();
}

bool Field::IsIndexField() const { return DataSet_ != nullptr && DataSet_->GetIsIndexField(const_cast<Field*>(this)); }

void Field::SetLookupDataSet(DataSet* dataSet) {
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  LookupDataSet_ = dataSet;
  // The owning dataset forgets the lookup dataset when it is destroyed.
  if (dataSet != nullptr && DataSet_ != nullptr && dataSet != DataSet_) dataSet->FreeNotification(DataSet_);
}

std::string Field::AsString() const { AccessError("String"); }
void Field::SetAsString(std::string_view) { AccessError("String"); }
std::u16string Field::AsWideString() const { return Cp1252ToUtf16(AsString()); }
void Field::SetAsWideString(std::u16string_view value) { SetAsString(Utf16ToCp1252(value)); }
int32_t Field::AsInteger() const { AccessError("Integer"); }
void Field::SetAsInteger(int32_t) { AccessError("Integer"); }
int64_t Field::AsLargeInt() const { AccessError("LargeInt"); }
void Field::SetAsLargeInt(int64_t) { AccessError("LargeInt"); }
double Field::AsFloat() const { AccessError("Float"); }
void Field::SetAsFloat(double) { AccessError("Float"); }
bool Field::AsBoolean() const { AccessError("Boolean"); }
void Field::SetAsBoolean(bool) { AccessError("Boolean"); }
double Field::AsDateTime() const { AccessError("DateTime"); }
void Field::SetAsDateTime(double) { AccessError("DateTime"); }
HostVariant Field::GetAsVariant() const { AccessError("Variant"); }
void Field::SetVarValue(const HostVariant&) { AccessError("Variant"); }

HostVariant Field::AsVariant() const {
  if (IsNull()) return HostVariant::Null();
  return GetAsVariant();
}

void Field::SetAsVariant(const HostVariant& value) {
  if (value.IsClear()) {
    Clear();
  } else {
    SetVarValue(value);
  }
}

HostVariant Field::Value() const { return AsVariant(); }
void Field::SetValue(const HostVariant& value) { SetAsVariant(value); }

bool Field::IsNull() const { return !GetData(nullptr); }

void Field::Clear() { SetData(nullptr); }

void Field::Assign(const Field* source) {
  if (source == nullptr || source->IsNull()) {
    Clear();
  } else {
    SetAsVariant(source->AsVariant());
  }
}

bool Field::GetData(void* buffer, bool nativeFormat) const {
  if (DataSet_ == nullptr) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
  return DataSet_->GetFieldData(const_cast<Field*>(this), buffer, nativeFormat);
}

void Field::SetData(void* buffer, bool nativeFormat) {
  if (DataSet_ == nullptr) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
  DataSet_->SetFieldData(this, buffer, nativeFormat);
}

void Field::Validate(void* buffer) {
  if (!OnValidate) return;
  Validating_ = true;
  ValueBuffer_ = buffer;
  auto done = ScopeExit([this] {
    Validating_ = false;
    ValueBuffer_ = nullptr;
  });
  OnValidate(*this);
}

void Field::AccessError(std::string_view typeName) const {
  DatabaseErrorFmt(dbmsg::SFieldAccessError, {DisplayName(), typeName});
}

void Field::RangeError(double value, double min, double max) const {
  DatabaseErrorFmt(dbmsg::SFieldRangeError, {value, DisplayName(), min, max});
}

void Field::InvalidValue(std::string_view message, std::string_view text) const {
  DatabaseErrorFmt(message, {text, DisplayName()});
}

// ---------------------------------------------------------------- StringField

StringField::StringField() : Field(ftString, 20) {}
StringField::StringField(TFieldType dataType, int32_t defaultSize) : Field(dataType, defaultSize) {}

std::string StringField::AsString() const {
  const auto size = static_cast<size_t>(DataSize());
  char local[256];
  std::string heap;
  char* buffer = local;
  if (size > sizeof local) {
    heap.resize(size);
    buffer = heap.data();
  }
  if (size == 0) return std::string();
  std::memset(buffer, 0, size);
  if (!GetData(buffer)) return std::string();
  // Up to the terminator, the last byte excluded (it holds one).
  return std::string(buffer, ::strnlen(buffer, size - 1));
}

void StringField::SetAsString(std::string_view value) {
  const auto size = static_cast<size_t>(DataSize());
  std::string buffer(size, '\0');
  size_t n = std::min(value.size(), size - 1);
  size_t zero = value.substr(0, n).find('\0');
  if (zero != std::string_view::npos) n = zero;
  std::memcpy(buffer.data(), value.data(), n);
  SetData(buffer.data());
}

int32_t StringField::AsInteger() const { return StrToInt(AsString()); }
void StringField::SetAsInteger(int32_t value) { SetAsString(IntToStr(value)); }
int64_t StringField::AsLargeInt() const { return StrToInt64(AsString()); }
void StringField::SetAsLargeInt(int64_t value) { SetAsString(IntToStr(value)); }
double StringField::AsFloat() const { return StrToFloat(AsString()); }
void StringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }

bool StringField::AsBoolean() const {
  std::string s = AsString();
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

void StringField::SetAsBoolean(bool value) {
  SetAsString(value ? dbmsg::STextTrue.substr(0, 1) : dbmsg::STextFalse.substr(0, 1));
}

double StringField::AsDateTime() const { return StrToDateTime(AsString()); }
void StringField::SetAsDateTime(double value) { SetAsString(DateTimeToStr(value)); }
HostVariant StringField::GetAsVariant() const { return HostVariant(AsString()); }
void StringField::SetVarValue(const HostVariant& value) { SetAsString(value.AsString()); }

GuidField::GuidField() : StringField(ftGuid, kGuidSize) {}

// ---------------------------------------------------------------- WideStringField

WideStringField::WideStringField() : Field(ftWideString, 20) {}

std::u16string WideStringField::AsWideString() const {
  std::u16string value;
  if (!GetData(&value, false)) return std::u16string();
  return value;
}

void WideStringField::SetAsWideString(std::u16string_view value) {
  std::u16string text(value);
  SetData(&text, false);
}

std::string WideStringField::AsString() const { return Utf16ToCp1252(AsWideString()); }
void WideStringField::SetAsString(std::string_view value) { SetAsWideString(Cp1252ToUtf16(value)); }
HostVariant WideStringField::GetAsVariant() const { return HostVariant(AsWideString()); }
void WideStringField::SetVarValue(const HostVariant& value) { SetAsWideString(value.AsWideString()); }

// ---------------------------------------------------------------- IntegerField

IntegerField::IntegerField()
    : IntegerField(ftInteger, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()) {}

IntegerField::IntegerField(TFieldType dataType, int64_t minRange, int64_t maxRange)
    : Field(dataType, 0), MinRange_(minRange), MaxRange_(maxRange) {}

SmallintField::SmallintField() : IntegerField(ftSmallint, -32768, 32767) {}
WordField::WordField() : IntegerField(ftWord, 0, 65535) {}
AutoIncField::AutoIncField()
    : IntegerField(ftAutoInc, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()) {}
LargeintField::LargeintField()
    : IntegerField(ftLargeint, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()) {}

bool IntegerField::getValue(int64_t& value) const {
  switch (DataType()) {
    case ftSmallint: {
      int16_t v = 0;
      if (!GetData(&v)) return false;
      value = v;
      return true;
    }
    case ftWord: {
      uint16_t v = 0;
      if (!GetData(&v)) return false;
      value = v;
      return true;
    }
    case ftLargeint: {
      int64_t v = 0;
      if (!GetData(&v)) return false;
      value = v;
      return true;
    }
    default: {
      int32_t v = 0;
      if (!GetData(&v)) return false;
      value = v;
      return true;
    }
  }
}

void IntegerField::setValue(int64_t value) {
  if (value < MinRange_ || value > MaxRange_) {
    RangeError(static_cast<double>(value), static_cast<double>(MinRange_), static_cast<double>(MaxRange_));
  }
  switch (DataType()) {
    case ftSmallint: {
      auto v = static_cast<int16_t>(value);
      SetData(&v);
      break;
    }
    case ftWord: {
      auto v = static_cast<uint16_t>(value);
      SetData(&v);
      break;
    }
    case ftLargeint: {
      SetData(&value);
      break;
    }
    default: {
      auto v = static_cast<int32_t>(value);
      SetData(&v);
      break;
    }
  }
}

std::string IntegerField::AsString() const {
  int64_t value;
  return getValue(value) ? IntToStr(value) : std::string();
}

void IntegerField::SetAsString(std::string_view value) {
  std::string text = trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  int64_t number;
  if (!TryStrToInt64(text, number)) InvalidValue(dbmsg::SInvalidIntegerValue, value);
  setValue(number);
}

int32_t IntegerField::AsInteger() const {
  int64_t value;
  if (!getValue(value)) return 0;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    RangeError(static_cast<double>(value), std::numeric_limits<int32_t>::min(),
               std::numeric_limits<int32_t>::max());
  }
  return static_cast<int32_t>(value);
}

void IntegerField::SetAsInteger(int32_t value) { setValue(value); }

int64_t IntegerField::AsLargeInt() const {
  int64_t value;
  return getValue(value) ? value : 0;
}

void IntegerField::SetAsLargeInt(int64_t value) { setValue(value); }

double IntegerField::AsFloat() const { return static_cast<double>(AsLargeInt()); }

void IntegerField::SetAsFloat(double value) {
  if (!std::isfinite(value)) InvalidValue(dbmsg::SInvalidIntegerValue, FloatToStr(value));
  double rounded = roundHalfEven(value);
  // 2^63 is the first double past the int64 range.
  if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) {
    RangeError(value, static_cast<double>(MinRange_), static_cast<double>(MaxRange_));
  }
  setValue(static_cast<int64_t>(rounded));
}

HostVariant IntegerField::GetAsVariant() const {
  int64_t value = AsLargeInt();
  switch (DataType()) {
    case ftSmallint:
      return HostVariant(static_cast<int16_t>(value));
    case ftLargeint:
      return HostVariant(static_cast<long long>(value));
    default:
      return HostVariant(static_cast<int32_t>(value));
  }
}

void IntegerField::SetVarValue(const HostVariant& value) { setValue(value.AsInt64()); }

// ---------------------------------------------------------------- FloatField

FloatField::FloatField() : Field(ftFloat, 0) {}
FloatField::FloatField(TFieldType dataType) : Field(dataType, 0) {}
CurrencyField::CurrencyField() : FloatField(ftCurrency) {}

double FloatField::AsFloat() const {
  double value = 0;
  return GetData(&value) ? value : 0.0;
}

void FloatField::SetAsFloat(double value) {
  if (!std::isfinite(value)) InvalidValue(dbmsg::SInvalidFloatValue, FloatToStr(value));
  SetData(&value);
}

std::string FloatField::AsString() const {
  double value = 0;
  return GetData(&value) ? FloatToStr(value) : std::string();
}

void FloatField::SetAsString(std::string_view value) {
  std::string text = trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  double number;
  if (!TryStrToFloat(text, number)) InvalidValue(dbmsg::SInvalidFloatValue, value);
  SetAsFloat(number);
}

int32_t FloatField::AsInteger() const {
  double value = roundHalfEven(AsFloat());
  if (!(value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max())) {
    RangeError(AsFloat(), std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  }
  return static_cast<int32_t>(value);
}

void FloatField::SetAsInteger(int32_t value) { SetAsFloat(value); }

int64_t FloatField::AsLargeInt() const {
  double value = roundHalfEven(AsFloat());
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
    RangeError(AsFloat(), -9223372036854775808.0, 9223372036854775807.0);
  }
  return static_cast<int64_t>(value);
}

void FloatField::SetAsLargeInt(int64_t value) { SetAsFloat(static_cast<double>(value)); }
HostVariant FloatField::GetAsVariant() const { return HostVariant(AsFloat()); }
void FloatField::SetVarValue(const HostVariant& value) { SetAsFloat(value.AsDouble()); }

// ---------------------------------------------------------------- BooleanField

BooleanField::BooleanField()
    : Field(ftBoolean, 0), TrueText_(dbmsg::STextTrue), FalseText_(dbmsg::STextFalse) {}

bool BooleanField::AsBoolean() const {
  int16_t value = 0;
  return GetData(&value) && value != 0;
}

void BooleanField::SetAsBoolean(bool value) {
  int16_t data = value ? -1 : 0;  // stored as FF FF for true
  SetData(&data);
}

std::string BooleanField::AsString() const {
  int16_t value = 0;
  if (!GetData(&value)) return std::string();
  return value != 0 ? TrueText_ : FalseText_;
}

void BooleanField::SetAsString(std::string_view value) {
  if (value.empty()) {
    if (FalseText_.empty()) {
      SetAsBoolean(false);
    } else if (TrueText_.empty()) {
      SetAsBoolean(true);
    } else {
      Clear();
    }
    return;
  }
  auto startsText = [&](const std::string& text) {
    return value.size() <= text.size() && CompareText1252(value, std::string_view(text).substr(0, value.size()), true) == 0;
  };
  if (startsText(FalseText_)) {
    SetAsBoolean(false);
  } else if (startsText(TrueText_)) {
    SetAsBoolean(true);
  } else {
    InvalidValue(dbmsg::SInvalidBoolValue, value);
  }
}

void BooleanField::SetDisplayValues(std::string_view values) {
  DisplayValues_ = std::string(values);
  if (values.empty()) {
    TrueText_ = std::string(dbmsg::STextTrue);
    FalseText_ = std::string(dbmsg::STextFalse);
    return;
  }
  size_t semicolon = values.find(';');
  if (semicolon == std::string_view::npos) {
    TrueText_ = std::string(values);
    FalseText_.clear();
  } else {
    TrueText_ = std::string(values.substr(0, semicolon));
    FalseText_ = std::string(values.substr(semicolon + 1));
  }
}

HostVariant BooleanField::GetAsVariant() const { return HostVariant(AsBoolean()); }
void BooleanField::SetVarValue(const HostVariant& value) { SetAsBoolean(value.AsBoolean()); }

// ---------------------------------------------------------------- DateTimeField

DateTimeField::DateTimeField() : Field(ftDateTime, 0) {}
DateTimeField::DateTimeField(TFieldType dataType) : Field(dataType, 0) {}
DateField::DateField() : DateTimeField(ftDate) {}
TimeField::TimeField() : DateTimeField(ftTime) {}

double DateTimeField::AsDateTime() const {
  double value = 0;
  return GetData(&value, false) ? value : 0.0;
}

void DateTimeField::SetAsDateTime(double value) { SetData(&value, false); }
double DateTimeField::AsFloat() const { return AsDateTime(); }
void DateTimeField::SetAsFloat(double value) { SetAsDateTime(value); }

std::string DateTimeField::AsString() const {
  double value = 0;
  if (!GetData(&value, false)) return std::string();
  switch (DataType()) {
    case ftDate:
      return DateToStr(value);
    case ftTime:
      return TimeToStr(value);
    default:
      return DateTimeToStr(value);
  }
}

void DateTimeField::SetAsString(std::string_view value) {
  std::string text = trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  switch (DataType()) {
    case ftDate:
      SetAsDateTime(StrToDate(text));
      break;
    case ftTime:
      SetAsDateTime(StrToTime(text));
      break;
    default:
      SetAsDateTime(StrToDateTime(text));
      break;
  }
}

HostVariant DateTimeField::GetAsVariant() const { return HostVariant::FromDateTime(AsDateTime()); }
void DateTimeField::SetVarValue(const HostVariant& value) { SetAsDateTime(value.AsDateTime()); }

// ---------------------------------------------------------------- BinaryField

BinaryField::BinaryField(TFieldType dataType, int32_t defaultSize) : Field(dataType, defaultSize) {}
BytesField::BytesField() : BinaryField(ftBytes, 16) {}
VarBytesField::VarBytesField() : BinaryField(ftVarBytes, 16) {}

std::string BinaryField::AsString() const {
  std::string buffer(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(buffer.data())) return std::string();
  if (DataType() == ftVarBytes) {
    uint16_t length;
    std::memcpy(&length, buffer.data(), sizeof length);
    size_t n = std::min<size_t>(length, static_cast<size_t>(Size()));
    return buffer.substr(kVarBytesLengthSize, n);
  }
  return buffer;
}

void BinaryField::SetAsString(std::string_view value) {
  std::string buffer(static_cast<size_t>(DataSize()), '\0');
  size_t n = std::min(value.size(), static_cast<size_t>(Size()));
  if (DataType() == ftVarBytes) {
    auto length = static_cast<uint16_t>(n);
    std::memcpy(buffer.data(), &length, sizeof length);
    std::memcpy(buffer.data() + kVarBytesLengthSize, value.data(), n);
  } else {
    std::memcpy(buffer.data(), value.data(), n);
  }
  SetData(buffer.data());
}

HostVariant BinaryField::GetAsVariant() const {
  std::string bytes = AsString();
  if (bytes.empty()) return HostVariant(std::string());
  HostVariant result = HostVariant::CreateArray({0, static_cast<int32_t>(bytes.size()) - 1}, varByte);
  for (size_t i = 0; i < bytes.size(); ++i) {
    result.PutElement({static_cast<int32_t>(i)}, HostVariant(static_cast<uint8_t>(bytes[i])));
  }
  return result;
}

void BinaryField::SetVarValue(const HostVariant& value) {
  if (!value.IsArray()) {
    SetAsString(value.AsString());
    return;
  }
  std::string bytes;
  for (int32_t i = value.ArrayLowBound(1); i <= value.ArrayHighBound(1); ++i) {
    int32_t b = value.GetElement({i}).AsInteger();
    if (b < 0 || b > 255) DatabaseErrorFmt(dbmsg::SFieldValueError, {DisplayName()});
    bytes.push_back(static_cast<char>(b));
  }
  SetAsString(bytes);
}

// ---------------------------------------------------------------- BlobField

BlobField::BlobField(TFieldType dataType) : Field(dataType, 0) {}
MemoField::MemoField() : BlobField(ftMemo) {}
GraphicField::GraphicField() : BlobField(ftGraphic) {}

std::string BlobField::AsString() const {
  DataSet* dataSet = GetDataSet();
  if (dataSet == nullptr) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
  std::unique_ptr<Stream> stream = dataSet->CreateBlobStream(const_cast<BlobField*>(this), bmRead);
  if (!stream) return std::string();
  int64_t size = stream->Size();
  std::string result(static_cast<size_t>(size), '\0');
  stream->SetPosition(0);
  if (size > 0) stream->ReadBuffer(result.data(), size);
  return result;
}

void BlobField::SetAsString(std::string_view value) {
  DataSet* dataSet = GetDataSet();
  if (dataSet == nullptr) DatabaseErrorFmt(dbmsg::SDataSetMissing, {DisplayName()});
  std::unique_ptr<Stream> stream = dataSet->CreateBlobStream(this, bmWrite);
  if (!stream) AccessError("String");
  if (!value.empty()) stream->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

std::u16string BlobField::AsWideString() const { return Cp1252ToUtf16(AsString()); }
void BlobField::SetAsWideString(std::u16string_view value) { SetAsString(Utf16ToCp1252(value)); }

void BlobField::Assign(const Field* source) {
  if (source != nullptr && source->IsBlob()) {
    if (source->IsNull()) {
      Clear();
    } else {
      SetAsString(source->AsString());
    }
    return;
  }
  Field::Assign(source);
}

HostVariant BlobField::GetAsVariant() const { return HostVariant(AsString()); }
void BlobField::SetVarValue(const HostVariant& value) { SetAsString(value.AsString()); }

// ---------------------------------------------------------------- factory

std::unique_ptr<Field> CreateFieldObject(TFieldType type) {
  switch (type) {
    case ftString:
      return std::make_unique<StringField>();
    case ftFixedChar: {
      auto field = std::make_unique<StringField>();
      field->SetFixedChar(true);
      return field;
    }
    case ftGuid:
      return std::make_unique<GuidField>();
    case ftWideString:
      return std::make_unique<WideStringField>();
    case ftSmallint:
      return std::make_unique<SmallintField>();
    case ftInteger:
      return std::make_unique<IntegerField>();
    case ftWord:
      return std::make_unique<WordField>();
    case ftAutoInc:
      return std::make_unique<AutoIncField>();
    case ftLargeint:
      return std::make_unique<LargeintField>();
    case ftFloat:
      return std::make_unique<FloatField>();
    case ftCurrency:
      return std::make_unique<CurrencyField>();
    case ftBoolean:
      return std::make_unique<BooleanField>();
    case ftDate:
      return std::make_unique<DateField>();
    case ftTime:
      return std::make_unique<TimeField>();
    case ftDateTime:
      return std::make_unique<DateTimeField>();
    case ftBytes:
      return std::make_unique<BytesField>();
    case ftVarBytes:
      return std::make_unique<VarBytesField>();
    case ftMemo:
      return std::make_unique<MemoField>();
    case ftGraphic:
      return std::make_unique<GraphicField>();
    case ftBlob:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
      return std::make_unique<BlobField>(type);
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------- Fields

Fields::Fields(DataSet* dataSet) : DataSet_(dataSet) {}
Fields::~Fields() = default;

Field* Fields::Items(int32_t index) const {
  if (index < 0 || index >= Count()) DatabaseError(dbmsg::SFieldIndexError, DataSet_);
  return List_[static_cast<size_t>(index)].get();
}

Field* Fields::Add(std::unique_ptr<Field> field) {
  if (!field) return nullptr;
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  if (!field->FieldName().empty() && FindField(field->FieldName()) != nullptr) {
    DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {field->FieldName()}, DataSet_);
  }
  field->DataSet_ = DataSet_;
  if (field->LookupDataSet_ != nullptr && DataSet_ != nullptr && field->LookupDataSet_ != DataSet_) {
    field->LookupDataSet_->FreeNotification(DataSet_);
  }
  List_.push_back(std::move(field));
  return List_.back().get();
}

std::unique_ptr<Field> Fields::Remove(Field* field) {
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  for (size_t i = 0; i < List_.size(); ++i) {
    if (List_[i].get() == field) {
      std::unique_ptr<Field> result = std::move(List_[i]);
      List_.erase(List_.begin() + static_cast<ptrdiff_t>(i));
      result->DataSet_ = nullptr;
      result->FieldNo_ = 0;
      return result;
    }
  }
  return nullptr;
}

void Fields::Clear() {
  if (DataSet_ != nullptr) DataSet_->CheckInactive();
  List_.clear();
}

int32_t Fields::IndexOf(const Field* field) const {
  for (size_t i = 0; i < List_.size(); ++i) {
    if (List_[i].get() == field) return static_cast<int32_t>(i);
  }
  return -1;
}

Field* Fields::FindField(std::string_view name) const {
  for (const auto& field : List_) {
    // Names of another length differ without the case-blind comparison.
    const std::string_view fieldName = field->FieldName();
    if (fieldName.size() == name.size() && SameName(fieldName, name)) return field.get();
  }
  return nullptr;
}

Field* Fields::FieldByName(std::string_view name) const {
  Field* field = FindField(name);
  if (field == nullptr) DatabaseErrorFmt(dbmsg::SFieldNotFound, {std::string(name)}, DataSet_);
  return field;
}

Field* Fields::FieldByNumber(int32_t fieldNo) const {
  for (const auto& field : List_) {
    if (field->FieldNo() == fieldNo) return field.get();
  }
  return nullptr;
}

}  // namespace qv
