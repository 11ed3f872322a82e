#include "engine/core/VLMZlib.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/core/VLMMemory.h"

namespace {

constexpr int64_t kGrowStep = 256;               // output growth while deflating
constexpr int64_t kSmallEstimateLimit = 10000;   // estimates up to this size a first buffer
constexpr uInt kMaxChunk = 1u << 30;             // bytes handed to zlib per call

// Feeds the next piece of input; zlib counts in 32 bits.
void FeedInput(z_stream& zs, const uint8_t* in, int64_t inBytes) {
  if (zs.avail_in != 0) return;
  const int64_t consumed = static_cast<int64_t>(reinterpret_cast<const uint8_t*>(zs.next_in) - in);
  const int64_t left = inBytes - consumed;
  zs.avail_in = static_cast<uInt>(std::min<int64_t>(left, kMaxChunk));
}

// Grows a malloc'ed buffer, keeping its bytes; false when memory runs out.
bool Grow(uint8_t*& buf, int64_t newSize) {
  void* p = std::realloc(buf, static_cast<size_t>(newSize));
  if (p == nullptr) return false;
  buf = static_cast<uint8_t*>(p);
  return true;
}

}  // namespace

void CompressBuf(const void* in, int64_t inBytes, void*& out, int64_t& outBytes, int32_t level) {
  out = nullptr;
  outBytes = 0;
  const auto* src = static_cast<const uint8_t*>(in);
  int64_t size = (inBytes + inBytes / 10 + 12 + 255) & ~int64_t{255};
  auto* buf = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
  if (buf == nullptr) throw ECompressionError("error");

  z_stream zs{};
  if (deflateInit(&zs, level) != Z_OK) {
    std::free(buf);
    throw ECompressionError("error");
  }
  zs.next_in = const_cast<Bytef*>(src);
  zs.next_out = buf;
  zs.avail_out = static_cast<uInt>(std::min<int64_t>(size, kMaxChunk));
  int64_t produced = 0;
  for (;;) {
    FeedInput(zs, src, inBytes);
    const int64_t consumed = static_cast<int64_t>(zs.next_in - src);
    const int flush = consumed + zs.avail_in >= inBytes ? Z_FINISH : Z_NO_FLUSH;
    const uInt before = zs.avail_out;
    const int rc = deflate(&zs, flush);
    produced += before - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc < 0 && rc != Z_BUF_ERROR) {
      deflateEnd(&zs);
      std::free(buf);
      throw ECompressionError("error");
    }
    if (zs.avail_out == 0) {
      if (produced == size) {
        if (!Grow(buf, size + kGrowStep)) {
          deflateEnd(&zs);
          std::free(buf);
          throw ECompressionError("error");
        }
        std::memset(buf + size, 0, kGrowStep);
        size += kGrowStep;
      }
      zs.next_out = buf + produced;
      zs.avail_out = static_cast<uInt>(std::min<int64_t>(size - produced, kMaxChunk));
    }
  }
  deflateEnd(&zs);
  if (produced > 0 && produced < size) Grow(buf, produced);  // a failed shrink keeps the larger block
  out = buf;
  outBytes = produced;
}

bool DecompressBuf(const void* in, int64_t inBytes, int64_t estimate, void*& out, int64_t& outBytes) {
  out = nullptr;
  outBytes = 0;
  if (in == nullptr || inBytes <= 0) return false;
  const auto* src = static_cast<const uint8_t*>(in);
  const int64_t bufInc = (inBytes + 255) & ~int64_t{255};
  // Plain data larger than the engine's largest block cannot be held.
  const int64_t cap = estimate > 0 ? std::min(estimate, kVLMMaxBlockDataSize) : kVLMMaxBlockDataSize;
  int64_t size = (estimate >= 1 && estimate <= kSmallEstimateLimit) ? estimate : bufInc;
  size = std::min(size, cap + 1);
  auto* buf = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (buf == nullptr) return false;

  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    std::free(buf);
    return false;
  }
  zs.next_in = const_cast<Bytef*>(src);
  zs.next_out = buf;
  zs.avail_out = static_cast<uInt>(std::min<int64_t>(size, kMaxChunk));
  int64_t produced = 0;
  bool ok = false;
  for (;;) {
    FeedInput(zs, src, inBytes);
    const uInt inBefore = zs.avail_in;
    const uInt outBefore = zs.avail_out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    produced += outBefore - zs.avail_out;
    if (produced > cap) break;  // more plain bytes than expected
    if (rc == Z_STREAM_END) {
      ok = true;
      break;
    }
    if (rc < 0) break;
    if (zs.avail_in == inBefore && zs.avail_out == outBefore) break;  // no progress: truncated
    if (zs.avail_out == 0) {
      if (produced == size) {
        // Grow by the input size, at least doubling for long outputs, and
        // leave room for one byte past the cap so an overlong stream shows.
        const int64_t next = std::min(size + std::max(bufInc, size), cap + 1);
        if (next <= size || !Grow(buf, next)) break;
        size = next;
      }
      zs.next_out = buf + produced;
      zs.avail_out = static_cast<uInt>(std::min<int64_t>(size - produced, kMaxChunk));
    }
  }
  if (inflateEnd(&zs) < 0) ok = false;
  if (!ok || produced == 0) {
    std::free(buf);
    return false;
  }
  if (produced < size) Grow(buf, produced);
  out = buf;
  outBytes = produced;
  return true;
}
