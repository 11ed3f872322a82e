// The host class library's text conversions: numbers, currency, dates and
// times to and from text, with one fixed set of format settings so that the
// result never depends on the machine's locale.
//
// A date-time is a double of days since 1899-12-30 (the fraction is the time
// of day); a currency is an int64_t holding the amount times 10000.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// The fixed format settings every conversion uses: '.' decimal separator,
// yyyy-mm-dd, hh:nn:ss, English month and day names.
struct FormatSettings {
  static constexpr char DecimalSeparator = '.';
  static constexpr char ThousandSeparator = ',';
  static constexpr char DateSeparator = '-';
  static constexpr char TimeSeparator = ':';
  static constexpr std::string_view ShortDateFormat = "yyyy-mm-dd";
  static constexpr std::string_view LongDateFormat = "dddd, mmmm d, yyyy";
  static constexpr std::string_view ShortTimeFormat = "hh:nn";
  static constexpr std::string_view LongTimeFormat = "hh:nn:ss";
  static constexpr std::string_view TimeAMString = "AM";
  static constexpr std::string_view TimePMString = "PM";
  // Currency: "$1,234.50", negative "($1,234.50)".
  static constexpr std::string_view CurrencyString = "$";
  static constexpr uint8_t CurrencyDecimals = 2;
  // A two-digit year is taken within 50 years of the current year.
  static constexpr int32_t TwoDigitYearCenturyWindow = 50;
  static constexpr std::array<std::string_view, 12> ShortMonthNames = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static constexpr std::array<std::string_view, 12> LongMonthNames = {
      "January", "February", "March",     "April",   "May",      "June",
      "July",    "August",   "September", "October", "November", "December"};
  // Index 0 is Sunday, as DayOfWeek 1 is.
  static constexpr std::array<std::string_view, 7> ShortDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                                    "Thu", "Fri", "Sat"};
  static constexpr std::array<std::string_view, 7> LongDayNames = {
      "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
};

// ---- integers ----
std::string IntToStr(int64_t value);
std::string IntToHex(int64_t value, int32_t digits);
// Leading/trailing blanks, a sign, decimal digits, or hexadecimal after "$" or
// "0x". EConvertError "'<text>' is not a valid integer value" otherwise,
// including a value out of range.
int32_t StrToInt(std::string_view s);
int64_t StrToInt64(std::string_view s);
int32_t StrToIntDef(std::string_view s, int32_t defaultValue);
int64_t StrToInt64Def(std::string_view s, int64_t defaultValue);
bool TryStrToInt(std::string_view s, int32_t& value);
bool TryStrToInt64(std::string_view s, int64_t& value);

// ---- floating point ----
enum class FloatFormat : uint8_t { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

// The host's FloatToStrF. Precision: significant digits (1..18). Digits: for
// ffGeneral and ffExponent the minimum exponent digits (0..4), for the others
// the decimals (0..18). Rounds half away from zero on the value's 18-digit
// decimal form. NaN and infinities give "NAN", "INF", "-INF".
std::string FloatToStrF(long double value, FloatFormat format, int32_t precision, int32_t digits);
// General format with 15 significant digits: "0.1", "100", "1E20", "1.5E-5".
std::string FloatToStr(long double value);
// Blanks around, sign, digits with '.', optional exponent. EConvertError
// "'<text>' is not a valid floating point value" otherwise (also on overflow).
double StrToFloat(std::string_view s);
double StrToFloatDef(std::string_view s, double defaultValue);
bool TryStrToFloat(std::string_view s, double& value);

// ---- currency (int64_t scaled by 10000) ----
// General format: "1.5", "-0.0001", "100".
std::string CurrToStr(int64_t value);
// Exact decimal conversion, rounded half away from zero to four decimals.
int64_t StrToCurr(std::string_view s);
bool TryStrToCurr(std::string_view s, int64_t& value);
// Float to currency, rounding to four decimals; EConvertError when out of range.
int64_t FloatToCurr(double value);
double CurrToFloat(int64_t value);

// ---- dates and times ----
constexpr double DateDelta = 693594.0;  // days from 0001-01-01 to 1899-12-30
constexpr int32_t HoursPerDay = 24;
constexpr int32_t MinsPerDay = 24 * 60;
constexpr int32_t SecsPerDay = MinsPerDay * 60;
constexpr int32_t MSecsPerDay = SecsPerDay * 1000;

bool IsLeapYear(int32_t year);
int32_t DaysInAMonth(int32_t year, int32_t month);
// EConvertError "Invalid argument to date encode" / "... time encode".
double EncodeDate(int32_t year, int32_t month, int32_t day);
double EncodeTime(int32_t hour, int32_t min, int32_t sec, int32_t msec);
bool TryEncodeDate(int32_t year, int32_t month, int32_t day, double& date);
bool TryEncodeTime(int32_t hour, int32_t min, int32_t sec, int32_t msec, double& time);
void DecodeDate(double date, int32_t& year, int32_t& month, int32_t& day);
void DecodeTime(double time, int32_t& hour, int32_t& min, int32_t& sec, int32_t& msec);
// 1 = Sunday .. 7 = Saturday.
int32_t DayOfWeek(double date);
// The current local date and time.
double Now();
double Date();

std::string DateToStr(double date);          // ShortDateFormat
std::string TimeToStr(double time);          // LongTimeFormat
std::string DateTimeToStr(double dateTime);  // date, then the time unless it is midnight
// EConvertError "'<text>' is not a valid date" / "... time" / "... date and time".
double StrToDate(std::string_view s);
double StrToTime(std::string_view s);
double StrToDateTime(std::string_view s);
bool TryStrToDate(std::string_view s, double& value);
bool TryStrToTime(std::string_view s, double& value);
bool TryStrToDateTime(std::string_view s, double& value);
// Pattern letters: c d dd ddd dddd ddddd dddddd m mm mmm mmmm yy yyyy h hh
// n nn s ss z zzz t tt am/pm a/p ampm / : and 'quoted' or "quoted" text.
// "m"/"mm" right after an hour is minutes.
std::string FormatDateTime(std::string_view pattern, double dateTime);

// ---- text (ASCII rules, as the host's) ----
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// <0, 0, >0 comparing ASCII-upper-cased bytes.
int32_t CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
int32_t CompareStr(std::string_view a, std::string_view b);
// 'text' with embedded quotes doubled.
std::string QuotedStr(std::string_view s);

}  // namespace qv
