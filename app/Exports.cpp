#include "app/Exports.h"

#include <cmath>

#include "app/LogFiles.h"
#include "app/QsoEntry.h"
#include "app/QsoRecord.h"
#include "platform/host/Exception.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

constexpr size_t kMaxCabrilloLine = 255;  // a contact line is a 255-byte string
constexpr int32_t kWholeMhzAsKhzBelow = 50;

// "/" -> "-" for file names.
std::string FileSafe(std::string text) {
  for (char& c : text)
    if (c == '/') c = '-';
  return text;
}

// A CSV value: a comma would start another column.
std::string CsvValue(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == ',') c = ' ';
  return out;
}

// A serial of either export: an empty one (or one of blanks only) is "000",
// so that one contact without a serial does not stop the whole export.
std::string SerialOrZeros(std::string_view text) { return Trim(text).empty() ? std::string("000") : Serial4(text); }

// The format's date "yyyy-mm-dd", also of a date stored in an older form
// ("2024/05/07"); anything else as stored.
std::string CabrilloDate(const std::string& stored) {
  std::string date = stored;
  ReadStoredDate(stored, date);
  return date;
}

// "PH" for phone, "RY" for RTTY, else the stored mode.
std::string CabrilloMode(const std::string& mode) {
  if (mode == "SSB") return "PH";
  if (mode == "RTTY") return "RY";
  return mode;
}

// A WWDX report field holds report and zone together ("599" + "14"); the
// report is the first three characters (two for phone), the zone the last two.
// A field too short for both gives what it has.
std::string WwdxReport(const std::string& field, bool phone) {
  return PadRight(4, field.substr(0, std::min<size_t>(field.size(), phone ? 2 : 3)));
}
std::string WwdxZone(const std::string& field) {
  return PadRight(7, field.size() <= 2 ? field : field.substr(field.size() - 2));
}

}  // namespace

// ---- CSV

std::string CsvExport::FileName(const QsoRecord&) const {
  return FileSafe(PlainZeros(Context_.Station.MyCall)) + " " + Context_.LogName + " " + Context_.SortCode + ".CSV";
}

void CsvExport::Begin(const QsoRecord&) {
  const StationSettings& st = Context_.Station;
  Line("CONTEST: " + Context_.LogName);
  Line("CALLSIGN: " + PlainZeros(st.MyCall));
  Line("MY-CONTINENT: " + st.MyContinent);
  Line("MY-COUNTRY: " + st.MyCountry);
  Line("CATEGORY:");
  Line("IBM-CONTACTS: " + IntToStr(Context_.MemberCount));
  Line("NON-IBM-CONTACTS: " + IntToStr(Context_.NonMemberCount));
  Line("POINTS: " + Context_.PointsText);
  Line("MULTIPLIER: " + Context_.MultText);
  Line("CLAIMED-SCORE: " + Context_.ScoreText);
  Line("OPERATORS:");
  Line("CLUB:");
  Line("NAME: <== your name");
  Line("ADDRESS: <== your EMail or postal address");
  Line("SOAPBOX:");
  Line("CREATED-BY: Quorvex v" + Context_.ProgramVersion);
  Line("FORMAT: " + Context_.SortHeader);
  Line("Date Time Call RstS S_Nr RstR R_Nr Freq Country Continent City State Name IBM RET Mode Points");
}

void CsvExport::Contact(const QsoRecord& q, const std::string& points) {
  const std::string values[] = {q.QSODate,
                                q.TimeStart,
                                PlainZeros(q.Call),
                                q.RSTSent,
                                SerialOrZeros(q.NumSent),
                                q.RSTRcvd,
                                SerialOrZeros(q.NumRcvd),
                                q.Freq,
                                q.Country,
                                q.Continent,
                                q.City,
                                q.State,
                                q.Name,
                                q.IBM ? std::string("IBM") : std::string(),
                                std::string(),  // RET
                                q.Mode,
                                points};
  std::string line;
  line.reserve(160);
  bool firstValue = true;
  for (const std::string& v : values) {
    if (!firstValue) line += ',';
    firstValue = false;
    line += CsvValue(v);
  }
  Line(line);
}

// ---- Cabrillo

std::string CabrilloFreq(std::string_view freq) {
  const double f = StrToFloat(freq);
  std::string r;
  if (f <= 4.0) {
    r = FloatToStr(static_cast<long double>(f) * 1000);
  } else {
    int32_t whole = 0;
    if (TryStrToInt(freq, whole)) {
      r = whole < kWholeMhzAsKhzBelow ? std::string(freq) + "000" : std::string(freq);
    } else {
      // A frequency with a decimal part (5.3, 10.1, 14.025) in kHz.
      const double khz = std::round(f * 1000.0);
      if (!(std::fabs(khz) < 9.0e18)) throw EConvertError("'" + std::string(freq) + "' is not a valid frequency");
      r = IntToStr(static_cast<int64_t>(khz));
    }
  }
  if (r.size() <= 4) r = " " + r;
  return PadRight(6, r);
}

CabrilloExport::CabrilloExport(const OutputContext& context) : Context_(context) {
  OC_ = PlainZeros(PadRight(14, context.Station.MyCall));
  SN_ = PadRight(9, context.Station.MyName);
  SS_ = PadRight(4, context.Station.MyState);
}

std::string CabrilloExport::FileName(const QsoRecord& first) const {
  std::string name = PlainZeros(Context_.Station.MyCall);
  if (Context_.Station.TypeContest == "NAQP") name += " NAQP-" + first.Mode;
  return FileSafe(name) + " " + Context_.LogName + " " + Context_.SortCode + ".TXT";
}

void CabrilloExport::Begin(const QsoRecord& first) {
  const bool contest = Context_.Station.TypeLog;
  Line("START-OF-LOG: 2.0");
  if (contest) Line("ARRL-SECTION:");
  Line("CALLSIGN: " + OC_);
  if (contest) {
    Line("CATEGORY:");
    Line("CATEGORY-OVERLAY:");
    Line("CLAIMED-SCORE:");
    Line("CLUB:");
    if (Context_.Station.TypeContest == "NAQP")
      Line("CONTEST: NAQP " + first.Mode);
    else
      Line("CONTEST: " + Context_.LogName);
  } else {
    Line("LOG-NAME: " + Context_.LogName);
  }
  Line("CREATED-BY: Quorvex v" + Context_.ProgramVersion);
  Line("NAME: " + SN_ + " <== your name");
  Line("ADDRESS: " + SS_ + " <== your EMail or postal address");
  if (contest) Line("OPERATORS: <== Callsign(s)");
  Line("SOAPBOX:");
}

// A contact line is "QSO: " + frequency(6) + mode + " " + date + " " + time +
// " ", then, by kind (widths in brackets, texts padded with blanks, never cut):
//   GP     own call[14] RS[4] " " call[14] RR[4] " " name[9] city " " state[4]
//          end time " " notes
//   Other  with reports: own call[14] RS[4] serial sent[7] call[14] RR[4]
//          serial rcvd[7] xmtr;  without: own call[11] serial sent[5]
//          own name[11] own state[4] call[11] serial rcvd[5] name[11] state[4]
//          xmtr.  The layout is chosen once for the whole log (Survey), so a
//          log checker sees one layout: an empty report is blanks of its
//          width. An empty serial is "000", padded like a filled one so
//          that the fields after it keep their columns.
//   NAQP   own call[16] own name[11] own state[4] call[16] name[11] state[4] xmtr
//   WWDX   own call[14] report[4] zone[7] call[14] report[4] zone[7] xmtr
// Serials are "%4.4d"; calls and names are re-padded after dropping trailing
// blanks where the width differs from the header's.
void CabrilloExport::Contact(const QsoRecord& q, const std::string&) {
  const std::string m = CabrilloMode(q.Mode);
  const std::string c = PlainZeros(PadRight(14, q.Call));
  const std::string rs = PadRight(4, q.RSTSent);
  const std::string rr = PadRight(4, q.RSTRcvd);
  const std::string nm = PadRight(9, q.Name);
  const std::string st = PadRight(4, q.State);
  const std::string& x = Context_.Station.MyXmtrID;
  // Re-padded to another width after dropping trailing blanks.
  auto repad = [](int32_t width, const std::string& text) { return PadRight(width, TrimRight(text)); };

  std::string line = "QSO: " + CabrilloFreq(q.Freq) + m + " " + CabrilloDate(q.QSODate) + " " + q.TimeStart + " ";
  switch (Context_.Kind) {
    case ContestKind::GP:
      line += OC_ + rs + " " + c + rr + " " + nm + q.City + " " + st + q.TimeEnd + " " + q.Notes;
      break;
    case ContestKind::NAQP:
      line += repad(16, OC_) + repad(11, SN_) + SS_ + repad(16, c) + repad(11, nm) + st + x;
      break;
    case ContestKind::WWDX: {
      const bool phone = m == "PH";
      line += OC_ + WwdxReport(q.RSTSent, phone) + WwdxZone(q.RSTSent) + c + WwdxReport(q.RSTRcvd, phone) +
              WwdxZone(q.RSTRcvd) + x;
      break;
    }
    case ContestKind::Other:
    case ContestKind::IBM:  // (an IBM QSO Party log exports as CSV)
      if (WithReports()) {
        const std::string nr = PadRight(7, SerialOrZeros(q.NumRcvd));
        line += repad(14, OC_) + rs + PadRight(7, SerialOrZeros(q.NumSent)) + repad(14, c) + rr + nr + x;
      } else {
        const std::string nr = PadRight(5, SerialOrZeros(q.NumRcvd));
        line += repad(11, OC_) + PadRight(5, SerialOrZeros(q.NumSent)) + repad(11, SN_) + SS_ + repad(11, c) + nr +
                repad(11, nm) + st + x;
      }
      break;
  }
  if (line.size() > kMaxCabrilloLine) line.resize(kMaxCabrilloLine);
  Line(line);
}

void CabrilloExport::Survey(const QsoRecord& q) {
  ++Contacts_;
  if (!q.RSTSent.empty() || !q.RSTRcvd.empty()) ++ContactsWithReports_;
}

void CabrilloExport::End() { Line("END-OF-LOG:"); }

// ---- as the output choice runs them

bool ExportCsv(LogTable& log, const OutputContext& context, AppUi& ui) {
  CsvExport csv(context);
  return ExportToFile(csv, log, context, ui);
}

bool ExportCabrillo(LogTable& log, const OutputContext& context, AppUi& ui) {
  CabrilloExport cabrillo(context);
  return ExportToFile(cabrillo, log, context, ui);
}

}  // namespace qv::app
