#include "engine/core/VLMExcept.h"

#include <charconv>
#include <exception>

namespace {

constexpr std::string_view kNativeErrorTail = " - Native error: ";
constexpr std::string_view kArgumentsInvalid = " Arguments are invalid!";
constexpr size_t kCodeWidth = 5;

// The decimal digits of |code| and whether it is negative.
std::string Digits(int32_t code, bool& negative) {
  negative = code < 0;
  // Widen first so that INT32_MIN has a magnitude.
  const int64_t magnitude = negative ? -static_cast<int64_t>(code) : code;
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude);
  (void)ec;
  return std::string(buf, end);
}

std::string FormatOrFallback(std::string_view fmt, std::span<const qv::FormatArg> args) {
  try {
    return qv::format(fmt, args);
  } catch (...) {
    std::string text(fmt);
    text += kArgumentsInvalid;
    return text;
  }
}

}  // namespace

std::string VLMNativeErrorZeroPadded(int32_t code) {
  bool negative = false;
  std::string digits = Digits(code, negative);
  if (digits.size() < kCodeWidth) digits.insert(0, kCodeWidth - digits.size(), '0');
  if (negative) digits.insert(0, 1, '-');
  return digits;
}

std::string VLMNativeErrorBlankPadded(int32_t code) {
  bool negative = false;
  std::string text = Digits(code, negative);
  if (negative) text.insert(0, 1, '-');
  if (text.size() < kCodeWidth) text.insert(0, kCodeWidth - text.size(), ' ');
  return text;
}

EVLMException::EVLMException(int32_t errorCode, std::string_view msg)
    : qv::Exception(std::string(msg).append(kNativeErrorTail).append(
          VLMNativeErrorZeroPadded(errorCode))),
      NativeError(errorCode) {}

EVLMException::EVLMException(int32_t errorCode, std::string_view fmt,
                             std::initializer_list<qv::FormatArg> args)
    : EVLMException(FormattedTag{}, errorCode,
                    FormatOrFallback(fmt, std::span<const qv::FormatArg>(args.begin(), args.size()))) {}

EVLMException EVLMException::CreateFmt(int32_t errorCode, std::string_view fmt,
                                       std::span<const qv::FormatArg> args) {
  return EVLMException(FormattedTag{}, errorCode, FormatOrFallback(fmt, args));
}

EVLMException::EVLMException(FormattedTag, int32_t errorCode, std::string message)
    : qv::Exception(std::move(message.append(kNativeErrorTail).append(
          VLMNativeErrorBlankPadded(errorCode)))),
      NativeError(errorCode) {}
