// The program's settings, kept in an INI file under the user's configuration
// folder (<config>/Quorvex/QuorvexV5.ini, mode 0600 because it holds the
// lookup password in clear).
//
// Sections and values (integers and Booleans are stored as decimal text, a
// Boolean as 1 or 0):
//   [Settings]            Status (int, 0), LogName, ZSlashed (bool, true),
//                         HCID, HCPW
//   [MainForm]            Status (int, 0: never stored, 1 normal,
//                         2 minimised, 3 maximised), Top, Left, Width, Height
//   [Log Index\<log>]     MyCall, MyName, MyState, MyCountry, MyContinent,
//                         AutoManTime ("True" = automatic date and time),
//                         TypeLog (bool), TypeContest, MyXmtrID, MyZone
// "Settings"/"Status" below 1 means the settings were never saved (first run)
// or the current log went missing (-4); the settings dialog writes 4.
//
// Every SettingsStore call reads the file afresh and writes it back (whole,
// atomically) when it changed something, so the main window and the dialogs
// always see one another's writes, as they did in the registry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::app {

class AppUi;
class IniFile;
class LogTable;
class MainWindowHooks;
struct AppState;

inline constexpr std::string_view kSettingsSection = "Settings";
inline constexpr std::string_view kMainFormSection = "MainForm";
inline constexpr std::string_view kLogIndexSection = "Log Index";
inline constexpr int32_t kSettingsFileMode = 0600;
inline constexpr int32_t kStatusSaved = 4;
inline constexpr int32_t kStatusLogMissing = -4;

// The kind of a log, from TypeLog and TypeContest: a general purpose log when
// TypeLog is false, else the contest code ("IBM", "NAQP", "WWDX"; any other
// code counts as "Other").
enum class ContestKind : uint8_t { GP, IBM, NAQP, WWDX, Other };
ContestKind ContestKindOf(bool typeLog, std::string_view typeContest);

struct ProgramSettings {
  int32_t Status = 0;
  std::string LogName;
  bool ZSlashed = true;
  std::string HCID;
  std::string HCPW;
};

struct StationSettings {
  std::string MyCall;
  std::string MyName;
  std::string MyState;
  std::string MyCountry;
  std::string MyContinent;
  std::string AutoManTime;
  bool TypeLog = false;
  std::string TypeContest;
  std::string MyXmtrID;
  std::string MyZone;
};

struct WindowPlacement {
  int32_t Status = 0;
  int32_t Top = 0;
  int32_t Left = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};

enum class WindowState : uint8_t { Normal, Minimized, Maximized };

// "Log Index\" + the log's name.
std::string LogSectionName(std::string_view logName);

class SettingsStore {
public:
  explicit SettingsStore(std::string path);
  // <ConfigHome>/Quorvex/QuorvexV5.ini.
  static std::string DefaultPath();
  const std::string& Path() const { return Path_; }

  // The whole file (empty when missing), and writing it back (creating the
  // folder, mode 0600).
  IniFile Load() const;
  void Save(const IniFile& ini) const;

  // Single values, for the dialogs.
  std::string ReadString(std::string_view section, std::string_view name, std::string_view defaultValue) const;
  int32_t ReadInteger(std::string_view section, std::string_view name, int32_t defaultValue) const;
  bool ReadBool(std::string_view section, std::string_view name, bool defaultValue) const;
  void WriteString(std::string_view section, std::string_view name, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view name, int32_t value);
  void WriteBool(std::string_view section, std::string_view name, bool value);
  void DeleteValue(std::string_view section, std::string_view name);

  // "Settings" values; missing ones keep the values of current (ZSlashed
  // defaults to true, Status to 0).
  ProgramSettings ReadProgramSettings(const ProgramSettings& current) const;
  // Writes Status 4, LogName, ZSlashed, HCID, HCPW (a successful save of the
  // settings dialog).
  void WriteProgramSettings(const ProgramSettings& settings);
  // The log's section; missing values keep the values of current.
  StationSettings ReadStationSettings(std::string_view logName, const StationSettings& current) const;
  // Writes MyCall, MyName, MyState, MyCountry, MyContinent, AutoManTime,
  // TypeContest, TypeLog, MyXmtrID, MyZone into the log's section, listed
  // in this order after any other values of the section.
  void WriteStationSettings(std::string_view logName, const StationSettings& settings);
  // Status -4 and no LogName: the next start goes straight to the dialog.
  void MarkLogMissing();

  // "MainForm"; missing values keep those of current.
  WindowPlacement ReadWindowPlacement(const WindowPlacement& current) const;
  // Window closing: a normal window stores its position and size and Status
  // 1, a minimised one Status 2, a maximised one 3; a window that is not the
  // active window stores Status 2 whatever its state (and no position).
  void WriteWindowPlacement(WindowState state, bool isActiveWindow, const WindowPlacement& geometry);

private:
  std::string Path_;
};

// The start-up and activation reading of the settings (window-independent
// part): first run and missing-log handling (through the settings dialog),
// station settings of the current log, the "re-validate" reminder, AutoTime,
// the window title and the stored window placement.
void LoadSettings(AppState& state, SettingsStore& store, LogTable& log, AppUi& ui, MainWindowHooks& hooks);

}  // namespace qv::app
