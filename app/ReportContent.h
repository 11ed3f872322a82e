// What the printed log report shows, band by band, as data: the title band
// (first page), the column header band (every page) and one detail line per
// contact, adapted to the log's kind. The report window lays these out and
// prints them; nothing here knows about pages or fonts.
//
// By kind:
//   title totals        "IBM" only
//   Xmtr ID / My Zone   contest kinds other than "IBM"; shown empty for GP
//   SENT / RCVD labels  contest kinds other than "NAQP"; GP captions its two
//                       report columns "RST S" / "RST R" instead
//   Points / Stat       "IBM"; GP shows "Notes" / "ETime" there, moved right
//   detail              GP: reports, " " + end time in the member-mark place,
//                       notes; "IBM": reports, serials, dashes, member mark,
//                       capped points; "NAQP": none of these; "WWDX": reports
//                       50 units wide (report and zone); "Other": reports,
//                       serials, dashes
// Serials print "%4.3d", or "___" when empty.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/Outputs.h"

namespace qv::app {

inline constexpr std::string_view kReportCaption = "Contest Log Print";

struct ReportTitle {
  std::string MyCall;
  std::string OwnerLabel = "Log owner:";
  std::string ProgramName = "Quorvex";
  std::string Version;    // "v" + version
  // "Print Date: " + 'mmmm d, yyyy " at " hh:mm' + " Local Time", e.g.
  // "Print Date: March 5, 2024  at  14:07 Local Time".
  std::string PrintDate;
  bool ShowTotals = false;
  std::string IBM;        // "IBM Contacts: " + M
  std::string NonIBM;     // "Non-IBM Contacts: " + N
  std::string Points;     // "Points: " + points panel
  std::string Mult;       // "Multiplier: " + multiplier panel
  std::string Score;      // "Score: " + score panel
};

inline constexpr std::array<std::string_view, 10> kReportColumnCaptions = {
    "  Call       ", "Freq", "   Date     ", "Time", "Country              ",
    "CN",            "   Name  ", "  City           ", "St", "Mode"};
inline constexpr std::string_view kReportPageCaption = "Page # ";

struct ReportColumnHeader {
  std::string HdrInfo;      // the log's name
  std::string HdrSort;      // the sort header
  std::string StnCall;      // own call
  std::string MyCountry;    // "My Country: " + country
  std::string MyContinent;  // "My Continent: " + continent
  bool ShowXmtrZone = false;
  std::string Xmtr;  // "Xmtr ID: " + id
  std::string Zone;  // "My Zone: " + zone
  bool ShowSentRcvd = false;
  std::string SentLab = "  SENT  ";
  std::string RcvdLab = "  RCVD  ";
  // Captions over the two report columns of a log that prints reports
  // without SENT / RCVD over them (GP).
  bool ShowRstLabels = false;
  std::string RstSentLab = "RST S";
  std::string RstRcvdLab = "RST R";
  bool ShowPointsStatus = false;
  std::string PointsLab;
  std::string StatusLab;
  // Units to the right of the design places (GP moves both captions).
  int32_t PointsShift = 0;
  int32_t StatusShift = 0;
};

struct ReportLayout {
  bool ShowReports = false;
  int32_t ReportWidth = 0;  // 0: the design width
  bool ShowSerials = false;
  bool ShowDashes = false;
  bool ShowMemberMark = false;
  bool ShowPoints = false;
  bool ShowNotes = false;
  int32_t NotesOffset = 0;  // units right of the member-mark place
};

struct ReportLine {
  std::string Call;
  std::string Freq;
  std::string QSODate;
  std::string TimeStart;
  std::string Country;
  std::string Continent;
  std::string Name;
  std::string City;
  std::string State;
  std::string Mode;
  std::string RSTSent;
  std::string RSTRcvd;
  std::string NumSent;
  std::string NumRcvd;
  std::string MemberMark;
  std::string Points;
  std::string Notes;
};

struct ReportContent {
  ReportTitle Title;
  ReportColumnHeader Header;
  ReportLayout Layout;
  std::vector<ReportLine> Lines;
};

class ReportBuilder final : public LogOutput {
public:
  explicit ReportBuilder(const OutputContext& context);
  bool UsesMemberCap() const override { return true; }
  void Begin(const QsoRecord& first) override;
  void Contact(const QsoRecord& qso, const std::string& points) override;
  void End() override {}
  const ReportContent& Content() const { return Content_; }

private:
  const OutputContext& Context_;
  ReportContent Content_;
};

// A serial as printed: "%4.3d" of its number, "___" when empty.
std::string ReportSerial(std::string_view text);

// The print: "Log is Empty, Print aborted!" for an empty log; otherwise the
// report of the whole log (member cap applied) handed to the printer, and
// the log reopened in contact order. True when printed.
bool PrintLog(LogTable& log, const OutputContext& context, AppUi& ui, ReportPrinter& printer);

}  // namespace qv::app
