#include "engine/core/VLMCompression.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "engine/core/VLMBZip2.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMPPMd.h"
#include "engine/core/VLMZlib.h"
#include "platform/host/Stream.h"
#include "platform/host/SysUtils.h"
#include "platform/os/System.h"

namespace {

constexpr std::array<std::string_view, 4> kAlgorithmNames = {"NONE", "ZLIB", "BZIP", "PPM"};

// A failed call leaves no buffer and a size of 0; returns the call's result.
bool Failed(void*& outBuffer, int64_t& outSize) {
  VLMFreeBuffer(outBuffer);
  outSize = 0;
  return false;
}

}  // namespace

bool VLMCompressBuffer(uint8_t algorithm, uint8_t mode, const void* inBuffer, int64_t inSize,
                       void*& outBuffer, int64_t& outSize) {
  outBuffer = nullptr;
  outSize = 0;
  if (algorithm == VLMCompressionNone || inSize < 1 || inBuffer == nullptr) return false;
  try {
    switch (algorithm) {
      case VLMCompressionZlib:
        CompressBuf(inBuffer, inSize, outBuffer, outSize, mode);
        break;
      case VLMCompressionBZip:
        BZCompressBuf(inBuffer, inSize, outBuffer, outSize, mode);
        break;
      case VLMCompressionPPM:
        if (!PPMCompressBuffer(mode, inBuffer, inSize, outBuffer, outSize)) outSize = 0;
        break;
      default:
        return false;
    }
  } catch (...) {
    return Failed(outBuffer, outSize);
  }
  if (outSize <= 0) return Failed(outBuffer, outSize);
  return true;
}

bool VLMDecompressBuffer(uint8_t algorithm, const void* inBuffer, int64_t inSize, int64_t& outSize,
                         void*& outBuffer) {
  const int64_t expected = outSize;
  outBuffer = nullptr;
  outSize = 0;
  if (algorithm == VLMCompressionNone || inSize < 1 || inBuffer == nullptr) return false;
  try {
    switch (algorithm) {
      case VLMCompressionZlib:
        DecompressBuf(inBuffer, inSize, expected, outBuffer, outSize);
        break;
      case VLMCompressionBZip:
        BZDecompressBuf(inBuffer, inSize, expected, outBuffer, outSize);
        break;
      case VLMCompressionPPM:
        outSize = expected;
        if (!PPMDecompressBuffer(inBuffer, inSize, outSize, outBuffer)) outSize = 0;
        break;
      default:
        return false;
    }
  } catch (...) {
    return Failed(outBuffer, outSize);
  }
  if (outSize <= 0 || outBuffer == nullptr) return Failed(outBuffer, outSize);
  return true;
}

void VLMFreeBuffer(void*& buffer) {
  std::free(buffer);
  buffer = nullptr;
}

uint32_t VLMCRC32(uint32_t crc, const void* buffer, int64_t count) {
  if (buffer == nullptr || count < 1) return crc;
  // zlib's crc32 inverts the value on entry and on exit; this CRC does
  // neither, so both inversions are undone around the call.
  uLong c = ~crc & 0xFFFFFFFFu;
  const auto* p = static_cast<const Bytef*>(buffer);
  while (count > 0) {
    const auto n = static_cast<uInt>(std::min<int64_t>(count, 1 << 30));
    c = crc32(c, p, n);
    p += n;
    count -= n;
  }
  return ~static_cast<uint32_t>(c);
}

uint8_t VLMCompressionAlgorithmFromName(std::string_view name) {
  // ASCII case only: the names are plain ASCII and must not depend on the
  // environment's locale.
  for (size_t i = 0; i < kAlgorithmNames.size(); ++i)
    if (qv::SameText(name, kAlgorithmNames[i])) return static_cast<uint8_t>(i);
  return VLMCompressionNone;
}

std::string VLMGetTempFileName() { return qv::CreateTempFile("VLM"); }

void VLMWriteStreamBuffer(const void* buffer, int64_t count, qv::Stream& stream, int32_t errorCode) {
  const int64_t position = stream.Position();
  const int64_t written = stream.Write(buffer, count);
  if (written < count)
    throw EVLMException(errorCode,
                        "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, "
                        "Bytes Write = %d",
                        {position, stream.Size(), count, written});
}

int64_t VLMReadStreamBuffer(void* buffer, int64_t count, qv::Stream& stream, int32_t errorCode) {
  const int64_t position = stream.Position();
  const int64_t read = stream.Read(buffer, count);
  if (read < count)
    throw EVLMException(errorCode,
                        "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, "
                        "Bytes Read = %d",
                        {position, stream.Size(), count, read});
  return count;
}

int64_t VLMSetStreamPosition(qv::Stream& stream, int32_t errorCode, int64_t position) {
  stream.Seek(position, qv::SeekOrigin::Beginning);
  const int64_t actual = stream.Position();
  if (actual != position)
    throw EVLMException(errorCode, "Cannot set stream position to %d. Position = %d, Size = %d",
                        {position, actual, stream.Size()});
  return actual;
}
