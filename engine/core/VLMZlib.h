// Whole-buffer deflate and inflate over the installed zlib.
//
// Output buffers come from the process heap (std::malloc) and belong to the
// caller, who releases them with std::free. The input is never changed.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>

#include "platform/host/Exception.h"

// Raised by CompressBuf when zlib answers with an error.
class ECompressionError : public qv::Exception {
public:
  using qv::Exception::Exception;
};

// Deflates inBytes bytes at level (0..9) into a new buffer. The buffer starts
// at an estimate a little above inBytes and grows in 256-byte steps while
// deflate asks for more room. Throws ECompressionError "error" on a zlib
// failure (out is then nullptr).
void CompressBuf(const void* in, int64_t inBytes, void*& out, int64_t& outBytes, int32_t level);

// Inflates a whole zlib stream. estimate is the expected plain size (0 when
// unknown). Answers false, with out = nullptr and outBytes = 0, on corrupt or
// truncated data, on a call that makes no progress, and when the output would
// pass a non-zero estimate. Never throws for bad data.
bool DecompressBuf(const void* in, int64_t inBytes, int64_t estimate, void*& out, int64_t& outBytes);
