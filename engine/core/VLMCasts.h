// Conversions between base types, the common type two operands meet in, and
// the ordering of two values. Index keys, search conditions, comparison nodes,
// sorting and grouping all compare through VLMCompareValues, so its result
// codes and null rules are shared by the whole engine and are part of the
// stored B-tree order.
//
// Comparison results:
//   0 equal, 1 first less, 2 first greater,
//   3 only the first is null, 4 only the second is null, 5 both null.
// VLMCompareValuesSigned folds them to -1 (1, 3), +1 (2, 4), 0 (0, 5): null
// sorts before every value and two nulls are equal.
//
// Text order is the fixed collation of platform/os/Collation.h (string sort:
// hyphens and apostrophes count), never the environment's locale. BYTES values
// compare as text up to their first zero byte; stored orders rely on it.
//
// Text to number conversions read '.' as the decimal separator; number and
// date to text conversions use the fixed host format settings.
//
// Error codes: 30044 no common type, 30047 type without an order, 30051
// conversion failed, 30052 pair unsupported, 30140 nil data.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "engine/core/VLMTypesRoutines.h"

inline constexpr uint8_t kVLMCompareEqual = 0;
inline constexpr uint8_t kVLMCompareLess = 1;
inline constexpr uint8_t kVLMCompareGreater = 2;
inline constexpr uint8_t kVLMCompareFirstNull = 3;
inline constexpr uint8_t kVLMCompareSecondNull = 4;
inline constexpr uint8_t kVLMCompareBothNull = 5;

// The locale argument of the comparisons: the user default. Text order does
// not depend on it (the collation is fixed); it is kept so that callers pass
// what the stored definitions name.
inline constexpr uint32_t kVLMLocaleUserDefault = 1024;
// The locale an index's key comparison passes (the collation is fixed); a
// sort that must agree with an index's order passes it too.
inline constexpr uint32_t kVLMKeyCompareLocale = kVLMLocaleUserDefault;

// A new block of the engine memory manager holding the value converted into
// destType, and its size; the caller owns the block.
//   source      the source bytes; for text types the characters (nullptr is
//               the empty text)
//   sourceSize  the source block's byte count, or -1 when unknown. Memo
//               sources read it; every text source is read up to its first
//               zero and never past a known size.
// A conversion that raised inside (text that is not a number or a date, a
// value out of range) raises 30051 "Cannot cast from '%s' to '%s'"; an
// unsupported pair raises 30052 with the same text.
void* VLMCastData(const void* source, int32_t sourceSize, TVLMBaseDataType sourceType,
                  TVLMBaseDataType destType, int32_t& destSize);
// The same, without the result size.
void* VLMCastValue(const void* source, int32_t sourceSize, TVLMBaseDataType sourceType,
                   TVLMBaseDataType destType);

// The base type both operands are converted to; 0 when the pair has none.
// forCompare: text against a date, time or time stamp compares as the date
// type but combines as text. The table is not symmetric.
TVLMBaseDataType VLMGetCommonBaseType(TVLMBaseDataType t1, TVLMBaseDataType t2, bool forCompare);
// The same on SQL types: t1 when its base type is the common one, else t2
// when its base type is, else the SQL type of the common base type.
TVLMDataType VLMGetCommonDataType(TVLMDataType t1, TVLMDataType t2, bool forCompare);

// Orders two values (result codes above). length limits text to that many
// characters (-1: the whole text). size1/size2 are the data blocks' byte
// counts when known (-1 otherwise); text is never read past a known size.
uint8_t VLMCompareValues(const void* data1, const void* data2, TVLMBaseDataType type1,
                         TVLMBaseDataType type2, bool null1, bool null2, int32_t length,
                         bool caseInsensitive, uint32_t locale = kVLMLocaleUserDefault,
                         int32_t size1 = -1, int32_t size2 = -1);
int32_t VLMCompareValuesSigned(const void* data1, const void* data2, TVLMBaseDataType type1,
                               TVLMBaseDataType type2, bool null1, bool null2, int32_t length,
                               bool caseInsensitive, uint32_t locale = kVLMLocaleUserDefault,
                               int32_t size1 = -1, int32_t size2 = -1);
