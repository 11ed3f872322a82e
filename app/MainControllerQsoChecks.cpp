// The entry fields' key filters and checks, Clear Fields and Add To Log.
#include <functional>

#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/QsoEntry.h"
#include "app/QsoRecord.h"
#include "app/Scoring.h"
#include "appdata/BackupCopy.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Exception.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"

namespace qv::app {

namespace {

constexpr std::string_view kSelectLogText = "You must \"Select Log\" !";

}  // namespace

void MainController::FocusField(Ctl field) {
  // A check that puts the focus back into the field it checks refuses it.
  if (field == Exiting_) ExitRefused_ = true;
  const bool moves = View_.FocusedControl() != field;
  View_.Focus(field);
  if (moves) FieldEnter(field);
}

void MainController::StatusLook(uint32_t background, uint32_t text) {
  View_.SetColor(Ctl::StatPanel, background);
  View_.SetFontColor(Ctl::StatPanel, text);
}

void MainController::StatusText(uint32_t background, uint32_t textColor, const std::string& text) {
  StatusLook(background, textColor);
  View_.SetText(Ctl::StatPanel, text);
}

void MainController::Poke(const std::string& item, const std::string& text) {
  if (Module_.HamScopeLinked && HamScope_ != nullptr) HamScope_->Poke(item, text);
}

char MainController::KeyPress(Ctl field, char key, int32_t caretPos) {
  KeyContext context;
  context.ZSlashed = State_.Program.ZSlashed;
  context.WwdxReports = State_.Station.TypeContest == "WWDX";
  context.CaretPos = caretPos;
  return FilterEntryKey(field, key, context);
}

bool MainController::FieldExit(Ctl field) {
  Exiting_ = field;
  ExitRefused_ = false;
  auto done = ScopeExit([this] { Exiting_ = Ctl::Count; });
  ExitCheck(field);
  return !ExitRefused_;
}

bool MainController::RefuseWithoutLog() {
  if (IsLogSelected(State_)) return false;
  View_.Warn(std::string(kSelectLogText));
  return true;
}

bool MainController::EnsureLogOpen(const std::string& headline, bool write) {
  DataSet& log = LogData();
  if (log.Active() && (!write || !Log_->IsReadOnly())) return true;
  try {
    // A log opened read-only (damaged) is written only once the operator
    // writes: connected again, for writing (what that open finds is taken
    // as a start takes it).
    if (log.Active()) {
      log.Close();
      Log_->Disconnect();
    }
    Log_->SetReadOnly(false);
    Log_->Connect();
    log.Open();
    Log_->SetIndexName(kPrimeIndexName);
    ShowLogCount();
  } catch (const std::exception& e) {
    View_.Warn(headline + "\r\r" + e.what() + "\r\r" + std::string(kBackupKeptText));
    return false;
  }
  LogReopened();
  return true;
}

void MainController::ExitCheck(Ctl field) {
  const bool ibm = IsContest(ContestKind::IBM);
  const bool wwdx = IsContest(ContestKind::WWDX);
  switch (field) {
    case Ctl::CallEntered:
      CallEnteredExit();
      break;
    case Ctl::FreqEntered: {
      Module_.LastFreq = View_.Text(Ctl::FreqEntered);
      // A text that is no number of MHz would be logged and stop the exports.
      if (!Module_.LastFreq.empty() && !IsFrequencyText(Module_.LastFreq)) {
        View_.Warn(std::string(kInvalidFrequencyText));
        FocusField(Ctl::FreqEntered);
      } else if (ibm && BandTable::BandIndex(Module_.LastFreq) < 0) {
        FocusField(Ctl::FreqEntered);
      }
      break;
    }
    case Ctl::Mode: {
      const std::string mode = UpperCase(View_.Text(Ctl::Mode));
      View_.SetText(Ctl::Mode, mode);
      if (mode.empty()) {
        FocusField(Ctl::Mode);
        break;
      }
      State_.LastMode = mode;
      if (wwdx) ResizeWwdxReports(mode);
      break;
    }
    case Ctl::TimeST:
      if (ibm) FocusField(Ctl::RSTNumRcvd);
      // Four digits of a real time of day: "2599" would be logged and exported.
      if (!IsTimeText(View_.Text(Ctl::TimeST))) {
        View_.Warn(std::string(kInvalidTimeText));
        FocusField(Ctl::TimeST);
      }
      break;
    case Ctl::TimeEndFld: {
      const std::string t = View_.Text(Ctl::TimeEndFld);
      if (!t.empty() && !IsTimeText(t)) {
        View_.Warn(std::string(kInvalidTimeText));
        FocusField(Ctl::TimeEndFld);
      }
      break;
    }
    case Ctl::QSODate:
      Module_.CurrentDate = View_.Text(Ctl::QSODate);
      Module_.QsoDate = Module_.CurrentDate;
      // A date that is no calendar date would be logged and exported (Add To
      // Log refuses it too, and an empty one as a required field).
      if (!Module_.QsoDate.empty() && !IsDateText(Module_.QsoDate)) {
        View_.Warn(std::string(kInvalidDateText));
        FocusField(Ctl::QSODate);
      }
      break;
    case Ctl::RSTSent:
    case Ctl::RSTRcvd: {
      if (!wwdx) break;
      const bool ssb = View_.Text(Ctl::Mode) == "SSB";
      if (View_.Text(field).size() < (ssb ? 4u : 5u)) {
        StatusText(kWinWhite, kWinRed, ssb ? "RS + Zone required!" : "RST + Zone required!");
        FocusField(field);
      } else {
        View_.SetText(Ctl::StatPanel, "");
      }
      break;
    }
    case Ctl::NumSent: {
      std::string serial;
      const std::string t = View_.Text(Ctl::NumSent);
      if (!t.empty() && FormatSerial(t, serial)) SetNumSent(serial);
      if (ibm) FocusField(Ctl::RSTNumRcvd);
      break;
    }
    case Ctl::RSTNumRcvd: {
      const std::string t = View_.Text(Ctl::RSTNumRcvd);
      int32_t n = 0;
      std::string serial;
      if (!t.empty() && TryStrToInt(t, n) && n != 0 && FormatSerial(t, serial))
        View_.SetText(Ctl::RSTNumRcvd, serial);
      break;
    }
    case Ctl::StateFLD: {
      const std::string state = UpperCase(View_.Text(Ctl::StateFLD));
      View_.SetText(Ctl::StateFLD, state);
      if (!StatesOpen_ || state.empty()) break;
      if (!View_.Text(Ctl::CountryFLD).empty() || !View_.Text(Ctl::ContinentFLD).empty()) break;
      DataSet& t = States_->Data();
      if (!t.Locate("State", state, 0)) break;
      const std::string country = t.FieldByName("USCountry")->AsString();
      // The state file knows each state's country (a Canadian province gives
      // CANADA, Hawaii its own entry) in every kind of log.
      View_.SetText(Ctl::CountryFLD, country);
      View_.SetText(Ctl::ContinentFLD, t.FieldByName("Continent")->AsString());
      break;
    }
    case Ctl::ContinentFLD: {
      const std::string continent = UpperCase(View_.Text(Ctl::ContinentFLD));
      View_.SetText(Ctl::ContinentFLD, continent);
      if (!IsContinentCode(continent)) FocusField(Ctl::ContinentFLD);
      break;
    }
    default:
      break;
  }
}

void MainController::FieldEnter(Ctl field) {
  if (Module_.HamScopeLinked) return;
  if (field == Ctl::RSTSent) {
    std::string report = View_.Text(Ctl::Mode) != "SSB" ? "599" : "59";
    if (IsContest(ContestKind::WWDX)) report += State_.Station.MyZone;
    View_.SetText(Ctl::RSTSent, report);
  } else if (field == Ctl::RSTRcvd) {
    View_.SetText(Ctl::RSTRcvd, State_.LastMode != "SSB" ? "599" : "59");
  }
}

void MainController::FieldChange(Ctl field) {
  if (field == Ctl::Mode && IsContest(ContestKind::WWDX)) ResizeWwdxReports(View_.Text(Ctl::Mode));
}

void MainController::IBMClick() {
  if (View_.Checked(Ctl::IBM)) {
    if (View_.Text(Ctl::CallEntered).empty()) {
      View_.SetChecked(Ctl::IBM, false);
      return;
    }
    View_.SetFontColor(Ctl::IBM, kWinBlue);
    StatusLook(kWinWhite, kWinBlack);
  } else {
    View_.SetFontColor(Ctl::IBM, kWinBlack);
    View_.SetColor(Ctl::StatPanel, kWinWhite);
  }
  View_.SetText(Ctl::StatPanel, "");
}

void MainController::ClearButtonClick() {
  if (Module_.HamScopeLinked) {
    Poke("Name", "");
    Poke("Call", "");
    Poke("Ext_macro", "000");
    FocusField(Ctl::FreqEntered);
  } else {
    FocusField(Ctl::CallEntered);
  }
  View_.SetFontColor(Ctl::IBM, kWinBlack);
  for (Ctl c : {Ctl::CallEntered, Ctl::TimeST, Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTNumRcvd, Ctl::CountryFLD,
                Ctl::ContinentFLD})
    View_.SetText(c, "");
  View_.SetChecked(Ctl::IBM, false);
  for (Ctl c : {Ctl::NameFld, Ctl::LName, Ctl::CityFld, Ctl::StateFLD, Ctl::Notes, Ctl::TimeEndFld})
    View_.SetText(c, "");
  for (Ctl c : kXtraFields) View_.SetText(c, "");
  View_.SetChecked(Ctl::QSLSCkBox, false);
  StatusText(kWinWhite, kWinBlack, "");

  // A log that cannot be opened was told of when that was found; one that
  // fails a read here is noted as damaged (the next write's message names
  // it).
  DataSet& log = LogData();
  if (!log.Active()) {
    try {
      log.Open();
    } catch (const std::exception&) {
      return;
    }
  }
  try {
    Log_->SetIndexName(kPrimeIndexName);
    ShowLogCount();
    log.Last();
  } catch (const std::exception& e) {
    NoteReadFailure(e.what());
  }
}

void MainController::AddToLogByEnter(Ctl field) {
  if (field != Ctl::Count && !FieldExit(field)) return;
  AddToLogButtonClick();
}

void MainController::AddToLogButtonClick() {
  if (RefuseWithoutLog()) return;
  DataSet& log = LogData();
  // A log that could not be opened again after a failed write (the disk
  // still full, the interrupted commit not yet undone), or at the start, is
  // opened now.
  if (!EnsureLogOpen("The contact could not be written to the Log!", true)) return;
  Log_->SetIndexName(kPrimeIndexName);
  ShowLogCount();

  const bool ibm = IsContest(ContestKind::IBM);
  const bool member = View_.Checked(Ctl::IBM);
  auto filled = [&](std::initializer_list<Ctl> fields) {
    for (Ctl c : fields)
      if (View_.Text(c).empty()) return false;
    return true;
  };
  bool ok = filled({Ctl::CallEntered, Ctl::QSODate, Ctl::Mode, Ctl::FreqEntered});
  if (ok && ibm && member) ok = filled({Ctl::RSTNumRcvd, Ctl::CountryFLD, Ctl::ContinentFLD});
  if (!ok) {
    StatusText(kWinWhite, kWinRed, std::string(kRequiredFieldsText));
    FocusField(Ctl::CallEntered);
    return;
  }
  // The field checks may not have run (a button, the link, Enter in another
  // field): what they refuse is refused here too, before anything is written.
  if (!IsFrequencyText(View_.Text(Ctl::FreqEntered))) {
    View_.Warn(std::string(kInvalidFrequencyText));
    FocusField(Ctl::FreqEntered);
    return;
  }
  for (Ctl time : {Ctl::TimeST, Ctl::TimeEndFld}) {
    const std::string t = View_.Text(time);
    if (!t.empty() && !IsTimeText(t)) {
      View_.Warn(std::string(kInvalidTimeText));
      FocusField(time);
      return;
    }
  }
  // The date of the contact: the date the call check or the date field set;
  // before either has run, the date the field shows.
  const std::string qsoDate = Module_.QsoDate.empty() ? View_.Text(Ctl::QSODate) : Module_.QsoDate;
  if (!IsDateText(qsoDate)) {
    View_.Warn(std::string(kInvalidDateText));
    FocusField(Ctl::QSODate);
    return;
  }

  if (!State_.Station.TypeLog && State_.AutoTime && View_.Text(Ctl::TimeEndFld).empty())
    View_.SetText(Ctl::TimeEndFld, View_.Text(Ctl::ClockPanel));
  View_.SetText(Ctl::StateFLD, UpperCase(View_.Text(Ctl::StateFLD)));
  View_.SetText(Ctl::ContinentFLD, UpperCase(View_.Text(Ctl::ContinentFLD)));

  QsoRecord q;
  q.QSODate = qsoDate;
  q.Mode = View_.Text(Ctl::Mode);
  q.Freq = View_.Text(Ctl::FreqEntered);
  q.TimeStart = View_.Text(Ctl::TimeST);
  q.Call = View_.Text(Ctl::CallEntered);
  q.RSTSent = View_.Text(Ctl::RSTSent);
  q.NumSent = View_.Text(Ctl::NumSent);
  q.RSTRcvd = View_.Text(Ctl::RSTRcvd);
  q.NumRcvd = View_.Text(Ctl::RSTNumRcvd);
  q.Country = View_.Text(Ctl::CountryFLD);
  q.Continent = View_.Text(Ctl::ContinentFLD);
  q.IBM = member;
  q.Name = View_.Text(Ctl::NameFld);
  q.LastName = View_.Text(Ctl::LName);
  q.TimeEnd = View_.Text(Ctl::TimeEndFld);
  q.City = View_.Text(Ctl::CityFld);
  q.State = View_.Text(Ctl::StateFLD);
  q.Notes = View_.Text(Ctl::Notes);
  q.COUNTY = View_.Text(Ctl::County);
  q.CQZ = View_.Text(Ctl::CQZ);
  q.GRID = View_.Text(Ctl::GridSq);
  q.ITUZ = View_.Text(Ctl::ITUZ);
  q.FISTS = View_.Text(Ctl::FISTS);
  q.IOTA = View_.Text(Ctl::IOTA);
  q.OOTC = View_.Text(Ctl::OOTC);
  q.TENTEN = View_.Text(Ctl::TenTen);
  q.QCWA = View_.Text(Ctl::QCWA);
  q.DXCC = View_.Text(Ctl::DXCC);
  q.CLASSLIC = View_.Text(Ctl::LicClass);
  q.BMCODE = View_.Text(Ctl::BMCode);
  q.STREET = View_.Text(Ctl::Street);
  q.PREFIXCOUNTRY = View_.Text(Ctl::PrefCountry);
  q.POSTCODE = View_.Text(Ctl::PostalCode);
  q.LAT = View_.Text(Ctl::Lat);
  q.LONG = View_.Text(Ctl::Long);
  q.EMAIL = View_.Text(Ctl::Email);
  q.QSLMGR = View_.Text(Ctl::QSLMgr);
  q.URL = View_.Text(Ctl::WebURL);
  q.QSLS = View_.Checked(Ctl::QSLSCkBox);
  q.EQSLSent = View_.Checked(Ctl::EQSLCkBox);
  q.LOTWSent = View_.Checked(Ctl::LOTWCkBox);

  // The backup is whole before the log changes again.
  BeforeLogWrite();
  // The score and the count as they stood, for a contact the log does not take.
  const IbmScore scoreBefore = ibm ? State_.Score : IbmScore();
  const int32_t countBefore = log.RecordCount();
  try {
    log.Append();
    if (ibm) {
      // The multiplier's owner shows the serial as the field and the recount
      // do (" 001 K1XX"), not as computed ("1 K1XX").
      std::string serial = q.NumSent;
      FormatSerial(q.NumSent, serial);
      const int32_t points = State_.Score.AddContact(member, q.Continent, State_.Station.MyContinent, q.Freq,
                                                     q.Country, serial + " " + q.Call);
      q.Points = IntToStr(points);
      ShowTotals();
      ShowNotice();
    }
    WriteQso(log, q);
    log.Post();
  } catch (const std::exception& e) {
    if (ibm) State_.Score = scoreBefore;
    // A commit can fail after the point where it is durable; then the
    // contact is in the file and the add goes on as if the post had passed.
    if (!ReopenAfterFailedWrite(e.what(), countBefore, q)) return;
  }
  // The contact is logged: from here on nothing is an error. A log that
  // cannot be read back after it (a damaged page the post did not meet)
  // says so once, and keeps its backup as it was.
  std::string readFailure;
  try {
    log.Last();
    ApplySerial();
    log.Close();
    ClearButtonClick();
    if (!log.Active()) log.Open();
    Log_->SetIndexName(kPrimeIndexName);
    ShowLogCount();
    log.Last();
  } catch (const std::exception& e) {
    readFailure = e.what();
  }
  if (!readFailure.empty()) {
    // The entry is cleared all the same: it is in the log.
    try {
      ClearButtonClick();
    } catch (const std::exception&) {
    }
    BackupKept_ = BackupInDoubt_ = true;
    if (ReadFailure_.empty())
      View_.Warn("The contact was logged, but the Log could not be read after it!\r\r" + readFailure +
                 "\r\rThe Log is damaged: its backup copy is kept as it was, without this contact; \"Restore "
                 "Log\" in \"Settings\" brings the Log back from it.");
    ReadFailure_ = readFailure;
  }
  LogWritten("The contact was logged");
}

}  // namespace qv::app
