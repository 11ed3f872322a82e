// TVLMRecordID: the address of one record of a table.
//
// Six bytes wherever it is stored (index entries, bookmarks, cursor
// positions): u32 page number, then u16 row, little-endian. The disk engine
// fills it as {record page, slot}; the temporary engine keeps a 48-bit record
// number in the same six bytes; the memory engine uses {slot, 0}.
#pragma once

#include <cstdint>

struct TVLMRecordID {
  uint32_t Page = 0;
  uint16_t Row = 0;

  friend bool operator==(const TVLMRecordID&, const TVLMRecordID&) = default;
};

inline constexpr int32_t kVLMRecordIDSize = 6;  // bytes of the stored form

// The stored six-byte form.
inline void VLMPutRecordID(uint8_t* dest, const TVLMRecordID& id) {
  for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(id.Page >> (8 * i));
  dest[4] = static_cast<uint8_t>(id.Row);
  dest[5] = static_cast<uint8_t>(id.Row >> 8);
}
inline TVLMRecordID VLMGetRecordID(const uint8_t* src) {
  TVLMRecordID id;
  for (int i = 0; i < 4; ++i) id.Page |= static_cast<uint32_t>(src[i]) << (8 * i);
  id.Row = static_cast<uint16_t>(src[4] | (src[5] << 8));
  return id;
}
