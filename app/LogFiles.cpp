#include "app/LogFiles.h"

#include <cstdlib>
#include <filesystem>
#include <limits>

#include "appdata/AtomicFile.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/SysUtils.h"
#include "platform/os/File.h"
#include "platform/os/Paths.h"

namespace qv::app {

namespace {

constexpr std::string_view kDataFolderName = "Quorvex";
// The files delivered beside the executable that a program folder of its own
// needs.
constexpr std::string_view kDeliveredFiles[] = {kLogFileName, kStateFileName, kMemberFileName, kUserGuideFileName};

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string ResolveProgramFolder(const std::string& quorvexHome, const std::string& exeFolder,
                                 const std::string& dataHome) {
  const std::string folder =
      WithSlash(!quorvexHome.empty() ? quorvexHome : WithSlash(dataHome) + std::string(kDataFolderName));
  ForceFolders(folder);
  if (!exeFolder.empty()) {
    SeedProgramFolder(exeFolder, folder);
    CopyEarlierLogs(exeFolder, folder);
  }
  return folder;
}

void SeedProgramFolder(const std::string& exeFolder, const std::string& folder) {
  for (std::string_view name : kDeliveredFiles) {
    std::string src = WithSlash(exeFolder) + std::string(name);
    std::string dest = WithSlash(folder) + std::string(name);
    if (FileExists(src) && !FileExists(dest)) CopyFile(src, dest, true);
  }
}

namespace {

// Copies every plain file of one log folder into a new folder dest; true
// when all of them were copied (else dest is removed again).
bool CopyLogFolder(const std::string& src, const std::string& dest) {
  if (!CreateFolder(dest)) return false;
  std::error_code ec;
  std::vector<std::string> copied;
  bool whole = true;
  for (const auto& entry : std::filesystem::directory_iterator(src, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    const std::string name = entry.path().filename().string();
    if (!CopyFile(src + "/" + name, dest + "/" + name, true)) {
      whole = false;
      break;
    }
    copied.push_back(name);
  }
  if (whole && !ec) return true;
  for (const std::string& name : copied) DeleteFile(dest + "/" + name);
  RemoveFolder(dest);
  return false;
}

bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}

}  // namespace

void CopyEarlierLogs(const std::string& exeFolder, const std::string& folder) {
  const std::string marker = WithSlash(folder) + std::string(kEarlierLogsCopiedMarker);
  if (FileExists(marker) || !FolderExists(exeFolder) || SameFolder(exeFolder, folder)) return;
  bool allCopied = true;
  for (const std::string& name : ListLogFolders(WithSlash(exeFolder))) {
    const std::string dest = WithSlash(folder) + name;
    if (FolderExists(dest)) continue;  // a log of that name is already here: kept as it is
    if (!CopyLogFolder(WithSlash(exeFolder) + name, dest)) allCopied = false;
  }
  if (!allCopied) return;
  try {
    WriteFileAtomically(marker, "");
  } catch (const std::exception&) {
    // An unwritable folder: the copy is tried again (and skips what is there).
  }
}

std::string ProgramFolder() {
  const char* home = std::getenv("QUORVEX_HOME");
  return ResolveProgramFolder(home ? std::string(home) : std::string(), ExecutableFolder(), DataHome());
}

std::string LogDirOf(std::string_view exeDir, std::string_view logName) {
  return std::string(exeDir) + std::string(logName);
}

std::string LogFileOf(std::string_view logDir) { return std::string(logDir) + "/" + std::string(kLogFileName); }

std::string BackupFileOf(std::string_view logDir) {
  return std::string(logDir) + "/" + std::string(kBackupFileName);
}

void ReopenLog(LogTable& log) {
  DataSet& ds = log.Data();
  ds.Close();
  ds.Open();
  log.SetIndexName(kPrimeIndexName);
}

std::string LogEntriesText(LogTable& log) { return IntToStr(log.Data().RecordCount()) + " Log Entries"; }

SerialState SerialAfterLastRecord(LogTable& log) {
  log.Data().Last();
  return SerialAfterCurrentRecord(log.Data());
}

SerialState SerialAfterCurrentRecord(DataSet& ds) {
  SerialState s;
  const int32_t count = ds.RecordCount();
  if (count <= 0) return s;
  s.HasRecords = true;
  s.LastMode = ds.FieldByName("Mode")->AsString();
  int64_t last = 0;
  // An edited serial that is no number, or one at the top of the range,
  // continues from the record count instead of stopping every recount.
  if (TryStrToInt64(ds.FieldByName("NumSent")->AsString(), last) && last < std::numeric_limits<int32_t>::max() &&
      last >= std::numeric_limits<int32_t>::min()) {
    s.NextSerial = static_cast<int32_t>(last) + 1;
  } else {
    s.NextSerial = count + 1;
  }
  s.NumSentText = IntToStr(s.NextSerial);
  return s;
}

std::vector<std::string> ListLogFolders(const std::string& exeDir) {
  std::vector<std::string> logs;
  for (std::string& name : SubFolders(exeDir))
    if (name.front() != '.' && FileExists(LogFileOf(exeDir + name))) logs.push_back(std::move(name));
  return logs;
}

bool IsValidLogName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  for (char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

bool IsSelectableLog(const std::string& exeDir, std::string_view name) {
  if (!IsValidLogName(name)) return false;
  const std::string dir = LogDirOf(exeDir, name);
  return FolderExists(dir) && FileExists(LogFileOf(dir));
}

CreateLogResult CreateLogFolder(const std::string& exeDir, std::string_view name) {
  if (!IsValidLogName(name)) return CreateLogResult::Failed;
  const std::string dir = LogDirOf(exeDir, name);
  if (FolderExists(dir)) return CreateLogResult::Exists;
  if (!CreateFolder(dir)) return CreateLogResult::Failed;
  if (!CopyFile(exeDir + std::string(kLogFileName), LogFileOf(dir), false)) {
    RemoveFolder(dir);
    return CreateLogResult::Failed;
  }
  return CreateLogResult::Created;
}

std::string PlainZeros(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) == 0xD8) c = '0';
  return out;
}

}  // namespace qv::app
