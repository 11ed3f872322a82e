// TDateFormater: a date/time pattern such as YYYY-MM-DD HH24:NN:SS compiled
// once into a list of elements, then used to format date/time values as text
// and to parse text back (the SQL functions TOSTRING and TODATE).
//
// Pattern tokens, recognised case-insensitively, longest first (at most five
// characters); text in single or double quotes, and every character that
// starts no token, is literal:
//
//   kind token  formats as                      parses as
//   0    YYYY   four-digit year                 year, 4 digits
//   1    YY     two-digit year                  year, 2 digits (<30: 20xx, else 19xx)
//   2    YEAR   four-digit year                 year, 4 digits
//   3    Q      quarter 1-4                     quarter, 1 digit (first month of it)
//   4    MONTH  long month name                 long month name (any case), sets the month
//   5    MON    short month name                short month name (any case), sets the month
//   6    MM     month, two digits               month, 2 digits
//   7    M      month                           month, 1 or 2 digits
//   8    RM     month in Roman numerals         Roman month I-XII (any case), sets the month
//   9    DDD    short day name                  short day name (any case), skipped
//   10   DD     day, two digits                 day, 2 digits
//   11   DAY    long day name                   long day name (any case), skipped
//   12   DY     day of the year 1-366           1 to 3 digits, skipped
//   13   DW     day of the week (Monday = 1)    1 digit, skipped
//   14   D      day                             day, 1 or 2 digits
//   15   HH12   hour modulo 12, two digits      hour, 1 or 2 digits
//   16   HH24   hour 0-23, two digits           hour, 2 digits
//   17   HH     hour modulo 12, two digits      hour, 1 or 2 digits
//   18   H12    hour modulo 12                  hour, 1 or 2 digits
//   19   H24    hour 0-23                       hour, 1 or 2 digits
//   20   H      hour modulo 12                  hour, 1 or 2 digits
//   21   NN     minutes, two digits             minutes, 2 digits
//   22   N      minutes                         minutes, 1 or 2 digits
//   23   SS     seconds, two digits             seconds, 2 digits
//   24   S      seconds                         seconds, 1 or 2 digits
//   25   AMPM   "AM" / "PM"                     2 letters, any case
//   26   literal the text                       skipped by its length (not compared)
//
// "1 or 2 digits" reads two characters when the second is a digit. Hour
// modulo 12 gives 0 for both noon and midnight. Names are the fixed English
// ones of qv::FormatSettings, whatever the machine's locale.
//
// Parsing starts from year, month, day, hour, minute and second 0. A value
// element whose characters are not digits raises qv::EConvertError, as does a
// name element that finds no name. AMPM: "PM" adds 12 to the hour, "AM" adds
// nothing, and an hour of 12 counts as 0 first (12 AM is midnight, 12 PM
// noon); anything else raises EVLMException 30129. When the year, month or day
// is still 0 the date is 1899-12-30, so a time-only pattern gives a pure time.
// An impossible date or time raises the host's encoding error.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMTypesRoutines.h"

using TDateFormatType = uint8_t;
inline constexpr TDateFormatType dfYYYY = 0;
inline constexpr TDateFormatType dfYY = 1;
inline constexpr TDateFormatType dfYEAR = 2;
inline constexpr TDateFormatType dfQ = 3;
inline constexpr TDateFormatType dfMONTH = 4;
inline constexpr TDateFormatType dfMON = 5;
inline constexpr TDateFormatType dfMM = 6;
inline constexpr TDateFormatType dfM = 7;
inline constexpr TDateFormatType dfRM = 8;
inline constexpr TDateFormatType dfDDD = 9;
inline constexpr TDateFormatType dfDD = 10;
inline constexpr TDateFormatType dfDAY = 11;
inline constexpr TDateFormatType dfDY = 12;
inline constexpr TDateFormatType dfDW = 13;
inline constexpr TDateFormatType dfD = 14;
inline constexpr TDateFormatType dfHH12 = 15;
inline constexpr TDateFormatType dfHH24 = 16;
inline constexpr TDateFormatType dfHH = 17;
inline constexpr TDateFormatType dfH12 = 18;
inline constexpr TDateFormatType dfH24 = 19;
inline constexpr TDateFormatType dfH = 20;
inline constexpr TDateFormatType dfNN = 21;
inline constexpr TDateFormatType dfN = 22;
inline constexpr TDateFormatType dfSS = 23;
inline constexpr TDateFormatType dfS = 24;
inline constexpr TDateFormatType dfAMPM = 25;
inline constexpr TDateFormatType dfLiteral = 26;

struct TDateFormatElement {
  TDateFormatType Kind;
  std::string Text;  // the token as written in the pattern, or the literal text
};

class TDateFormater {
public:
  explicit TDateFormater(std::string_view Pattern);

  // The date-time (days since 1899-12-30) that S names under the pattern.
  double StrToDateTime(std::string_view S) const;
  // Value as text under the pattern.
  std::string DateTimeToStr(double Value) const;
  // The longest text DateTimeToStr can produce.
  int32_t GetMaxLength() const;
  // SQL type of the pattern's result: dtDate (only date elements), dtTime
  // (only time elements), dtDateTime (both, or literals only).
  TVLMDataType GetDataType() const;

  const std::vector<TDateFormatElement>& Elements() const { return Elements_; }

private:
  void ParseFormat(std::string_view Pattern);

  std::vector<TDateFormatElement> Elements_;
};
