#include "app/OnlineLookup.h"

#include "app/LogFiles.h"
#include "app/MainView.h"
#include "net/nethttp.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

struct MarkerField {
  uint8_t Marker;
  Ctl Field;
  bool OnlyWithoutMember;
};

// The markers read from an answer and the fields they fill.
constexpr MarkerField kMarkerFields[] = {
    {0xB6, Ctl::LicClass, false},   {0xB7, Ctl::BMCode, false},   {0xBA, Ctl::LName, false},
    {0xBC, Ctl::Street, false},     {0xBD, Ctl::PrefCountry, false}, {0xC1, Ctl::PostalCode, false},
    {0xC6, Ctl::County, false},     {0xC8, Ctl::Lat, false},      {0xC9, Ctl::Long, false},
    {0xCA, Ctl::GridSq, false},     {0xCF, Ctl::Email, false},    {0xD0, Ctl::QSLMgr, false},
    {0xD2, Ctl::WebURL, false},     {0xD8, Ctl::TenTen, false},   {0xDA, Ctl::IOTA, false},
    {0xDB, Ctl::FISTS, false},      {0xDC, Ctl::QCWA, false},     {0xDD, Ctl::OOTC, false},
    {0xFB, Ctl::CQZ, false},        {0xFC, Ctl::ITUZ, false},     {0xB8, Ctl::NameFld, true},
    {0xBF, Ctl::CityFld, true},     {0xC0, Ctl::StateFLD, true},  {0xD1, Ctl::CountryFLD, true},
    {0xFD, Ctl::ContinentFLD, true}};

const MarkerField* FindMarker(uint8_t b) {
  for (const MarkerField& m : kMarkerFields)
    if (m.Marker == b) return &m;
  return nullptr;
}

bool IsUnreserved(uint8_t b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
         b == '.' || b == '_' || b == '~' || b == '/';
}

// The reply's head names its body plain text ("Content-Type: text/plain",
// with or without parameters).
bool IsPlainText(const StringList& head) {
  constexpr std::string_view kName = "content-type:";
  for (int32_t i = 0; i < head.Count(); ++i) {
    const std::string line = LowerCase(head[i]);
    if (!line.starts_with(kName)) continue;
    const std::string type = Trim(line.substr(kName.size()));
    return type == "text/plain" || type.starts_with("text/plain;") || type.starts_with("text/plain ");
  }
  return false;
}

}  // namespace

bool FetchLookupReply(const std::string& url, StringList& lines, int32_t deadlineMs, std::string& failure) {
  net::THTTPClient http;
  http.RequestTimeout = deadlineMs;
  const bool done = http.SendRequest("GET", url);
  lines.SetText(http.Document.DataString());
  failure = done ? std::string() : http.Failure();
  if (!done) return false;
  // A reply without a status line (0) is the body alone.
  const int32_t status = http.ResultCode();
  if (status == 0 || (status >= 200 && status < 300)) return true;
  failure = "HTTP " + std::to_string(status);
  if (!http.ResultString().empty()) failure += " " + http.ResultString();
  // A plain-text body says why in its first line ("Invalid login").
  if (IsPlainText(http.Headers) && lines.Count() > 0 && !Trim(lines[0]).empty()) failure += ": " + Trim(lines[0]);
  return false;
}

bool IsReadMarker(uint8_t b) { return FindMarker(b) != nullptr; }

std::string PercentEncodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string r;
  r.reserve(value.size());
  for (char c : value) {
    const auto b = static_cast<uint8_t>(c);
    if (IsUnreserved(b)) {
      r += c;
    } else {
      r += '%';
      r += kHex[b >> 4];
      r += kHex[b & 0x0F];
    }
  }
  return r;
}

std::string BuildLookupRequest(std::string_view host, std::string_view userId, std::string_view password,
                               std::string_view call) {
  std::string url = "http://";
  url += host;
  url += "/call?username=";
  url += PercentEncodeQueryValue(PlainZeros(userId));
  url += "&password=";
  url += PercentEncodeQueryValue(password);
  url += "&rawlookup=1&callsign=";
  url += PercentEncodeQueryValue(PlainZeros(call));
  url += "&program=Quorvex";
  return url;
}

std::string HamQthPageUrl(std::string_view call) {
  return std::string("http://") + kHamQthHost + "/" + PlainZeros(call);
}

std::string QrzPageUrl(std::string_view call) {
  return std::string("http://") + kQrzHost + "/db/" + PlainZeros(call);
}

std::string ExtractLookupField(int32_t length, std::string_view line, int32_t start) {
  std::string collected;
  int64_t pos = start;  // 1-based
  for (int32_t i = 0; i < length - 1; ++i) {
    if (pos >= 1 && pos <= static_cast<int64_t>(line.size())) {
      const auto b = static_cast<uint8_t>(line[static_cast<size_t>(pos - 1)]);
      if (IsLookupFieldMarker(b)) return collected;
      collected += static_cast<char>(b);
    }
    ++pos;
  }
  return "NF";
}

int32_t FindAnswerLine(const StringList& lines) {
  for (int32_t i = 0; i < lines.Count(); ++i)
    for (char c : lines[i]) {
      const auto b = static_cast<uint8_t>(c);
      if (IsLookupFieldMarker(b) || IsReadMarker(b)) return i;
    }
  return -1;
}

std::string LicenceClassText(std::string_view code) {
  if (code == "E") return "Extra";
  if (code == "A") return "Adv";
  if (code == "G") return "Gen";
  if (code == "P") return "Tech +";
  if (code == "T") return "Tech";
  if (code == "N") return "Nov";
  return std::string(code);
}

void ApplyLookupAnswer(MainView& view, std::string_view line, bool memberFound) {
  const auto length = static_cast<int32_t>(line.size());
  for (int32_t i = 1; i <= length; ++i) {
    const MarkerField* m = FindMarker(static_cast<uint8_t>(line[static_cast<size_t>(i - 1)]));
    if (m == nullptr) continue;
    if (m->OnlyWithoutMember && memberFound) continue;
    if (m->Field == Ctl::Email && !view.Text(Ctl::Email).empty()) continue;
    view.SetText(m->Field, ExtractLookupField(length, line, i + 1));
  }
  view.SetText(Ctl::LicClass, LicenceClassText(view.Text(Ctl::LicClass)));
  if (!memberFound) {
    if (view.Text(Ctl::CountryFLD).empty()) view.SetText(Ctl::CountryFLD, view.Text(Ctl::PrefCountry));
    const std::string continent = view.Text(Ctl::ContinentFLD);
    if (continent == "NF" || continent.empty())
      view.SetText(Ctl::ContinentFLD, view.Text(Ctl::CountryFLD) == "USA" ? "NA" : "");
  }
}

}  // namespace qv::app
