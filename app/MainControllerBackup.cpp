// The backup copy kept at a start: a backup read through before it is
// trusted, and the comparison, contact by contact, shown to the operator
// when the backup differs from a log that reads whole; what a reopen of the
// log found; the contacts "Restore Log" carries from the log it replaces.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>

#include "app/MainController.h"
#include "app/QsoEntry.h"
#include "app/QsoRecord.h"
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

// The log's table under another database name, for a pair of its own.
TableSpec LogSpecNamed(std::string_view databaseName) {
  TableSpec s = LogTableSpec();
  s.DatabaseName = databaseName;
  return s;
}

// A contact of a log by its number.
using ContactsById = std::map<int32_t, QsoRecord>;

// The contacts of the open log table, by number, read as far as they can
// be: in the current order from the first on until a read fails, then from
// the last back until one fails (so a damaged page in the middle loses only
// what it holds). The first failure goes to failure.
void ReadAround(DataSet& data, ContactsById& rows, std::string& failure) {
  try {
    const QsoReader reader(data);
    Field* id = data.FieldByName(kQsoIdField);
    const auto take = [&] { rows.emplace(id->AsInteger(), reader.Read()); };
    try {
      for (data.First(); !data.Eof(); data.Next()) take();
      return;
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
    }
    for (data.Last(); !data.Bof(); data.Prior()) take();
  } catch (const std::exception& e) {
    if (failure.empty()) failure = e.what();
  }
}

std::string Contacts(int32_t n) { return IntToStr(n) + (n == 1 ? " contact" : " contacts"); }

// Every field of the current record, each read as text, joined.
// Without skip (a contact's number: its values alone).
std::string RecordText(DataSet& data, const Field* skip = nullptr) {
  std::string text;
  for (int32_t i = 0; i < data.FieldCount(); ++i) {
    if (data.GetFields()[i] == skip) continue;
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
  // Whole only when every page of the file is: a damaged map, lock or free
  // page meets no read of the records, and every add into such a file
  // (restored, or followed by the backup) would be refused.
  if (const std::string damage = FileDamageOf(file); !damage.empty()) {
    failure = damage;
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

std::string MainController::FileDamageOf(const std::string& file) {
  const std::vector<std::string> damage = Tables_.FileDamage(file, true);
  return damage.empty() ? std::string() : "Database file '" + file + "' is damaged: " + damage.front();
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

CarryReport MainController::CarryMissingContacts(const std::string& restoredCopy, const std::string& replacedLog) {
  CarryReport report;
  // The replaced log, read-only and without questions: a file in need of
  // repair is read as it is, a commit cut short is read around.
  ContactsById replaced;
  int32_t counted = -1;
  {
    static const TableSpec keptSpec = LogSpecNamed("V5LogKeptDB");
    std::unique_ptr<DatabaseTable> kept = Tables_.Create(keptSpec, replacedLog, true);
    kept->SetSilent(true);
    try {
      kept->Connect();
      DataSet& data = kept->Data();
      data.Open();
      try {
        counted = data.RecordCount();
      } catch (const std::exception&) {
      }
      // In record order first; through each index as well when that walk
      // fails somewhere.
      kept->SetIndexName("");
      ReadAround(data, replaced, report.Failure);
      for (size_t i = 0; !report.Failure.empty() && i < keptSpec.Indexes.size(); ++i) {
        std::string failure;
        kept->SetIndexName(keptSpec.Indexes[i].Name);
        ReadAround(data, replaced, failure);
      }
    } catch (const std::exception& e) {
      if (report.Failure.empty()) report.Failure = e.what();
    }
  }
  if (!report.Failure.empty())
    report.Unread = counted >= 0 ? std::max<int32_t>(counted - static_cast<int32_t>(replaced.size()), 0) : -1;
  if (replaced.empty()) return report;

  static const TableSpec restoreSpec = LogSpecNamed("V5LogRestoreDB");
  std::unique_ptr<DatabaseTable> restored = Tables_.Create(restoreSpec, restoredCopy, false);
  restored->Connect();
  DataSet& data = restored->Data();
  data.Open();
  restored->SetIndexName(kPrimeIndexName);
  ContactsById held;
  std::set<std::string> heldValues;
  Field* idField = data.FieldByName(kQsoIdField);
  {
    const QsoReader reader(data);
    for (data.First(); !data.Eof(); data.Next()) {
      held.emplace(idField->AsInteger(), reader.Read());
      heldValues.insert(RecordText(data, idField));
    }
  }
  // In contact order, each under the next number of the restored log.
  for (const auto& [id, contact] : replaced) {
    const auto it = held.find(id);
    if (it != held.end()) {
      report.Differing += it->second == contact ? 0 : 1;
      continue;
    }
    // A record that no add or post would have stored (damage read as a
    // record) is no contact: it stays in the kept log, counted as unread.
    std::string date;
    if (contact.Call.empty() || contact.Mode.empty() || !IsFrequencyText(contact.Freq) ||
        !ReadStoredDate(contact.QSODate, date)) {
      ++report.Garbled;
      continue;
    }
    data.Append();
    WriteQso(data, contact);
    // A contact the backup holds under another number (the number damaged)
    // is no new one.
    if (heldValues.count(RecordText(data, idField)) > 0) {
      data.Cancel();
      ++report.Differing;
      continue;
    }
    data.Post();
    ++report.Carried;
  }
  data.Close();
  restored->Disconnect();
  return report;
}

std::string MainController::CarryText(const CarryReport& report, std::string_view keptName) {
  std::vector<std::string> parts;
  if (report.Carried > 0)
    parts.push_back(Contacts(report.Carried) + " of the Log it replaced, which its backup copy lacked, " +
                    (report.Carried == 1 ? "was" : "were") + " carried into the restored Log.");
  if (report.Differing > 0)
    parts.push_back(Contacts(report.Differing) + " of the Log it replaced " +
                    (report.Differing == 1 ? "holds" : "hold") +
                    " other values than its backup copy: the restored Log holds the backup copy's.");
  if (!report.Failure.empty() || report.Garbled > 0) {
    const int32_t unread = report.Unread < 0 ? -1 : report.Unread + report.Garbled;
    parts.push_back("Part of the Log it replaced could not be read" +
                    (report.Failure.empty() ? std::string(".") : ": " + report.Failure) + "\r" +
                    (unread < 0    ? std::string("Its entries that could not be read are")
                     : unread == 1 ? std::string("1 entry that could not be read is")
                                   : IntToStr(unread) + " entries that could not be read are") +
                    " in \"" + std::string(keptName) + "\" only.");
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "\r\r") + part;
  return text;
}

std::string MainController::UnreadableLogText(const std::string& failure) {
  const std::string head = "The Log could not be read!\r\r" + failure + "\r\r";
  std::string backupFailure;
  if (ReadLogCopy(BackupFileOf(State_.LogDir), nullptr, backupFailure))
    return head + std::string(kBackupKeptText) + " " + std::string(kLoggedUntilRestoreText);
  // No way back: a restore from it would be refused. Logs that earlier
  // restores kept may hold what neither file does.
  std::string kept;
  const std::string logFile = LogFileOf(State_.LogDir);
  for (int32_t n = 1; FileExists(KeptLogName(logFile, n)); ++n)
    kept += (kept.empty() ? "" : ", ") + ("\"" + std::filesystem::path(KeptLogName(logFile, n)).filename().string() +
                                          "\"");
  return head + "Its backup copy cannot be read either, so it cannot bring the Log back: " + backupFailure +
         "\r\rNeither the Log nor its backup copy is whole. Contacts logged from now on are in the Log only." +
         (kept.empty() ? std::string()
                       : "\r\rLogs that an earlier \"Restore Log\" replaced are kept beside it: " + kept + ".");
}

void MainController::LogReopened() {
  const RepairNotice repair = Log_->TakeRepairNotice();
  const bool rolledBack = Log_->TakeRollbackNotice();
  if (!IsLogSelected(State_) || Log_->DatabaseFileName() != LogFileOf(State_.LogDir)) return;
  if (repair == RepairNotice::Declined) {
    // As at a start: the log is as it was found, which is no way back.
    RepairDeclined_ = true;
    BackupKept_ = BackupInDoubt_ = true;
    return;
  }
  if (repair == RepairNotice::Repaired) {
    // What the repair kept may differ from what was logged: judged as a
    // repair at a start is, the kept mark set first. A repaired log that
    // cannot be opened again holds nothing to judge: the backup stays.
    RepairDeclined_ = false;
    ReadFailure_.clear();
    BackupKept_ = BackupInDoubt_ = true;
    SetBackupKeptMark(KeptFor::Repair);
    if (!LogData().Active()) {
      ReadFailure_ = "It was repaired when it was opened again, and could not be opened after the repair.";
      return;
    }
    std::string failure = ReadLogThrough();
    if (failure.empty()) failure = FileDamageOf(LogFileOf(State_.LogDir));
    if (!failure.empty()) {
      TellReadFailure(failure);
      return;
    }
    ChangedOutside_ = BackupKept_ = false;
    JudgeKeptBackup(KeptFor::Repair, true);
    // A backup made anew follows the log before the next write.
    FinishBackupCatchUp();
    return;
  }
  // A commit cut short and rolled back leaves the log as last committed,
  // though not byte for byte as the backup holds it: the backup follows a
  // log that reads whole with the very contacts it holds, now, so that a
  // close before the next change leaves the two equal.
  if (!rolledBack || BackupKept_ || ChangedOutside_ || BackupKeptMark() != KeptFor::None) return;
  std::vector<std::string> logRows, backupRows;
  std::string failure;
  if (!ReadLogCopy(LogFileOf(State_.LogDir), &logRows, failure)) {
    TellReadFailure(failure);
    return;
  }
  if (ReadLogCopy(BackupFileOf(State_.LogDir), &backupRows, failure) && logRows == backupRows) {
    BackupInDoubt_ = true;
    UpdateBackupAfterCommit({});
  }
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
  if (why == KeptFor::Difference)
    lead = newly ? "The Log and its backup copy differ!\r\rBoth read whole, but no contact was logged since the "
                   "backup copy was made: one of the two files was changed outside Quorvex."
                 : "The Log and its backup copy still differ!\r\rThe backup copy was kept as it was when this was "
                   "found; contacts logged since are in the Log only.";
  // Both files are whole (the log was checked at its open): the operator
  // chooses which one holds the contacts.
  if (View_.Confirm(lead + "\r\r" + Comparison(logRows, backupRows) +
                    "\r\rKeep the Log as it is now?\r\rYes: its backup copy is made anew from it.\rNo: its backup "
                    "copy is kept as it was; \"Restore Log\" in \"Settings\" brings the Log back from it.")) {
    SetBackupKeptMark(KeptFor::None);
    ChangedOutside_ = false;
    StartBackupCatchUp(BackupFollow::Always, std::nullopt);
    return;
  }
  // Kept, across starts, until the operator chooses.
  ChangedOutside_ = BackupKept_ = BackupInDoubt_ = true;
  SetBackupKeptMark(why);
}

}  // namespace qv::app
