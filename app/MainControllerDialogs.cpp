// What the main window offers its dialogs (the member and state tables, the
// clock, the layout after a saved settings dialog) and the output choice.
#include "app/MainController.h"

#include "app/Outputs.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

constexpr int32_t kClockStartMs = 1500;
constexpr int32_t kReportWidth = 37;
constexpr int32_t kNotesFont = 9;
constexpr int32_t kButtonBarMargin = 6;

// Grid columns by number (see the grid's column list): the report and serial
// pairs, and the run from CONTINENT through QCWA.
constexpr int32_t kRstSent = 5, kNumSent = 6, kRstRcvd = 7, kNumRcvd = 8;
constexpr int32_t kContinent = 14, kIbm = 15, kPoints = 16, kTimeEnd = 17, kNotes = 18;
constexpr int32_t kCounty = 19, kTenTen = 26, kQcwa = 27;

}  // namespace

DataSet* MainController::MemberData() { return MembersOpen_ ? &Members_->Data() : nullptr; }

std::vector<std::string> MainController::StateNames() {
  std::vector<std::string> states;
  if (!StatesOpen_) return states;
  DataSet& t = States_->Data();
  Field* state = t.FieldByName("State");
  t.First();
  while (!t.Eof()) {
    states.push_back(state->AsString());
    t.Next();
  }
  return states;
}

void MainController::StopClock() { View_.SetTimerEnabled(MainTimer::Clock, false); }

// The layout a saved settings dialog applies: the general purpose log first,
// then, for a contest log, the contest rows and the row of its code. Grid
// columns a row does not name keep their state.
void MainController::ApplySavedSettings() {
  View_.SetColor(Ctl::StatPanel, kWinWhite);
  View_.SetFontColor(Ctl::StatPanel, kWinBlack);
  View_.SetText(Ctl::StatPanel, "");

  auto show = [&](std::initializer_list<Ctl> controls, bool visible) {
    for (Ctl c : controls) View_.SetVisible(c, visible);
  };
  auto columns = [&](int32_t from, int32_t to, bool visible) {
    for (int32_t col = from; col <= to; ++col) View_.SetGridColumnVisible(col, visible);
  };
  auto column = [&](std::initializer_list<int32_t> cols, bool visible) {
    for (int32_t col : cols) View_.SetGridColumnVisible(col, visible);
  };
  const std::string& code = State_.Station.TypeContest;

  View_.SetText(Ctl::LogTypInf, "General Purpose Log");
  View_.SetWidth(Ctl::RSTSent, kReportWidth);
  View_.SetWidth(Ctl::RSTRcvd, kReportWidth);
  View_.SetText(Ctl::RSTSentHdr, "RS(T) Sent");
  View_.SetText(Ctl::RSTRcvdHdr, "RS(T) Rcvd");
  show({Ctl::RSTSentHdr, Ctl::RSTRcvdHdr, Ctl::RSTSent, Ctl::RSTRcvd}, true);
  show({Ctl::RSTSentSep, Ctl::RSTRcvdSep, Ctl::NumSent, Ctl::RSTNumRcvd}, false);
  show({Ctl::TimeEndHdr, Ctl::TimeEndFld, Ctl::XtraFields, Ctl::QSLSCkBox, Ctl::EQSLCkBox, Ctl::LOTWCkBox,
        Ctl::NotesHdr, Ctl::Notes},
       true);
  View_.SetFontSize(Ctl::Notes, kNotesFont);
  show({Ctl::QSOPanel, Ctl::F11Text, Ctl::IBM, Ctl::ViewMultBtn}, false);
  column({kRstSent, kRstRcvd, kContinent, kTimeEnd, kNotes}, true);
  columns(kCounty, kQcwa, true);
  column({kNumSent, kNumRcvd, kIbm, kPoints}, false);

  if (State_.Station.TypeLog) {
    View_.SetText(Ctl::LogTypInf, "NA SRINT / CQ WW WPX / Other Contest");
    View_.SetText(Ctl::RSTSentHdr, "RS(T) Sent Num");
    View_.SetText(Ctl::RSTRcvdHdr, "RS(T) Rcvd Num");
    show({Ctl::RSTSentSep, Ctl::RSTRcvdSep, Ctl::NumSent, Ctl::RSTNumRcvd}, true);
    show({Ctl::TimeEndHdr, Ctl::TimeEndFld, Ctl::NotesHdr, Ctl::Notes, Ctl::XtraFields, Ctl::QSLSCkBox,
          Ctl::EQSLCkBox, Ctl::LOTWCkBox},
         false);
    columns(kRstSent, kNumRcvd, true);
    columns(kContinent, kTenTen, false);

    if (code == "WWDX") {
      View_.SetText(Ctl::LogTypInf, "WW DX Contest Log");
      show({Ctl::RSTSentSep, Ctl::RSTRcvdSep, Ctl::NumSent, Ctl::RSTNumRcvd}, false);
      ResizeWwdxReports(State_.LastMode);
      column({kNumSent, kNumRcvd}, false);
    } else if (code == "NAQP") {
      View_.SetText(Ctl::LogTypInf, "NA QP Log");
      show({Ctl::RSTSentHdr, Ctl::RSTRcvdHdr, Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTSentSep, Ctl::RSTRcvdSep,
            Ctl::NumSent, Ctl::RSTNumRcvd},
           false);
      columns(kRstSent, kNumRcvd, false);
    } else if (code == "IBM") {
      View_.SetText(Ctl::LogTypInf, "IBM QSO Party Log");
      View_.SetText(Ctl::RSTSentHdr, "   Seq Num Sent");
      View_.SetText(Ctl::RSTRcvdHdr, "  Seq Num Rcvd");
      show({Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTSentSep, Ctl::RSTRcvdSep}, false);
      show({Ctl::QSOPanel, Ctl::F11Text, Ctl::IBM, Ctl::ViewMultBtn, Ctl::NotesHdr, Ctl::Notes}, true);
      column({kNumSent, kNumRcvd, kContinent, kIbm, kPoints, kNotes}, true);
      column({kRstSent, kRstRcvd, kTimeEnd}, false);
    }
  }

  int32_t bar = kButtonBarMargin;
  for (Ctl b : {Ctl::AddToLogButton, Ctl::ClearButton, Ctl::EditLogBtn, Ctl::ViewMultBtn})
    if (View_.Visible(b)) bar += View_.Width(b);
  View_.SetWidth(Ctl::BtnToolBar, bar);

  View_.SetTimerInterval(MainTimer::Clock, kClockStartMs);
  View_.SetTimerEnabled(MainTimer::Clock, true);
  ShowLogCount();
}

void MainController::OutFmtRadGrpClick() {
  const int32_t item = View_.ItemIndex(Ctl::OutFmtRadGrp);
  if (item != static_cast<int32_t>(OutputChoice::Print) && item != static_cast<int32_t>(OutputChoice::ExportToFile))
    return;
  // A print or export is modal (its printer dialog, its questions): the
  // link's events wait until the window is put back below.
  ModalScope modal(*this);
  const std::string freq = View_.Text(Ctl::FreqEntered);
  // The choice shows no item and the frequency field its text again, also
  // after an output that failed or was refused.
  auto restore = ScopeExit([&] {
    View_.Focus(Ctl::FreqEntered);
    View_.SetText(Ctl::FreqEntered, freq);
    View_.SetItemIndex(Ctl::OutFmtRadGrp, -1);
  });
  // Without a log the table stands on the template and the log folder would
  // be the program folder: no output is made from it.
  if (RefuseWithoutLog() || !EnsureLogOpen("The Log could not be read!", false)) return;
  struct NoPrinter final : ReportPrinter {
    void PrintReport(const ReportContent&) override {}
  } none;
  RunOutput(static_cast<OutputChoice>(item), State_, *Log_, View_, Printer_ != nullptr ? *Printer_ : none,
            LocalNow_ ? LocalNow_() : Now());
  SetNumSent(State_.NumSentText);
  View_.SetText(Ctl::LogNr, State_.LogNrText);
}

}  // namespace qv::app
