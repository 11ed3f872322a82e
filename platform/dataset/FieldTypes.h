// The small shared vocabulary of the generic dataset: field types (with the host
// library's ordinals, which stored files and the engine's type tables rely on),
// field kinds, index options, dataset states, record-fetch results, bookmark
// flags and the size a field occupies in a record buffer.
//
// This header is deliberately light: it includes nothing but <cstdint>, so value
// and storage code can use the ordinals without pulling in the dataset classes.
//
// Record-buffer forms of the scalar types (what GetFieldData/SetFieldData copy):
//   ftString, ftFixedChar   Size bytes of 1252 text + a terminating zero (Size + 1)
//   ftWideString            (Size + 1) UTF-16 code units, zero-terminated
//   ftSmallint              int16_t     ftInteger, ftAutoInc  int32_t
//   ftWord                  uint16_t    ftLargeint            int64_t
//   ftBoolean               int16_t: 0 = false, -1 (bytes FF FF) = true
//   ftFloat, ftCurrency     double (currency as a plain double here)
//   ftDate                  int32_t: days since 0001-01-01, plus one
//   ftTime                  int32_t: milliseconds since midnight
//   ftDateTime              double: milliseconds, counted as (the ftDate value of the
//                           day) * 86400000 + milliseconds since midnight
//   ftBytes                 Size bytes   ftVarBytes  uint16_t length + Size bytes
//   BLOB types              nothing in the record buffer (read through a stream)
// Multi-byte values are in the machine's byte order in a record buffer (a record
// buffer is memory, never a file; stored forms are written by the engine).
#pragma once

#include <cstdint>

namespace qv {

enum TFieldType : int32_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
};

constexpr int32_t kFieldTypeCount = 38;

// Where a field's value comes from.
enum TFieldKind : int32_t {
  fkData = 0,          // stored in the record
  fkCalculated = 1,    // computed by OnCalcFields, held in the calc area of the buffer
  fkLookup = 2,        // looked up in another dataset
  fkInternalCalc = 3,  // computed by the dataset itself, held like a calculated field
  fkAggregate = 4,
};

// Index options: a bit set, with the host's bit values.
using TIndexOptions = uint32_t;
constexpr TIndexOptions ixPrimary = 1;
constexpr TIndexOptions ixUnique = 2;
constexpr TIndexOptions ixDescending = 4;
constexpr TIndexOptions ixCaseInsensitive = 8;
constexpr TIndexOptions ixExpression = 16;
constexpr TIndexOptions ixNonMaintained = 32;

enum TDataSetState : int32_t {
  dsInactive = 0,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

// Which record GetRecord fetches, relative to the cursor.
enum TGetMode : int32_t { gmCurrent = 0, gmNext, gmPrior };

// What GetRecord found.
enum TGetResult : int32_t { grOK = 0, grBOF, grEOF, grError };

// Where a record buffer stands relative to the data: a real record, the
// crack before the first or after the last, or a record being inserted.
enum TBookmarkFlag : int32_t { bfCurrent = 0, bfBOF, bfEOF, bfInserted };

// Notifications a dataset sends to its data sources and links.
enum TDataEvent : int32_t {
  deFieldChange = 0,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
  deParentScroll,
  deConnectChange,
  deReconcileError,
  deDisabledStateChange,
};

// How a BLOB stream is opened.
enum TBlobStreamMode : int32_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

// Locate/Lookup options: a bit set.
using TLocateOptions = uint32_t;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;

// Filter options: a bit set.
using TFilterOptions = uint32_t;
constexpr TFilterOptions foCaseInsensitive = 1;
constexpr TFilterOptions foNoPartialCompare = 2;

// Sizes of the fixed-size record-buffer forms (see the table at the top).
constexpr int32_t kSmallintDataSize = 2;
constexpr int32_t kIntegerDataSize = 4;
constexpr int32_t kWordDataSize = 2;
constexpr int32_t kBooleanDataSize = 2;
constexpr int32_t kFloatDataSize = 8;
constexpr int32_t kCurrencyDataSize = 8;
constexpr int32_t kBCDDataSize = 34;
constexpr int32_t kDateDataSize = 4;
constexpr int32_t kTimeDataSize = 4;
constexpr int32_t kDateTimeDataSize = 8;
constexpr int32_t kLargeintDataSize = 8;
constexpr int32_t kGuidSize = 38;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
constexpr int32_t kTimeStampDataSize = 16;
constexpr int32_t kVarBytesLengthSize = 2;  // the uint16_t length in front of varbytes data

// Bytes a field of this type and Size occupies in a record buffer; 0 for types
// with no record-buffer form (BLOBs and the structured types).
constexpr int32_t FieldDataSize(TFieldType type, int32_t size) {
  switch (type) {
    case ftString:
    case ftFixedChar:
      return size + 1;
    case ftWideString:
      return (size + 1) * 2;
    case ftGuid:
      return kGuidSize + 1;
    case ftSmallint:
      return kSmallintDataSize;
    case ftInteger:
    case ftAutoInc:
      return kIntegerDataSize;
    case ftWord:
      return kWordDataSize;
    case ftBoolean:
      return kBooleanDataSize;
    case ftFloat:
      return kFloatDataSize;
    case ftCurrency:
      return kCurrencyDataSize;
    case ftBCD:
    case ftFMTBcd:
      return kBCDDataSize;
    case ftDate:
      return kDateDataSize;
    case ftTime:
      return kTimeDataSize;
    case ftDateTime:
      return kDateTimeDataSize;
    case ftLargeint:
      return kLargeintDataSize;
    case ftTimeStamp:
      return kTimeStampDataSize;
    case ftBytes:
      return size;
    case ftVarBytes:
      return size + kVarBytesLengthSize;
    default:
      return 0;
  }
}

// True for the types whose data lives outside the record buffer.
constexpr bool IsBlobType(TFieldType type) {
  return type == ftBlob || type == ftMemo || type == ftGraphic || type == ftFmtMemo ||
         type == ftParadoxOle || type == ftDBaseOle || type == ftTypedBinary ||
         type == ftOraBlob || type == ftOraClob;
}

// The ftDate value of the host date-time epoch 1899-12-30 (host date-time
// doubles count days from there): days since 0001-01-01, plus one.
constexpr int32_t kDateDelta = 693594;
constexpr double kMSecsPerDay = 86400000.0;

}  // namespace qv
