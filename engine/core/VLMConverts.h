// Value sizes by base type and the copy of one typed value into a new block of
// the engine memory manager.
//
// Size of one value (n is the declared size: characters for text, bytes for
// BYTES/VARBYTES; read only for those six types):
//   1 CHAR, 3 STRING            n + 1        2 WIDECHAR, 4 WIDESTRING  2 (n + 1)
//   5 SHORTINT, 9 BYTE          1            6 SMALLINT, 10 WORD, 21   2
//   7, 11, 12, 15, 16           4            8, 13, 17, 22             8
//   14 EXTENDED                 10           18-20 (large objects)     10
//   23 BYTES, 24 VARBYTES       n + 1
//
// Error codes: 30050 unknown base type, 30054 copy failure.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "engine/core/VLMTypesRoutines.h"

// Size in bytes of one value of base type baseType with declared size n.
// Any code outside 1-24 raises 30050 "Unknown DataType: '%s'" with "Unknown".
int32_t VLMGetDataSize(TVLMBaseDataType baseType, int32_t n);

// Allocates a block of the engine memory manager and copies one value of base
// type baseType into it; data is nullptr before the allocation.
//   1, 3   source points at zero-terminated ANSI characters (nullptr is the
//          empty text); size = characters before the first zero + 1.
//   2, 4   source points at zero-terminated UTF-16 characters (nullptr is the
//          empty text); size = 2 (characters + 1).
//   other  size = VLMGetDataSize(baseType, 0) bytes are copied from source (so
//          BYTES and VARBYTES copy one byte and 18-20 ten bytes).
// A failure of the allocation itself (or an unknown type) reaches the caller
// unchanged; any failure after the block was obtained frees it and raises
// 30054 "Cannot copy data into new memory".
void VLMCopyValueToNewMemory(TVLMBaseDataType baseType, const void* source, void*& data, int32_t& size);
