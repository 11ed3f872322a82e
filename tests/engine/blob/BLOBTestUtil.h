// Helpers shared by the compressed BLOB stream tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/core/VLMBLOBStream.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "tests/support/EngineErrors.h"

namespace blobtest {

// Random bytes, or (compressible) text-like runs of a few words.
inline std::vector<uint8_t> Data(size_t n, uint32_t seed, bool compressible = true) {
  static const char* const kWords[] = {"contest ", "QSO ", "band ", "59 ", "CQ ", "W1AW ", "K6XX "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    if (!compressible || rng() % 7 == 0) v.push_back(static_cast<uint8_t>(rng()));
    for (const char* p = kWords[rng() % 7]; compressible && *p && v.size() < n; ++p) v.push_back(static_cast<uint8_t>(*p));
  }
  v.resize(n);
  return v;
}

inline std::vector<uint8_t> Contents(qv::Stream& s) {
  std::vector<uint8_t> v(static_cast<size_t>(s.Size()));
  s.Seek(0, qv::SeekOrigin::Beginning);
  v.resize(static_cast<size_t>(std::max<int64_t>(0, s.Read(v.data(), static_cast<int64_t>(v.size())))));
  return v;
}

inline void Put(qv::Stream& s, const std::vector<uint8_t>& bytes) {
  s.SetSize(0);
  s.Seek(0, qv::SeekOrigin::Beginning);
  if (!bytes.empty()) s.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

inline uint64_t LE(const std::vector<uint8_t>& b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return v;
}
inline void PutLE(std::vector<uint8_t>& b, size_t at, int width, uint64_t v) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One block as stored, parsed straight from the inner stream's bytes.
struct StoredBlock {
  int64_t Position;  // of the header
  uint32_t CompressedSize, UncompressedSize, CRC32;
  int64_t BlockLength;
};

// Walks count headers from start, following BlockLength.
inline std::vector<StoredBlock> Chain(const std::vector<uint8_t>& inner, int64_t start, int64_t count) {
  std::vector<StoredBlock> blocks;
  for (int64_t i = 0, p = start; i < count && p >= 0 && p + 20 <= static_cast<int64_t>(inner.size()); ++i) {
    const auto at = static_cast<size_t>(p);
    blocks.push_back({p, static_cast<uint32_t>(LE(inner, at, 4)), static_cast<uint32_t>(LE(inner, at + 4, 4)),
                      static_cast<uint32_t>(LE(inner, at + 8, 4)), static_cast<int64_t>(LE(inner, at + 12, 8))});
    p += blocks.back().BlockLength;
  }
  return blocks;
}

inline TVLMBLOBDescriptor Descriptor(uint8_t algorithm, uint8_t mode, uint32_t blockSize, int64_t start = 0) {
  TVLMBLOBDescriptor d;
  d.Algorithm = algorithm;
  d.Mode = mode;
  d.BlockSize = blockSize;
  d.StartPosition = start;
  return d;
}

// Writes value as a new value and returns its descriptor.
inline TVLMBLOBDescriptor Store(qv::Stream& inner, const std::vector<uint8_t>& value, const TVLMBLOBDescriptor& d) {
  TVLMCompressedBLOBStream s(inner, false, true, d);
  if (!value.empty()) s.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
  return s.Descriptor();
}

// The code of the EVLMException fn raises, 0 when none.
using qv::test::RaisedCode;
using qv::test::RaisedMessage;

}  // namespace blobtest
