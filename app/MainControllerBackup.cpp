// The backup copy kept at a start: a backup read through before it is
// trusted, and the comparison, contact by contact, shown to the operator
// when the backup differs from a log that reads whole.
#include <algorithm>
#include <iterator>

#include "app/MainController.h"
#include "appdata/LogSchemas.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/Fields.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/SysUtils.h"
#include "platform/os/File.h"

namespace qv::app {

namespace {

// The log's table under a database name of its own, so that a copy of the
// log can be open beside the log itself.
const TableSpec& LogCopySpec() {
  static const TableSpec spec = [] {
    TableSpec s = LogTableSpec();
    s.DatabaseName = "V5LogCopyDB";
    return s;
  }();
  return spec;
}

// Every field of the current record, each read as text, joined.
std::string RecordText(DataSet& data) {
  std::string text;
  for (int32_t i = 0; i < data.FieldCount(); ++i) {
    if (i > 0) text += '\x1f';
    text += data.GetFields()[i]->AsString();
  }
  return text;
}

std::string Entries(size_t n) { return IntToStr(static_cast<int64_t>(n)) + (n == 1 ? " entry" : " entries"); }

// How the contacts of the log and its backup compare (each list sorted).
std::string Comparison(const std::vector<std::string>& log, const std::vector<std::string>& backup) {
  std::vector<std::string> alike;
  std::set_intersection(log.begin(), log.end(), backup.begin(), backup.end(), std::back_inserter(alike));
  return "The Log holds " + Entries(log.size()) + ", its backup copy " + Entries(backup.size()) + ": " +
         IntToStr(static_cast<int64_t>(alike.size())) + " alike in both; " +
         Entries(backup.size() - alike.size()) + " of the backup copy changed or missing in the Log; " +
         Entries(log.size() - alike.size()) + " of the Log not in the backup copy.";
}

}  // namespace

bool MainController::ReadLogCopy(const std::string& file, std::vector<std::string>* rows, std::string& failure) {
  if (!FileExists(file)) {
    failure = "The file \"" + file + "\" does not exist.";
    return false;
  }
  try {
    std::unique_ptr<DatabaseTable> copy = Tables_.Create(LogCopySpec(), file, true);
    copy->Connect();
    DataSet& data = copy->Data();
    data.Open();
    // Every index lists every record, and the same ones: a damaged index
    // page that a walk in contact order never meets would otherwise pass,
    // and every add into such a file (restored, or followed by the backup)
    // would be refused.
    std::vector<std::string> first;
    std::string_view firstIndex;
    for (const IndexSpec& index : LogCopySpec().Indexes) {
      copy->SetIndexName(index.Name);
      std::vector<std::string> listed;
      for (data.First(); !data.Eof(); data.Next()) listed.push_back(RecordText(data));
      if (static_cast<int64_t>(listed.size()) != data.RecordCount()) {
        failure = "The file \"" + file + "\" holds " + IntToStr(data.RecordCount()) + " records; its index \"" +
                  std::string(index.Name) + "\" lists " + IntToStr(static_cast<int64_t>(listed.size())) + ".";
        return false;
      }
      std::sort(listed.begin(), listed.end());
      if (firstIndex.empty()) {
        first = std::move(listed);
        firstIndex = index.Name;
      } else if (listed != first) {
        failure = "The file \"" + file + "\" lists other records in its index \"" + std::string(index.Name) +
                  "\" than in its index \"" + std::string(firstIndex) + "\".";
        return false;
      }
    }
    if (rows != nullptr) *rows = std::move(first);
  } catch (const std::exception& e) {
    failure = e.what();
    return false;
  }
  return true;
}

std::vector<std::string> MainController::LogRows() {
  std::vector<std::string> rows;
  DataSet& log = LogData();
  try {
    log.DisableControls();
    auto enable = ScopeExit([&] { log.EnableControls(); });
    for (log.First(); !log.Eof(); log.Next()) rows.push_back(RecordText(log));
    log.Last();
  } catch (const std::exception&) {
    rows.clear();
  }
  return rows;
}

void MainController::BackupRestored() {
  // The log is the backup's bytes now: nothing of the log it replaced is
  // kept in mind (it is kept beside it, named in the restore's message).
  SetBackupKeptMark(KeptFor::None);
  ChangedOutside_ = false;
  Log_->TakeRepairNotice();
  Log_->TakeRollbackNotice();
}

void MainController::JudgeKeptBackup(KeptFor why, bool newly) {
  std::string lead;
  if (why == KeptFor::Repair)
    lead = newly ? "The Log needed repair when it was opened!"
                 : "The Log was repaired when it was opened at an earlier start, and its backup copy kept as it was.";
  std::vector<std::string> logRows = LogRows();
  std::vector<std::string> backupRows;
  std::string failure;
  if (!ReadLogCopy(BackupFileOf(State_.LogDir), &backupRows, failure)) {
    // No way back: a restore from it would be refused.
    SetBackupKeptMark(KeptFor::None);
    ChangedOutside_ = false;
    View_.Warn((lead.empty() ? "" : lead + "\r\r") +
               "The backup copy of the Log cannot be read, so it cannot bring the Log back!\r\r" + failure +
               "\r\rIt is made anew from the Log, which reads whole (" + Entries(logRows.size()) + ").");
    StartBackupCatchUp(BackupFollow::Always, std::nullopt);
    return;
  }
  std::sort(logRows.begin(), logRows.end());
  std::sort(backupRows.begin(), backupRows.end());
  const std::string comparison = Comparison(logRows, backupRows);
  if (why == KeptFor::Repair) {
    if (View_.Confirm(lead + "\r\r" + comparison +
                      "\r\rKeep the Log as it is now?\r\rYes: its backup copy is made anew from it.\rNo: its "
                      "backup copy is kept as it was; \"Restore Log\" in \"Settings\" brings the Log back from "
                      "it.")) {
      SetBackupKeptMark(KeptFor::None);
      ChangedOutside_ = false;
      StartBackupCatchUp(BackupFollow::Always, std::nullopt);
      return;
    }
  } else {
    View_.Warn(newly ? "The Log and its backup copy differ!\r\rBoth read whole, but no contact was logged since "
                       "the backup copy was made: one of the two files was changed outside Quorvex.\r\r" +
                           comparison + "\r\r" + std::string(kBackupKeptText)
                     : "The Log and its backup copy still differ!\r\rThe backup copy was kept as it was when this "
                       "was found; contacts logged since are in the Log only.\r\r" +
                           comparison + "\r\r" + std::string(kBackupKeptText));
  }
  // Kept, across starts, until the operator chooses.
  ChangedOutside_ = BackupKept_ = BackupInDoubt_ = true;
  SetBackupKeptMark(why);
}

}  // namespace qv::app
