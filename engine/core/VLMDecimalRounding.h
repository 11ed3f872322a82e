// Rounding of a floating-point value to a number of decimal digits in one of
// ten modes, as the SQL function ROUND uses it.
//
// Every mode allows a small relative tolerance around the value, so that a
// decimal half held slightly off in binary (2.675 is stored a little below
// 2.675) still rounds as a half. The arithmetic runs in 80-bit extended
// precision (long double on x86-64).
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <string_view>

// Rounding mode codes. A code of 10 or more rounds to nearest, ties to even,
// without the tolerance.
using TVLMRoundingMode = uint8_t;
inline constexpr TVLMRoundingMode drNone = 0;
inline constexpr TVLMRoundingMode drHalfEven = 1;
inline constexpr TVLMRoundingMode drHalfPos = 2;
inline constexpr TVLMRoundingMode drHalfNeg = 3;
inline constexpr TVLMRoundingMode drHalfDown = 4;
inline constexpr TVLMRoundingMode drHalfUp = 5;
inline constexpr TVLMRoundingMode drRndNeg = 6;
inline constexpr TVLMRoundingMode drRndPos = 7;
inline constexpr TVLMRoundingMode drRndDown = 8;
inline constexpr TVLMRoundingMode drRndUp = 9;

struct TVLMRoundingModeInfo {
  std::string_view Name;
  std::string_view Description;
};

// Name and description of each mode, indexed by its code.
extern const std::array<TVLMRoundingModeInfo, 10> VLMRoundingModes;

// The tolerance VLMRoundDecimal uses: the double whose bits are
// 0x3CC3C0000001E5ED (about 5.4817e-16, some 2.5 units in the last place).
double VLMDefaultMaxRelErr();

// Value rounded to Digits decimals (Digits < 0 rounds to tens, hundreds ...).
// NaN, infinities and mode drNone give Value unchanged, and so does a value
// whose scaled form does not fit a signed 64-bit integer. The tolerance is
// capped at a quarter unit of the requested digit, so that a digit near the
// end of the value's precision never moves an exact value.
long double VLMDecimalRound(long double Value, int32_t Digits, TVLMRoundingMode Mode, double MaxRelErr);

// VLMDecimalRound with the default tolerance.
long double VLMRoundDecimal(double Value, int32_t Digits, TVLMRoundingMode Mode);

// True for NaNs and infinities: exponent bits all ones and a non-zero
// significand.
bool VLMIsNaNOrInfinite(long double Value);
