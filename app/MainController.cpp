// Start-up, activation, the layouts per log kind, timers, hot keys, the
// settings button and closing of the main window.
#include "app/MainController.h"

#include "appdata/AtomicFile.h"
#include "appdata/LogSchemas.h"
#include "app/OnlineLookup.h"
#include "app/QsoEntry.h"
#include "app/Scoring.h"
#include "app/Settings.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"
#include "platform/os/File.h"
#include "platform/os/System.h"

#ifndef QV_VERSION_STRING
#define QV_VERSION_STRING "0.0.0"
#endif

namespace qv::app {

namespace {

constexpr int32_t kClockFirstMs = 1500;
constexpr int32_t kClockMs = 2500;
constexpr int32_t kGpReportWidth = 37;
constexpr int32_t kSsbReportWidth = 45;
constexpr int32_t kCwReportWidth = 50;
constexpr int32_t kNotesHeight = 20;
constexpr int32_t kNotesFontSize = 9;
constexpr int32_t kToolBarMargin = 6;
// The log's bytes one tick of the backup timer compares (or copies): a few
// milliseconds, so that a key typed meanwhile waits no longer than that.
constexpr int64_t kBackupSliceBytes = int64_t{1} << 20;

// The marks of a backup kept until the operator chooses, in the log's
// section of the settings: kept (because the two differed), and kept after
// a repair of the log.
constexpr std::string_view kBackupKeptKey = "BackupKept";
constexpr std::string_view kBackupKeptRepairKey = "BackupKeptAfterRepair";

}  // namespace

// The window hooks the settings logic calls, with the stored placement
// applied at start-up only: activations later must not move the window back
// (or minimise it again).
class MainController::PlacementOnce final : public MainWindowHooks {
public:
  explicit PlacementOnce(MainView& view) : View_(view) {}
  void RunSettingsDialog() override { View_.RunSettingsDialog(); }
  void SetTitle(const std::string& title) override { View_.SetTitle(title); }
  WindowPlacement CurrentPlacement() override { return View_.CurrentPlacement(); }
  void ApplyPlacement(const WindowPlacement& placement) override {
    if (Allowed) View_.ApplyPlacement(placement);
  }
  bool Allowed = true;

private:
  MainView& View_;
};

MainController::MainController(MainView& view, TableFactory& tables, SettingsStore& settings,
                               std::string programFolder)
    : View_(view),
      Tables_(tables),
      Settings_(settings),
      Hooks_(std::make_unique<PlacementOnce>(view)),
      Fetch_([this](const std::string& url, StringList& lines, std::string& failure) {
        return FetchLookupReply(url, lines, LookupDeadlineMs_, failure);
      }),
      LookupHost_(kLookupHost) {
  State_.ExeDir = std::move(programFolder);
}

MainController::~MainController() = default;

DataSet& MainController::LogData() { return Log_->Data(); }

bool MainController::IsContest(ContestKind kind) const { return KindOf(State_) == kind; }

std::string MainController::UtcText(std::string_view pattern) const { return FormatDateTime(pattern, NowUtc()); }

// ---------------------------------------------------------------- start-up

void MainController::FormCreate() {
  View_.SetTimerInterval(MainTimer::Clock, kClockFirstMs);
  View_.SetTimerEnabled(MainTimer::Clock, true);
  View_.SetTimerInterval(MainTimer::Notice, MultiplierNotice::kResetMs);
  View_.SetTimerEnabled(MainTimer::Notice, false);
  View_.SetTimerInterval(MainTimer::Backup, 0);
  View_.SetTimerEnabled(MainTimer::Backup, false);
  for (int32_t i = 0; i < static_cast<int32_t>(Ctl::Count); ++i) {
    const auto c = static_cast<Ctl>(i);
    if (const int32_t n = InitialMaxLength(c); n > 0) View_.SetMaxLength(c, n);
  }
  View_.SetItems(Ctl::ContinentFLD, {"AF", "AN", "AS", "EU", "NA", "OC", "SA"});
  View_.SetItems(Ctl::Mode, {"AM", "CW", "FM", "JT65", "MFSK16", "PACKET", "PSK31", "RTTY", "SSB"});
  View_.SetItemIndex(Ctl::OnlineLookup, lcNone);

  const std::string& exeDir = State_.ExeDir;
  Log_ = Tables_.Create(LogTableSpec(), exeDir + std::string(kLogFileName), false);

  // Without the state table the program goes on: no state list and no state
  // look-up, after saying what is missing. A state or member file that is
  // there but cannot be opened (damaged, not a database) is left alone like
  // a missing one and named in the status panel.
  std::vector<std::string> damaged;
  States_ = Tables_.Create(StateTableSpec(), exeDir + std::string(kStateFileName), true);
  switch (OpenLookupTable(*States_)) {
    case LookupTable::Open: StatesOpen_ = true; break;
    case LookupTable::NoDatabase: View_.ShowError("-- Output Database file \"USCountryDB\" does not exist"); break;
    case LookupTable::NoTable: View_.ShowError("-- Output Table \"USCountryTabl\" does not exist"); break;
    case LookupTable::Damaged: damaged.emplace_back(kStateFileName); break;
  }
  Members_ = Tables_.Create(MemberTableSpec(), exeDir + std::string(kMemberFileName), true);
  switch (OpenLookupTable(*Members_)) {
    case LookupTable::Open: MembersOpen_ = true; break;
    case LookupTable::NoDatabase: break;  // optional: only the IBM QSO Party needs it
    case LookupTable::NoTable:
    case LookupTable::Damaged: damaged.emplace_back(kMemberFileName); break;
  }
  DamagedFilesNote_.clear();
  for (const std::string& name : damaged)
    DamagedFilesNote_ += (DamagedFilesNote_.empty() ? " Damaged, not used: " : ", ") + name;

  Hooks_->Allowed = true;
  LoadWindowSettings();
  if (State_.LogDir.empty()) {
    View_.Warn("You must \"Select Log\" !");
    RunSettings();
    LoadWindowSettings();
  }
  Hooks_->Allowed = false;

  DataSet& log = LogData();
  // A log that cannot be opened (its head, its table list or its table
  // damaged, the file cut) is told once, as one that cannot be read, and
  // the window goes on without it.
  std::string readFailure;
  if (IsLogSelected(State_)) {
    State_.LogFile = LogFileOf(State_.LogDir);
    log.Close();
    Log_->SetDatabaseFileName(State_.LogFile);
    NoteLogBeforeOpen(State_.LogFile);
    try {
      OpenLog();
    } catch (const std::exception& e) {
      readFailure = e.what();
    }
  } else {
    // Still no log: the table stays on the file the settings left it on
    // (the template), which Add To Log and the other writers refuse.
    State_.LogFile.clear();
    if (!log.Active()) log.Open();
  }
  Log_->SetIndexName(kPrimeIndexName);
  ShowLogCount();

  FillStateList();
  std::vector<std::string> bands;
  for (auto it = kBandNames.rbegin(); it != kBandNames.rend(); ++it) bands.emplace_back(*it);
  View_.SetItems(Ctl::FreqEntered, bands);

  // The recount reads every record: any failure on the way (whatever the
  // engine calls it) means the log could not be read.
  State_.Score.Zero();
  try {
    if (log.RecordCount() > 0) {
      State_.Score.TallyLog(log);
      ShowTotals();
      log.Last();
      View_.SetTimerEnabled(MainTimer::Clock, true);
    }
  } catch (const std::exception& e) {
    State_.Score.Zero();
    readFailure = e.what();
  }
  LogOpened(readFailure);
}

void MainController::OpenLog() {
  DataSet& log = LogData();
  if (!Tables_.FileDamage(Log_->DatabaseFileName(), true).empty()) {
    Log_->SetReadOnly(true);
    try {
      Log_->Connect();
      log.Open();
      return;
    } catch (const std::exception& e) {
      try {
        log.Close();
        Log_->Disconnect();
      } catch (const std::exception&) {
      }
      // A log that cannot be opened even for reading is left as it is; one
      // that needs repair is opened for writing, which asks the question.
      if (!Log_->RefusedForRepair(e)) throw;
    }
  }
  Log_->SetReadOnly(false);
  Log_->Connect();
  log.Open();
}

MainController::LookupTable MainController::OpenLookupTable(DatabaseTable& table) {
  try {
    if (!table.DatabaseExists()) return LookupTable::NoDatabase;
    if (!table.TableExists()) return LookupTable::NoTable;
    table.Connect();
    table.Data().Open();
    return LookupTable::Open;
  } catch (const std::exception&) {
    // Whatever was opened is let go; the file stays as it is.
    try {
      table.Data().Close();
      table.Disconnect();
    } catch (const std::exception&) {
    }
    return LookupTable::Damaged;
  }
}

void MainController::FillStateList() { View_.SetItems(Ctl::StateFLD, StateNames()); }

void MainController::LoadWindowSettings() {
  State_.NumSentText = View_.Text(Ctl::NumSent);
  LoadSettings(State_, Settings_, *Log_, View_, *Hooks_);
  View_.SetText(Ctl::NumSent, State_.NumSentText);
  if (!State_.LogNrText.empty()) View_.SetText(Ctl::LogNr, State_.LogNrText);
}

void MainController::RunSettings() {
  // The dialog may restore the backup, or open, empty or delete a log.
  FinishBackupCatchUp();
  std::exception_ptr failure;
  {
    ModalScope modal(*this);
    State_.NumSentText = View_.Text(Ctl::NumSent);
    try {
      RunSettingsAndRetally(State_, *Log_, *Hooks_);
    } catch (...) {
      failure = std::current_exception();
    }
    View_.SetText(Ctl::NumSent, State_.NumSentText);
    View_.SetText(Ctl::LogNr, State_.LogNrText);
    ShowTotals();
  }
  // The log the dialog left open is read through, as the start's recount
  // reads it; a failure of the dialog's own recount is that, and is told
  // once, as the start tells it, and so is a log the dialog could not open.
  std::string readFailure = ReadLogThrough();
  if (!LogData().Active()) readFailure = OpenFailureNoted_;
  if (failure && readFailure.empty()) std::rethrow_exception(failure);
  LogOpened(readFailure);
}

void MainController::SetNumSent(const std::string& text) {
  State_.NumSentText = text;
  View_.SetText(Ctl::NumSent, text);
}

void MainController::ShowLogCount() {
  State_.LogNrText = LogEntriesText(*Log_);
  View_.SetText(Ctl::LogNr, State_.LogNrText);
}

void MainController::ApplySerial() { ApplySerial(SerialAfterLastRecord(*Log_)); }

void MainController::ApplySerial(const SerialState& serial) {
  if (serial.HasRecords) {
    State_.LastMode = serial.LastMode;
    View_.SetText(Ctl::Mode, serial.LastMode);
  }
  State_.NextSerial = serial.NextSerial;
  SetNumSent(serial.NumSentText);
}

void MainController::ShowTotals() {
  const TotalsDisplay& d = State_.Score.Display();
  View_.SetText(Ctl::TlIBM, d.TlIBM);
  View_.SetText(Ctl::TLNonIBM, d.TLNonIBM);
  View_.SetText(Ctl::TlPoints, d.TlPoints);
  View_.SetText(Ctl::TlMult, d.TlMult);
  View_.SetText(Ctl::TlScore, d.TlScore);
  View_.SetColor(Ctl::TLNonIBM, d.NonMemberColor);
}

void MainController::ShowNotice() {
  const MultiplierNotice& n = State_.Score.Notice();
  View_.SetText(Ctl::ViewMultBtn, n.Caption);
  View_.SetFontColor(Ctl::ViewMultBtn, n.Color);
  View_.SetTimerEnabled(MainTimer::Notice, n.Active);
}

// -------------------------------------------------------------- activation

void MainController::FormActivate() {
  State_.ProgramVersion = QV_VERSION_STRING;
  LoadWindowSettings();
  // The clock and, with automatic time, the date are shown at once: the
  // first tick comes only after 1.5 s, and a contact added before it would
  // find the date field empty.
  ShowUtcClock();

  // The last record: its date, mode and frequency, and the serial after it.
  // A log that could not be opened, or not read, shows as an empty one.
  DataSet& log = LogData();
  struct {
    bool Has = false;
    std::string Date, Mode, Freq;
    SerialState Serial;
  } last;
  try {
    if (log.Active() && log.RecordCount() > 0) {
      log.Last();
      last.Has = true;
      // A date stored in an older form ("2024/05/07") is shown as the
      // field takes it.
      last.Date = log.FieldByName("QSODate")->AsString();
      ReadStoredDate(last.Date, last.Date);
      last.Mode = log.FieldByName("Mode")->AsString();
      last.Freq = log.FieldByName("Freq")->AsString();
      last.Serial = SerialAfterLastRecord(*Log_);
    }
  } catch (const std::exception& e) {
    last = {};
    TellReadFailure(e.what());
  }
  if (last.Has && !last.Date.empty()) {
    if (State_.AutoTime) {
      View_.SetText(Ctl::QSODate, Module_.CurrentDate);
      FocusField(Ctl::Mode);
    } else {
      View_.SetText(Ctl::QSODate, last.Date);
      Module_.CurrentDate = last.Date;
      FocusField(Ctl::QSODate);
    }
    State_.LastMode = last.Mode;
    View_.SetText(Ctl::Mode, State_.LastMode);
    View_.SetText(Ctl::FreqEntered, last.Freq);
  } else {
    Module_.CurrentDate = UtcText("yyyy-mm-dd");
    View_.SetText(Ctl::QSODate, Module_.CurrentDate);
    FocusField(State_.AutoTime ? Ctl::Mode : Ctl::QSODate);
  }

  if (last.Has) {
    ApplySerial(last.Serial);
  } else {
    State_.NextSerial = 1;
    SetNumSent("1");
    View_.SetText(Ctl::TlPoints, "");
  }

  Module_.EmptyLogRequested = false;
  View_.SetColor(Ctl::StatPanel, kWinWhite);
  View_.SetText(Ctl::StatPanel, "");

  ApplyLayout();
  if (!DamagedFilesNote_.empty()) StatusText(kWinRed, kWinWhite, DamagedFilesNote_);
}

void MainController::ApplyLayout() {
  // The general purpose log first.
  View_.SetText(Ctl::LogTypInf, "General Purpose Log");
  View_.SetWidth(Ctl::RSTSent, kGpReportWidth);
  View_.SetWidth(Ctl::RSTRcvd, kGpReportWidth);
  for (Ctl c : {Ctl::XtraFields, Ctl::QSLSCkBox, Ctl::EQSLCkBox, Ctl::LOTWCkBox, Ctl::TimeEndHdr, Ctl::TimeEndFld,
                Ctl::NotesHdr, Ctl::Notes})
    View_.SetVisible(c, true);
  for (Ctl c : {Ctl::QSOPanel, Ctl::IBM, Ctl::F11Text, Ctl::ViewMultBtn}) View_.SetVisible(c, false);
  View_.SetWidth(Ctl::BtnToolBar, View_.Width(Ctl::AddToLogButton) + View_.Width(Ctl::ClearButton) +
                                      View_.Width(Ctl::EditLogBtn) + kToolBarMargin);
  View_.SetText(Ctl::RSTSentHdr, "RS(T) Sent");
  View_.SetText(Ctl::RSTRcvdHdr, "RS(T) Rcvd");
  for (Ctl c : {Ctl::RSTSentHdr, Ctl::RSTRcvdHdr, Ctl::RSTSent, Ctl::RSTRcvd}) View_.SetVisible(c, true);
  for (Ctl c : {Ctl::RSTSentSep, Ctl::NumSent, Ctl::RSTRcvdSep, Ctl::RSTNumRcvd}) View_.SetVisible(c, false);

  const bool modeAndFreq = !View_.Text(Ctl::Mode).empty() && !View_.Text(Ctl::FreqEntered).empty();
  FocusField(modeAndFreq ? Ctl::CallEntered : Ctl::Mode);

  const std::string& code = State_.Station.TypeContest;
  if (code == "GP" || code == "Other") {
    for (int32_t col : {5, 7}) View_.SetGridColumnVisible(col, true);
    for (int32_t col : {6, 8, 15, 16}) View_.SetGridColumnVisible(col, false);
    View_.SetHeight(Ctl::Notes, kNotesHeight);
    View_.SetFontSize(Ctl::Notes, kNotesFontSize);
  }
  if (!State_.Station.TypeLog) return;

  // Every contest.
  View_.SetText(Ctl::LogTypInf, "NA SRINT / CQ WW WPX / Other Contest");
  for (Ctl c : {Ctl::XtraFields, Ctl::NotesHdr, Ctl::Notes, Ctl::QSLSCkBox, Ctl::EQSLCkBox, Ctl::LOTWCkBox,
                Ctl::TimeEndHdr, Ctl::TimeEndFld})
    View_.SetVisible(c, false);
  for (Ctl c : {Ctl::RSTSentSep, Ctl::NumSent, Ctl::RSTRcvdSep, Ctl::RSTNumRcvd}) View_.SetVisible(c, true);
  View_.SetText(Ctl::RSTSentHdr, "RS(T) Sent Num");
  View_.SetText(Ctl::RSTRcvdHdr, "RS(T) Rcvd Num");
  for (int32_t col : {5, 6, 7, 8}) View_.SetGridColumnVisible(col, true);
  for (int32_t col : {15, 16}) View_.SetGridColumnVisible(col, false);

  if (code == "WWDX") {
    View_.SetText(Ctl::LogTypInf, "WW DX Contest Log");
    for (Ctl c : {Ctl::RSTSentSep, Ctl::RSTRcvdSep, Ctl::NumSent, Ctl::RSTNumRcvd}) View_.SetVisible(c, false);
    ResizeWwdxReports(State_.LastMode);
    for (int32_t col : {5, 7}) View_.SetGridColumnVisible(col, true);
    for (int32_t col : {6, 8, 15, 16}) View_.SetGridColumnVisible(col, false);
  } else if (code == "NAQP") {
    View_.SetText(Ctl::LogTypInf, "NA QP Log");
    for (Ctl c : {Ctl::RSTSentHdr, Ctl::RSTRcvdHdr, Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTSentSep, Ctl::RSTRcvdSep,
                  Ctl::NumSent, Ctl::RSTNumRcvd})
      View_.SetVisible(c, false);
    for (int32_t col : {5, 6, 7, 8, 15, 16}) View_.SetGridColumnVisible(col, false);
  } else if (code == "IBM") {
    View_.SetText(Ctl::LogTypInf, "IBM QSO Party Log");
    View_.SetText(Ctl::RSTSentHdr, "   Seq Num Sent");
    View_.SetText(Ctl::RSTRcvdHdr, "  Seq Num Rcvd");
    for (Ctl c : {Ctl::RSTSent, Ctl::RSTRcvd, Ctl::RSTSentSep, Ctl::RSTRcvdSep}) View_.SetVisible(c, false);
    for (Ctl c : {Ctl::QSOPanel, Ctl::IBM, Ctl::Notes, Ctl::NotesHdr, Ctl::F11Text, Ctl::ViewMultBtn})
      View_.SetVisible(c, true);
    View_.SetWidth(Ctl::BtnToolBar, View_.Width(Ctl::AddToLogButton) + View_.Width(Ctl::ClearButton) +
                                        View_.Width(Ctl::EditLogBtn) + View_.Width(Ctl::ViewMultBtn) +
                                        kToolBarMargin);
    for (int32_t col : {5, 7}) View_.SetGridColumnVisible(col, false);
    for (int32_t col : {6, 8, 15, 16, 18}) View_.SetGridColumnVisible(col, true);
    if (!FileExists(State_.ExeDir + std::string(kMemberFileName)))
      StatusText(kWinRed, kWinWhite, " WWHAM Database required for IBM QSO Party!");
  }
}

void MainController::ResizeWwdxReports(std::string_view mode) {
  const bool ssb = mode == "SSB";
  for (Ctl c : {Ctl::RSTSent, Ctl::RSTRcvd}) {
    View_.SetWidth(c, ssb ? kSsbReportWidth : kCwReportWidth);
    View_.SetMaxLength(c, ssb ? 4 : 5);
  }
  View_.SetText(Ctl::RSTSentHdr, ssb ? "RS Zone Sent" : "RST Zone Sent");
  View_.SetText(Ctl::RSTRcvdHdr, ssb ? "RS Zone Rcvd" : "RST Zone Rcvd");
}

// ------------------------------------------------------------ timers, keys

void MainController::ShowUtcClock() {
  const double now = NowUtc();
  View_.SetText(Ctl::ClockPanel, FormatDateTime("hhnn", now));
  if (State_.AutoTime) {
    Module_.CurrentDate = FormatDateTime("yyyy-mm-dd", now);
    View_.SetText(Ctl::QSODate, Module_.CurrentDate);
  }
}

void MainController::Timer1Timer() {
  ShowUtcClock();
  RetryBackupUpdate();
  if (Module_.FirstTick) {
    Module_.FirstTick = false;
    View_.SetTimerInterval(MainTimer::Clock, kClockMs);
  }
}

void MainController::Timer2Timer() {
  State_.Score.Notice().Expire();
  ShowNotice();
}

// ------------------------------------------------------------- backup copy

void MainController::NoteLogBeforeOpen(const std::string& logFile) {
  CountBeforeOpen_ = ReadCommitCount(logFile);
  CountBeforeOpenFile_ = logFile;
  OpenFailureNoted_.clear();
}

void MainController::NoteLogOpenFailed(const std::string& failure) { OpenFailureNoted_ = failure; }

void MainController::LogOpened(const std::string& readFailure) {
  CatchUp_.reset();
  View_.SetTimerEnabled(MainTimer::Backup, false);
  // Taken whichever log it came from, so that they never speak of a later one.
  const RepairNotice repair = Log_->TakeRepairNotice();
  const bool rolledBack = Log_->TakeRollbackNotice();
  const std::optional<uint32_t> countBeforeOpen = std::exchange(CountBeforeOpen_, std::nullopt);
  const bool counted = std::exchange(CountBeforeOpenFile_, std::string()) == Log_->DatabaseFileName();
  if (!IsLogSelected(State_) || Log_->DatabaseFileName() != LogFileOf(State_.LogDir)) return;
  ChangedOutside_ = false;
  ReadFailure_ = readFailure;
  RepairDeclined_ = repair == RepairNotice::Declined;
  if (!LogData().Active()) {
    // The open failed: the backup stays as it is.
    BackupKept_ = BackupInDoubt_ = true;
    if (!readFailure.empty()) View_.Warn(UnreadableLogText(readFailure));
    return;
  }
  // Rebuilds of the backup and copies of a restore that a killed run of the
  // program left behind.
  const std::string logFile = LogFileOf(State_.LogDir);
  RemoveOrphanedTemporaries(BackupFileOf(State_.LogDir));
  RemoveOrphanedTemporaries(logFile);
  // Each kept log's, and the next one's (a restore stopped while copying).
  for (int32_t n = 1;; ++n) {
    const std::string kept = KeptLogName(logFile, n);
    RemoveOrphanedTemporaries(kept);
    if (!FileExists(kept)) break;
  }
  // A repair declined leaves the log as it was found: in need of repair,
  // whatever its records read like. It is no log to copy over the backup,
  // nor one to offer keeping.
  if (repair == RepairNotice::Declined && ReadFailure_.empty())
    ReadFailure_ = "It needs repair (it was not correctly closed last time, or was damaged), and the repair was "
                   "declined or could not be made: it is left as it is until a start repairs it.";
  // Whole only when every page of it is: a log damaged where no read of
  // its records goes (a map, an index page the walk does not meet) is no
  // log for the backup to follow, repaired or not.
  if (ReadFailure_.empty()) ReadFailure_ = FileDamageOf(logFile);
  BackupKept_ = !ReadFailure_.empty();
  if (BackupKept_) {
    // The backup may be all that holds the contacts: it stays as it is
    // until the operator restores it, or adds a contact to a log that reads
    // whole.
    BackupInDoubt_ = true;
    View_.Warn(UnreadableLogText(ReadFailure_));
    return;
  }
  if (repair == RepairNotice::Repaired) {
    // What the repair kept may differ from what was logged: the backup is
    // kept until the operator chooses (marked first, so that a start after
    // a stop here still keeps it).
    SetBackupKeptMark(KeptFor::Repair);
    JudgeKeptBackup(KeptFor::Repair, true);
    return;
  }
  // A backup kept at an earlier start stays kept until it is the log again.
  // A commit cut short and rolled back at this open leaves the log as last
  // committed, though not byte for byte as the backup holds it at the same
  // count: the backup follows it, but only a log that reads whole, through
  // every index, with the very contacts the backup holds. A log changed
  // while the program was closed as well is judged as any other difference.
  BackupFollow follow = BackupFollow::LaterCommit;
  if (BackupKeptMark() != KeptFor::None) {
    follow = BackupFollow::Never;
  } else if (rolledBack) {
    std::vector<std::string> logRows, backupRows;
    std::string failure;
    if (!ReadLogCopy(logFile, &logRows, failure)) {
      TellReadFailure(failure);
      return;
    }
    if (ReadLogCopy(BackupFileOf(State_.LogDir), &backupRows, failure) && logRows == backupRows)
      follow = BackupFollow::Always;
  }
  StartBackupCatchUp(follow, counted ? countBeforeOpen : std::nullopt);
}

MainController::KeptFor MainController::BackupKeptMark() {
  const std::string section = LogSectionName(State_.Program.LogName);
  if (!Settings_.ReadBool(section, kBackupKeptKey, false)) return KeptFor::None;
  return Settings_.ReadBool(section, kBackupKeptRepairKey, false) ? KeptFor::Repair : KeptFor::Difference;
}

void MainController::SetBackupKeptMark(KeptFor why) {
  try {
    if (why == BackupKeptMark()) return;
    const std::string section = LogSectionName(State_.Program.LogName);
    Settings_.WriteBool(section, kBackupKeptRepairKey, why == KeptFor::Repair);
    Settings_.WriteBool(section, kBackupKeptKey, why != KeptFor::None);
  } catch (const std::exception&) {
    // Settings that cannot be written keep the backup for this run only.
  }
}

void MainController::TellReadFailure(const std::string& failure) {
  if (!ReadFailure_.empty() || !IsLogSelected(State_)) return;  // told when it was found
  ReadFailure_ = failure;
  BackupKept_ = BackupInDoubt_ = true;
  View_.Warn(UnreadableLogText(failure));
}

void MainController::NoteReadFailure(const std::string& failure) {
  if (!ReadFailure_.empty() || !IsLogSelected(State_)) return;
  ReadFailure_ = failure;
  BackupKept_ = BackupInDoubt_ = true;
  StatusText(kWinWhite, kWinRed, "Backup copy of the Log kept: the Log could not be read!");
}

std::string MainController::KnownDamage() const {
  if (!ReadFailure_.empty()) return "The Log could not be read when it was opened: " + ReadFailure_;
  if (ChangedOutside_) return "The Log differs from its backup copy, which is kept as it was.";
  return {};
}

std::string MainController::ReadLogThrough() {
  DataSet& log = LogData();
  if (!IsLogSelected(State_) || !log.Active()) return {};
  try {
    log.DisableControls();
    auto enable = ScopeExit([&] { log.EnableControls(); });
    for (log.First(); !log.Eof(); log.Next()) {
    }
    log.Last();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

void MainController::StartBackupCatchUp(BackupFollow follow, std::optional<uint32_t> countBeforeOpen) {
  // Until the slices are through, the backup is partly old and partly new.
  BackupInDoubt_ = true;
  try {
    // The chain starts before the first byte is compared: what the log's
    // database writes from here on is in its next commit's changes.
    Log_->StartChangeChain();
    CatchUp_ = std::make_unique<BackupCatchUp>(LogFileOf(State_.LogDir), BackupFileOf(State_.LogDir), follow,
                                               countBeforeOpen);
    // Kept at once (the sizes differ): told now.
    if (CatchUp_->Done()) {
      EndBackupCatchUp(true);
      return;
    }
  } catch (const std::exception&) {
    EndBackupCatchUp(false);
    return;
  }
  View_.SetTimerEnabled(MainTimer::Backup, true);
}

void MainController::BackupTimer() {
  if (!CatchUp_) {
    View_.SetTimerEnabled(MainTimer::Backup, false);
    return;
  }
  bool done = false;
  try {
    done = CatchUp_->Step(kBackupSliceBytes);
  } catch (const std::exception&) {
    EndBackupCatchUp(false);
    return;
  }
  if (done) EndBackupCatchUp(true);
}

void MainController::FinishBackupCatchUp() {
  // The end may start another (a backup found unreadable is made anew).
  while (CatchUp_) {
    bool done = false;
    try {
      CatchUp_->Run();
      done = true;
    } catch (const std::exception&) {
    }
    EndBackupCatchUp(done);
  }
}

void MainController::EndBackupCatchUp(bool done) {
  const bool kept = done && CatchUp_ && CatchUp_->Result().Road == BackupRoad::Kept;
  CatchUp_.reset();
  View_.SetTimerEnabled(MainTimer::Backup, false);
  // A backup left in doubt is compared or rebuilt whole by the next add.
  BackupInDoubt_ = !done || kept;
  if (!done) StatusText(kWinWhite, kWinRed, "Backup copy of the Log failed!");
  if (!kept) {
    // The backup is the log's bytes again (restored, or rebuilt when it was
    // gone): nothing is kept any longer.
    if (done) SetBackupKeptMark(KeptFor::None);
    return;
  }
  // The log differs from its backup but committed nothing after it (or the
  // backup was kept at an earlier start): the backup may hold what the log
  // lost, or be what changed.
  const KeptFor before = BackupKeptMark();
  JudgeKeptBackup(before == KeptFor::None ? KeptFor::Difference : before, before == KeptFor::None);
}

void MainController::FormKeyDown(HotKey key) {
  switch (key) {
    case HotKey::F1: UserGuidBtnClick(); break;
    case HotKey::F2: SettingsButtonClick(); break;
    case HotKey::F3: EditLogBtnClick(); break;
    case HotKey::F4: ViewMultBtnClick(); break;
    case HotKey::F8: ClearButtonClick(); break;
    case HotKey::F9: ExitButtonClick(); break;
    case HotKey::F11:
      View_.SetChecked(Ctl::IBM, !View_.Checked(Ctl::IBM));
      IBMClick();
      break;
    case HotKey::Other: break;
  }
  View_.SetFontColor(Ctl::IBM, View_.Checked(Ctl::IBM) ? kWinBlue : kWinBlack);
}

void MainController::FormResize() { View_.SetWidth(Ctl::BrDBGrid, View_.ClientWidth() - 2); }

// ---------------------------------------------------------------- buttons

void MainController::ExitButtonClick() { View_.CloseWindow(); }

void MainController::UserGuidBtnClick() { View_.OpenUrl(State_.ExeDir + std::string(kUserGuideFileName)); }

void MainController::OnlineLookupClick() { FocusField(Ctl::CallEntered); }

void MainController::SettingsButtonClick() {
  RunSettings();
  if (!Module_.EmptyLogRequested) return;
  Module_.EmptyLogRequested = false;
  if (!EmptyLog()) return;
  View_.SetText(Ctl::TimeST, "");
  View_.SetText(Ctl::RSTSent, "");
  FocusField(Ctl::QSODate);
  State_.NextSerial = 1;
  SetNumSent(format("%4.3d", {1}));
  State_.Score.Reset();
  ShowTotals();
}

void MainController::EditLogBtnClick() {
  if (RefuseWithoutLog() || !EnsureLogOpen("The Log could not be read!", true)) return;
  DataSet& log = LogData();
  if (log.RecordCount() == 0) {
    View_.Inform("Log Table is Empty!");
    return;
  }
  if (!ShowLogEditor_) return;
  BeforeLogWrite();
  ModalScope modal(*this);
  ShowLogEditor_();
  // A write of the editor that failed may have left the log closed (the
  // editor told why): the next write opens it again.
  if (!log.Active()) return;
  // A damaged page met by the recount is told once, as at the start.
  const bool ibm = IsContest(ContestKind::IBM);
  try {
    if (ibm) log.DisableControls();
    auto enable = ScopeExit([&] {
      if (ibm) log.EnableControls();
    });
    if (ibm) {
      ReopenLog(*Log_);
      ShowLogCount();
      log.Last();
      State_.Score.TallyLog(log);
      ShowTotals();
    }
    ReopenLog(*Log_);
    ShowLogCount();
    log.Last();
    ApplySerial();
  } catch (const std::exception& e) {
    TellReadFailure(e.what());
  }
}

void MainController::ViewMultBtnClick() {
  if (IsLogSelected(State_) && !EnsureLogOpen("The Log could not be read!", false)) return;
  if (LogData().RecordCount() == 0) {
    View_.Inform("Log Table is Empty!");
    return;
  }
  if (!ShowMultView_) return;
  ModalScope modal(*this);
  ShowMultView_();
}

void MainController::FormClose() {
  // The backup leaves with the log's bytes, whatever the start found.
  FinishBackupCatchUp();
  RetryBackupUpdate();
  Settings_.WriteWindowPlacement(View_.CurrentWindowState(), View_.IsActiveWindow(), View_.CurrentPlacement());
  // The conversation ends with the window; events still waiting are dropped.
  if (Module_.HamScopeLinked && HamScope_ != nullptr) HamScope_->CloseLink();
  Module_.HamScopeLinked = false;
  HamScope_ = nullptr;
  LinkEvents_.clear();
}

}  // namespace qv::app
