// What follows a change the program commits to the log, or a write the log
// refused: the backup's update (and its retry), the log's database opened
// again after a failed write, the one message of a refused write; and the
// emptying of the log.
#include <cerrno>
#include <functional>

#include "app/LogFiles.h"
#include "app/MainController.h"
#include "app/QsoRecord.h"
#include "app/Scoring.h"
#include "appdata/BackupCopy.h"
#include "platform/dataset/DataSet.h"
#include "platform/host/ScopeExit.h"
#include "platform/os/System.h"

namespace qv::app {

namespace {

constexpr std::string_view kBackupFailedText = "Backup copy of the Log failed!";

// A failure of the disk being full, as the file layer words it.
bool NamesFullDisk(const std::string& text) { return text.find(SysErrorMessage(ENOSPC)) != std::string::npos; }

}  // namespace

void MainController::LogWritten(std::string_view what) {
  // The backup takes what the commit changed (or compares itself with the
  // log when that is not known) and is flushed before the next change can
  // commit, so one of the two files is always whole (a missing, older or
  // foreign backup is rebuilt through a temporary file). A kept backup (the
  // log could not be read, was not whole, or needed a repair, when it was
  // opened) follows only a log that reads through and is whole now, and
  // only an open log can show that. A
  // backup kept because the log was changed outside the program stays kept
  // whatever the log reads like. A reopen of the log on the way (a write
  // that failed and was stored after all) is taken as a start takes it.
  LogReopened();
  // A log whose repair was declined reads as it is, which is no way back.
  if (BackupKept_ && !ChangedOutside_ && !RepairDeclined_) {
    DataSet& log = LogData();
    std::string failure = "not open";
    if (log.Active()) {
      // The read through leaves the record the operator was on current.
      Bookmark mark;
      try {
        mark = log.GetBookmark();
      } catch (const std::exception&) {
      }
      failure = ReadLogThrough();
      try {
        if (failure.empty() && !mark.empty()) log.GotoBookmark(mark);
      } catch (const std::exception&) {
      }
      // And only a log every page of which is whole.
      if (failure.empty()) failure = FileDamageOf(LogFileOf(State_.LogDir));
    }
    BackupKept_ = !failure.empty();
  }
  if (ChangedOutside_) {
    StatusText(kWinWhite, kWinRed, "Backup copy of the Log kept: it differs from the Log!");
  } else if (BackupKept_) {
    StatusText(kWinWhite, kWinRed, "Backup copy of the Log kept: the Log could not be read!");
  } else {
    UpdateBackupAfterCommit(what);
  }
}

bool MainController::UpdateBackupAfterCommit(std::string_view what) {
  try {
    const std::string logFile = LogFileOf(State_.LogDir);
    FileChanges changes;
    const bool known =
        !BackupInDoubt_ && Log_->DatabaseFileName() == logFile && Log_->LastCommitChanges(changes);
    BackupInDoubt_ = true;
    LastBackup_ = UpdateBackupCopy(logFile, BackupFileOf(State_.LogDir), known ? &changes : nullptr);
    BackupInDoubt_ = false;
    BackupRetry_ = false;
    return true;
  } catch (const std::exception& e) {
    StatusText(kWinWhite, kWinRed, std::string(kBackupFailedText));
    // Told once per failure that follows a good update: while it is tried
    // again the status line says it.
    if (!what.empty() && !BackupRetry_)
      View_.Warn(std::string(what) + ", but its backup copy could not be brought up to date!\r\r" + e.what() +
                 "\r\rThe backup copy is no way back until it is made anew: Quorvex makes it anew as soon as it can" +
                 (NamesFullDisk(e.what()) ? " (once there is free space on the disk)." : "."));
    BackupRetry_ = true;
    return false;
  }
}

void MainController::RetryBackupUpdate() {
  // Not while the backup is kept on purpose, nor while a catch-up (which
  // brings it up to date in any case) is going on.
  if (!BackupRetry_ || BackupKept_ || ChangedOutside_ || CatchUp_ || !IsLogSelected(State_)) return;
  if (UpdateBackupAfterCommit({}) && View_.Text(Ctl::StatPanel) == kBackupFailedText)
    StatusText(kWinWhite, kWinBlack, "");
}

std::string MainController::ReopenLogAfterFailedWrite() {
  // After a commit that failed the engine refuses the database until it is
  // closed. The edit is cancelled, the table and the database are closed
  // and opened again (the open rolls back what the commit left, or asks for
  // repair), and the totals are counted from what the file holds, so
  // nothing on screen counts a change that was not written.
  DataSet& log = LogData();
  auto quietly = [](const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception&) {
    }
  };
  quietly([&] {
    if (log.State() == dsInsert || log.State() == dsEdit) log.Cancel();
  });
  quietly([&] { log.Close(); });
  quietly([&] { Log_->Disconnect(); });
  std::string failure;
  try {
    Log_->SetReadOnly(false);
    Log_->Connect();
    log.Open();
    Log_->SetIndexName(kPrimeIndexName);
    ShowLogCount();
    if (IsContest(ContestKind::IBM)) State_.Score.TallyLog(log);
  } catch (const std::exception& e) {
    failure = e.what();
    quietly([&] { log.Close(); });
  }
  ShowTotals();
  ShowNotice();
  return failure;
}

std::string MainController::RefusedWriteText(std::string_view headline, const std::string& reason,
                                             const std::string& reopenFailure, std::string_view kept) const {
  // The cause named: a damage found when the log was opened comes before a
  // guess at the disk.
  std::string text = std::string(headline) + "\r\r" + reason;
  if (!reopenFailure.empty()) text += "\r\rThe Log could not be opened again: " + reopenFailure;
  if (const std::string damage = KnownDamage(); !damage.empty())
    return text + "\r\r" + damage + "\r\r" + std::string(kBackupKeptText);
  const bool full = NamesFullDisk(reason) || NamesFullDisk(reopenFailure);
  return text + "\r\r" + std::string(kept) +
         (full ? " once there is free space on the disk." : " once the cause is removed.");
}

bool MainController::ReopenAfterFailedWrite(const std::string& reason, int32_t countBefore, const QsoRecord& qso) {
  // True when the file holds the contact after all (the commit failed after
  // it was durable): then no message. The entry fields keep a contact that
  // was not written for another try once the cause is gone.
  const std::string reopenFailure = ReopenLogAfterFailedWrite();
  bool logged = false;
  if (reopenFailure.empty()) {
    try {
      DataSet& log = LogData();
      log.Last();
      logged = log.RecordCount() == countBefore + 1 && log.FieldByName("Call")->AsString() == qso.Call &&
               log.FieldByName("QSODate")->AsString() == qso.QSODate &&
               log.FieldByName("TimeStart")->AsString() == qso.TimeStart;
    } catch (const std::exception&) {
    }
  }
  if (logged) return true;
  View_.Warn(RefusedWriteText("The contact could not be written to the Log!", reason, reopenFailure,
                              "The entry is kept: add it again"));
  LogReopened();
  return false;
}

bool MainController::EmptyLog() {
  if (!IsLogSelected(State_)) return false;
  BeforeLogWrite();
  // A damaged log opened read-only is connected for writing first.
  if (!EnsureLogOpen("The Log could not be emptied!", true)) return false;
  DataSet& log = LogData();
  try {
    log.Close();
    Log_->EmptyTable();
    log.Open();
    Log_->SetIndexName(kPrimeIndexName);
    ShowLogCount();
  } catch (const std::exception& e) {
    // Emptied all the same when the file holds no contact now.
    const std::string reopenFailure = ReopenLogAfterFailedWrite();
    bool emptied = false;
    try {
      emptied = reopenFailure.empty() && log.RecordCount() == 0;
    } catch (const std::exception&) {
    }
    if (!emptied) {
      View_.Warn(RefusedWriteText("The Log could not be emptied!", e.what(), reopenFailure,
                                  "The Log still holds every contact: empty it again"));
      LogReopened();
      return false;
    }
  }
  SetNumSent("1");
  State_.NextSerial = 1;
  LogWritten("The Log was emptied");
  return true;
}

}  // namespace qv::app
