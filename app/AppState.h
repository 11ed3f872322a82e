// The state the main window's module keeps and its dialogs and the logic
// share: folders, settings, serial number, score. One object lives as long
// as the main window; the window controllers own it and pass it to the logic.
#pragma once

#include <cstdint>
#include <string>

#include "app/Scoring.h"
#include "app/Settings.h"

namespace qv::app {

inline constexpr std::string_view kProgramName = "Quorvex";

struct AppState {
  std::string ExeDir;   // program folder, with trailing '/'
  std::string LogDir;   // ExeDir + LogName, no trailing '/'
  std::string LogFile;  // LogDir + "/V5LogDB.vlm"
  // Four numbers joined by "."; two blanks until the version is known.
  std::string ProgramVersion = "  ";

  ProgramSettings Program;
  StationSettings Station;
  bool AutoTime = true;
  bool RevalidateShown = false;

  std::string LastMode;
  int32_t NextSerial = 0;
  std::string NumSentText;  // text of the sent-serial entry field
  std::string LogNrText;    // "<n> Log Entries"

  IbmScore Score;
};

// A log is selected when LogDir names its folder; without one nothing may be
// written to a log (LogDir is empty on a first run, after a missing log and
// with an empty LogName).
inline bool IsLogSelected(const AppState& state) { return !state.LogDir.empty(); }
// True for a contest log of kind "IBM" (TypeLog set and code "IBM").
bool IsIbmContest(const AppState& state);
ContestKind KindOf(const AppState& state);
// "Quorvex - v" + version + " " + MyCall + "  " + LogName.
std::string WindowTitle(const AppState& state);

}  // namespace qv::app
