// Little-endian integers in byte buffers. Every stored layout of the engine
// (definition streams, BLOB block headers, memory block headers, saved
// positions) is written field by field through these, whatever the byte order
// of the machine.
#pragma once

#include <cstdint>

inline void VLMPutU16LE(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t VLMGetU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void VLMPutU32LE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t VLMGetU32LE(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

inline void VLMPutU64LE(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t VLMGetU64LE(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// Signed values are stored in two's complement.
inline void VLMPutI32LE(uint8_t* p, int32_t v) { VLMPutU32LE(p, static_cast<uint32_t>(v)); }
inline int32_t VLMGetI32LE(const uint8_t* p) { return static_cast<int32_t>(VLMGetU32LE(p)); }
inline void VLMPutI64LE(uint8_t* p, int64_t v) { VLMPutU64LE(p, static_cast<uint64_t>(v)); }
inline int64_t VLMGetI64LE(const uint8_t* p) { return static_cast<int64_t>(VLMGetU64LE(p)); }

#include <string>

// Zero-terminated UTF-16LE text at any alignment (record buffers and keys put
// wide fields at odd offsets, where a char16_t pointer may not be used): the
// units up to the first zero, never more than maxUnits (negative: no limit).
inline std::u16string VLMReadWideText(const void* p, int64_t maxUnits = -1) {
  std::u16string text;
  if (!p) return text;
  const auto* b = static_cast<const uint8_t*>(p);
  for (int64_t i = 0; maxUnits < 0 || i < maxUnits; ++i) {
    const char16_t c = static_cast<char16_t>(VLMGetU16LE(b + 2 * i));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}
