// TVLMRecordID: the address of one record of a table.
//
// Six bytes wherever it is stored (index entries, bookmarks, cursor
// positions): u32 page number, then u16 row, little-endian. The disk engine
// fills it as {record page, slot}; the temporary engine keeps a 48-bit record
// number in the same six bytes; the memory engine uses {slot, 0}.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "engine/core/VLMByteOrder.h"

struct TVLMRecordID {
  uint32_t Page = 0;
  uint16_t Row = 0;

  friend bool operator==(const TVLMRecordID&, const TVLMRecordID&) = default;
};

inline constexpr int32_t kVLMRecordIDSize = 6;  // bytes of the stored form

// The stored six-byte form.
inline void VLMPutRecordID(uint8_t* dest, const TVLMRecordID& id) {
  VLMPutU32LE(dest, id.Page);
  VLMPutU16LE(dest + 4, id.Row);
}
inline TVLMRecordID VLMGetRecordID(const uint8_t* src) {
  return TVLMRecordID{VLMGetU32LE(src), VLMGetU16LE(src + 4)};
}
