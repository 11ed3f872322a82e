// Text to numbers and currency with the fixed FormatSettings, through
// std::from_chars only (no locale). Blanks around the text are allowed; a
// value out of range is an error, never a wrapped or clamped result.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "platform/host/SysUtilsAscii.h"

namespace qv {

namespace {

// Integer text: blanks around, optional sign, decimal digits or "$"/"0x" hex.
bool parseInt64(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
  std::string_view s = sysutils::TrimView(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t mag = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), mag, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (base == 16 && !negative && mag > static_cast<uint64_t>(hi)) {
    // Hexadecimal text is the bit pattern: $FFFFFFFF is -1 as an Integer.
    if (hi == INT32_MAX && mag <= UINT32_MAX) {
      out = static_cast<int32_t>(static_cast<uint32_t>(mag));
      return true;
    }
    if (hi == INT64_MAX) {
      out = static_cast<int64_t>(mag);
      return true;
    }
    return false;
  }
  if (negative) {
    if (mag > static_cast<uint64_t>(-(lo + 1)) + 1) return false;
    out = mag == 0 ? 0 : -static_cast<int64_t>(mag - 1) - 1;
  } else {
    if (mag > static_cast<uint64_t>(hi)) return false;
    out = static_cast<int64_t>(mag);
  }
  return true;
}

[[noreturn]] void invalidInteger(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}
[[noreturn]] void invalidFloat(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
}

// Number text: sign, digits with at most one '.', at least one digit, optional
// exponent "E[sign]digits". Splits it into its parts without converting.
struct NumberText {
  bool Negative = false;
  std::string Mantissa;  // the digits, the point removed
  int64_t PointPos = 0;  // digits before the point
  int64_t Exp = 0;
};

bool scanNumber(std::string_view text, NumberText& n) {
  std::string_view s = sysutils::TrimView(text);
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) n.Negative = s[i++] == '-';
  bool point = false;
  bool any = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      n.Mantissa.push_back(c);
      if (!point) ++n.PointPos;
      any = true;
    } else if (c == FormatSettings::DecimalSeparator && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negExp = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negExp = s[i++] == '-';
    if (i >= s.size()) return false;
    int64_t e = 0;
    for (; i < s.size(); ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      if (e < 100000) e = e * 10 + (s[i] - '0');
    }
    n.Exp = negExp ? -e : e;
  }
  return i == s.size();
}

}  // namespace

bool TryStrToInt(std::string_view s, int32_t& value) {
  int64_t v = 0;
  if (!parseInt64(s, INT32_MIN, INT32_MAX, v)) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool TryStrToInt64(std::string_view s, int64_t& value) {
  return parseInt64(s, INT64_MIN, INT64_MAX, value);
}

int32_t StrToInt(std::string_view s) {
  int32_t v = 0;
  if (!TryStrToInt(s, v)) invalidInteger(s);
  return v;
}

int64_t StrToInt64(std::string_view s) {
  int64_t v = 0;
  if (!TryStrToInt64(s, v)) invalidInteger(s);
  return v;
}

int32_t StrToIntDef(std::string_view s, int32_t defaultValue) {
  int32_t v = 0;
  return TryStrToInt(s, v) ? v : defaultValue;
}

int64_t StrToInt64Def(std::string_view s, int64_t defaultValue) {
  int64_t v = 0;
  return TryStrToInt64(s, v) ? v : defaultValue;
}

bool TryStrToFloat(std::string_view text, double& value) {
  NumberText n;
  if (!scanNumber(text, n)) return false;
  // Rebuild a plain "digits[.digits]e<exp>" text for from_chars, which takes
  // neither a '+' sign nor blanks.
  std::string_view s = sysutils::TrimView(text);
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ptr != s.data() + s.size()) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // Underflow gives zero, as the host's conversion does; overflow is an error.
    bool allZero = n.Mantissa.find_first_not_of('0') == std::string::npos;
    size_t firstNonZero = n.Mantissa.find_first_not_of('0');
    int64_t magnitude = allZero ? 0 : n.PointPos - static_cast<int64_t>(firstNonZero) + n.Exp;
    if (magnitude > 0) return false;
    v = 0;
  } else if (r.ec != std::errc()) {
    return false;
  }
  value = n.Negative ? -v : v;
  return true;
}

double StrToFloat(std::string_view s) {
  double v = 0;
  if (!TryStrToFloat(s, v)) invalidFloat(s);
  return v;
}

double StrToFloatDef(std::string_view s, double defaultValue) {
  double v = 0;
  return TryStrToFloat(s, v) ? v : defaultValue;
}

bool TryStrToCurr(std::string_view text, int64_t& value) {
  NumberText n;
  if (!scanNumber(text, n)) return false;
  // The digit at 10^-4 is at index PointPos + Exp + 3 of Mantissa.
  int64_t lastIndex = n.PointPos + n.Exp + 3;
  uint64_t mag = 0;
  constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
  for (int64_t k = 0; k <= lastIndex; ++k) {
    char c = k < static_cast<int64_t>(n.Mantissa.size()) ? n.Mantissa[static_cast<size_t>(k)] : '0';
    // Skip leading zeros quickly so that a huge exponent on zero stays cheap.
    if (mag == 0 && c == '0') {
      if (k >= static_cast<int64_t>(n.Mantissa.size())) break;
      continue;
    }
    if (mag > (kLimit - static_cast<uint64_t>(c - '0')) / 10) return false;
    mag = mag * 10 + static_cast<uint64_t>(c - '0');
  }
  int64_t next = lastIndex + 1;
  if (next >= 0 && next < static_cast<int64_t>(n.Mantissa.size()) && n.Mantissa[static_cast<size_t>(next)] >= '5') {
    if (mag == kLimit) return false;
    ++mag;
  }
  value = n.Negative ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
  return true;
}

int64_t StrToCurr(std::string_view s) {
  int64_t v = 0;
  if (!TryStrToCurr(s, v)) invalidFloat(s);
  return v;
}

int64_t FloatToCurr(double value) {
  if (!std::isfinite(value)) throw EConvertError("'" + FloatToStr(value) + "' is not a valid currency value");
  long double scaled = std::round(static_cast<long double>(value) * 10000.0L);
  if (scaled >= 9223372036854775807.0L || scaled < -9223372036854775808.0L)
    throw EConvertError("'" + FloatToStr(value) + "' is not a valid currency value");
  return static_cast<int64_t>(scaled);
}

double CurrToFloat(int64_t value) { return static_cast<double>(static_cast<long double>(value) / 10000.0L); }

}  // namespace qv
