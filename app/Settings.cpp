#include "app/Settings.h"

#include "app/AppState.h"
#include "app/AppUi.h"
#include "appdata/AtomicFile.h"
#include "app/IniFile.h"
#include "app/LogFiles.h"
#include "platform/os/File.h"
#include "platform/os/Paths.h"

namespace qv::app {

namespace {

constexpr std::string_view kConfigFolderName = "Quorvex";
constexpr std::string_view kConfigFileName = "QuorvexV5.ini";

}  // namespace

ContestKind ContestKindOf(bool typeLog, std::string_view typeContest) {
  if (!typeLog) return ContestKind::GP;
  if (typeContest == "IBM") return ContestKind::IBM;
  if (typeContest == "NAQP") return ContestKind::NAQP;
  if (typeContest == "WWDX") return ContestKind::WWDX;
  return ContestKind::Other;
}

std::string LogSectionName(std::string_view logName) {
  return std::string(kLogIndexSection) + "\\" + std::string(logName);
}

SettingsStore::SettingsStore(std::string path) : Path_(std::move(path)) {}

std::string SettingsStore::DefaultPath() {
  return ConfigHome() + "/" + std::string(kConfigFolderName) + "/" + std::string(kConfigFileName);
}

IniFile SettingsStore::Load() const {
  IniFile ini;
  ini.Load(Path_);
  return ini;
}

void SettingsStore::Save(const IniFile& ini) const {
  std::string folder = FolderOf(Path_);
  if (!FolderExists(folder) && !ForceFolders(folder))
    throw EOSError("Cannot create the settings folder '" + folder + "'", 0);
  ini.Save(Path_, kSettingsFileMode);
}

std::string SettingsStore::ReadString(std::string_view section, std::string_view name,
                                      std::string_view defaultValue) const {
  return Load().ReadString(section, name, defaultValue);
}

int32_t SettingsStore::ReadInteger(std::string_view section, std::string_view name, int32_t defaultValue) const {
  return Load().ReadInteger(section, name, defaultValue);
}

bool SettingsStore::ReadBool(std::string_view section, std::string_view name, bool defaultValue) const {
  return Load().ReadBool(section, name, defaultValue);
}

void SettingsStore::WriteString(std::string_view section, std::string_view name, std::string_view value) {
  IniFile ini = Load();
  ini.WriteString(section, name, value);
  Save(ini);
}

void SettingsStore::WriteInteger(std::string_view section, std::string_view name, int32_t value) {
  IniFile ini = Load();
  ini.WriteInteger(section, name, value);
  Save(ini);
}

void SettingsStore::WriteBool(std::string_view section, std::string_view name, bool value) {
  IniFile ini = Load();
  ini.WriteBool(section, name, value);
  Save(ini);
}

void SettingsStore::DeleteValue(std::string_view section, std::string_view name) {
  IniFile ini = Load();
  if (ini.DeleteValue(section, name)) Save(ini);
}

ProgramSettings SettingsStore::ReadProgramSettings(const ProgramSettings& current) const {
  IniFile ini = Load();
  ProgramSettings s;
  s.Status = ini.ReadInteger(kSettingsSection, "Status", 0);
  s.LogName = ini.ReadString(kSettingsSection, "LogName", current.LogName);
  s.ZSlashed = ini.ReadBool(kSettingsSection, "ZSlashed", true);
  s.HCID = ini.ReadString(kSettingsSection, "HCID", current.HCID);
  s.HCPW = ini.ReadString(kSettingsSection, "HCPW", current.HCPW);
  return s;
}

void SettingsStore::WriteProgramSettings(const ProgramSettings& settings) {
  IniFile ini = Load();
  ini.WriteInteger(kSettingsSection, "Status", kStatusSaved);
  ini.WriteString(kSettingsSection, "LogName", settings.LogName);
  ini.WriteBool(kSettingsSection, "ZSlashed", settings.ZSlashed);
  ini.WriteString(kSettingsSection, "HCID", settings.HCID);
  ini.WriteString(kSettingsSection, "HCPW", settings.HCPW);
  Save(ini);
}

StationSettings SettingsStore::ReadStationSettings(std::string_view logName, const StationSettings& current) const {
  IniFile ini = Load();
  const std::string section = LogSectionName(logName);
  StationSettings s;
  s.MyCall = ini.ReadString(section, "MyCall", current.MyCall);
  s.MyName = ini.ReadString(section, "MyName", current.MyName);
  s.MyState = ini.ReadString(section, "MyState", current.MyState);
  s.MyCountry = ini.ReadString(section, "MyCountry", current.MyCountry);
  s.MyContinent = ini.ReadString(section, "MyContinent", current.MyContinent);
  s.AutoManTime = ini.ReadString(section, "AutoManTime", "");
  s.TypeLog = ini.ReadBool(section, "TypeLog", current.TypeLog);
  s.TypeContest = ini.ReadString(section, "TypeContest", current.TypeContest);
  s.MyXmtrID = ini.ReadString(section, "MyXmtrID", current.MyXmtrID);
  s.MyZone = ini.ReadString(section, "MyZone", current.MyZone);
  return s;
}

void SettingsStore::WriteStationSettings(std::string_view logName, const StationSettings& settings) {
  IniFile ini = Load();
  const std::string section = LogSectionName(logName);
  // Values written earlier (the kind of a new log) move to their place.
  for (std::string_view name : {"MyCall", "MyName", "MyState", "MyCountry", "MyContinent", "AutoManTime",
                                "TypeContest", "TypeLog", "MyXmtrID", "MyZone"})
    ini.DeleteValue(section, name);
  ini.WriteString(section, "MyCall", settings.MyCall);
  ini.WriteString(section, "MyName", settings.MyName);
  ini.WriteString(section, "MyState", settings.MyState);
  ini.WriteString(section, "MyCountry", settings.MyCountry);
  ini.WriteString(section, "MyContinent", settings.MyContinent);
  ini.WriteString(section, "AutoManTime", settings.AutoManTime);
  ini.WriteString(section, "TypeContest", settings.TypeContest);
  ini.WriteBool(section, "TypeLog", settings.TypeLog);
  ini.WriteString(section, "MyXmtrID", settings.MyXmtrID);
  ini.WriteString(section, "MyZone", settings.MyZone);
  Save(ini);
}

void SettingsStore::MarkLogMissing() {
  IniFile ini = Load();
  ini.WriteInteger(kSettingsSection, "Status", kStatusLogMissing);
  ini.DeleteValue(kSettingsSection, "LogName");
  Save(ini);
}

WindowPlacement SettingsStore::ReadWindowPlacement(const WindowPlacement& current) const {
  IniFile ini = Load();
  WindowPlacement p;
  p.Status = ini.ReadInteger(kMainFormSection, "Status", 0);
  p.Top = ini.ReadInteger(kMainFormSection, "Top", current.Top);
  p.Left = ini.ReadInteger(kMainFormSection, "Left", current.Left);
  p.Width = ini.ReadInteger(kMainFormSection, "Width", current.Width);
  p.Height = ini.ReadInteger(kMainFormSection, "Height", current.Height);
  return p;
}

void SettingsStore::WriteWindowPlacement(WindowState state, bool isActiveWindow, const WindowPlacement& geometry) {
  IniFile ini = Load();
  if (!isActiveWindow || state == WindowState::Minimized) {
    ini.WriteInteger(kMainFormSection, "Status", 2);
  } else if (state == WindowState::Maximized) {
    ini.WriteInteger(kMainFormSection, "Status", 3);
  } else {
    ini.WriteInteger(kMainFormSection, "Top", geometry.Top);
    ini.WriteInteger(kMainFormSection, "Left", geometry.Left);
    ini.WriteInteger(kMainFormSection, "Width", geometry.Width);
    ini.WriteInteger(kMainFormSection, "Height", geometry.Height);
    ini.WriteInteger(kMainFormSection, "Status", 1);
  }
  Save(ini);
}

void LoadSettings(AppState& state, SettingsStore& store, LogTable& log, AppUi& ui, MainWindowHooks& hooks) {
  // The AutoManTime text read from the log's section; stays empty when the
  // dialog path runs instead (manual time until the next activation).
  std::string autoManTime;
  const int32_t status = store.ReadInteger(kSettingsSection, "Status", 0);
  if (status < 1) {
    RunSettingsAndRetally(state, log, hooks);
  } else {
    state.Program = store.ReadProgramSettings(state.Program);
    state.LogDir = LogDirOf(state.ExeDir, state.Program.LogName);
    // An empty or unusable name counts as a missing log: it would make the
    // program folder the log folder and the template the live log.
    if (!IsSelectableLog(state.ExeDir, state.Program.LogName)) {
      ui.Warn("Quorvex Log " + state.LogDir + " is missing.\r\rSelect another Log or Create a new Log");
      store.MarkLogMissing();
      // The missing log is no longer the selected one.
      state.Program.LogName.clear();
      state.LogDir.clear();
      RunSettingsAndRetally(state, log, hooks);
    } else {
      state.Station = store.ReadStationSettings(state.Program.LogName, state.Station);
      autoManTime = state.Station.AutoManTime;
    }
  }
  if (state.Station.MyCall.empty() && !state.RevalidateShown) {
    ui.Warn("Quorvex\rClick on Settings to\rre-validate all fields and settings for each Log");
    state.RevalidateShown = true;
  }
  state.AutoTime = autoManTime == "True";
  hooks.SetTitle(WindowTitle(state));
  WindowPlacement placement = store.ReadWindowPlacement(hooks.CurrentPlacement());
  if (placement.Status != 0) hooks.ApplyPlacement(placement);
}

}  // namespace qv::app
