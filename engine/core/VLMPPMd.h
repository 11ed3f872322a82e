// The PPMd compressor: algorithm 3 ("PPM") of the engine's buffer compression.
//
// The model is PPMd variant G (prediction by partial matching with binary
// contexts, SEE escape estimation, a 12-byte-unit sub-allocator and a
// carry-less range coder). This module frames, parameterises and guards it.
//
// Compressed buffer layout:
//
//   offset  width          field
//   0       u32 LE         header: bits 0-3   MaxOrder - 1   (0 is refused)
//                                  bits 4-11  MemoryMB - 1
//                                  bits 12-15 6 (the variant letter G, A = 0)
//                                  bits 16-31 0
//   4       rest           the range coder's output for every input byte, then
//                          the end-of-data symbol, then the coder's 4 flush bytes
//
// Mode table (the compression mode 1-9 of the buffer compression):
//
//   Mode      1  2  3  4   5   6   7   8    9
//   MaxOrder  2  3  4  5   7   8  10  13   16
//   MemoryMB  2  3  7  16  22  25  40  100  100
//
// Invariants:
//   1. Every buffer is coded by a freshly started model; the same input and
//      mode always give the same bytes.
//   2. The model arena is MemoryMB * 2^20 bytes and model objects inside it are
//      named by 32-bit offsets, so the points where memory runs out (and the
//      model restarts) are those of a 32-bit build; they are part of the format.
//   3. One model and one arena serve the whole process; PPMCompress and
//      PPMDecompress run only while PPMLock() is held. The arena is freed
//      before either returns, so no memory is held between calls.
//   4. The decoder never writes past the capacity it is given; corrupt input
//      ends in failure (0), never in a fault.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <mutex>

// Model order and arena size for a compression mode; 0 for a mode outside 1-9
// (mode 0 has no table entry and is refused).
uint32_t PPMMaxOrderForMode(uint8_t mode);
uint32_t PPMMemoryMBForMode(uint8_t mode);

// The process-wide lock that serialises all PPMd work.
std::recursive_mutex& PPMLock();

// Compresses inSize bytes into outBuffer, which the caller allocated with
// std::malloc holding outCapacity bytes. The buffer grows with std::realloc
// when the output would pass its end (incompressible input); outBuffer and
// outCapacity then describe the grown buffer, which the caller still owns.
// Returns the number of bytes written, header included; 0 on failure (bad
// order or memory, arena or buffer allocation failed).
// maxOrder: 2..16; memoryMB: 1..256. The caller holds PPMLock().
int64_t PPMCompress(const uint8_t* inBuffer, int64_t inSize, uint8_t*& outBuffer,
                    int64_t& outCapacity, uint32_t memoryMB, uint32_t maxOrder);

// Decompresses a buffer made by PPMCompress into outBuffer of outCapacity
// bytes (the expected plain size). Returns the number of bytes produced; 0 on
// failure: wrong variant letter, order nibble 0, arena allocation failed, or
// the data would decode to more than outCapacity bytes. Input past inSize
// reads as 0xFF bytes. The caller holds PPMLock().
int64_t PPMDecompress(const uint8_t* inBuffer, int64_t inSize, uint8_t* outBuffer,
                      int64_t outCapacity);

// The PPM branch of the buffer compression, whole: takes the lock, allocates
// the output on the host heap (std::malloc; the caller frees it with
// std::free) and compresses with the mode's order and memory. False (outBuffer
// nullptr, outSize 0) for an empty input, a mode outside 1-9 or any failure.
bool PPMCompressBuffer(uint8_t mode, const void* inBuffer, int64_t inSize, void*& outBuffer,
                       int64_t& outSize);

// The PPM branch of the buffer decompression: outSize comes in as the expected
// plain size and goes out as the size produced. The output (outSize bytes of
// a zero-filled block of the expected size) lives on the host heap; the
// caller frees it with std::free. False (outBuffer nullptr, outSize 0) for an
// empty input, an expected size below 1 or any failure.
bool PPMDecompressBuffer(const void* inBuffer, int64_t inSize, int64_t& outSize,
                         void*& outBuffer);

// True while a model arena is allocated (only ever inside a call).
bool PPMArenaAllocated();

// How often the model ran out of memory and restarted during the last call.
int32_t PPMLastRestartCount();
