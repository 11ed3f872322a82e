// Buffer compression with any of the engine's algorithms, the engine's
// CRC-32, temporary file names, and the checked stream routines that turn a
// short read, a short write or a failed seek into an engine exception.
//
// Algorithm codes (stored in BLOB descriptors and field definitions), with the
// meaning of the mode (0..9) carried beside them:
//   0 NONE  not compressed
//   1 ZLIB  deflate level 0..9
//   2 BZIP  block size in units of 100 KB, 1..9 (0 always fails)
//   3 PPM   PPMd model order and memory by mode, 1..9
//
// Compressed output is allocated with std::malloc and handed to the caller,
// who frees it with std::free (VLMFreeBuffer). The input is never changed.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace qv {
class Stream;
}

inline constexpr uint8_t VLMCompressionNone = 0;
inline constexpr uint8_t VLMCompressionZlib = 1;
inline constexpr uint8_t VLMCompressionBZip = 2;
inline constexpr uint8_t VLMCompressionPPM = 3;

// Compresses inSize bytes. outSize is 0 first; false at once for algorithm 0,
// inSize < 1 or an unknown algorithm; true only when output was produced.
// Library failures answer false, never raise.
bool VLMCompressBuffer(uint8_t algorithm, uint8_t mode, const void* inBuffer, int64_t inSize,
                       void*& outBuffer, int64_t& outSize);

// Decompresses inSize bytes. outSize comes in as the expected plain size and
// goes out as the size produced. False (outBuffer nullptr, outSize 0) for
// algorithm 0, empty input, an unknown algorithm, corrupt or truncated data,
// or output beyond the expected size; true only when output was produced.
bool VLMDecompressBuffer(uint8_t algorithm, const void* inBuffer, int64_t inSize, int64_t& outSize,
                         void*& outBuffer);

// Releases a buffer made by VLMCompressBuffer or VLMDecompressBuffer and sets
// the pointer to nullptr.
void VLMFreeBuffer(void*& buffer);

// Owns a buffer made by VLMCompressBuffer or VLMDecompressBuffer and frees it
// with VLMFreeBuffer when it goes out of scope. The routines fill P and Size
// through their output arguments:
//   TVLMCompressionBuffer out;
//   VLMCompressBuffer(algorithm, mode, in, inSize, out.P, out.Size);
struct TVLMCompressionBuffer {
  TVLMCompressionBuffer() = default;
  ~TVLMCompressionBuffer() { VLMFreeBuffer(P); }
  TVLMCompressionBuffer(TVLMCompressionBuffer&& other) noexcept
      : P(std::exchange(other.P, nullptr)), Size(std::exchange(other.Size, 0)) {}
  TVLMCompressionBuffer& operator=(TVLMCompressionBuffer&& other) noexcept {
    if (this != &other) {
      VLMFreeBuffer(P);
      P = std::exchange(other.P, nullptr);
      Size = std::exchange(other.Size, 0);
    }
    return *this;
  }
  TVLMCompressionBuffer(const TVLMCompressionBuffer&) = delete;
  TVLMCompressionBuffer& operator=(const TVLMCompressionBuffer&) = delete;

  const uint8_t* Bytes() const { return static_cast<const uint8_t*>(P); }
  // Frees the bytes now; the buffer is empty afterwards.
  void Free() {
    VLMFreeBuffer(P);
    Size = 0;
  }

  void* P = nullptr;
  int64_t Size = 0;
};

// Continues a CRC-32 (reflected, polynomial 0xEDB88320) from crc over count
// bytes, with no inversion at either end; callers start from 0. A nil buffer
// or count < 1 returns crc unchanged.
uint32_t VLMCRC32(uint32_t crc, const void* buffer, int64_t count);

// 0..3 for "NONE", "ZLIB", "BZIP", "PPM" in any letter case; 0 for any other
// name.
uint8_t VLMCompressionAlgorithmFromName(std::string_view name);

// Creates a new, empty, uniquely named file "VLM..." in the temporary folder
// and returns its name.
std::string VLMGetTempFileName();

// Writes count bytes; fewer raise errorCode with "Cannot write to stream.
// Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d".
void VLMWriteStreamBuffer(const void* buffer, int64_t count, qv::Stream& stream, int32_t errorCode);

// Reads count bytes and returns count; fewer raise errorCode with "Cannot read
// from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read =
// %d".
int64_t VLMReadStreamBuffer(void* buffer, int64_t count, qv::Stream& stream, int32_t errorCode);

// Sets the position and reads it back; a different value raises errorCode
// with "Cannot set stream position to %d. Position = %d, Size = %d". Returns
// the position.
int64_t VLMSetStreamPosition(qv::Stream& stream, int32_t errorCode, int64_t position);
