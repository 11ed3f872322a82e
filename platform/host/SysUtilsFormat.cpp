// Numbers to text with the fixed FormatSettings. Floating-point text goes
// through std::to_chars only, so neither the C locale nor the
// environment can change a decimal separator.
//
// Float to text works like the host's: the value is first turned into its
// 18-significant-digit decimal form (correctly rounded from the binary value),
// then every further rounding (to a precision or a number of decimals) is done
// half away from zero on those decimal digits. So 0.125 with two decimals is
// "0.13", and 2.675 (binary 2.67499999999999982...) is "2.67".
#include <charconv>
#include <cmath>
#include <string>

#include "platform/host/SysUtils.h"
#include "platform/host/SysUtilsAscii.h"

namespace qv {

namespace {

constexpr int32_t kMaxFloatDigits = 18;

// value = 0.Digits * 10^Exponent; Digits has no trailing zeros; zero has no digits.
struct DecimalForm {
  bool Negative = false;
  int32_t Exponent = 0;
  std::string Digits;
};

// The 18-digit decimal form of a finite value.
DecimalForm decimalForm(long double v) {
  DecimalForm d;
  d.Negative = std::signbit(v);
  if (v == 0) {
    d.Negative = false;
    return d;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific,
                         kMaxFloatDigits - 1);
  std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
  size_t e = s.find('e');
  for (size_t k = 0; k < e; ++k)
    if (s[k] != '.') d.Digits.push_back(s[k]);
  int32_t exp10 = 0;
  std::from_chars(s.data() + e + (s[e + 1] == '+' ? 2 : 1), s.data() + s.size(), exp10);
  d.Exponent = exp10 + 1;
  while (!d.Digits.empty() && d.Digits.back() == '0') d.Digits.pop_back();
  return d;
}

// Keeps at most `keep` digits, rounding half away from zero. keep <= 0 rounds
// to 0 or to one unit at position `keep`.
void roundDigits(DecimalForm& d, int32_t keep) {
  if (d.Digits.empty() || keep >= static_cast<int32_t>(d.Digits.size())) return;
  if (keep < 0) {
    d.Digits.clear();
  } else {
    bool up = d.Digits[static_cast<size_t>(keep)] >= '5';
    d.Digits.resize(static_cast<size_t>(keep));
    if (up) {
      int32_t k = keep - 1;
      while (k >= 0 && d.Digits[static_cast<size_t>(k)] == '9') {
        d.Digits[static_cast<size_t>(k)] = '0';
        --k;
      }
      if (k < 0) {
        d.Digits.insert(d.Digits.begin(), '1');
        ++d.Exponent;
      } else {
        ++d.Digits[static_cast<size_t>(k)];
      }
    }
  }
  while (!d.Digits.empty() && d.Digits.back() == '0') d.Digits.pop_back();
  if (d.Digits.empty()) {
    d.Negative = false;
    d.Exponent = 0;
  }
}

// The host's FloatToDecimal: precision significant digits, at most `decimals`
// digits after the point.
DecimalForm floatToDecimal(long double v, int32_t precision, int32_t decimals) {
  DecimalForm d = decimalForm(v);
  if (d.Digits.empty()) return d;
  int64_t byDecimals = static_cast<int64_t>(d.Exponent) + decimals;
  int32_t keep = byDecimals < precision ? static_cast<int32_t>(byDecimals) : precision;
  roundDigits(d, keep);
  return d;
}

char digitAt(const DecimalForm& d, int32_t k) {
  return k >= 0 && k < static_cast<int32_t>(d.Digits.size()) ? d.Digits[static_cast<size_t>(k)] : '0';
}

std::string exponentText(int32_t exp, bool alwaysSign, int32_t minDigits) {
  std::string s = "E";
  if (exp < 0)
    s.push_back('-');
  else if (alwaysSign)
    s.push_back('+');
  std::string digits = std::to_string(exp < 0 ? -static_cast<int64_t>(exp) : exp);
  if (static_cast<int32_t>(digits.size()) < minDigits)
    digits.insert(0, static_cast<size_t>(minDigits) - digits.size(), '0');
  return s + digits;
}

// Integer part of d with or without thousand separators.
std::string integerPart(const DecimalForm& d, bool thousands) {
  if (d.Exponent <= 0) return "0";
  std::string s;
  for (int32_t k = 0; k < d.Exponent; ++k) {
    if (thousands && k > 0 && (d.Exponent - k) % 3 == 0) s.push_back(FormatSettings::ThousandSeparator);
    s.push_back(digitAt(d, k));
  }
  return s;
}

std::string formatGeneral(long double v, int32_t precision, int32_t expDigits) {
  DecimalForm d = floatToDecimal(v, precision, 9999);
  if (d.Digits.empty()) return "0";
  std::string s = d.Negative ? "-" : "";
  if (d.Exponent > precision || d.Exponent < -3) {
    s.push_back(d.Digits[0]);
    if (d.Digits.size() > 1) {
      s.push_back(FormatSettings::DecimalSeparator);
      s.append(d.Digits, 1);
    }
    return s + exponentText(d.Exponent - 1, false, expDigits);
  }
  s += integerPart(d, false);
  if (static_cast<int32_t>(d.Digits.size()) > d.Exponent) {
    s.push_back(FormatSettings::DecimalSeparator);
    for (int32_t k = d.Exponent; k < static_cast<int32_t>(d.Digits.size()); ++k) s.push_back(digitAt(d, k));
  }
  return s;
}

std::string formatExponent(long double v, int32_t precision, int32_t expDigits) {
  DecimalForm d = floatToDecimal(v, precision, 9999);
  std::string s = d.Negative ? "-" : "";
  s.push_back(digitAt(d, 0));
  if (precision > 1) {
    s.push_back(FormatSettings::DecimalSeparator);
    for (int32_t k = 1; k < precision; ++k) s.push_back(digitAt(d, k));
  }
  return s + exponentText(d.Digits.empty() ? 0 : d.Exponent - 1, true, expDigits);
}

std::string formatFixed(long double v, int32_t precision, int32_t decimals, bool thousands, bool* negative) {
  DecimalForm d = floatToDecimal(v, precision, decimals);
  if (d.Exponent > precision) return std::string();  // too many integer digits
  *negative = d.Negative;
  std::string s = integerPart(d, thousands);
  if (decimals > 0) {
    s.push_back(FormatSettings::DecimalSeparator);
    for (int32_t k = 0; k < decimals; ++k) s.push_back(digitAt(d, d.Exponent + k));
  }
  return s;
}

int32_t clampInt(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(int64_t value, int32_t digits) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(value), 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = sysutils::UpperAscii(c);
  if (static_cast<int32_t>(s.size()) < digits) s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
  return s;
}

std::string FloatToStrF(long double value, FloatFormat format, int32_t precision, int32_t digits) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  precision = clampInt(precision, 1, kMaxFloatDigits);
  switch (format) {
    case FloatFormat::ffGeneral:
      return formatGeneral(value, precision, clampInt(digits, 0, 4));
    case FloatFormat::ffExponent:
      return formatExponent(value, precision, clampInt(digits, 0, 4));
    default:
      break;
  }
  int32_t decimals = clampInt(digits, 0, kMaxFloatDigits);
  bool negative = false;
  std::string s = formatFixed(value, precision, decimals, format != FloatFormat::ffFixed, &negative);
  if (s.empty()) return formatGeneral(value, precision, 0);
  if (format == FloatFormat::ffCurrency) {
    std::string c = std::string(FormatSettings::CurrencyString) + s;
    return negative ? "(" + c + ")" : c;
  }
  return negative ? "-" + s : s;
}

std::string FloatToStr(long double value) { return FloatToStrF(value, FloatFormat::ffGeneral, 15, 0); }

std::string CurrToStr(int64_t value) {
  bool negative = value < 0;
  uint64_t mag = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string s = negative ? "-" : "";
  s += std::to_string(mag / 10000);
  uint64_t frac = mag % 10000;
  if (frac != 0) {
    std::string f = std::to_string(frac);
    f.insert(0, 4 - f.size(), '0');
    while (f.back() == '0') f.pop_back();
    s.push_back(FormatSettings::DecimalSeparator);
    s += f;
  }
  return s;
}

}  // namespace qv
