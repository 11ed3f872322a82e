#include "engine/core/VLMDateFormat.h"

#include <algorithm>
#include <array>
#include <span>

#include "engine/core/VLMExcept.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"

namespace {

// Token texts in kind order; the kind of a token is its index.
constexpr std::array<std::string_view, 26> kTokens = {
    "YYYY", "YY",  "YEAR", "Q",   "MONTH", "MON", "MM", "M",  "RM", "DDD", "DD", "DAY", "DY",
    "DW",   "D",   "HH12", "HH24", "HH",   "H12", "H24", "H", "NN", "N",   "SS", "S",   "AMPM"};
constexpr size_t kMaxTokenLength = 5;

constexpr std::array<std::string_view, 12> kRomanMonths = {"I",   "II", "III", "IV", "V",  "VI",
                                                           "VII", "VIII", "IX", "X", "XI", "XII"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string padded(int32_t v, size_t digits) {
  std::string s = qv::IntToStr(v);
  if (s.size() < digits) s.insert(0, digits - s.size(), '0');
  return s;
}

[[noreturn]] void notAnInteger(std::string_view text) {
  throw qv::EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

// The read position over the text being parsed. It may move past the end
// (a skipped literal is not checked); reads there see no characters.
class Reader {
public:
  explicit Reader(std::string_view s) : S_(s) {}

  std::string_view peek(size_t n) const { return P_ >= S_.size() ? std::string_view() : S_.substr(P_, n); }
  void skip(size_t n) { P_ += n; }

  // n characters, all of which must be digits.
  int32_t number(size_t n) {
    std::string_view t = peek(n);
    skip(n);
    if (t.empty()) notAnInteger(t);
    int32_t v = 0;
    for (char c : t) {
      if (!isDigit(c)) notAnInteger(t);
      v = v * 10 + (c - '0');
    }
    return v;
  }

  // Two characters when the second is a digit, else one.
  int32_t oneOrTwo() { return number(P_ + 1 < S_.size() && isDigit(S_[P_ + 1]) ? 2 : 1); }

  // Skips the digits present, at least one and at most maxDigits.
  void skipDigits(size_t maxDigits) {
    size_t n = 0;
    while (n < maxDigits && P_ + n < S_.size() && isDigit(S_[P_ + n])) ++n;
    if (n == 0) notAnInteger(peek(1));
    skip(n);
  }

  // The longest of the names found here (any case): its index, and the read
  // position moves past it. -1 when none is.
  int32_t name(std::span<const std::string_view> names) {
    int32_t found = -1;
    size_t foundLength = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string_view n = names[i];
      if (n.size() > foundLength && qv::SameText(peek(n.size()), n)) {
        found = static_cast<int32_t>(i);
        foundLength = n.size();
      }
    }
    skip(foundLength);
    return found;
  }

private:
  std::string_view S_;
  size_t P_ = 0;
};

int32_t nameOrFail(Reader& r, std::span<const std::string_view> names, size_t shownLength, const char* what) {
  const std::string shown(r.peek(shownLength));
  const int32_t i = r.name(names);
  if (i < 0) throw qv::EConvertError("'" + shown + "' is not a valid " + what);
  return i;
}

}  // namespace

TDateFormater::TDateFormater(std::string_view Pattern) { ParseFormat(Pattern); }

void TDateFormater::ParseFormat(std::string_view Pattern) {
  Elements_.clear();
  std::string literal;
  auto flushLiteral = [&](bool evenEmpty) {
    if (evenEmpty || !literal.empty()) Elements_.push_back({dfLiteral, literal});
    literal.clear();
  };
  char quote = 0;
  size_t i = 0;
  while (i < Pattern.size()) {
    const char c = Pattern[i];
    if (quote != 0) {
      // Only the quote kind that opened the run closes it; the other kind is
      // an ordinary character inside it.
      if (c == quote) {
        flushLiteral(true);
        quote = 0;
      } else {
        literal.push_back(c);
      }
      ++i;
      continue;
    }
    if (c == '\'' || c == '"') {
      flushLiteral(false);
      quote = c;
      ++i;
      continue;
    }
    bool matched = false;
    for (size_t n = std::min(kMaxTokenLength, Pattern.size() - i); n >= 1 && !matched; --n) {
      const std::string up = qv::UpperCase(Pattern.substr(i, n));
      auto it = std::find(kTokens.begin(), kTokens.end(), up);
      if (it != kTokens.end()) {
        flushLiteral(false);
        Elements_.push_back({static_cast<TDateFormatType>(it - kTokens.begin()), std::string(Pattern.substr(i, n))});
        i += n;
        matched = true;
      }
    }
    if (!matched) {
      literal.push_back(c);
      ++i;
    }
  }
  flushLiteral(false);
}

std::string TDateFormater::DateTimeToStr(double Value) const {
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  qv::DecodeDate(Value, year, month, day);
  qv::DecodeTime(Value, hour, minute, second, msec);
  const bool validDate = year >= 1;
  auto host = [Value](std::string_view code) { return qv::FormatDateTime(code, Value); };

  std::string out;
  for (const TDateFormatElement& e : Elements_) {
    switch (e.Kind) {
      case dfYYYY:
      case dfYEAR: out += host("yyyy"); break;
      case dfYY: out += host("yy"); break;
      case dfQ: out += qv::IntToStr(month >= 1 ? (month - 1) / 3 + 1 : 0); break;
      case dfMONTH: out += host("mmmm"); break;
      case dfMON: out += host("mmm"); break;
      case dfMM: out += host("mm"); break;
      case dfM: out += host("m"); break;
      case dfRM:
        if (month >= 1) out += kRomanMonths[static_cast<size_t>(month - 1)];
        break;
      case dfDDD: out += host("ddd"); break;
      case dfDD: out += host("dd"); break;
      case dfDAY: out += host("dddd"); break;
      case dfDY: {
        int32_t dayOfYear = 0;
        if (validDate)
          dayOfYear = static_cast<int32_t>(qv::EncodeDate(year, month, day) - qv::EncodeDate(year, 1, 1)) + 1;
        out += qv::IntToStr(dayOfYear);
        break;
      }
      case dfDW:
        // The host counts from Sunday = 1; here Monday is 1 and Sunday 7.
        out += qv::IntToStr(validDate ? (qv::DayOfWeek(Value) + 5) % 7 + 1 : 0);
        break;
      case dfD: out += host("d"); break;
      case dfHH12:
      case dfHH: out += padded(hour % 12, 2); break;
      case dfHH24: out += host("hh"); break;
      case dfH12:
      case dfH: out += qv::IntToStr(hour % 12); break;
      case dfH24: out += host("h"); break;
      case dfNN: out += host("nn"); break;
      case dfN: out += host("n"); break;
      case dfSS: out += host("ss"); break;
      case dfS: out += host("s"); break;
      case dfAMPM: out += hour >= 12 ? "PM" : "AM"; break;
      case dfLiteral: out += e.Text; break;
      default: throw qv::Exception("Unknown DateFormatType");
    }
  }
  return out;
}

double TDateFormater::StrToDateTime(std::string_view S) const {
  Reader r(S);
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  for (const TDateFormatElement& e : Elements_) {
    switch (e.Kind) {
      case dfYYYY:
      case dfYEAR: year = r.number(4); break;
      case dfYY: {
        const int32_t yy = r.number(2);
        year = yy < 30 ? 2000 + yy : 1900 + yy;
        break;
      }
      case dfQ: month = (r.number(1) - 1) * 3 + 1; break;
      case dfMONTH:
        month = nameOrFail(r, qv::FormatSettings::LongMonthNames, 9, "month name") + 1;
        break;
      case dfMON:
        month = nameOrFail(r, qv::FormatSettings::ShortMonthNames, 3, "month name") + 1;
        break;
      case dfMM: month = r.number(2); break;
      case dfM: month = r.oneOrTwo(); break;
      case dfRM: month = nameOrFail(r, kRomanMonths, 4, "Roman month") + 1; break;
      case dfDDD: nameOrFail(r, qv::FormatSettings::ShortDayNames, 3, "day name"); break;
      case dfDD: day = r.number(2); break;
      case dfDAY: nameOrFail(r, qv::FormatSettings::LongDayNames, 9, "day name"); break;
      case dfDY: r.skipDigits(3); break;
      case dfDW: r.skipDigits(1); break;
      case dfD: day = r.oneOrTwo(); break;
      case dfHH24: hour = r.number(2); break;
      case dfHH12:
      case dfHH:
      case dfH12:
      case dfH24:
      case dfH: hour = r.oneOrTwo(); break;
      case dfNN: minute = r.number(2); break;
      case dfN: minute = r.oneOrTwo(); break;
      case dfSS: second = r.number(2); break;
      case dfS: second = r.oneOrTwo(); break;
      case dfAMPM: {
        const std::string word = qv::UpperCase(r.peek(2));
        r.skip(2);
        // On a 12-hour clock 12 comes before 1: 12 AM is midnight, 12 PM noon.
        if (word == "PM")
          hour = (hour == 12 ? 0 : hour) + 12;
        else if (word == "AM")
          hour = hour == 12 ? 0 : hour;
        else
          throw EVLMException(30129, "AM/PM word expected, but '%s' found", {word});
        break;
      }
      case dfLiteral: r.skip(e.Text.size()); break;
      default: throw qv::Exception("Unknown DateFormatType");
    }
  }
  const double date = (year == 0 || month == 0 || day == 0) ? 0.0 : qv::EncodeDate(year, month, day);
  const double time = qv::EncodeTime(hour, minute, second, 0);
  // Before 1899-12-30 the time counts forward from that day's midnight, as
  // everywhere in the host's date-times.
  return date < 0 ? date - time : date + time;
}

int32_t TDateFormater::GetMaxLength() const {
  int32_t total = 0;
  for (const TDateFormatElement& e : Elements_) {
    switch (e.Kind) {
      case dfYYYY:
      case dfYEAR:
      case dfRM: total += 4; break;
      case dfQ: total += 1; break;
      case dfMONTH: total += 9; break;
      case dfMON:
      case dfDDD:
      case dfDY: total += 3; break;
      case dfDAY: total += 12; break;
      case dfLiteral: total += static_cast<int32_t>(e.Text.size()); break;
      default:
        if (e.Kind > dfLiteral) throw qv::Exception("Unknown DateFormatType");
        total += 2;
        break;
    }
  }
  return total;
}

TVLMDataType TDateFormater::GetDataType() const {
  bool hasDate = false, hasTime = false;
  for (const TDateFormatElement& e : Elements_) {
    if (e.Kind <= dfD) hasDate = true;
    else if (e.Kind <= dfAMPM) hasTime = true;
  }
  if (hasDate && !hasTime) return dtDate;
  if (hasTime && !hasDate) return dtTime;
  return dtDateTime;
}
