// Dates and times: encoding, decoding, formatting by pattern and reading
// text in the fixed ShortDateFormat / LongTimeFormat order.
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"
#include "platform/host/SysUtilsAscii.h"

namespace qv {

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
    while (i < p.size() && sysutils::UpperAscii(p[i]) == upper) {
      ++n;
      ++i;
    }
    return n;
  };
  while (i < p.size()) {
    char c = p[i];
    char u = sysutils::UpperAscii(c);
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
        size_t n = count(sysutils::UpperAscii(c));
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

}  // namespace qv
