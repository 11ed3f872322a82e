#include "app/ReportContent.h"

#include "app/AppUi.h"
#include "app/LogFiles.h"
#include "app/QsoRecord.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

constexpr int32_t kWwdxReportWidth = 50;
constexpr int32_t kGpNotesOffset = 49;
constexpr int32_t kGpStatusShift = 6;
constexpr int32_t kGpPointsShift = 28;

}  // namespace

std::string ReportSerial(std::string_view text) { return text.empty() ? std::string("___") : Serial3(text); }

ReportBuilder::ReportBuilder(const OutputContext& context) : Context_(context) {}

void ReportBuilder::Begin(const QsoRecord&) {
  const OutputContext& c = Context_;
  const StationSettings& st = c.Station;
  const ContestKind kind = c.Kind;

  ReportTitle& t = Content_.Title;
  t.MyCall = st.MyCall;
  t.Version = "v" + c.ProgramVersion;
  t.PrintDate = "Print Date: " + FormatDateTime("mmmm d, yyyy \" at \" hh:mm", c.LocalNow) + " Local Time";
  t.ShowTotals = kind == ContestKind::IBM;
  if (t.ShowTotals) {
    t.IBM = "IBM Contacts: " + IntToStr(c.MemberCount);
    t.NonIBM = "Non-IBM Contacts: " + IntToStr(c.NonMemberCount);
    t.Points = "Points: " + c.PointsText;
    t.Mult = "Multiplier: " + c.MultText;
    t.Score = "Score: " + c.ScoreText;
  }

  ReportColumnHeader& h = Content_.Header;
  h.HdrInfo = c.LogName;
  h.HdrSort = c.SortHeader;
  h.StnCall = st.MyCall;
  h.MyCountry = "My Country: " + st.MyCountry;
  h.MyContinent = "My Continent: " + st.MyContinent;
  if (kind == ContestKind::GP) {
    h.ShowXmtrZone = true;  // shown, but empty
  } else if (kind != ContestKind::IBM) {
    h.ShowXmtrZone = true;
    h.Xmtr = "Xmtr ID: " + st.MyXmtrID;
    h.Zone = "My Zone: " + st.MyZone;
  }
  h.ShowSentRcvd = kind != ContestKind::GP && kind != ContestKind::NAQP;
  h.ShowRstLabels = kind == ContestKind::GP;
  if (kind == ContestKind::IBM) {
    h.ShowPointsStatus = true;
    h.PointsLab = "Points";
    h.StatusLab = "Stat";
  } else if (kind == ContestKind::GP) {
    h.ShowPointsStatus = true;
    h.PointsLab = "Notes";
    h.StatusLab = "ETime";
    h.PointsShift = kGpPointsShift;
    h.StatusShift = kGpStatusShift;
  }

  ReportLayout& l = Content_.Layout;
  switch (kind) {
    case ContestKind::GP:
      l.ShowReports = true;
      l.ShowMemberMark = true;
      l.ShowNotes = true;
      l.NotesOffset = kGpNotesOffset;
      break;
    case ContestKind::IBM:
      l.ShowReports = l.ShowSerials = l.ShowDashes = l.ShowMemberMark = l.ShowPoints = true;
      break;
    case ContestKind::NAQP:
      break;
    case ContestKind::WWDX:
      l.ShowReports = true;
      l.ReportWidth = kWwdxReportWidth;
      break;
    case ContestKind::Other:
      l.ShowReports = l.ShowSerials = l.ShowDashes = true;
      break;
  }
}

void ReportBuilder::Contact(const QsoRecord& q, const std::string& points) {
  const ReportLayout& l = Content_.Layout;
  ReportLine r;
  r.Call = q.Call;
  r.Freq = q.Freq;
  r.QSODate = q.QSODate;
  r.TimeStart = q.TimeStart;
  r.Country = q.Country;
  r.Continent = q.Continent;
  r.Name = q.Name;
  r.City = q.City;
  r.State = q.State;
  r.Mode = q.Mode;
  if (l.ShowReports) {
    r.RSTSent = q.RSTSent;
    r.RSTRcvd = q.RSTRcvd;
  }
  if (l.ShowSerials) {
    r.NumSent = ReportSerial(q.NumSent);
    r.NumRcvd = ReportSerial(q.NumRcvd);
  }
  if (Context_.Kind == ContestKind::GP) {
    r.MemberMark = " " + q.TimeEnd;
    r.Notes = q.Notes;
  } else if (Context_.Kind == ContestKind::IBM) {
    r.MemberMark = q.IBM ? "IBM" : "";
    r.Points = points;
  }
  Content_.Lines.push_back(std::move(r));
}

bool PrintLog(LogTable& log, const OutputContext& context, AppUi& ui, ReportPrinter& printer) {
  DataSet& ds = log.Data();
  if (ds.RecordCount() == 0) {
    ui.Inform("Log is Empty, Print aborted!");
    return false;
  }
  ReportBuilder report(context);
  WriteLog(ds, report, context);
  printer.PrintReport(report.Content());
  ReopenLog(log);
  return true;
}

}  // namespace qv::app
