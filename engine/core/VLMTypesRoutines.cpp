#include "engine/core/VLMTypesRoutines.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMathErrors.h"
#include "platform/dataset/FieldTypes.h"

using namespace qv;

// 62 rows; the first row of each code is the one the reverse lookups find.
// Rows 33 and 34 are both FLOAT; row 47 (TIMESTAMP) carries ftUnknown.
const std::array<TVLMTypeTableRow, kVLMTypeTableRowCount> VLMTypeTable = {{
    {"CHAR", 1, 1, ftFixedChar},
    {"FIXEDCHAR", 1, 1, ftFixedChar},
    {"STRING", 2, 3, ftString},
    {"VARCHAR", 2, 3, ftString},
    {"VARCHAR2", 2, 3, ftString},
    {"WIDECHAR", 3, 2, ftWideString},
    {"FIXEDWIDECHAR", 3, 2, ftWideString},
    {"WIDESTRING", 4, 4, ftWideString},
    {"WIDEVARCHAR", 4, 4, ftWideString},
    {"SMALLINT", 6, 6, ftSmallint},
    {"SIGNEDINT16", 6, 6, ftSmallint},
    {"SHORTINT", 5, 5, ftSmallint},
    {"SIGNEDINT8", 5, 5, ftSmallint},
    {"INTEGER", 7, 7, ftInteger},
    {"SIGNEDINT32", 7, 7, ftInteger},
    {"LARGEINT", 8, 8, ftLargeint},
    {"INT64", 8, 8, ftLargeint},
    {"SIGNEDINT64", 8, 8, ftLargeint},
    {"WORD", 10, 10, ftWord},
    {"UNSIGNEDINT16", 10, 10, ftWord},
    {"BYTE", 9, 9, ftWord},
    {"UNSIGNEDINT8", 9, 9, ftWord},
    {"CARDINAL", 11, 11, ftLargeint},
    {"UNSIGNEDINT32", 11, 11, ftLargeint},
    {"AUTOINC", 12, 7, ftAutoInc},
    {"AUTOINCSHORTINT", 13, 5, ftAutoInc},
    {"AUTOINCSMALLINT", 14, 6, ftAutoInc},
    {"AUTOINCINTEGER", 15, 7, ftAutoInc},
    {"AUTOINCLARGEINT", 16, 8, ftLargeint},
    {"AUTOINCBYTE", 17, 9, ftAutoInc},
    {"AUTOINCWORD", 18, 10, ftAutoInc},
    {"AUTOINCCARDINAL", 19, 11, ftAutoInc},
    {"FLOAT", 21, 13, ftFloat},
    {"FLOAT", 21, 13, ftBCD},
    {"SINGLE", 20, 12, ftFloat},
    {"DOUBLE", 21, 13, ftFloat},
    {"EXTENDED", 22, 14, ftFloat},
    {"LOGICAL", 23, 21, ftBoolean},
    {"BOOLEAN", 23, 21, ftBoolean},
    {"BOOL", 23, 21, ftBoolean},
    {"BIT", 23, 21, ftBoolean},
    {"CURRENCY", 24, 22, ftCurrency},
    {"MONEY", 24, 22, ftCurrency},
    {"DATE", 25, 15, ftDate},
    {"TIME", 26, 16, ftTime},
    {"DATETIME", 27, 17, ftDateTime},
    {"TIMESTAMP", 28, 17, ftUnknown},
    {"BYTES", 29, 23, ftBytes},
    {"VARBYTES", 30, 24, ftVarBytes},
    {"BLOB", 31, 18, ftBlob},
    {"BLOB", 31, 18, ftParadoxOle},
    {"BLOB", 31, 18, ftTypedBinary},
    {"BLOB", 31, 18, ftDBaseOle},
    {"BLOB", 31, 18, ftOraBlob},
    {"BLOB", 31, 18, ftOraClob},
    {"GRAPHIC", 32, 18, ftGraphic},
    {"MEMO", 33, 19, ftMemo},
    {"CLOB", 33, 19, ftMemo},
    {"FORMATTEDMEMO", 34, 19, ftFmtMemo},
    {"WIDEMEMO", 35, 20, ftBlob},
    {"WIDECLOB", 35, 20, ftBlob},
    {"GUID", 36, 1, ftGuid},
}};

namespace {

template <class Match>
const TVLMTypeTableRow* FindRow(Match match) {
  for (const auto& row : VLMTypeTable)
    if (match(row)) return &row;
  return nullptr;
}

const TVLMTypeTableRow* RowOfDataType(TVLMDataType t) {
  return FindRow([t](const TVLMTypeTableRow& r) { return r.DataType == t; });
}
const TVLMTypeTableRow* RowOfBaseType(TVLMBaseDataType t) {
  return FindRow([t](const TVLMTypeTableRow& r) { return r.BaseType == t; });
}

}  // namespace

TVLMBaseDataType VLMDataTypeToBaseType(TVLMDataType dataType) {
  const auto* row = RowOfDataType(dataType);
  return row ? row->BaseType : 0;
}

TVLMDataType VLMBaseTypeToDataType(TVLMBaseDataType baseType) {
  const auto* row = RowOfBaseType(baseType);
  return row ? row->DataType : 0;
}

TVLMDataType VLMFieldTypeToDataType(int32_t fieldType) {
  const auto* row = FindRow([fieldType](const TVLMTypeTableRow& r) { return r.FieldType == fieldType; });
  if (!row) throw EVLMException(30289, "Unknown DataType: '%s'", {std::to_string(fieldType)});
  return row->DataType;
}

int32_t VLMDataTypeToFieldType(TVLMDataType dataType) {
  const auto* row = RowOfDataType(dataType);
  return row ? row->FieldType : static_cast<int32_t>(ftUnknown);
}

std::string VLMGetDataTypeName(TVLMDataType dataType) {
  const auto* row = RowOfDataType(dataType);
  return std::string(row ? row->Name : kVLMUnknownTypeName);
}

std::string VLMGetBaseTypeName(TVLMBaseDataType baseType) {
  const auto* row = RowOfBaseType(baseType);
  return std::string(row ? row->Name : kVLMUnknownTypeName);
}

TVLMDataType VLMSQLTypeByName(std::string_view name) {
  // The names are ASCII, so folding a-z is the whole case rule.
  auto same = [name](const TVLMTypeTableRow& r) {
    if (r.Name.size() != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
      char c = name[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != r.Name[i]) return false;
    }
    return true;
  };
  const auto* row = FindRow(same);
  return row ? row->DataType : 0;
}

bool VLMIsStringBaseType(TVLMBaseDataType t) { return t >= 1 && t <= 4; }
bool VLMIsWideStringBaseType(TVLMBaseDataType t) { return t == 2 || t == 4; }
bool VLMIsNumericBaseType(TVLMBaseDataType t) { return (t >= 5 && t <= 14) || t == 22; }
bool VLMIsDateTimeBaseType(TVLMBaseDataType t) { return t >= 15 && t <= 17; }
bool VLMIsBLOBBaseType(TVLMBaseDataType t) { return t >= 18 && t <= 20; }
bool VLMIsStringDataType(TVLMDataType t) { return (t >= 1 && t <= 4) || t == 36; }
bool VLMIsWideStringDataType(TVLMDataType t) { return t == 3 || t == 4; }
bool VLMIsBytesDataType(TVLMDataType t) { return t == 29 || t == 30; }
bool VLMIsAutoincDataType(TVLMDataType t) { return t >= 12 && t <= 19; }
bool VLMIsBLOBDataType(TVLMDataType t) { return t >= 31 && t <= 35; }
bool VLMIsSizedDataType(TVLMDataType t) { return (t >= 1 && t <= 4) || t == 29 || t == 30; }
bool VLMIsCastableDataType(TVLMDataType t) { return (t >= 1 && t <= 28) || (t >= 33 && t <= 35); }

bool VLMIntegerBaseTypeRange(TVLMBaseDataType t, int64_t& low, int64_t& high) {
  auto range = [&](auto type) {
    low = std::numeric_limits<decltype(type)>::min();
    high = std::numeric_limits<decltype(type)>::max();
    return true;
  };
  switch (t) {
    case bdtShortInt: return range(int8_t{});
    case bdtSmallInt: return range(int16_t{});
    case bdtInteger: return range(int32_t{});
    case bdtLargeInt: return range(int64_t{});
    case bdtByte: return range(uint8_t{});
    case bdtWord: return range(uint16_t{});
    case bdtCardinal: return range(uint32_t{});
    default: return false;
  }
}

bool VLMLoadInteger(const void* p, int32_t size, TVLMBaseDataType t, int64_t& value) {
  auto load = [&](auto sample) {
    if (size < static_cast<int32_t>(sizeof sample)) return false;
    std::memcpy(&sample, p, sizeof sample);
    value = static_cast<int64_t>(sample);
    return true;
  };
  switch (t) {
    case bdtShortInt: return load(int8_t{});
    case bdtSmallInt: return load(int16_t{});
    case bdtInteger: return load(int32_t{});
    case bdtLargeInt: return load(int64_t{});
    case bdtByte: return load(uint8_t{});
    case bdtWord: return load(uint16_t{});
    case bdtCardinal: return load(uint32_t{});
    default: return false;
  }
}

// ------------------------------------------------------------ date stamps

namespace {

// Trunc of a date-time to a signed 64-bit day count; the host raises an
// invalid-operation error when the value has no such integer.
int64_t TruncToInt64(long double v) {
  if (!(v > -9223372036854775809.0L && v < 9223372036854775808.0L)) throw EInvalidOp();
  return static_cast<int64_t>(v);
}

// Rounds to the nearest integer, halves to the even neighbour.
long double RoundHalfEven(long double x) {
  long double fl = std::floor(x);
  long double diff = x - fl;
  if (diff > 0.5L) return fl + 1;
  if (diff < 0.5L) return fl;
  return std::fmod(fl, 2.0L) == 0 ? fl : fl + 1;
}

}  // namespace

int32_t VLMTDateTimeToDate(double v) {
  const int64_t days = TruncToInt64(v);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(days) + kVLMDateDelta));
}

double VLMDateToTDateTime(int32_t d) {
  if (d < -2146790053) return 0.0;
  return static_cast<double>(d - kVLMDateDelta);
}

int32_t VLMTDateTimeToTime(double v) {
  if (!std::isfinite(v)) throw EInvalidOp();
  const long double x = v;
  const long double frac = x - std::trunc(x);
  return static_cast<int32_t>(RoundHalfEven(frac * kVLMMSecsPerDay));
}

double VLMTimeToTDateTime(int32_t m) {
  const long double x = static_cast<long double>(m) / kVLMMSecsPerDay;
  return static_cast<double>(x - std::trunc(x));
}

TVLMTimeStamp VLMTDateTimeToTimeStamp(double v) {
  TVLMTimeStamp s;
  s.Date = VLMTDateTimeToDate(v);
  s.Time = VLMTDateTimeToTime(v);
  return s;
}

double VLMTimeStampToTDateTime(const TVLMTimeStamp& s) {
  return VLMDateToTDateTime(s.Date) + VLMTimeToTDateTime(s.Time);
}
