// VLMMain, repair part: the repair step of a database component's connect,
// the rebuild of a database file table by table into a new file, and the
// replace of the damaged file by the rebuilt one.
//
// Why the replace is one rename: the rebuilt file is complete and flushed
// before it takes the old name, and rename swaps the name in one step, so a
// crash or a failure at any point leaves a whole database under the name:
// the old one until the rename, the new one after it. The folder is flushed
// afterwards so that the new name itself survives a power cut. Deleting the
// old file first and moving the new one after would leave, in between, no
// database at all under its name.
//
// Why the rebuild reads a scratch copy: opening a table in repair mode
// mends its page index in the file it reads and commits that, and a repair
// that then fails or is stopped must leave the user's file as it was.
//
// Why the table names come from the local session: the component's
// GetTableNames swallows every failure and hands back an empty list, and a
// rebuild of an empty list "succeeds" with an empty database that would
// then replace the user's file.
//
// Why the record pages a rebuild leaves out are named (RepairTable's text,
// shown with the rest of errorText): a repair that gives back fewer rows
// without a word passes for a whole one.
//
// Why a table the rebuild cannot open makes the repair refuse: the rebuilt
// file would replace the user's without that table, and its rows, which
// the user's file still holds, would be gone for good. The user's file is
// left as it was and the table named. Only a table none of whose own pages
// was ever written (a CREATE TABLE cut after its table-list entry reached
// the file, in a file without the journal that would have taken it back)
// is left out, and named: it holds nothing.
//
// Why the repair's copy reads past damaged page headers (MendHeaderReads):
// it reads the BLOB pages of every row, and a page whose stored CRC, cipher
// byte or type alone is damaged holds values that can be read. (The
// repair-mode open of RepairTable reads so by itself.)
//
// Why a file another process has open is not repaired: that process goes
// on reading and writing the file it opened, which after the rename has no
// name any more; everything it writes would be lost.
#include <cerrno>
#include <memory>
#include <string>

#include "engine/components/VLMEngineUi.h"
#include "engine/components/VLMLocalEngine.h"
#include "engine/components/VLMMain.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/host/Format.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "platform/os/File.h"
#include "platform/os/System.h"

namespace {

constexpr std::string_view kDatabaseOpen = "Cannot perform this operation on an open database";

VLMRepairReplaceHook& ReplaceHook() {
  static VLMRepairReplaceHook hook;
  return hook;
}

// The format version in the header of the file session opened (a disk
// database; the others never need repair).
double HeaderVersion(TVLMLocalSession& session) {
  auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(session.DatabaseData);
  if (disk == nullptr) return kVLMFormatVersion;
  std::lock_guard guard(disk->CriticalSection());
  TVLMDiskPageManager* pages = disk->DiskPageManager();
  return pages == nullptr ? kVLMFormatVersion : pages->GetHeader().Version;
}

std::string InUseText(const std::string& fileName) {
  return qv::format("Cannot repair database file '%s'. Another process has the file open.", {fileName});
}

int64_t FileSize(const std::string& fileName) {
  return qv::File::Open(fileName, qv::FileAccess::ReadOnly, qv::FileDisposition::OpenExisting).Size();
}

// 20303 when the folder of fileName has less free space than bytes.
void CheckFreeSpace(const std::string& fileName, int64_t bytes) {
  if (qv::FreeDiskSpace(fileName) < bytes)
    throw EVLMException(20303,
                        "There is not enough free space on drive to perform required operation with the database "
                        "file.");
}

// Flushes tempName, lets the test hook run, and renames it over fileName,
// then flushes the folder. False (with errorText) when another process
// opened fileName meanwhile; fileName is then untouched.
bool ReplaceDatabaseFile(const std::string& tempName, const std::string& fileName, std::string& errorText) {
  qv::File::Open(tempName, qv::FileAccess::ReadWrite, qv::FileDisposition::OpenExisting).Sync();
  if (ReplaceHook()) ReplaceHook()(tempName, fileName);
  if (VLMIsDatabaseFileInUse(fileName)) {
    errorText = InUseText(fileName);
    return false;
  }
  qv::RenameFile(tempName, fileName);
  qv::SyncFolder(qv::FolderOf(fileName));
  return true;
}

// No page of the table that the table list names for it (definitions,
// counters, lock bytes) was ever written: each lies past the end of the
// file, or holds no page signature, or the freed counter (see
// TVLMDiskPageManager::HoldsWrittenPage). False when that cannot be told.
bool NoPageOfTableWritten(TVLMLocalSession& session, const std::string& tableName) {
  auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(session.DatabaseData);
  if (disk == nullptr) return false;
  std::lock_guard guard(disk->CriticalSection());
  TVLMDiskPageManager* pages = disk->DiskPageManager();
  if (pages == nullptr) return false;
  int32_t tableID = 0, metaData = 0, mostUpdated = 0, locks = 0;
  try {
    disk->GetTableInfo(tableName, tableID, metaData, mostUpdated, locks);
    const int32_t count = pages->GetPageCount();
    for (const int32_t pageNo : {metaData, mostUpdated, locks})
      if (pageNo >= 0 && pageNo < count && pages->HoldsWrittenPage(pageNo)) return false;
  } catch (const qv::Exception&) {
    return false;
  }
  return true;
}

// While it lives, the reads of session's disk database go past page
// headers that alone are damaged (TVLMDiskPageManager::MendHeaderReads).
class HeaderMending {
public:
  HeaderMending(TVLMLocalSession& session, bool on) {
    auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(session.DatabaseData);
    if (!on || disk == nullptr) return;
    std::lock_guard guard(disk->CriticalSection());
    Pages_ = disk->DiskPageManager();
    if (Pages_ == nullptr) return;
    Was_ = Pages_->MendHeaderReads;
    Pages_->MendHeaderReads = true;
    Section_ = &disk->CriticalSection();
  }
  ~HeaderMending() {
    if (Section_ == nullptr) return;
    std::lock_guard guard(*Section_);
    Pages_->MendHeaderReads = Was_;
  }
  HeaderMending(const HeaderMending&) = delete;
  HeaderMending& operator=(const HeaderMending&) = delete;

private:
  TVLMDiskPageManager* Pages_ = nullptr;
  qv::RecursiveMutex* Section_ = nullptr;
  bool Was_ = false;
};

// A message of the rebuild that names the scratch copy names the user's
// file instead: the copy is the repair's own business.
void NameUsersFile(std::string& text, const std::string& copyName, const std::string& fileName) {
  for (size_t at = text.find(copyName); at != std::string::npos; at = text.find(copyName, at + fileName.size()))
    text.replace(at, copyName.size(), fileName);
}

// The rebuilt table tableName of target counts its autoincrement fields on
// from source's counters where they stand higher.
void KeepAutoincCounters(TVLMTable& source, TVLMDatabase& target, const std::string& tableName) {
  std::vector<std::pair<std::string, int64_t>> counters;
  source.Open();
  for (int32_t i = 0; i < source.FieldCount(); ++i) {
    const qv::Field* field = source.GetFields()[i];
    if (field->DataType() == qv::ftAutoInc)
      counters.emplace_back(field->FieldName(), source.GetLastAutoincValue(field->FieldName()));
  }
  source.Close();
  if (counters.empty()) return;
  TVLMTable rebuilt;
  rebuilt.SetSessionName(source.SessionName());
  rebuilt.SetDatabaseName(target.DatabaseName());
  rebuilt.SetTableName(tableName);
  rebuilt.Open();
  for (const auto& [name, value] : counters) rebuilt.RaiseAutoincValue(name, value);
  rebuilt.Close();
}

}  // namespace

void VLMSetRepairReplaceHook(VLMRepairReplaceHook hook) { ReplaceHook() = std::move(hook); }

// ------------------------------------------------------------ connect step

void TVLMDatabase::RepairOnConnect() {
  if (!Handle_->NeedsRepair || SilentMode || VLMDesignMode()) return;
  // A read-only connection writes nothing, a repair least of all: it is
  // not offered, and the file stays as it is.
  if (Handle_->ReadOnly)
    throw EVLMException(10747,
                        "Database file '%s' needs repair, which a read-only connection cannot make; the file is "
                        "left as it is. Open it once with write access, while no other program has it open, to "
                        "repair it",
                        {DatabaseFileName_});
  const bool repair = HeaderVersion(*Handle_) >= kVLMOldestCurrentVersion ? AskRepair() : AskConvert();
  if (!repair) return;
  // The file is rebuilt and replaced without this connection, which would
  // otherwise keep the old file open under no name.
  {
    auto release = qv::ScopeExit([&] {
      Handle_ = nullptr;
      OwnHandle_.reset();
    });
    OwnHandle_->SetConnected(false);
  }
  {
    const bool wasRepairing = Repairing_;
    Repairing_ = true;
    auto restore = qv::ScopeExit([&] { Repairing_ = wasRepairing; });
    std::string errorText;
    try {
      const bool replaced = RepairDatabase(errorText);
      if (OnRepairDone) OnRepairDone(*this, replaced);
    } catch (const std::exception&) {
      throw EVLMException(20238,
                          "Cannot convert database to the new format. Please report this problem to the Velmoran "
                          "Database support.");
    }
    if (!errorText.empty()) Ui().Warning(errorText);
  }
  std::unique_ptr<TVLMLocalSession> local = CreateLocalSession();
  local->SetConnected(true);
  OwnHandle_ = std::move(local);
  Handle_ = OwnHandle_.get();
}

// ------------------------------------------------------------------ repair

bool TVLMDatabase::RepairDatabase(std::string& errorText) {
  if (Connected()) qv::DatabaseError(kDatabaseOpen, this);
  errorText.clear();
  const std::string fileName = DatabaseFileName_;
  // A read-only connection writes nothing, a repair least of all: the
  // rebuilt file would take the place of one the user keeps read-only.
  if (ReadOnly || VLMIsReadOnlyFile(fileName))
    throw EVLMException(20869, "Database file '%s' is read only and cannot be repaired", {fileName});
  const std::string tempName = fileName + ".tmp";
  // Refused before anything is written, so that a ".tmp" file another
  // process's repair is writing is never touched either.
  if (VLMIsDatabaseFileInUse(fileName)) {
    errorText = InUseText(fileName);
    return false;
  }
  CheckFreeSpace(tempName, FileSize(fileName));
  bool replaced = false;
  std::string workName;
  auto cleanUp = qv::ScopeExit([&] {
    RepairCopyName_.clear();
    if (!workName.empty()) {
      qv::DeleteFile(workName);
      if (qv::FileExists(VLMJournalFileName(workName))) qv::DeleteFile(VLMJournalFileName(workName));
    }
    if (!replaced && !VLMIsDatabaseFileInUse(tempName)) qv::DeleteFile(tempName);
  });
  // The rebuild reads a scratch copy of the file: repairing a table writes
  // into the file it repairs, and the user's file must stay as it is until
  // the rebuilt one replaces it. Only the connects open the copy; the user
  // hears of the file by its own name.
  workName = qv::CreateTempFile();
  if (!qv::CopyFile(fileName, workName, false))
    throw EVLMException(10820, "Cannot copy database file '%s' for its repair: %s",
                        {fileName, qv::SysErrorMessage(errno)});
  // The journal of a cut commit goes with the copy, whose open rolls that
  // commit back before the rebuild reads a table: rebuilt from the cut
  // pages, the file would keep rows that were never committed, or lose a
  // table, and the journal would no longer match the file it replaced.
  const std::string journalName = VLMJournalFileName(fileName);
  if (qv::FileExists(journalName) && !qv::CopyFile(journalName, VLMJournalFileName(workName), false))
    throw EVLMException(10820, "Cannot copy database file '%s' for its repair: %s",
                        {journalName, qv::SysErrorMessage(errno)});
  RepairCopyName_ = workName;
  const bool rebuilt = RebuildInto(tempName, errorText);
  NameUsersFile(errorText, workName, fileName);
  if (!rebuilt) {
    if (errorText.empty()) errorText = "Unknown error";
    return false;
  }
  RepairCopyName_.clear();
  replaced = ReplaceDatabaseFile(tempName, fileName, errorText);
  return replaced;
}

bool TVLMDatabase::RebuildInto(const std::string& fileName, std::string& errorText) {
  CheckDatabaseNameMissing();
  RegisterWithSession(true);
  if (Connected()) qv::DatabaseError(kDatabaseOpen, this);
  // While repairing, the connects below ask no question: a repair called
  // directly would otherwise start another one from inside its connect.
  const bool wasRepairing = Repairing_;
  Repairing_ = true;
  auto restore = qv::ScopeExit([&] { Repairing_ = wasRepairing; });
  // One connect takes the file's own geometry and cipher into the
  // properties the new file is made with. A scratch copy of a file cut
  // short is grown to the pages its header counts: the pages cut off are
  // then damaged pages, whose rows are named, and every other table and
  // row is read as in a whole file (a short file refuses every write).
  DoConnect();
  if (!RepairCopyName_.empty())
    if (auto* disk = dynamic_cast<TVLMDiskDatabaseData*>(Handle_->DatabaseData)) {
      std::lock_guard guard(disk->CriticalSection());
      disk->DiskPageManager()->GrowToPageCount();
    }
  DoDisconnect();
  return RebuildDatabase(
      fileName, errorText, [](TVLMDatabase& sender) { sender.DoBeforeRepair(); },
      [](TVLMDatabase& sender, int32_t percent, bool& continueWork) {
        continueWork = sender.DoRepairProgress(percent);
      },
      [](TVLMDatabase& sender) { sender.DoAfterRepair(); }, MaxConnections, ExtentSize, PageSize, CipherId,
      Password, true);
}

// ----------------------------------------------------------------- rebuild

bool TVLMDatabase::RebuildDatabase(const std::string& fileName, std::string& errorText, const NotifyEvent& before,
                                   const ProgressEvent& progress, const NotifyEvent& after, int32_t maxConnections,
                                   int32_t extentSize, int32_t pageSize, uint8_t cipherId,
                                   const std::string& password, bool repair) {
  CheckDatabaseNameMissing();
  RegisterWithSession(true);
  if (Connected()) qv::DatabaseError(kDatabaseOpen, this);
  const bool savedExclusive = Exclusive;
  const bool savedSilent = SilentMode;
  errorText.clear();
  std::unique_ptr<TVLMDatabase> target;
  bool connectedHere = false;
  auto restore = qv::ScopeExit([&] {
    if (connectedHere && Connected()) {
      try {
        Handle_->SetSessionOption(false);
      } catch (const qv::Exception&) {
        // The connection goes next; the flag goes with it.
      }
      DoDisconnect();
    }
    target.reset();
    Exclusive = savedExclusive;
    SilentMode = savedSilent;
    if (after) after(*this);
  });
  if (before) before(*this);

  CheckFreeSpace(fileName, FileSize(ConnectFileName()));

  target = std::make_unique<TVLMDatabase>();
  target->SetSessionName(SessionName_);
  target->SetDatabaseName(VLMNewGUIDName("TempDatabase"));
  target->SetDatabaseFileName(fileName);
  target->Password = password;
  target->CipherId = cipherId;
  target->PageSize = pageSize;
  target->ExtentSize = extentSize;
  target->MaxConnections = maxConnections;
  // A file just made needs no question.
  target->SilentMode = true;
  target->CreateDatabase();
  target->DoConnect();

  Exclusive = true;
  SilentMode = true;
  DoConnect();
  connectedHere = true;
  SilentMode = savedSilent;
  Handle_->SetSessionOption(true);

  qv::StringList names;
  Handle_->GetTableNames(names);
  const int32_t count = names.Count();
  for (int32_t i = 0; i < count; ++i)
    if (!RebuildTable(names[i], *target, i, count, errorText, progress, repair)) return false;

  Handle_->SetSessionOption(false);
  connectedHere = false;
  DoDisconnect();
  if (progress) {
    bool continueWork = true;
    progress(*this, 100, continueWork);
  }
  target->DoDisconnect();
  target->ShrinkDatabase();
  return repair || errorText.empty();
}

void TVLMDatabase::ShrinkDatabase() {
  const bool savedExclusive = Exclusive;
  auto restore = qv::ScopeExit([&] { Exclusive = savedExclusive; });
  Exclusive = true;
  DoConnect();
  auto disconnect = qv::ScopeExit([&] { DoDisconnect(); });
  Handle_->ShrinkFile();
}

bool TVLMDatabase::RebuildTable(const std::string& tableName, TVLMDatabase& target, int32_t index, int32_t count,
                                std::string& errorText, const ProgressEvent& progress, bool repair) {
  TVLMTable table;
  table.SetSessionName(SessionName_);
  table.SetDatabaseName(DatabaseName_);
  table.SetTableName(tableName);
  if (repair) {
    // Told before the repair-mode open, which may make some of the table's
    // files anew.
    const bool neverWritten = NoPageOfTableWritten(*Handle_, tableName);
    try {
      // The pages whose rows are lost are named to the user with the rest.
      errorText += table.RepairTable();
    } catch (const std::exception& e) {
      if (neverWritten) {
        errorText += qv::format("Table '%s' cannot be repaired and is left out of the database: %s",
                                {tableName, std::string(e.what())});
        errorText += "\r\n";
        return true;
      }
      errorText += qv::format("The database file is not repaired and is left as it was: table '%s' cannot be "
                              "read. %s",
                              {tableName, std::string(e.what())});
      errorText += "\r\n";
      return false;
    }
  }
  // The rebuild has its own window: the copy shows none of its own, and its
  // progress, scaled to this table's share, is the rebuild's.
  table.BeforeCopy = [](TVLMTable&) {};
  table.AfterCopy = [](TVLMTable&) {};
  table.OnCopyProgress = [&](TVLMTable&, int32_t percent, bool& cont) {
    if (progress) progress(*this, percent, cont);
  };
  bool cont = true;
  // Whatever cannot be copied is collected in errorText: a repair saves what
  // it can.
  HeaderMending mending(*Handle_, repair);
  table.CopyTable(tableName, errorText, cont, target.DatabaseFileName(), target.Password, true, false, true,
                  index * 100 / count, (index + 1) * 100 / count);
  // A copy that could not make its table (its error is in errorText) ends
  // the rebuild: the rebuilt file would replace the user's without it.
  if (!cont || !target.TableExists(tableName)) return false;
  // The copy counts its autoincrement fields from the rows it copied; the
  // rows a repair leaves out had values above them, which the rebuilt table
  // must not hand out again (another copy may still hold those rows).
  if (repair) KeepAutoincCounters(table, target, tableName);
  return true;
}

