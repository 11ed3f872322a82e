// Whole-buffer compression and decompression over the installed bzip2 library.
//
// Output buffers come from the process heap (std::malloc) and belong to the
// caller, who releases them with std::free. The input is never changed.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "platform/host/Exception.h"

// Failures of the bzip2 binding; the two below carry "error %d" with the
// library's (negative) answer.
class EBZip2Error : public qv::Exception {
public:
  using qv::Exception::Exception;
};
class EBZCompressionError : public EBZip2Error {
public:
  using EBZip2Error::EBZip2Error;
};
class EBZDecompressionError : public EBZip2Error {
public:
  using EBZip2Error::EBZip2Error;
};

// Compresses with blocks of blockSize100k * 100 KB (1..9; the library refuses
// 0 and values above 9). The buffer starts a little above inBytes and grows in
// 256-byte steps while the library asks for more room. Throws
// EBZCompressionError on a library failure (out is then nullptr).
void BZCompressBuf(const void* in, int64_t inBytes, void*& out, int64_t& outBytes,
                   int32_t blockSize100k);

// Decompresses a whole bzip2 stream. estimate is the expected plain size (0
// when unknown). Throws EBZDecompressionError on a library error. Stops with
// out = nullptr and outBytes = 0 (no exception) when a call makes no progress
// (truncated data) or the output would pass a non-zero estimate.
void BZDecompressBuf(const void* in, int64_t inBytes, int64_t estimate, void*& out, int64_t& outBytes);
