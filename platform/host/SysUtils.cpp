// Text conversions with the fixed FormatSettings. Floating-point text goes
// through std::to_chars/from_chars only, so neither the C locale nor the
// environment can change a decimal separator.
//
// Float to text works like the host's: the value is first turned into its
// 18-significant-digit decimal form (correctly rounded from the binary value),
// then every further rounding (to a precision or a number of decimals) is done
// half away from zero on those decimal digits. So 0.125 with two decimals is
// "0.13", and 2.675 (binary 2.67499999999999982...) is "2.67".
#include "platform/host/SysUtils.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "platform/host/Exception.h"

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

bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view trimView(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && isBlank(s[a])) ++a;
  while (b > a && isBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Integer text: blanks around, optional sign, decimal digits or "$"/"0x" hex.
bool parseInt64(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
  std::string_view s = trimView(text);
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
  std::string_view s = trimView(text);
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

// ---------------------------------------------------------------- integers

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(int64_t value, int32_t digits) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(value), 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = upperAscii(c);
  if (static_cast<int32_t>(s.size()) < digits) s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
  return s;
}

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

// ---------------------------------------------------------------- floats

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

bool TryStrToFloat(std::string_view text, double& value) {
  NumberText n;
  if (!scanNumber(text, n)) return false;
  // Rebuild a plain "digits[.digits]e<exp>" text for from_chars, which takes
  // neither a '+' sign nor blanks.
  std::string_view s = trimView(text);
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

// ---------------------------------------------------------------- currency

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

// ---------------------------------------------------------------- dates

namespace {

constexpr int32_t kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

// A date-time split the host's way: whole days (negative before 1899-12-30)
// and milliseconds into the day. Times before 1899-12-30 count forward
// from midnight as well: -1.25 is 1899-12-29 06:00.
struct TimeStamp {
  int64_t Days = 0;  // since 1899-12-30
  int32_t MSec = 0;
  bool Valid = false;
};

TimeStamp toTimeStamp(double dateTime) {
  TimeStamp t;
  // Beyond year 9999 either way there is nothing to decode.
  if (!std::isfinite(dateTime) || std::fabs(dateTime) > 3.0e6) return t;
  long double ms = static_cast<long double>(dateTime) * MSecsPerDay;
  long double r = std::floor(ms + 0.5L);
  if (r - ms == 0.5L && std::fmod(r, 2.0L) != 0) r -= 1;  // half to even, as the host rounds
  auto total = static_cast<int64_t>(r);
  t.Days = total / MSecsPerDay;
  t.MSec = static_cast<int32_t>((total < 0 ? -total : total) % MSecsPerDay);
  t.Valid = true;
  return t;
}

// Days since 1899-12-30 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t days, int32_t& year, int32_t& month, int32_t& day) {
  int64_t z = days - 25569 + 719468;  // shift the epoch to 0000-03-01
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int32_t>(month <= 2 ? y + 1 : y);
}

bool decodeAll(double dateTime, int32_t& y, int32_t& mo, int32_t& d, int32_t& h, int32_t& mi, int32_t& s,
               int32_t& ms) {
  TimeStamp t = toTimeStamp(dateTime);
  y = mo = d = h = mi = s = ms = 0;
  if (!t.Valid) return false;
  civilFromDays(t.Days, y, mo, d);
  if (y < 1 || y > 9999) {
    y = mo = d = 0;
    return false;
  }
  h = t.MSec / 3600000;
  mi = t.MSec / 60000 % 60;
  s = t.MSec / 1000 % 60;
  ms = t.MSec % 1000;
  return true;
}

std::string twoDigits(int32_t v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string padNumber(int32_t v, size_t digits) {
  std::string s = std::to_string(v);
  if (s.size() < digits) s.insert(0, digits - s.size(), '0');
  return s;
}

bool startsWithNoCase(std::string_view s, size_t pos, std::string_view what) {
  return s.size() - pos >= what.size() && SameText(s.substr(pos, what.size()), what);
}

// Whether a 12-hour marker (am/pm, a/p, ampm) follows position pos.
bool twelveHourFollows(std::string_view p, size_t pos) {
  for (size_t i = pos; i < p.size(); ++i) {
    char c = p[i];
    if (c == '\'' || c == '"') {
      size_t e = p.find(c, i + 1);
      if (e == std::string_view::npos) return false;
      i = e;
      continue;
    }
    if ((c == 'a' || c == 'A') &&
        (startsWithNoCase(p, i, "am/pm") || startsWithNoCase(p, i, "a/p") || startsWithNoCase(p, i, "ampm")))
      return true;
  }
  return false;
}

void formatInto(std::string& out, std::string_view p, double dateTime, int32_t depth) {
  int32_t y, mo, d, h, mi, s, ms;
  decodeAll(dateTime, y, mo, d, h, mi, s, ms);
  char lastLetter = 0;
  bool use12 = false;
  size_t i = 0;
  auto count = [&](char upper) {
    size_t n = 0;
    while (i < p.size() && upperAscii(p[i]) == upper) {
      ++n;
      ++i;
    }
    return n;
  };
  while (i < p.size()) {
    char c = p[i];
    char u = upperAscii(c);
    if (u >= 'A' && u <= 'Z') {
      if (u == 'M' && lastLetter == 'H') u = 'N';
      lastLetter = u;
    }
    switch (u) {
      case '\'':
      case '"': {
        size_t e = p.find(c, i + 1);
        if (e == std::string_view::npos) e = p.size();
        out.append(p.substr(i + 1, e - i - 1));
        i = e < p.size() ? e + 1 : e;
        break;
      }
      case 'Y': {
        size_t n = count('Y');
        out += n <= 2 ? twoDigits(y % 100) : padNumber(y, 4);
        break;
      }
      case 'M': {
        size_t n = count('M');
        if (n == 1)
          out += std::to_string(mo);
        else if (n == 2)
          out += twoDigits(mo);
        else if (mo >= 1)
          out += n == 3 ? FormatSettings::ShortMonthNames[static_cast<size_t>(mo - 1)]
                        : FormatSettings::LongMonthNames[static_cast<size_t>(mo - 1)];
        break;
      }
      case 'N': {
        size_t n = count(upperAscii(c));
        out += n == 1 ? std::to_string(mi) : twoDigits(mi);
        break;
      }
      case 'D': {
        size_t n = count('D');
        if (n == 1) {
          out += std::to_string(d);
        } else if (n == 2) {
          out += twoDigits(d);
        } else if (n <= 4) {
          if (y >= 1) {
            size_t dow = static_cast<size_t>(DayOfWeek(dateTime) - 1);
            out += n == 3 ? FormatSettings::ShortDayNames[dow] : FormatSettings::LongDayNames[dow];
          }
        } else if (depth < 2) {
          formatInto(out, n == 5 ? FormatSettings::ShortDateFormat : FormatSettings::LongDateFormat, dateTime,
                     depth + 1);
        }
        break;
      }
      case 'H': {
        size_t n = count('H');
        use12 = twelveHourFollows(p, i);
        int32_t hour = h;
        if (use12) {
          hour = h % 12;
          if (hour == 0) hour = 12;
        }
        out += n == 1 ? std::to_string(hour) : twoDigits(hour);
        break;
      }
      case 'S': {
        size_t n = count('S');
        out += n == 1 ? std::to_string(s) : twoDigits(s);
        break;
      }
      case 'Z': {
        size_t n = count('Z');
        out += n >= 3 ? padNumber(ms, 3) : std::to_string(ms);
        break;
      }
      case 'T': {
        size_t n = count('T');
        if (depth < 2)
          formatInto(out, n == 1 ? FormatSettings::ShortTimeFormat : FormatSettings::LongTimeFormat, dateTime,
                     depth + 1);
        break;
      }
      case 'C': {
        ++i;
        if (depth < 2) {
          formatInto(out, FormatSettings::ShortDateFormat, dateTime, depth + 1);
          if (h != 0 || mi != 0 || s != 0) {
            out.push_back(' ');
            formatInto(out, FormatSettings::LongTimeFormat, dateTime, depth + 1);
          }
        }
        break;
      }
      case 'A': {
        bool pm = h >= 12;
        if (startsWithNoCase(p, i, "am/pm")) {
          out.append(p.substr(pm ? i + 3 : i, 2));
          i += 5;
        } else if (startsWithNoCase(p, i, "a/p")) {
          out.push_back(p[pm ? i + 2 : i]);
          i += 3;
        } else if (startsWithNoCase(p, i, "ampm")) {
          out += pm ? FormatSettings::TimePMString : FormatSettings::TimeAMString;
          i += 4;
        } else {
          out.push_back(c);
          ++i;
        }
        break;
      }
      case '/':
        out.push_back(FormatSettings::DateSeparator);
        ++i;
        break;
      case ':':
        out.push_back(FormatSettings::TimeSeparator);
        ++i;
        break;
      default:
        out.push_back(c);
        ++i;
        break;
    }
  }
}

// A small scanner over date and time text; blanks between parts are skipped.
struct Scanner {
  std::string_view S;
  size_t Pos = 0;

  void blanks() {
    while (Pos < S.size() && S[Pos] == ' ') ++Pos;
  }
  bool atEnd() {
    blanks();
    return Pos >= S.size();
  }
  bool number(int32_t& value, size_t& digits) {
    blanks();
    size_t start = Pos;
    int32_t v = 0;
    while (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9' && Pos - start < 9) v = v * 10 + (S[Pos++] - '0');
    digits = Pos - start;
    if (digits == 0 || (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9')) return false;
    value = v;
    return true;
  }
  bool ch(char c) {
    blanks();
    if (Pos < S.size() && S[Pos] == c) {
      ++Pos;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    blanks();
    if (startsWithNoCase(S, Pos, w)) {
      Pos += w.size();
      return true;
    }
    return false;
  }
};

int32_t currentYear() {
  int32_t y, m, d;
  DecodeDate(Date(), y, m, d);
  return y;
}

// Year, month, day in the order of ShortDateFormat; two numbers are month and
// day of the current year; a year of one or two digits falls in the century
// window around the current year.
bool scanDate(Scanner& sc, double& date) {
  int32_t n1 = 0, n2 = 0, n3 = 0;
  size_t l1 = 0, l2 = 0, l3 = 0;
  if (!sc.number(n1, l1) || !sc.ch(FormatSettings::DateSeparator) || !sc.number(n2, l2)) return false;
  int32_t year, month, day;
  size_t yearDigits;
  size_t save = sc.Pos;
  if (sc.ch(FormatSettings::DateSeparator) && sc.number(n3, l3)) {
    year = n1;
    month = n2;
    day = n3;
    yearDigits = l1;
  } else {
    sc.Pos = save;
    year = currentYear();
    month = n1;
    day = n2;
    yearDigits = 4;
  }
  if (yearDigits <= 2) {
    int32_t now = currentYear();
    int32_t pivot = now - FormatSettings::TwoDigitYearCenturyWindow;
    year += pivot / 100 * 100;
    if (year < pivot) year += 100;
  }
  return TryEncodeDate(year, month, day, date);
}

bool scanTime(Scanner& sc, double& time) {
  int32_t baseHour = -1;
  if (sc.word(FormatSettings::TimeAMString))
    baseHour = 0;
  else if (sc.word(FormatSettings::TimePMString))
    baseHour = 12;
  int32_t hour = 0, min = 0, sec = 0, msec = 0;
  size_t len = 0;
  if (!sc.number(hour, len)) return false;
  if (sc.ch(FormatSettings::TimeSeparator)) {
    if (!sc.number(min, len)) return false;
    if (sc.ch(FormatSettings::TimeSeparator)) {
      if (!sc.number(sec, len)) return false;
      if (sc.ch(FormatSettings::DecimalSeparator)) {
        // A fraction of a second: ".5" is 500 ms.
        if (!sc.number(msec, len) || len > 3) return false;
        for (size_t k = len; k < 3; ++k) msec *= 10;
      }
    }
  }
  if (baseHour < 0) {
    if (sc.word(FormatSettings::TimeAMString))
      baseHour = 0;
    else if (sc.word(FormatSettings::TimePMString))
      baseHour = 12;
  }
  if (baseHour >= 0) {
    if (hour == 0 || hour > 12) return false;
    if (hour == 12) hour = 0;
    hour += baseHour;
  }
  return TryEncodeTime(hour, min, sec, msec, time);
}

}  // namespace

bool IsLeapYear(int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int32_t DaysInAMonth(int32_t year, int32_t month) {
  if (month < 1 || month > 12) return 0;
  const int32_t* t = kCumulativeDays[IsLeapYear(year) ? 1 : 0];
  return t[month] - t[month - 1];
}

bool TryEncodeDate(int32_t year, int32_t month, int32_t day, double& date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInAMonth(year, month))
    return false;
  int64_t y = year - 1;
  int64_t days = y * 365 + y / 4 - y / 100 + y / 400 + kCumulativeDays[IsLeapYear(year) ? 1 : 0][month - 1] + day;
  date = static_cast<double>(days - static_cast<int64_t>(DateDelta));
  return true;
}

bool TryEncodeTime(int32_t hour, int32_t min, int32_t sec, int32_t msec, double& time) {
  if (hour < 0 || hour >= 24 || min < 0 || min >= 60 || sec < 0 || sec >= 60 || msec < 0 || msec >= 1000)
    return false;
  time = static_cast<double>(((hour * 60 + min) * 60 + sec) * 1000 + msec) / MSecsPerDay;
  return true;
}

double EncodeDate(int32_t year, int32_t month, int32_t day) {
  double d = 0;
  if (!TryEncodeDate(year, month, day, d)) throw EConvertError("Invalid argument to date encode");
  return d;
}

double EncodeTime(int32_t hour, int32_t min, int32_t sec, int32_t msec) {
  double t = 0;
  if (!TryEncodeTime(hour, min, sec, msec, t)) throw EConvertError("Invalid argument to time encode");
  return t;
}

void DecodeDate(double date, int32_t& year, int32_t& month, int32_t& day) {
  int32_t h, mi, s, ms;
  decodeAll(date, year, month, day, h, mi, s, ms);
}

void DecodeTime(double time, int32_t& hour, int32_t& min, int32_t& sec, int32_t& msec) {
  TimeStamp t = toTimeStamp(time);
  hour = t.MSec / 3600000;
  min = t.MSec / 60000 % 60;
  sec = t.MSec / 1000 % 60;
  msec = t.MSec % 1000;
}

int32_t DayOfWeek(double date) {
  TimeStamp t = toTimeStamp(date);
  // 1899-12-30 was a Saturday (7).
  int64_t r = (t.Days % 7 + 7 + 6) % 7;
  return static_cast<int32_t>(r + 1);
}

double Now() {
  auto now = std::chrono::system_clock::now();
  std::time_t tt = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&tt, &tm);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  double d = 0, t = 0;
  TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, d);
  TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec < 60 ? tm.tm_sec : 59, static_cast<int32_t>(ms), t);
  return d + t;
}

double Date() { return std::floor(Now()); }

std::string FormatDateTime(std::string_view pattern, double dateTime) {
  std::string out;
  formatInto(out, pattern, dateTime, 0);
  return out;
}

std::string DateToStr(double date) { return FormatDateTime(FormatSettings::ShortDateFormat, date); }
std::string TimeToStr(double time) { return FormatDateTime(FormatSettings::LongTimeFormat, time); }
std::string DateTimeToStr(double dateTime) { return FormatDateTime("c", dateTime); }

bool TryStrToDate(std::string_view s, double& value) {
  Scanner sc{s};
  double d = 0;
  if (!scanDate(sc, d) || !sc.atEnd()) return false;
  value = d;
  return true;
}

bool TryStrToTime(std::string_view s, double& value) {
  Scanner sc{s};
  double t = 0;
  if (!scanTime(sc, t) || !sc.atEnd()) return false;
  value = t;
  return true;
}

bool TryStrToDateTime(std::string_view s, double& value) {
  Scanner sc{s};
  double d = 0, t = 0;
  if (scanDate(sc, d)) {
    if (!sc.atEnd() && !scanTime(sc, t)) return false;
  } else {
    sc.Pos = 0;
    if (!scanTime(sc, t)) return false;
  }
  if (!sc.atEnd()) return false;
  // Before 1899-12-30 the time counts forward from the day's midnight.
  value = d < 0 ? d - t : d + t;
  return true;
}

double StrToDate(std::string_view s) {
  double v = 0;
  if (!TryStrToDate(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid date");
  return v;
}

double StrToTime(std::string_view s) {
  double v = 0;
  if (!TryStrToTime(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid time");
  return v;
}

double StrToDateTime(std::string_view s) {
  double v = 0;
  if (!TryStrToDateTime(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid date and time");
  return v;
}

// ---------------------------------------------------------------- text

std::string Trim(std::string_view s) { return std::string(trimView(s)); }

std::string TrimLeft(std::string_view s) {
  size_t a = 0;
  while (a < s.size() && isBlank(s[a])) ++a;
  return std::string(s.substr(a));
}

std::string TrimRight(std::string_view s) {
  size_t b = s.size();
  while (b > 0 && isBlank(s[b - 1])) --b;
  return std::string(s.substr(0, b));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = upperAscii(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = lowerAscii(c);
  return r;
}

int32_t CompareText(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(upperAscii(a[i]));
    auto cb = static_cast<unsigned char>(upperAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareText(a, b) == 0; }

int32_t CompareStr(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string QuotedStr(std::string_view s) {
  std::string r = "'";
  for (char c : s) {
    r.push_back(c);
    if (c == '\'') r.push_back('\'');
  }
  r.push_back('\'');
  return r;
}

}  // namespace qv
