// The engine's data types: the two type codes every value carries, the one
// table that ties the SQL type names to them and to the dataset layer's field
// types, the mappings and predicates over the codes, and the engine's own date
// and time stamps.
//
// Two codes per value:
//   SQL type  (TVLMDataType, 1-36)    what a table definition, a CAST or an
//                                     expression result names
//   base type (TVLMBaseDataType, 1-24) the storage form of the bytes in a
//                                     record, a TVLMVariant or an index key
//
// Dates and times are integers:
//   date       day number, day 1 = 0001-01-01 (1899-12-30, the host's
//              date-time 0, is day 693594); VLMEmptyDate marks a missing date
//   time       milliseconds since midnight, 0 .. 86399999
//   time stamp {day number, milliseconds}, day first
// A host date-time is a double of days since 1899-12-30 with the time as the
// fraction.
//
// Every routine here is stateless; the mappings walk VLMTypeTable from the
// first row and take the first row that matches, so aliases never win.
//
// Error codes: 30289 unknown host field type.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using TVLMDataType = uint8_t;
using TVLMBaseDataType = uint8_t;

// Base types (storage forms); sizes are those of VLMGetDataSize (VLMConverts).
inline constexpr TVLMBaseDataType bdtUnknown = 0;
inline constexpr TVLMBaseDataType bdtChar = 1;         // fixed ANSI text + zero
inline constexpr TVLMBaseDataType bdtWideChar = 2;     // fixed UTF-16 text + 2-byte zero
inline constexpr TVLMBaseDataType bdtString = 3;       // variable ANSI text + zero
inline constexpr TVLMBaseDataType bdtWideString = 4;   // variable UTF-16 text + 2-byte zero
inline constexpr TVLMBaseDataType bdtShortInt = 5;     // int8_t
inline constexpr TVLMBaseDataType bdtSmallInt = 6;     // int16_t
inline constexpr TVLMBaseDataType bdtInteger = 7;      // int32_t
inline constexpr TVLMBaseDataType bdtLargeInt = 8;     // int64_t
inline constexpr TVLMBaseDataType bdtByte = 9;         // uint8_t
inline constexpr TVLMBaseDataType bdtWord = 10;        // uint16_t
inline constexpr TVLMBaseDataType bdtCardinal = 11;    // uint32_t
inline constexpr TVLMBaseDataType bdtSingle = 12;      // float
inline constexpr TVLMBaseDataType bdtFloat = 13;       // double
inline constexpr TVLMBaseDataType bdtExtended = 14;    // 10-byte x87 extended
inline constexpr TVLMBaseDataType bdtDate = 15;        // int32_t day number
inline constexpr TVLMBaseDataType bdtTime = 16;        // int32_t milliseconds
inline constexpr TVLMBaseDataType bdtDateTime = 17;    // TVLMTimeStamp
inline constexpr TVLMBaseDataType bdtBLOB = 18;        // bytes
inline constexpr TVLMBaseDataType bdtMemo = 19;        // ANSI text, no terminator
inline constexpr TVLMBaseDataType bdtWideMemo = 20;    // UTF-16 text, no terminator
inline constexpr TVLMBaseDataType bdtLogical = 21;     // int16_t, 0 false, -1 written for true
inline constexpr TVLMBaseDataType bdtCurrency = 22;    // double holding the amount itself
inline constexpr TVLMBaseDataType bdtBytes = 23;       // fixed byte string
inline constexpr TVLMBaseDataType bdtVarBytes = 24;    // variable byte string
inline constexpr TVLMBaseDataType bdtLast = 24;

// SQL types.
inline constexpr TVLMDataType dtUnknown = 0;
inline constexpr TVLMDataType dtChar = 1;
inline constexpr TVLMDataType dtString = 2;
inline constexpr TVLMDataType dtWideChar = 3;
inline constexpr TVLMDataType dtWideString = 4;
inline constexpr TVLMDataType dtShortInt = 5;
inline constexpr TVLMDataType dtSmallInt = 6;
inline constexpr TVLMDataType dtInteger = 7;
inline constexpr TVLMDataType dtLargeInt = 8;
inline constexpr TVLMDataType dtByte = 9;
inline constexpr TVLMDataType dtWord = 10;
inline constexpr TVLMDataType dtCardinal = 11;
inline constexpr TVLMDataType dtAutoinc = 12;
inline constexpr TVLMDataType dtAutoincShortInt = 13;
inline constexpr TVLMDataType dtAutoincSmallInt = 14;
inline constexpr TVLMDataType dtAutoincInteger = 15;
inline constexpr TVLMDataType dtAutoincLargeInt = 16;
inline constexpr TVLMDataType dtAutoincByte = 17;
inline constexpr TVLMDataType dtAutoincWord = 18;
inline constexpr TVLMDataType dtAutoincCardinal = 19;
inline constexpr TVLMDataType dtSingle = 20;
inline constexpr TVLMDataType dtFloat = 21;
inline constexpr TVLMDataType dtExtended = 22;
inline constexpr TVLMDataType dtLogical = 23;
inline constexpr TVLMDataType dtCurrency = 24;
inline constexpr TVLMDataType dtDate = 25;
inline constexpr TVLMDataType dtTime = 26;
inline constexpr TVLMDataType dtDateTime = 27;
inline constexpr TVLMDataType dtTimeStamp = 28;
inline constexpr TVLMDataType dtBytes = 29;
inline constexpr TVLMDataType dtVarBytes = 30;
inline constexpr TVLMDataType dtBLOB = 31;
inline constexpr TVLMDataType dtGraphic = 32;
inline constexpr TVLMDataType dtMemo = 33;
inline constexpr TVLMDataType dtFormattedMemo = 34;
inline constexpr TVLMDataType dtWideMemo = 35;
inline constexpr TVLMDataType dtGUID = 36;

// One row of VLMTypeTable. FieldType is the host field type ordinal
// (qv::TFieldType of platform/dataset/FieldTypes.h).
struct TVLMTypeTableRow {
  std::string_view Name;
  TVLMDataType DataType;
  TVLMBaseDataType BaseType;
  int32_t FieldType;
};

inline constexpr int32_t kVLMTypeTableRowCount = 62;
extern const std::array<TVLMTypeTableRow, kVLMTypeTableRowCount> VLMTypeTable;

// The name the mappings report for a code that no row carries.
inline constexpr std::string_view kVLMUnknownTypeName = "Unknown";

// ---- mappings (first matching row) ----
// 0 when no row has the code.
TVLMBaseDataType VLMDataTypeToBaseType(TVLMDataType dataType);
TVLMDataType VLMBaseTypeToDataType(TVLMBaseDataType baseType);
// Raises 30289 "Unknown DataType: '%s'" (the ordinal in decimal) when no row
// carries the field type.
TVLMDataType VLMFieldTypeToDataType(int32_t fieldType);
// ftUnknown (0) when no row has the code.
int32_t VLMDataTypeToFieldType(TVLMDataType dataType);
// "Unknown" when no row has the code.
std::string VLMGetDataTypeName(TVLMDataType dataType);
std::string VLMGetBaseTypeName(TVLMBaseDataType baseType);
// The SQL type of a type name (CAST's target), compared without regard to
// case; 0 when no row has the name.
TVLMDataType VLMSQLTypeByName(std::string_view name);

// ---- predicates (any code outside the set, 0 included, gives false) ----
bool VLMIsStringBaseType(TVLMBaseDataType t);      // 1-4
bool VLMIsWideStringBaseType(TVLMBaseDataType t);  // 2, 4
bool VLMIsNumericBaseType(TVLMBaseDataType t);     // 5-14, 22
bool VLMIsDateTimeBaseType(TVLMBaseDataType t);    // 15-17
bool VLMIsBLOBBaseType(TVLMBaseDataType t);        // 18-20
bool VLMIsStringDataType(TVLMDataType t);          // 1-4, 36 (GUID)
bool VLMIsWideStringDataType(TVLMDataType t);      // 3, 4
bool VLMIsBytesDataType(TVLMDataType t);           // 29, 30
bool VLMIsAutoincDataType(TVLMDataType t);         // 12-19
bool VLMIsBLOBDataType(TVLMDataType t);            // 31-35
bool VLMIsSizedDataType(TVLMDataType t);           // 1-4, 29, 30 (not GUID)
bool VLMIsCastableDataType(TVLMDataType t);        // 1-28, 33-35
// The values an integer base type (5-11) holds; false for any other code.
bool VLMIntegerBaseTypeRange(TVLMBaseDataType t, int64_t& low, int64_t& high);
// The integer of integer base type t (5-11) stored at p in its native
// byte order, widened to 64 bits; false for any other code or when size is
// below the type's width.
bool VLMLoadInteger(const void* p, int32_t size, TVLMBaseDataType t, int64_t& value);

// ---- date and time stamps ----
struct TVLMTimeStamp {
  int32_t Date = 0;  // day number
  int32_t Time = 0;  // milliseconds since midnight
};

inline constexpr int32_t VLMEmptyDate = INT32_MIN;
// The day number of the host's date-time 0 (1899-12-30).
inline constexpr int32_t kVLMDateDelta = 693594;
inline constexpr int32_t kVLMMSecsPerDay = 86400000;

// Trunc(v) + 693594, truncated toward zero and kept in the low 32 bits. A NaN,
// an infinity or a value beyond the signed 64-bit range raises EInvalidOp.
int32_t VLMTDateTimeToDate(double v);
// d - 693594; 0.0 for d < -2146790053.
double VLMDateToTDateTime(int32_t d);
// Round(Frac(v) * 86400000), Frac keeping the sign of v, half to even.
int32_t VLMTDateTimeToTime(double v);
// Frac(m / 86400000).
double VLMTimeToTDateTime(int32_t m);
TVLMTimeStamp VLMTDateTimeToTimeStamp(double v);
double VLMTimeStampToTDateTime(const TVLMTimeStamp& s);
