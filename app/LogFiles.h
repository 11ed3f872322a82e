// The program folder, the log folders and files, and the log table as the
// logic reaches it. The file, database and table names are in
// appdata/LogNames.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "appdata/LogNames.h"

namespace qv {
class DataSet;
}

namespace qv::app {

// The program folder (the logs, the template, the state and member files,
// the user guide; ExeDir of the windows) with a trailing '/':
// $QUORVEX_HOME when set, else $XDG_DATA_HOME/Quorvex, else
// ~/.local/share/Quorvex; never the executable's folder, so removing a build
// never removes the logs. The folder is made when missing and seeded from
// the files delivered beside the executable (SeedProgramFolder); log folders
// that an earlier start made beside the executable are copied over once
// (CopyEarlierLogs).
std::string ProgramFolder();
// The same rule with its inputs given (empty quorvexHome = not set; dataHome
// as DataHome() gives it, already following $XDG_DATA_HOME).
std::string ResolveProgramFolder(const std::string& quorvexHome, const std::string& exeFolder,
                                 const std::string& dataHome);
// Copies the delivered files of exeFolder (template, state and member
// files, user guide) that folder lacks into folder; existing files are kept.
void SeedProgramFolder(const std::string& exeFolder, const std::string& folder);
// Copies each log folder of exeFolder (a sub-folder holding V5LogDB.vlm)
// that folder has no folder of that name for, with every file in it, once:
// a marker file in folder records that it was done. A log that cannot be
// copied whole leaves nothing behind and no marker, so the next start tries
// again. Nothing happens when the two folders are one.
void CopyEarlierLogs(const std::string& exeFolder, const std::string& folder);
// The marker of CopyEarlierLogs.
inline constexpr std::string_view kEarlierLogsCopiedMarker = ".earlier-logs-copied";

// ExeDir + LogName (no trailing '/'), its live file and its backup copy.
std::string LogDirOf(std::string_view exeDir, std::string_view logName);
std::string LogFileOf(std::string_view logDir);
std::string BackupFileOf(std::string_view logDir);

// The logs of the program folder: its sub-folders that hold a live log file
// (V5LogDB.vlm), hidden ones (a leading '.') skipped, sorted by byte value.
// Other folders (a build's CMakeFiles, a folder of exports) are never logs.
std::vector<std::string> ListLogFolders(const std::string& exeDir);
// A name a new log folder may take: not empty, no '/', '\\' or control
// character (NUL included), not "." or "..", and no leading '.' (a hidden
// folder would never be listed).
bool IsValidLogName(std::string_view name);
// A log the settings may name as the current one: a listed log folder that
// holds the live file.
bool IsSelectableLog(const std::string& exeDir, std::string_view name);

enum class CreateLogResult : uint8_t { Created, Exists, Failed };
// Makes the folder of a new log and copies the empty template (ExeDir's
// V5LogDB.vlm) into it. An invalid name, a folder that cannot be made or a
// template that cannot be copied give Failed and leave no folder behind.
CreateLogResult CreateLogFolder(const std::string& exeDir, std::string_view name);

// The log table component as the logic uses it: its dataset, and the index
// switch that only a table component has.
class LogTable {
public:
  virtual ~LogTable() = default;
  virtual DataSet& Data() = 0;
  virtual void SetIndexName(std::string_view name) = 0;
};

// Adapts any table component with SetIndexName (the engine's table, the
// in-memory dataset) to LogTable.
template <class TableComponent>
class LogTableOf final : public LogTable {
public:
  explicit LogTableOf(TableComponent& table) : Table_(table) {}
  DataSet& Data() override { return Table_; }
  void SetIndexName(std::string_view name) override { Table_.SetIndexName(name); }

private:
  TableComponent& Table_;
};

// Closes and opens the log table and puts it in contact order ("PrimeIndex").
void ReopenLog(LogTable& log);
// The entry-count text: record count + " Log Entries".
std::string LogEntriesText(LogTable& log);

// The serial number after a record of the log.
struct SerialState {
  bool HasRecords = false;
  std::string LastMode;  // the last record's Mode (empty without records)
  int32_t NextSerial = 1;
  std::string NumSentText = "1";  // plain decimal
};
// The current record's NumSent + 1; a NumSent that is no whole number
// (blanks around it are allowed) gives record count + 1 instead, so an
// edited serial never stops the window. Without records: 1.
SerialState SerialAfterCurrentRecord(DataSet& log);
// The same for the last record in the current order (the log is left on it).
SerialState SerialAfterLastRecord(LogTable& log);

// The text with every slashed zero (byte 0xD8) replaced by the digit 0.
std::string PlainZeros(std::string_view text);

}  // namespace qv::app
