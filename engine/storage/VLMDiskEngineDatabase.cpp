// VLMDiskEngine, database part: TVLMDiskDatabaseData. What it owns, its
// invariants and states are described in VLMDiskEngineTables.h.
#include <algorithm>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMCheck.h"
#include "engine/core/VLMExcept.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineFreeSpace.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"

TVLMDiskDatabaseData::TVLMDiskDatabaseData() = default;

TVLMDiskDatabaseData::~TVLMDiskDatabaseData() {
  std::lock_guard guard(CriticalSection());
  // The table data use the page manager while they are freed.
  while (!TableDatas.empty()) FreeTableData(TableDatas.front().get());
  FreeStructures();
}

bool TVLMDiskDatabaseData::IsConnected(const TVLMBaseSession* session) const {
  return std::find(Sessions.begin(), Sessions.end(), session) != Sessions.end();
}

// ------------------------------------------------------------ open and close

void TVLMDiskDatabaseData::OpenDatabase(TVLMBaseSession* session, bool exclusive, bool& needsRepair) {
  std::lock_guard guard(CriticalSection());
  // A file another process replaced by a new one while this open read it
  // (10974) is opened again: the new one is the database now.
  for (int32_t attempt = 1;; ++attempt) {
    try {
      OpenDatabaseFile(session, exclusive, needsRepair);
      return;
    } catch (const EVLMException& e) {
      if (e.NativeError != 10974 || attempt >= VLMRetrySettings().NewFileTries) throw;
    }
  }
}

void TVLMDiskDatabaseData::OpenDatabaseFile(TVLMBaseSession* session, bool exclusive, bool& needsRepair) {
  try {
    PageManager_ = std::make_unique<TVLMDiskPageManager>();
    PageManager_->UseCriticalSection(CriticalSection());
    PageManager = PageManager_.get();
    PageManager_->OpenPerOperation = OpenPerOperation;
    PageManager_->HoldMakingLock = true;  // until the session lock (ConnectSession)
    MultiUser = session->MultiUser;
    bool multiUser = MultiUser, readOnly = ReadOnly;
    PageManager_->OpenDatabase(DatabaseFileName, PasswordRecord, multiUser, exclusive, needsRepair, readOnly);
    MultiUser = multiUser;
    ReadOnly = readOnly;
    PasswordRecord = *PageManager_->GetPasswordRecord();
    PageSize = PageManager_->PageSize;
    ExtentSize = PageManager_->GetHeader().ExtentSize;
    SystemDirectory_ = std::make_unique<TVLMSystemDirectory>(PageManager_.get());
    SystemDirectory_->Load();
    SessionsFile_ = std::make_unique<TVLMActiveSessionsFile>(PageManager_.get());
    SessionsFile_->OpenFile(SystemDirectory_->Find(TVLMDirectoryKind::ActiveSessions));
    MaxSessions = SessionsFile_->MaxSessions;
    TableListFile_ = std::make_unique<TVLMTableListFile>(PageManager_.get());
    TableListFile_->OpenFile(SystemDirectory_->Find(TVLMDirectoryKind::TableList));
    TableListFile_->Load();
    TableLockManager_ = std::make_unique<TVLMDatabaseTableLockManager>(PageManager_.get(), MaxSessions);
  } catch (...) {
    // Nothing was changed yet: the structures go without the checks.
    FreeStructures();
    throw;
  }
}

void TVLMDiskDatabaseData::FreeStructures() {
  MetaDataCopies.clear();
  SystemDirectory_.reset();
  TableListFile_.reset();
  SessionsFile_.reset();
  TableLockManager_.reset();
  if (PageManager_ != nullptr) {
    try {
      PageManager_->CloseDatabase();
    } catch (...) {
      // The file is gone with its handle either way.
    }
    PageManager_.reset();
  }
  PageManager = nullptr;
  ExclusiveLocked_ = false;
  LetInReadOnly_ = false;
  TablesLockCount_ = 0;
}

void TVLMDiskDatabaseData::CloseDatabase() {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ != nullptr) PageManager_->CheckNoUncommittedPages();
  if (TableLockManager_ != nullptr) TableLockManager_->CheckNoLocks();
  FreeStructures();
}

// ------------------------------------------------------- sessions

void TVLMDiskDatabaseData::ConnectSession(TVLMBaseSession* session) {
  std::lock_guard guard(CriticalSection());
  if (!IsOpen()) {
    bool needsRepair = false;
    OpenDatabase(session, session->Exclusive, needsRepair);
    session->NeedsRepair = needsRepair;
    session->RolledBackOnOpen = PageManager_->RolledBackOnOpen();
    session->MultiUser = MultiUser;
  }
  if (session->MultiUser != MultiUser)
    throw EVLMException(20235, "Cannot open database in multi-user and signle-user mode at the same time");
  if (IsConnected(session)) return;
  if (MultiUser) {
    session->SessionID = SessionsFile_->Connect();
  } else {
    session->SessionID = 0;
    if (!ExclusiveLocked_) {
      ExclusiveLocked_ = SessionsFile_->EnterSingleUser();
      if (!ExclusiveLocked_) {
        // Another connection has the file: this one reads what it commits.
        ReadOnly = true;
        LetInReadOnly_ = true;
        PageManager_->SharedReader = true;
      }
      // The only writer: free-space state may stay in memory between uses.
      if (ExclusiveLocked_) PageManager_->SetSoleWriterLock(true);
    }
  }
  // Its session lock now shows the connection to a maker that would replace
  // the file: the open's making lock goes.
  PageManager_->ReleaseMakingLock();
  session->SharesFile = ReadsShared();
  Sessions.push_back(session);
  VLM_INVARIANT("VLMDiskEngineTables 1", IsOpen());
}

void TVLMDiskDatabaseData::DisconnectSession(TVLMBaseSession* session) {
  std::lock_guard guard(CriticalSection());
  if (IsConnected(session) && IsOpen()) {
    try {
      // A transaction ends before the slot or the single-user lock goes: the
      // slot may go to another session at once (invariant 4), and the
      // free-space changes the lock let stay in memory go with the lock.
      if (MultiUser) {
        if (session->InTransaction) session->Rollback();
        VLM_INVARIANT("VLMDiskEngineTables 4", !session->InTransaction);
        SessionsFile_->Disconnect(session->SessionID);
      } else if (ExclusiveLocked_ && Sessions.size() == 1) {
        if (session->InTransaction) session->Rollback();
        PageManager_->SetSoleWriterLock(false);
        SessionsFile_->LeaveSingleUser();
        ExclusiveLocked_ = false;
      }
    } catch (...) {
      if (!OpenPerOperation) throw;
    }
  }
  Sessions.erase(std::remove(Sessions.begin(), Sessions.end(), session), Sessions.end());
  if (Sessions.empty() && IsOpen()) {
    if (session->InTransaction) session->Rollback();
    CloseDatabase();
  }
  VLM_INVARIANT("VLMDiskEngineTables 1", IsOpen() == !Sessions.empty());
}

// ----------------------------------------------------------- creation

void TVLMDiskDatabaseData::CreateDatabase() {
  std::lock_guard guard(CriticalSection());
  TVLMDiskPageManager pageManager;
  pageManager.UseCriticalSection(CriticalSection());
  pageManager.OpenPerOperation = OpenPerOperation;
  // Nobody opens the file before its first commit is written: the close
  // gives the locks up.
  pageManager.HoldMakingLock = true;
  pageManager.CreateDatabase(DatabaseFileName, PasswordRecord, static_cast<uint16_t>(PageSize),
                             static_cast<uint16_t>(ExtentSize));
  auto close = qv::ScopeExit([&] {
    pageManager.RollbackSession(kVLMSystemSessionID);
    pageManager.CloseDatabase();
  });
  TVLMSystemDirectory directory(&pageManager);
  directory.CreateFile();
  TVLMActiveSessionsFile sessions(&pageManager);
  directory.Add(TVLMDirectoryKind::ActiveSessions, static_cast<uint32_t>(sessions.CreateFile(MaxSessions)));
  TVLMTableListFile tables(&pageManager);
  directory.Add(TVLMDirectoryKind::TableList, static_cast<uint32_t>(tables.CreateFile()));
  directory.Save();
  pageManager.Commit(kVLMSystemSessionID);
}

// ------------------------------------------------------------- tables

TVLMTableDataBase* TVLMDiskDatabaseData::CreateTableData(TVLMCursor* cursor) {
  std::lock_guard guard(CriticalSection());
  auto tableData = std::make_unique<TVLMDiskTableData>(this);
  tableData->TableName = cursor->TableName;
  return AddTableData(std::move(tableData));
}

void TVLMDiskDatabaseData::GetTableNames(qv::StringList& list) {
  std::lock_guard guard(CriticalSection());
  TableList(20520).GetTableNames(list);
}

TVLMTableListFile& TVLMDiskDatabaseData::TableList(int32_t errorCode) {
  if (TableListFile_ == nullptr) throw EVLMException(errorCode, "Pointer is nil");
  // Another process may have changed the list under the tables lock
  // (invariant 3).
  TableListFile_->Load();
  return *TableListFile_;
}

void TVLMDiskDatabaseData::AddTable(int32_t tableID, const std::string& tableName, int32_t metaDataFirstPage,
                                    int32_t mostUpdatedFirstPage, int32_t locksFirstPage) {
  std::lock_guard guard(CriticalSection());
  TVLMTableListFile& list = TableList(20522);
  list.AddTable(static_cast<uint32_t>(tableID), tableName, static_cast<uint32_t>(locksFirstPage),
                static_cast<uint32_t>(mostUpdatedFirstPage), static_cast<uint32_t>(metaDataFirstPage));
  list.Save();
}

void TVLMDiskDatabaseData::GetTableInfo(const std::string& tableName, int32_t& tableID, int32_t& metaDataFirstPage,
                                        int32_t& mostUpdatedFirstPage, int32_t& locksFirstPage) {
  std::lock_guard guard(CriticalSection());
  uint32_t id = 0, locks = 0, mostUpdated = 0, metaData = 0;
  TableList(20129).GetTable(tableName, id, locks, mostUpdated, metaData);
  tableID = static_cast<int32_t>(id);
  metaDataFirstPage = static_cast<int32_t>(metaData);
  mostUpdatedFirstPage = static_cast<int32_t>(mostUpdated);
  locksFirstPage = static_cast<int32_t>(locks);
}

void TVLMDiskDatabaseData::DeleteTableEntry(const std::string& tableName) {
  std::lock_guard guard(CriticalSection());
  TVLMTableListFile& list = TableList(20130);
  list.DeleteTable(tableName);
  list.Save();
}

void TVLMDiskDatabaseData::RenameTableEntry(const std::string& oldName, const std::string& newName) {
  std::lock_guard guard(CriticalSection());
  TVLMTableListFile& list = TableList(20131);
  list.RenameTable(oldName, newName);
  list.Save();
}

void TVLMDiskDatabaseData::LockDatabaseTables() {
  std::lock_guard guard(CriticalSection());
  if (TablesLockCount_ > 0) {
    ++TablesLockCount_;
    return;
  }
  const TVLMRetrySettings& settings = VLMRetrySettings();
  TVLMDiskPageManager* pageManager = PageManager_.get();
  if (pageManager == nullptr ||
      !RetryOperation(settings.DatabaseLockTries, settings.DatabaseLockDelayMs,
                      [pageManager] { return pageManager->LockDatabaseTablesByte(); }))
    throw EVLMException(20210, "Database tables are locked");
  TablesLockCount_ = 1;
}

void TVLMDiskDatabaseData::UnlockDatabaseTables() {
  std::lock_guard guard(CriticalSection());
  if (TablesLockCount_ > 1) {
    --TablesLockCount_;
    return;
  }
  if (TablesLockCount_ == 0 || PageManager_ == nullptr)
    throw EVLMException(20211, "Cannot unlock database tables");
  TablesLockCount_ = 0;
  if (!PageManager_->UnlockDatabaseTablesByte() && !OpenPerOperation)
    throw EVLMException(20211, "Cannot unlock database tables");
}

// ----------------------------------------------------- transactions, IDs

int32_t TVLMDiskDatabaseData::NextObjectID() {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ == nullptr) throw EVLMException(20521, "Pointer is nil");
  return static_cast<int32_t>(PageManager_->GetNextObjectID());
}

void TVLMDiskDatabaseData::Commit(int32_t sessionID, bool flushBuffers) {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ == nullptr) return;
  if (MultiUser && !TableLockManager_->LockForCommit(sessionID))
    throw EVLMException(20233, "Cannot commit changes. Locks of modified tables failed");
  CommitPages(sessionID);
  if (flushBuffers) FlushBuffers();
  if (MultiUser) TableLockManager_->ReleaseTransactionLocks(sessionID);
}

void TVLMDiskDatabaseData::Rollback(int32_t sessionID) {
  std::lock_guard guard(CriticalSection());
  if (MultiUser && TableLockManager_ != nullptr) TableLockManager_->ReleaseTransactionLocks(sessionID);
  TVLMDatabaseData::Rollback(sessionID);
}

void TVLMDiskDatabaseData::CommitPages(int32_t sessionID) { PageManager_->Commit(sessionID); }

void TVLMDiskDatabaseData::RollbackPages(int32_t sessionID) { PageManager_->RollbackSession(sessionID); }

void TVLMDiskDatabaseData::FlushBuffers() {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ != nullptr) PageManager_->FlushBuffers();
}

// ------------------------------------------------------------ services

void TVLMDiskDatabaseData::ShrinkFile() {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ != nullptr) PageManager_->TruncateUnusedPages();
}

bool TVLMDiskDatabaseData::IsEncrypted() {
  std::lock_guard guard(CriticalSection());
  return PageManager_ != nullptr && PageManager_->IsEncrypted();
}

bool TVLMDiskDatabaseData::GetFreeSpaceManagerFlag() {
  std::lock_guard guard(CriticalSection());
  return PageManager_ != nullptr && PageManager_->FreeSpace != nullptr && PageManager_->FreeSpace->Flag;
}

void TVLMDiskDatabaseData::SetFreeSpaceManagerFlag(bool value) {
  std::lock_guard guard(CriticalSection());
  if (PageManager_ != nullptr && PageManager_->FreeSpace != nullptr) PageManager_->FreeSpace->Flag = value;
}

