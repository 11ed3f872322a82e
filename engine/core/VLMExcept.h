// EVLMException: the one exception class of the database engine.
//
// Every raise site passes a literal numeric code of its own, so a code read
// back from a message points at one place in the engine:
//   10000-10515  storage, streams, compression, record buffers, metadata
//                streams, variant arrays, cursor field access
//   20001-20303  SQL execution, locks, autoincrement limits, SQL field access
//   30001-30506  internal errors, memory manager, parser and lexer, type
//                conversion, metadata checks
//   2011, 2156   two parser sites that pass four-digit codes
//
// The message always ends with " - Native error: " and the code. The plain
// form writes the code zero-padded to five digits ("02011"); the formatting
// form writes it blank-padded to a width of five (" 2156"). Stored messages
// and logs rely on both shapes, so they are kept apart on purpose.
//
// Raise sites:
//   throw EVLMException(30001, "Invalid pointer");
//   throw EVLMException(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/host/Exception.h"
#include "platform/host/Format.h"

class EVLMException : public qv::Exception {
public:
  // Create: msg + " - Native error: " + code zero-padded to five digits.
  EVLMException(int32_t errorCode, std::string_view msg);

  // CreateFmt: qv::format(fmt, args) + " - Native error: " + code in a field
  // of five, blank-padded. A format text that does not fit its arguments
  // never raises a second exception: the text becomes the raw format text
  // followed by " Arguments are invalid!".
  EVLMException(int32_t errorCode, std::string_view fmt,
                std::initializer_list<qv::FormatArg> args);

  // CreateFmt with an argument list built at run time.
  static EVLMException CreateFmt(int32_t errorCode, std::string_view fmt,
                                 std::span<const qv::FormatArg> args);

  // The site's code, exactly as passed to the constructor.
  int32_t NativeError;

private:
  struct FormattedTag {};
  EVLMException(FormattedTag, int32_t errorCode, std::string message);
};

// The two code renderings, exposed for the components that rebuild engine
// messages and for tests.
std::string VLMNativeErrorZeroPadded(int32_t code);   // "%.5d"
std::string VLMNativeErrorBlankPadded(int32_t code);  // "%5d"
