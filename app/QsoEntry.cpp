#include "app/QsoEntry.h"

#include "platform/host/Format.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"

namespace qv::app {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

char FilterEntryKey(Ctl field, char key, const KeyContext& context) {
  if (key == kBackspace) return key;
  switch (field) {
    case Ctl::CallEntered:
      if (key == '0' && context.ZSlashed) return kSlashedZero;
      if (key == '/' || IsDigit(key)) return key;
      if (IsLetter(key)) return AsciiUpper(key);
      return 0;
    case Ctl::FreqEntered:
      return (key == '.' || IsDigit(key)) ? key : 0;
    case Ctl::TimeST:
    case Ctl::TimeEndFld:
    case Ctl::NumSent:
    case Ctl::RSTNumRcvd:
      return IsDigit(key) ? key : 0;
    case Ctl::QSODate:
      // "." to "9", and "-", the separator of the dates the program writes.
      return ((key >= '.' && key <= '9') || key == '-') ? key : 0;
    case Ctl::RSTSent:
    case Ctl::RSTRcvd:
      if (context.WwdxReports) return IsDigit(key) ? key : 0;
      return (key >= '1' && key <= '9') ? key : 0;
    case Ctl::StateFLD:
    case Ctl::ContinentFLD:
      return IsLetter(key) ? key : 0;
    case Ctl::NameFld:
    case Ctl::CityFld:
    case Ctl::County:
    case Ctl::LName:
      return context.CaretPos == 0 ? UpperChar1252(key) : key;
    default:
      break;
  }
  if (IsUpperCaseField(field)) return UpperChar1252(key);
  return key;
}

bool IsUpperCaseField(Ctl field) {
  switch (field) {
    case Ctl::CallEntered:
    case Ctl::CountryFLD:
    case Ctl::GridSq:
    case Ctl::FISTS:
    case Ctl::IOTA:
    case Ctl::OOTC:
    case Ctl::TenTen:
    case Ctl::QCWA:
    case Ctl::LicClass:
    case Ctl::BMCode:
    case Ctl::PrefCountry:
    case Ctl::DXCC:
    case Ctl::PostalCode:
    case Ctl::Lat:
    case Ctl::Long:
      return true;
    default:
      return false;
  }
}

int32_t InitialMaxLength(Ctl field) {
  switch (field) {
    case Ctl::CallEntered: return 10;
    case Ctl::TimeST:
    case Ctl::TimeEndFld: return 4;
    case Ctl::RSTSent:
    case Ctl::RSTRcvd: return 3;
    case Ctl::NumSent:
    case Ctl::RSTNumRcvd: return 5;
    case Ctl::CountryFLD:
    case Ctl::CityFld: return 40;
    case Ctl::NameFld:
    case Ctl::LName:
    case Ctl::Email:
    case Ctl::QSLMgr: return 30;
    case Ctl::StateFLD:
    case Ctl::ContinentFLD: return 2;
    case Ctl::County: return 15;
    case Ctl::CQZ:
    case Ctl::ITUZ: return 4;
    case Ctl::GridSq: return 6;
    case Ctl::FISTS:
    case Ctl::IOTA:
    case Ctl::OOTC:
    case Ctl::TenTen:
    case Ctl::QCWA:
    case Ctl::LicClass:
    case Ctl::BMCode:
    case Ctl::PrefCountry: return 8;
    case Ctl::DXCC: return 5;
    case Ctl::PostalCode: return 12;
    case Ctl::Street: return 50;
    case Ctl::Lat: return 9;
    case Ctl::Long: return 10;
    case Ctl::WebURL: return 25;
    default: return 0;
  }
}

bool FormatSerial(std::string_view text, std::string& out) {
  int32_t n = 0;
  if (!TryStrToInt(text, n)) return false;
  out = format("%4.3d", {n});
  return true;
}

bool IsContinentCode(std::string_view text) {
  static constexpr std::string_view kCodes[] = {"AF", "AN", "AS", "EU", "NA", "OC", "SA"};
  for (std::string_view c : kCodes)
    if (text == c) return true;
  return false;
}

bool IsFrequencyText(std::string_view text) {
  bool digit = false;
  bool point = false;
  for (char c : text) {
    if (IsDigit(c)) {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

bool IsTimeText(std::string_view text) {
  if (text.size() != 4) return false;
  for (char c : text)
    if (!IsDigit(c)) return false;
  const int hours = (text[0] - '0') * 10 + (text[1] - '0');
  const int minutes = (text[2] - '0') * 10 + (text[3] - '0');
  return hours <= 23 && minutes <= 59;
}

namespace {

// A calendar date "yyyy" sep "mm" sep "dd" with the one separator sep.
bool IsDateWith(std::string_view text, char sep) {
  constexpr size_t kLength = 10;  // "yyyy-mm-dd"
  if (text.size() != kLength || text[4] != sep || text[7] != sep) return false;
  int32_t parts[3] = {0, 0, 0};
  for (size_t i = 0, part = 0; i < kLength; ++i) {
    if (i == 4 || i == 7) {
      ++part;
    } else if (IsDigit(text[i])) {
      parts[part] = parts[part] * 10 + (text[i] - '0');
    } else {
      return false;
    }
  }
  double date = 0;
  return TryEncodeDate(parts[0], parts[1], parts[2], date);
}

}  // namespace

bool IsDateText(std::string_view text) { return IsDateWith(text, '-'); }

bool ReadStoredDate(std::string_view text, std::string& date) {
  for (char sep : {'-', '/', '.'}) {
    if (!IsDateWith(text, sep)) continue;
    std::string iso(text);
    iso[4] = iso[7] = '-';
    date = std::move(iso);
    return true;
  }
  return false;
}

bool NormaliseCallText(std::string& call) {
  const std::string trimmed = Trim(call);
  if (trimmed.empty()) return false;
  call = UpperCase1252(trimmed);
  return true;
}

}  // namespace qv::app
