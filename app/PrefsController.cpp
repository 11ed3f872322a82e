#include "app/PrefsController.h"

#include <filesystem>

#include "app/AppState.h"
#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/QsoEntry.h"
#include "engine/components/VLMMainDatabase.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/SysUtils.h"
#include "platform/os/Collation.h"
#include "platform/os/File.h"
#include "platform/os/Paths.h"

namespace qv::app {

namespace {

constexpr std::string_view kContestCodes[] = {"IBM", "NAQP", "WWDX", "Other"};
constexpr int32_t kOtherItem = 3;
constexpr int32_t kAutoEntryItem = 0;
constexpr int32_t kManualEntryItem = 1;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int32_t ContestItemOf(std::string_view code) {
  for (int32_t i = 0; i < kOtherItem; ++i)
    if (kContestCodes[i] == code) return i;
  return kOtherItem;
}

std::string ContestCodeOf(int32_t item) {
  return std::string(item >= 0 && item < kOtherItem ? kContestCodes[item] : kContestCodes[kOtherItem]);
}

// Every "0" of the call as the slashed zero, or every slashed zero as "0".
std::string WithZeros(std::string call, bool slashed) {
  for (char& c : call) {
    if (slashed && c == '0') c = kSlashedZero;
    if (!slashed && c == kSlashedZero) c = '0';
  }
  return call;
}

}  // namespace

PrefsController::PrefsController(PrefsView& view, MainController& main)
    : View_(view), Main_(main), Store_(main.Store()) {
  const AppState& state = Main_.State();
  LogName_ = state.Program.LogName;
  LogDir_ = state.LogDir;
}

bool PrefsController::IsIbm() const { return View_.Checked(PCtl::LogType) && Code() == "IBM"; }

std::string PrefsController::Code() const {
  return View_.Checked(PCtl::LogType) ? ContestCodeOf(View_.ItemIndex(PCtl::ContTypGrp)) : std::string("GP");
}

void PrefsController::ClearStats() {
  View_.SetLook(PCtl::Stats, kWinWhite, kWinBlack);
  View_.SetText(PCtl::Stats, "");
}

void PrefsController::FaultStats(const std::string& text) {
  View_.SetLook(PCtl::Stats, kWinRed, kWinWhite);
  View_.SetText(PCtl::Stats, text);
}

void PrefsController::ShowLogName(const std::string& name) {
  ShownLogName_ = name;
  View_.SetText(PCtl::MyLogName, name);
}

void PrefsController::SetLogType(bool typeLog) {
  View_.SetChecked(PCtl::LogType, typeLog);
  View_.SetEnabled(PCtl::ContTypGrp, typeLog);
}

void PrefsController::ShowKind(const std::string& typeContest) {
  View_.SetItemIndex(PCtl::ContTypGrp, ContestItemOf(typeContest));
}

void PrefsController::ShowStation(const StationSettings& s) {
  View_.SetText(PCtl::PrefCall, s.MyCall);
  View_.SetText(PCtl::MyName, s.MyName);
  View_.SetText(PCtl::MyState, s.MyState);
  View_.SetText(PCtl::MyContinent, s.MyContinent);
  View_.SetText(PCtl::MyCountry, s.MyCountry);
  View_.SetText(PCtl::MyXmtrID, s.MyXmtrID);
  View_.SetText(PCtl::MyZone, s.MyZone);
  SetLogType(s.TypeLog);
  ShowKind(s.TypeContest);
  View_.SetItemIndex(PCtl::DatTimRadGrp, s.AutoManTime == "True" ? kAutoEntryItem : kManualEntryItem);
}

StationSettings PrefsController::ShownStation() const {
  StationSettings s;
  s.MyCall = View_.Text(PCtl::PrefCall);
  s.MyName = View_.Text(PCtl::MyName);
  s.MyState = View_.Text(PCtl::MyState);
  s.MyCountry = View_.Text(PCtl::MyCountry);
  s.MyContinent = View_.Text(PCtl::MyContinent);
  s.AutoManTime = View_.ItemIndex(PCtl::DatTimRadGrp) == kAutoEntryItem ? "True" : "False";
  s.TypeLog = View_.Checked(PCtl::LogType);
  s.TypeContest = Code();
  s.MyXmtrID = View_.Text(PCtl::MyXmtrID);
  s.MyZone = View_.Text(PCtl::MyZone);
  return s;
}

void PrefsController::ShowMemberStatus(const std::string& missingText) {
  const std::string file = Main_.State().ExeDir + std::string(kMemberFileName);
  DataSet* members = Main_.MemberData();
  double age = 0;
  if (members != nullptr && FileAge(file, age)) {
    View_.SetLook(PCtl::Stats, kWinAqua, kWinBlack);
    View_.SetText(PCtl::Stats, " WWHAM: " + IntToStr(members->RecordCount()) + " Entries,  " +
                                   FormatDateTime("yyyy-mm-dd.hhnn", age));
  } else {
    FaultStats(missingText);
  }
}

void PrefsController::SetLogDir(const std::string& logName) {
  AppState& state = Main_.State();
  LogDir_ = LogDirOf(state.ExeDir, logName);
  state.LogDir = LogDir_;
  state.LogFile = LogFileOf(LogDir_);
}

// ------------------------------------------------------------ activation

void PrefsController::FormCreate() {
  View_.SetItems(PCtl::MyContinent, {"AF", "AN", "AS", "EU", "NA", "OC", "SA"});
  View_.SetItems(PCtl::MyState, Main_.StateNames());
  View_.SetChecked(PCtl::Slash, true);
  SetLogType(true);
  View_.SetEnabled(PCtl::RestoreButton, false);
  View_.SetMasked(PCtl::HCPW, true);
}

void PrefsController::FormActivate() {
  AppState& state = Main_.State();
  View_.SetEnabled(PCtl::ContTypGrp, true);
  Saved_ = false;
  Main_.StopClock();
  StationSettings station = state.Station;
  station.MyName.clear();
  station.MyState.clear();

  Status_ = Store_.ReadInteger(kSettingsSection, "Status", 0);
  if (Status_ < 1) {
    station = StationSettings{};
    station.TypeLog = true;
    station.TypeContest = "IBM";
    station.AutoManTime = "True";
    LogName_.clear();
    ShowStation(station);
    if (Status_ == 0) CreateLogBtnClick();
  } else {
    LogName_ = Store_.ReadString(kSettingsSection, "LogName", LogName_);
    state.Program.ZSlashed = Store_.ReadBool(kSettingsSection, "ZSlashed", true);
    View_.SetChecked(PCtl::Slash, state.Program.ZSlashed);
    View_.SetText(PCtl::HCPW, Store_.ReadString(kSettingsSection, "HCPW", state.Program.HCPW));
    station = Store_.ReadStationSettings(LogName_, station);
    SetLogDir(LogName_);
  }
  View_.SetEnabled(PCtl::RestoreButton, FileExists(BackupFileOf(LogDir_)));
  if (station.AutoManTime.empty()) station.AutoManTime = "True";

  View_.SetItems(PCtl::MyLogName, ListLogFolders(state.ExeDir));
  ShowLogName(Status_ == 0 || PendingSelection_ || LogName_.empty() ? std::string(kPickLogText) : LogName_);
  ShowStation(station);
  View_.Focus(PCtl::PrefCall);
  if (IsIbm()) ShowMemberStatus(" WWHAM DB required for IBM QSO Party!");
  View_.SetText(PCtl::HCID, View_.Text(PCtl::PrefCall));
  View_.SetMasked(PCtl::HCPW, !View_.Checked(PCtl::ShowPW));
}

// --------------------------------------------------------- keys and checks

char PrefsController::KeyPress(PCtl field, char key, int32_t caretPos) {
  if (key == kBackspace) return key;
  switch (field) {
    case PCtl::PrefCall:
    case PCtl::HCID:
      if (key == kSlashedZero) return key;
      return FilterEntryKey(Ctl::CallEntered, key, KeyContext{View_.Checked(PCtl::Slash), false, caretPos});
    case PCtl::MyName:
      return caretPos == 0 ? UpperChar1252(key) : key;
    case PCtl::MyCountry:
      return (IsLetter(key) || IsDigit(key) || key == ' ' || key == '.') ? UpperChar1252(key) : 0;
    case PCtl::MyContinent:
      return IsLetter(key) ? key : 0;
    case PCtl::MyZone:
    case PCtl::MyXmtrID:
      return (IsDigit(key) || key == ' ') ? key : 0;
    default:
      return key;
  }
}

bool PrefsController::FieldExit(PCtl field) {
  switch (field) {
    case PCtl::PrefCall:
    case PCtl::HCID: {
      ClearStats();
      const std::string call = View_.Text(PCtl::PrefCall);
      DataSet* members = Main_.MemberData();
      if (IsIbm() && !call.empty() && members != nullptr &&
          FileExists(Main_.State().ExeDir + std::string(kMemberFileName))) {
        if (members->Locate("CALL", PlainZeros(call), 0)) {
          View_.SetText(PCtl::MyName, members->FieldByName("Name")->AsString());
          View_.SetText(PCtl::MyState, members->FieldByName("State")->AsString());
          View_.SetText(PCtl::MyCountry, members->FieldByName("Country")->AsString());
          View_.SetText(PCtl::MyContinent, members->FieldByName("Continent")->AsString());
        } else {
          View_.Inform("\"" + call + "\" not in WWHAM!");
        }
      }
      View_.SetText(PCtl::HCID, call);
      View_.SetChecked(PCtl::ShowPW, false);
      View_.SetMasked(PCtl::HCPW, true);
      return true;
    }
    case PCtl::MyContinent: {
      ClearStats();
      const std::string continent = UpperCase(View_.Text(PCtl::MyContinent));
      View_.SetText(PCtl::MyContinent, continent);
      if (IsIbm() && !IsContinentCode(continent)) {
        FaultStats("\"My Continent\" field is invalid!");
        View_.Focus(PCtl::MyContinent);
        return false;
      }
      return true;
    }
    case PCtl::MyCountry:
      ClearStats();
      if (IsIbm() && View_.Text(PCtl::MyCountry).empty()) {
        FaultStats("\"My Country\" field is blank!");
        View_.Focus(PCtl::MyCountry);
        Saved_ = false;
        return false;
      }
      return true;
    case PCtl::MyState:
      ClearStats();
      View_.SetText(PCtl::MyState, UpperCase(View_.Text(PCtl::MyState)));
      return true;
    default:
      return true;
  }
}

void PrefsController::FormKeyDown(HotKey key) {
  if (key == HotKey::F1) UserGuidBtnClick();
  if (key == HotKey::F9) SaveButtonClick();
}

// ---------------------------------------------------------------- choices

void PrefsController::SlashClick() {
  const bool slashed = View_.Checked(PCtl::Slash);
  AppState& state = Main_.State();
  const std::string call = View_.Text(PCtl::PrefCall);
  if (!call.empty()) {
    View_.SetText(PCtl::PrefCall, WithZeros(call, slashed));
    state.Station.MyCall = View_.Text(PCtl::PrefCall);
  }
  state.Program.ZSlashed = slashed;
}

void PrefsController::ShowPWClick() { View_.SetMasked(PCtl::HCPW, !View_.Checked(PCtl::ShowPW)); }

void PrefsController::LogTypeClick() { View_.SetEnabled(PCtl::ContTypGrp, View_.Checked(PCtl::LogType)); }

// ------------------------------------------------------------------- logs

void PrefsController::CreateLogBtnClick() {
  std::string answer;
  if (!View_.Prompt("Quorvex - Create New Log File", "Enter Name of Log:", answer)) return;
  const std::string name = UpperCase(Trim(answer));
  if (name.empty()) return;
  const std::string& exeDir = Main_.State().ExeDir;
  if (!IsValidLogName(name)) {
    View_.Warn("Error, " + name + " Not Created!");
    return;
  }
  if (FolderExists(LogDirOf(exeDir, name))) {
    View_.Warn(name + " Already exists!");
    return;
  }
  // The live log may be the template itself (first run): closed before the
  // template is copied.
  Main_.Log().Data().Close();
  switch (CreateLogFolder(exeDir, name)) {
    case CreateLogResult::Created:
      break;
    case CreateLogResult::Exists:
      View_.Warn(name + " Already exists!");
      return;
    case CreateLogResult::Failed:
      View_.Warn("Error, " + name + " Not Created!");
      return;
  }
  LogName_ = name;
  Store_.WriteString(kSettingsSection, "LogName", name);
  const std::string section = LogSectionName(name);
  Store_.WriteString(section, "TypeContest", ContestCodeOf(View_.ItemIndex(PCtl::ContTypGrp)));
  Store_.WriteBool(section, "TypeLog", View_.Checked(PCtl::LogType));
  View_.SetItems(PCtl::MyLogName, ListLogFolders(exeDir));
  ShowLogName(std::string(kPickLogText));
  PendingSelection_ = true;
}

void PrefsController::MyLogNameClick(const std::string& logName) {
  AppState& state = Main_.State();
  ClearStats();
  LogName_ = logName;
  ShownLogName_ = logName;
  state.Program.LogName = logName;
  Store_.WriteString(kSettingsSection, "LogName", logName);

  // Values the log's section lacks keep what the fields show.
  const StationSettings shown = ShownStation();
  StationSettings s = Store_.ReadStationSettings(logName, shown);
  s.AutoManTime = Store_.ReadString(LogSectionName(logName), "AutoManTime", shown.AutoManTime);
  if (!s.MyCall.empty()) s.MyCall = WithZeros(s.MyCall, View_.Checked(PCtl::Slash));
  ShowStation(s);
  state.Station.MyZone = s.MyZone;
  state.Station.MyXmtrID = s.MyXmtrID;
  SetLogDir(logName);
  SwitchLiveLog();

  if (IsIbm()) ShowMemberStatus(" WWHAM required for IBM QSO Party!");
  DataSet& log = Main_.Log().Data();
  if (log.RecordCount() > 0) state.LastMode = log.FieldByName("Mode")->AsString();
  View_.SetEnabled(PCtl::RestoreButton, FileExists(BackupFileOf(LogDir_)));
  PendingSelection_ = false;
}

void PrefsController::SwitchLiveLog() {
  DatabaseTable& table = Main_.Log();
  DataSet& log = table.Data();
  log.Close();
  table.Disconnect();
  table.SetDatabaseFileName(LogFileOf(LogDir_));
  Main_.NoteLogBeforeOpen(LogFileOf(LogDir_));
  // A log that cannot be opened, or whose records cannot be read, is
  // selected all the same: the main window reads it through when the dialog
  // closes, says so once, and keeps its backup copy for "Restore Log".
  try {
    Main_.OpenLog();
  } catch (const std::exception& e) {
    Main_.NoteLogOpenFailed(e.what());
    return;
  }
  table.SetIndexName(kPrimeIndexName);
  try {
    log.Refresh();
    log.Last();
  } catch (const std::exception&) {
  }
}

void PrefsController::EmptyLogButtonClick() {
  if (View_.Confirm("Are you sure you want to Empty the Log File?")) Main_.Module().EmptyLogRequested = true;
}

void PrefsController::RestoreButtonClick() {
  const std::string backup = BackupFileOf(LogDir_);
  if (!FileExists(backup)) {
    View_.Warn("Backup Files do not exist!");
    View_.SetEnabled(PCtl::RestoreButton, false);
    return;
  }
  // A copy that does not read whole is no way back: it is refused before
  // anything is let go of, and the program goes on.
  std::string failure;
  if (!Main_.ReadLogCopy(backup, nullptr, failure)) {
    View_.Warn("The backup copy of the Log cannot be read, so it cannot bring the Log back!\r\r" + failure +
               "\r\rNothing was restored: the Log is left as it is.");
    return;
  }
  // The engine lets go of the live file before it is replaced, so nothing it
  // still holds is written into the restored file. The log it replaces is
  // kept beside it (with its journal), so that the restore can be undone.
  DatabaseTable& table = Main_.Log();
  table.Data().Close();
  table.Disconnect();
  const std::string log = LogFileOf(LogDir_);
  // A log an earlier restore kept stays: this one is kept under a name of
  // its own.
  const std::string kept = FreeKeptLogName(log);
  const std::string keptName = std::filesystem::path(kept).filename().string();
  try {
    // Contacts logged while the backup was kept (the log could not be read,
    // or differed) are in the replaced log only: they are carried into the
    // restored copy before it takes the log's place.
    CarryReport carried;
    RestoreFromBackup({log, TVLMDatabase::JournalFileName(log), backup, kept, TVLMDatabase::JournalFileName(kept)},
                      [&](const std::string& restored) { carried = Main_.CarryMissingContacts(restored, kept); });
    Main_.BackupRestored();
    // The backup follows what was carried, so that the restored log and its
    // backup are alike at the next start (else a change to either while the
    // program is closed would pass for the carry's commit). Failing, it is
    // made anew from the log at the next start, as after any later commit.
    if (carried.Carried > 0) {
      try {
        UpdateBackupCopy(log, backup);
      } catch (const std::exception&) {
      }
    }
    const std::string carryText = MainController::CarryText(carried, keptName);
    View_.Inform("Restore Complete\r\r" + (carryText.empty() ? std::string() : carryText + "\r\r") +
                 "The Log it replaced is kept beside it as \"" + keptName +
                 "\": to undo the restore, put that file back in place of the Log while Quorvex is closed.\r\r"
                 "Quorvex will terminate.\rManual start of Quorvex required!");
  } catch (const std::exception& e) {
    View_.Warn("Error, Log not Restored!\r\r" + std::string(e.what()) +
               "\r\rThe Log is left as it was.\r\rQuorvex will terminate.");
  }
  Ending_ = true;
  View_.EndProgram();
}

void PrefsController::UserGuidBtnClick() { View_.OpenUrl(Main_.State().ExeDir + std::string(kUserGuideFileName)); }

// ------------------------------------------------------------------- save

void PrefsController::SaveButtonClick() {
  // The field the operator is in runs its exit check first; one that keeps
  // the operator there stops the save.
  const PCtl focused = View_.FocusedControl();
  if (focused != PCtl::PrefCall && focused != PCtl::Count && !FieldExit(focused)) return;
  View_.Focus(PCtl::PrefCall);

  AppState& state = Main_.State();
  if (PendingSelection_ || !IsSelectableLog(state.ExeDir, ShownLogName_)) {
    FaultStats(std::string(kSelectLogText));
    return;
  }
  Main_.StopClock();
  Saved_ = false;
  StationSettings s = ShownStation();
  if (s.MyCall.empty() || s.MyContinent.empty() || s.MyCountry.empty()) {
    View_.Warn("\"Call/Continent/Country\" field(s) blank!");
    return;
  }

  ProgramSettings p;
  p.Status = kStatusSaved;
  p.LogName = ShownLogName_;
  p.ZSlashed = View_.Checked(PCtl::Slash);
  p.HCID = View_.Text(PCtl::HCID);
  p.HCPW = View_.Text(PCtl::HCPW);
  Store_.WriteProgramSettings(p);
  Store_.WriteStationSettings(ShownLogName_, s);
  LogName_ = ShownLogName_;
  state.Program = p;
  state.Station = s;
  SetLogDir(LogName_);
  state.AutoTime = s.AutoManTime == "True";
  Main_.Module().FirstTick = true;

  ClearStats();
  Main_.ApplySavedSettings();
  Saved_ = true;
  View_.CloseDialog();
}

bool PrefsController::FormCloseQuery() {
  if (Saved_ || Ending_) return true;
  View_.Warn(std::string(kCloseRefusedText));
  return false;
}

}  // namespace qv::app
