#include "engine/core/VLMDecimalRounding.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kDefaultMaxRelErrBits = 0x3CC3C0000001E5EDull;
// 2^63: the first magnitude a signed 64-bit integer cannot hold.
constexpr long double kTwoPow63 = 9223372036854775808.0L;
// The widest tolerance band, in units of the target digit.
constexpr long double kMaxTolerance = 0.25L;

// The processor's default rounding: to nearest, ties to even. Returns false
// when the rounded value does not fit a signed 64-bit integer (or is NaN).
bool roundToInt64(long double x, int64_t& r) {
  long double n = std::nearbyint(x);
  if (!(n >= -kTwoPow63 && n < kTwoPow63)) return false;
  r = static_cast<int64_t>(n);
  return true;
}

}  // namespace

const std::array<TVLMRoundingModeInfo, 10> VLMRoundingModes = {{
    {"None", "No rounding."},
    {"HalfEven", "Round to nearest or to even whole number (a.k.a Bankers) "},
    {"HalfPos", "Round to nearest or toward positive"},
    {"HalfNeg", "Round to nearest or toward negative"},
    {"HalfDown", "Round to nearest or toward zero"},
    {"HalfUp", "Round to nearest or away from zero"},
    {"RndNeg", "Round toward negative. (a.k.a. Floor) "},
    {"RndPos", "Round toward positive. (a.k.a. Ceil ) "},
    {"RndDown", "Round toward zero. (a.k.a. Trunc) "},
    {"RndUp", "Round away from zero."},
}};

double VLMDefaultMaxRelErr() { return std::bit_cast<double>(kDefaultMaxRelErrBits); }

bool VLMIsNaNOrInfinite(long double Value) {
  if constexpr (std::numeric_limits<long double>::digits == 64) {
    // x87 extended: 64-bit significand (explicit integer bit), then 15 bits
    // of exponent and the sign.
    unsigned char bytes[sizeof(long double)];
    std::memcpy(bytes, &Value, sizeof bytes);
    uint64_t significand = 0;
    for (int i = 7; i >= 0; --i) significand = (significand << 8) | bytes[i];
    const uint16_t exponent = static_cast<uint16_t>((bytes[8] | (bytes[9] << 8)) & 0x7FFF);
    return exponent == 0x7FFF && significand != 0;
  } else {
    return std::isnan(Value) || std::isinf(Value);
  }
}

long double VLMDecimalRound(long double Value, int32_t Digits, TVLMRoundingMode Mode, double MaxRelErr) {
  if (VLMIsNaNOrInfinite(Value) || Mode == drNone) return Value;

  // 10^|Digits| by repeated multiplication; once it overflows to infinity it
  // stays there, so a huge digit count costs no more than a few thousand steps.
  const int64_t count = Digits < 0 ? -static_cast<int64_t>(Digits) : Digits;
  long double scale = 1.0L;
  for (int64_t i = 0; i < count && !std::isinf(scale); ++i) scale *= 10.0L;

  const bool up = Digits >= 0;
  const long double x = up ? Value * scale : Value / scale;
  long double e = std::fabs(Value * static_cast<long double>(MaxRelErr));
  e = up ? e * scale : e / scale;
  if (std::isnan(e)) return Value;
  // The tolerance must stay well below half a unit of the target digit: at
  // or beyond a half every mode would move exact values (1.5 to 15 decimals
  // would become 1.500000000000001). It grows that wide only for digits near
  // the end of the value's precision; there a quarter unit still covers the
  // representation error of most values.
  if (e > kMaxTolerance) e = kMaxTolerance;

  const long double ax = std::fabs(x);
  int64_t r = 0;
  bool ok = false;
  switch (Mode) {
    case drHalfEven:
      ok = roundToInt64(x - e, r);
      if (ok && (r & 1) != 0) ok = roundToInt64(x + e, r);
      break;
    case drHalfPos: ok = roundToInt64(x + e, r); break;
    case drHalfNeg: ok = roundToInt64(x - e, r); break;
    case drHalfDown: ok = roundToInt64(ax - e, r); break;
    case drHalfUp: ok = roundToInt64(ax + e, r); break;
    case drRndNeg: ok = roundToInt64(x + e - 0.5L, r); break;
    case drRndPos: ok = roundToInt64(x - e + 0.5L, r); break;
    case drRndDown: ok = roundToInt64(ax + e - 0.5L, r); break;
    case drRndUp: ok = roundToInt64(ax - e + 0.5L, r); break;
    default: ok = roundToInt64(x, r); break;
  }
  if (!ok) return Value;

  const long double rr = static_cast<long double>(r);
  // A zero times an infinite scale stays zero rather than becoming NaN.
  long double result = up ? rr / scale : (r == 0 ? 0.0L : rr * scale);
  switch (Mode) {
    case drHalfDown:
    case drHalfUp:
    case drRndDown:
    case drRndUp:
      if (Value < 0) result = -result;
      break;
    default: break;
  }
  return result;
}

long double VLMRoundDecimal(double Value, int32_t Digits, TVLMRoundingMode Mode) {
  return VLMDecimalRound(Value, Digits, Mode, VLMDefaultMaxRelErr());
}
