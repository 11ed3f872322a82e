#include "engine/core/VLMConverts.h"

#include "engine/core/VLMByteOrder.h"

#include <cstring>

#include "engine/core/VLMExcept.h"
#include "engine/core/VLMMemory.h"

int32_t VLMGetDataSize(TVLMBaseDataType baseType, int32_t n) {
  // Computed in 64 bits and kept in the low 32 so that an absurd declared
  // size cannot overflow.
  const int64_t n64 = n;
  switch (baseType) {
    case bdtChar:
    case bdtString:
    case bdtBytes:
    case bdtVarBytes:
      return static_cast<int32_t>(n64 + 1);
    case bdtWideChar:
    case bdtWideString:
      return static_cast<int32_t>(2 * (n64 + 1));
    case bdtShortInt:
    case bdtByte:
      return 1;
    case bdtSmallInt:
    case bdtWord:
    case bdtLogical:
      return 2;
    case bdtInteger:
    case bdtCardinal:
    case bdtSingle:
    case bdtDate:
    case bdtTime:
      return 4;
    case bdtLargeInt:
    case bdtFloat:
    case bdtDateTime:
    case bdtCurrency:
      return 8;
    case bdtExtended:
    case bdtBLOB:
    case bdtMemo:
    case bdtWideMemo:
      return 10;
    default:
      throw EVLMException(30050, "Unknown DataType: '%s'", {kVLMUnknownTypeName});
  }
}

void VLMCopyValueToNewMemory(TVLMBaseDataType baseType, const void* source, void*& data, int32_t& size) {
  data = nullptr;
  int32_t n;
  if (baseType == bdtChar || baseType == bdtString) {
    const char* text = static_cast<const char*>(source);
    n = static_cast<int32_t>((text ? std::strlen(text) : 0) + 1);
  } else if (baseType == bdtWideChar || baseType == bdtWideString) {
    n = static_cast<int32_t>(2 * (VLMReadWideText(source).size() + 1));
  } else {
    n = VLMGetDataSize(baseType, 0);
  }
  // An allocation failure is an error of its own, never a null value.
  void* block = VLMMemoryManager().GetMem(n);
  try {
    if (source) {
      std::memcpy(block, source, static_cast<size_t>(n));
    } else if (VLMIsStringBaseType(baseType)) {
      std::memset(block, 0, static_cast<size_t>(n));
    } else {
      throw EVLMException(30054, "Cannot copy data into new memory");
    }
  } catch (...) {
    try {
      VLMMemoryManager().FreeMem(block);
    } catch (...) {
    }
    throw EVLMException(30054, "Cannot copy data into new memory");
  }
  data = block;
  size = n;
}
