#include "engine/core/VLMBZip2.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/core/VLMMemory.h"

namespace {

constexpr int64_t kGrowStep = 256;
constexpr unsigned kMaxChunk = 1u << 30;  // bytes handed to the library per call

int64_t TotalOut(const bz_stream& bs) {
  return static_cast<int64_t>((static_cast<uint64_t>(bs.total_out_hi32) << 32) | bs.total_out_lo32);
}
int64_t TotalIn(const bz_stream& bs) {
  return static_cast<int64_t>((static_cast<uint64_t>(bs.total_in_hi32) << 32) | bs.total_in_lo32);
}

void FeedInput(bz_stream& bs, const uint8_t* in, int64_t inBytes) {
  if (bs.avail_in != 0) return;
  const int64_t left = inBytes - TotalIn(bs);
  bs.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in + TotalIn(bs)));
  bs.avail_in = static_cast<unsigned>(std::min<int64_t>(left, kMaxChunk));
}

bool Grow(uint8_t*& buf, int64_t newSize) {
  void* p = std::realloc(buf, static_cast<size_t>(newSize));
  if (p == nullptr) return false;
  buf = static_cast<uint8_t*>(p);
  return true;
}

[[noreturn]] void Fail(bool compressing, int rc) {
  const std::string text = "error " + std::to_string(rc);
  if (compressing) throw EBZCompressionError(text);
  throw EBZDecompressionError(text);
}

}  // namespace

void BZCompressBuf(const void* in, int64_t inBytes, void*& out, int64_t& outBytes,
                   int32_t blockSize100k) {
  out = nullptr;
  outBytes = 0;
  const auto* src = static_cast<const uint8_t*>(in);
  int64_t size = (inBytes + inBytes / 10 + 12 + 255) & ~int64_t{255};
  auto* buf = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
  if (buf == nullptr) Fail(true, BZ_MEM_ERROR);

  bz_stream bs{};
  const int initRc = BZ2_bzCompressInit(&bs, blockSize100k, 0, 0);
  if (initRc != BZ_OK) {
    std::free(buf);
    Fail(true, initRc);
  }
  bs.next_out = reinterpret_cast<char*>(buf);
  bs.avail_out = static_cast<unsigned>(std::min<int64_t>(size, kMaxChunk));
  for (;;) {
    FeedInput(bs, src, inBytes);
    const bool lastInput = TotalIn(bs) + bs.avail_in >= inBytes;
    const int rc = BZ2_bzCompress(&bs, lastInput ? BZ_FINISH : BZ_RUN);
    if (rc == BZ_STREAM_END) break;
    if (rc < 0) {
      BZ2_bzCompressEnd(&bs);
      std::free(buf);
      Fail(true, rc);
    }
    if (bs.avail_out == 0) {
      const int64_t produced = TotalOut(bs);
      if (produced == size) {
        if (!Grow(buf, size + kGrowStep)) {
          BZ2_bzCompressEnd(&bs);
          std::free(buf);
          Fail(true, BZ_MEM_ERROR);
        }
        std::memset(buf + size, 0, kGrowStep);
        size += kGrowStep;
      }
      bs.next_out = reinterpret_cast<char*>(buf + produced);
      bs.avail_out = static_cast<unsigned>(std::min<int64_t>(size - produced, kMaxChunk));
    }
  }
  const int64_t produced = TotalOut(bs);
  BZ2_bzCompressEnd(&bs);
  if (produced > 0 && produced < size) Grow(buf, produced);
  out = buf;
  outBytes = produced;
}

void BZDecompressBuf(const void* in, int64_t inBytes, int64_t estimate, void*& out, int64_t& outBytes) {
  out = nullptr;
  outBytes = 0;
  if (in == nullptr || inBytes <= 0) return;
  const auto* src = static_cast<const uint8_t*>(in);
  const int64_t bufInc = (inBytes + 255) & ~int64_t{255};
  const int64_t cap = estimate > 0 ? std::min(estimate, kVLMMaxBlockDataSize) : kVLMMaxBlockDataSize;
  // A stored size is not trusted with one large allocation: start at the
  // smaller of it and a few times the input, and grow by doubling.
  const int64_t firstGuess = std::max<int64_t>(bufInc * 8, int64_t{1} << 20);
  int64_t size = std::min({estimate != 0 ? std::max<int64_t>(estimate, 1) : bufInc, cap + 1, firstGuess});
  auto* buf = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (buf == nullptr) Fail(false, BZ_MEM_ERROR);

  bz_stream bs{};
  const int initRc = BZ2_bzDecompressInit(&bs, 0, 0);
  if (initRc != BZ_OK) {
    std::free(buf);
    Fail(false, initRc);
  }
  bs.next_out = reinterpret_cast<char*>(buf);
  bs.avail_out = static_cast<unsigned>(std::min<int64_t>(size, kMaxChunk));
  bool ok = false;
  int failure = 0;
  for (;;) {
    FeedInput(bs, src, inBytes);
    const int64_t inBefore = TotalIn(bs);
    const int64_t outBefore = TotalOut(bs);
    const int rc = BZ2_bzDecompress(&bs);
    if (TotalOut(bs) > cap) break;  // more plain bytes than expected
    if (rc == BZ_STREAM_END) {
      ok = true;
      break;
    }
    if (rc < 0) {
      failure = rc;
      break;
    }
    // A truncated stream leaves the library waiting for input for ever.
    if (TotalIn(bs) == inBefore && TotalOut(bs) == outBefore) break;
    if (TotalOut(bs) == 0 && TotalIn(bs) >= inBytes) break;
    if (bs.avail_out == 0) {
      const int64_t produced = TotalOut(bs);
      if (produced == size) {
        const int64_t next = std::min(size + std::max(bufInc, size), cap + 1);
        if (next <= size || !Grow(buf, next)) break;
        size = next;
      }
      bs.next_out = reinterpret_cast<char*>(buf + produced);
      bs.avail_out = static_cast<unsigned>(std::min<int64_t>(size - produced, kMaxChunk));
    }
  }
  const int64_t produced = TotalOut(bs);
  BZ2_bzDecompressEnd(&bs);
  if (failure != 0) {
    std::free(buf);
    Fail(false, failure);
  }
  if (!ok || produced == 0) {
    std::free(buf);
    return;
  }
  if (produced < size) Grow(buf, produced);
  out = buf;
  outBytes = produced;
}
