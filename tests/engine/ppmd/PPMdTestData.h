// Inputs and small call wrappers shared by the PPMd tests.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/core/VLMPPMd.h"

namespace ppmdtest {

using Bytes = std::vector<uint8_t>;

inline Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

// "0 1 2 3 ..." cut off after exactly size bytes.
inline Bytes Numbers(size_t size) {
  std::string s;
  for (int i = 0; s.size() < size; ++i) s += std::to_string(i) + ' ';
  s.resize(size);
  return FromText(s);
}

// The linear congruential bytes of the published vectors (seed 12345).
inline Bytes Lcg(size_t size) {
  Bytes v(size);
  uint32_t s = 12345;
  for (auto& b : v) {
    s = s * 1103515245u + 12345u;
    b = static_cast<uint8_t>((s >> 16) & 0xFF);
  }
  return v;
}

inline Bytes Random(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(size);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Log-like English text: sentences over a small vocabulary with call signs,
// reports and frequencies mixed in.
inline Bytes Text(size_t size) {
  static const char* const kWords[] = {
      "the",   "of",     "and",    "contest", "station", "call",     "band",   "mode",
      "signal", "report", "serial", "number",  "exchange", "operator", "logged", "frequency",
      "zone",  "country", "state", "multiplier", "points", "score",  "duplicate", "member",
      "lookup", "was",   "with",   "for",     "on",      "at",       "from",   "this",
      "that",  "is",     "in",     "a",       "to",      "QSO",      "CW",     "SSB"};
  constexpr uint32_t kCount = sizeof(kWords) / sizeof(kWords[0]);
  std::mt19937 rng(7);
  std::string t;
  while (t.size() < size) {
    const uint32_t n = 3 + rng() % 12;
    for (uint32_t i = 0; i < n; ++i) {
      t += kWords[rng() % kCount];
      t += i + 1 < n ? ' ' : '.';
    }
    if (rng() % 4 == 0) {
      // One draw per statement: the order of the draws must not depend on
      // the compiler's order of evaluating operands.
      const uint32_t digit = rng() % 10;
      const uint32_t serial = rng() % 2000;
      const uint32_t khz = 100 + rng() % 250;
      t += " K" + std::to_string(digit) + "XYZ 599 " + std::to_string(serial) + " 14." +
           std::to_string(khz);
    }
    t += '\n';
  }
  t.resize(size);
  return FromText(t);
}

inline uint32_t Crc(const Bytes& v) {
  return static_cast<uint32_t>(crc32(0, v.data(), static_cast<uInt>(v.size())));
}

// Compresses with the low-level call (which, unlike the buffer call, also
// takes an empty input). Empty result on failure.
inline Bytes Compress(const Bytes& in, uint8_t mode, int64_t initialCapacity = -1) {
  int64_t capacity = initialCapacity >= 0 ? initialCapacity
                                          : static_cast<int64_t>(in.size() + in.size() / 20 + 50);
  auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(capacity > 0 ? capacity : 1)));
  int64_t size;
  {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    size = PPMCompress(in.data(), static_cast<int64_t>(in.size()), out, capacity,
                       PPMMemoryMBForMode(mode), PPMMaxOrderForMode(mode));
  }
  Bytes result(out, out + size);
  std::free(out);
  return result;
}

// Decodes into a buffer of exactly `expected` bytes (so ASan sees any write
// past it); returns the bytes produced, empty on failure.
inline Bytes Decompress(const Bytes& in, size_t expected) {
  auto* out = static_cast<uint8_t*>(std::malloc(expected > 0 ? expected : 1));
  int64_t size;
  {
    std::lock_guard<std::recursive_mutex> guard(PPMLock());
    size = PPMDecompress(in.data(), static_cast<int64_t>(in.size()), out,
                         static_cast<int64_t>(expected));
  }
  Bytes result(out, out + size);
  std::free(out);
  return result;
}

}  // namespace ppmdtest
