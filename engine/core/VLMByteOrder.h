// Little-endian integers in byte buffers. Every stored layout of the engine
// (definition streams, BLOB block headers, memory block headers, saved
// positions) is written field by field through these, whatever the byte order
// of the machine.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <bit>
#include <cstdint>
#include <cstring>

namespace vlm_byte_order {

// The bytes of v in reverse order.
template <class T>
constexpr T ByteSwap(T v) {
  T r = 0;
  for (size_t i = 0; i < sizeof v; ++i) r = static_cast<T>((r << 8) | ((v >> (8 * i)) & 0xFF));
  return r;
}

}  // namespace vlm_byte_order

namespace vlm_byte_order {

// One unaligned load or store on a little-endian machine, a byte swap on a
// big-endian one: the bytes in the buffer are the same either way.
template <class T>
inline T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = ByteSwap(v);
  return v;
}

template <class T>
inline void Store(uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::big) v = ByteSwap(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace vlm_byte_order

inline void VLMPutU16LE(uint8_t* p, uint16_t v) { vlm_byte_order::Store(p, v); }
inline uint16_t VLMGetU16LE(const uint8_t* p) { return vlm_byte_order::Load<uint16_t>(p); }

inline void VLMPutU32LE(uint8_t* p, uint32_t v) { vlm_byte_order::Store(p, v); }
inline uint32_t VLMGetU32LE(const uint8_t* p) { return vlm_byte_order::Load<uint32_t>(p); }

inline void VLMPutU64LE(uint8_t* p, uint64_t v) { vlm_byte_order::Store(p, v); }
inline uint64_t VLMGetU64LE(const uint8_t* p) { return vlm_byte_order::Load<uint64_t>(p); }

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
