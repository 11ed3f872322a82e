// VLMDiskEngine, database part: TVLMDiskDatabaseData, the open database file
// of the disk engine shared by every session and table of that file.
//
// Parts and their source files:
//   VLMDiskEngineDatabase.cpp   TVLMDiskDatabaseData
//
// What the database data owns while it is open:
//
//   page manager        the file, its cache and the commit protocol
//   system directory    entry 1: first page of the table list, entry 2:
//                       first page of the active-sessions file
//   active sessions     one lock byte per multi-user session (all of them
//                       for a single-user connection)
//   table list          one entry per table: ID and the first pages of its
//                       TableMetaData, TableMostUpdated and lock files
//   table lock manager  the table and record locks of every session
//
// The tables lock is the lock byte S + 359 of the header (S: the database
// offset). Processes hold it while they change the table list or open a
// table, so that a table is never opened half created or half deleted.
// Nested calls within this database data lock it once.
//
// Invariants:
//   1. The database data is open (IsOpen) exactly while sessions are
//      connected, or between a failed first connection and FreeIfUnused.
//   2. A page manager is destroyed only after it was asked for uncommitted
//      pages (CheckNoUncommittedPages); the destructor alone closes without
//      asking, because it must not raise.
//   3. Every lookup and change of the table list rereads the list first, so
//      an entry another process wrote under the tables lock is neither missed
//      nor overwritten.
//   4. A multi-user session that leaves with a transaction open rolls it back
//      first: its slot may be taken by the next session, which must not
//      inherit its pages or table locks.
//
// States:
//
//   closed --ConnectSession (first; OpenDatabase)--> open
//   open --DisconnectSession (last; CloseDatabase)--> closed
//   closed --CreateDatabase--> closed (a new file written and closed)
//   any --FreeIfUnused with no session--> destroyed
//
// Every public method takes the database critical section (Lock) itself, so
// a caller may hold it or not; the page manager shares that section and
// requires it of everyone who reaches it directly. Requires, for the state
// accessors and what they return: the database critical section.
//
// Error codes: 20129-20131 table-list calls without a table list, 20210/20211
// tables lock, 20233 multi-user commit whose table locks failed, 20235 single-
// and multi-user sessions mixed, 20520 table names without a table list,
// 20521 next object ID of a closed database, 20522 table-list entry added
// without a table list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/core/VLMBaseEngine.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineLocks.h"

class TVLMBaseSession;
class TVLMCursor;

// ------------------------------------------------------- TVLMDiskDatabaseData

class TVLMDiskDatabaseData : public TVLMDatabaseData {
public:
  TVLMDiskDatabaseData();
  // Frees the table data, then closes the file without asking for
  // uncommitted pages (a destructor does not raise).
  ~TVLMDiskDatabaseData() override;

  // ---- configuration: set before the first connection or CreateDatabase ----
  // (DatabaseFileName and ReadOnly are the base's.)
  TVLMPasswordRecord PasswordRecord;
  // Session slots of a new file; after opening, the capacity of the file.
  int32_t MaxSessions = 500;
  // Geometry of a new file; after opening, the file's.
  int32_t PageSize = 4096;
  int32_t ExtentSize = 8;
  // The multi-user session name the registry tells databases apart by.
  std::string MultiUserSessionName;
  // The engine's design-time mode: the file is opened per operation, and
  // failures to free a session slot at disconnection are ignored.
  bool OpenPerOperation = false;

  // ---- virtual operations of TVLMDatabaseData, in slot order ----

  // The first connection opens the file and sets the session's NeedsRepair
  // and MultiUser from it. A session whose MultiUser differs from the
  // database's: 20235. Multi-user: the first free session slot; single-user:
  // session 0, and the whole sessions file is locked by the first such
  // session, or the database becomes read-only when another process holds
  // any slot.
  void ConnectSession(TVLMBaseSession* session) override;
  // Frees the session's slot (or the single-user lock of the last session),
  // removes it, and closes the database after the last one. A session that
  // is not connected changes nothing but the list.
  void DisconnectSession(TVLMBaseSession* session) override;
  // The names in the table list; 20520 when the database is not open.
  void GetTableNames(qv::StringList& list) override;
  // Writes a new empty database file (DatabaseFileName, PasswordRecord,
  // PageSize, ExtentSize, MaxSessions) and closes it again.
  void CreateDatabase() override;
  // A new TVLMDiskTableData named as the cursor's table, in TableDatas.
  TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) override;
  // The next object ID of the file; 20521 when it is not open.
  int32_t NextObjectID() override;
  // The session's pages are written (and flushed when flushBuffers). In
  // multi-user mode every table the session changed is locked for the commit
  // first; when that fails nothing is written: 20233.
  void Commit(int32_t sessionID, bool flushBuffers) override;
  // Multi-user: the session's transaction locks go; then the session's pages
  // are discarded and its cursors refreshed.
  void Rollback(int32_t sessionID) override;
  void FlushBuffers() override;

  // ---- opening and closing ----

  // Opens the file for session (its MultiUser flag; exclusive), with the
  // system directory, sessions file, table list and lock manager.
  // needsRepair: the file was not closed cleanly or is of an older format. A
  // failure closes everything opened so far.
  void OpenDatabase(TVLMBaseSession* session, bool exclusive, bool& needsRepair);
  // Raises 20097 when a session has uncommitted pages and 20201 when a
  // session still holds table locks (both before anything is freed); else
  // frees the internal structures and closes the file.
  void CloseDatabase();
  bool IsOpen() const { return PageManager_ != nullptr; }

  // ---- table list (used by the disk table data) ----

  void AddTable(int32_t tableID, const std::string& tableName, int32_t metaDataFirstPage,
                int32_t mostUpdatedFirstPage, int32_t locksFirstPage);
  // A name that is not listed raises the table list's 30396.
  void GetTableInfo(const std::string& tableName, int32_t& tableID, int32_t& metaDataFirstPage,
                    int32_t& mostUpdatedFirstPage, int32_t& locksFirstPage);
  void DeleteTableEntry(const std::string& tableName);
  void RenameTableEntry(const std::string& oldName, const std::string& newName);
  // The tables lock (above), tried DatabaseLockTries times
  // DatabaseLockDelayMs apart: 20210 "Database tables are locked". Unlock:
  // 20211 "Cannot unlock database tables".
  void LockDatabaseTables();
  void UnlockDatabaseTables();

  // ---- other services ----

  // Cuts the file after its last used page.
  void ShrinkFile();
  TVLMPasswordRecord* GetPasswordRecord() { return &PasswordRecord; }
  bool IsEncrypted();
  // While set, record pages are trusted without their validity test.
  bool GetFreeSpaceManagerFlag();
  void SetFreeSpaceManagerFlag(bool value);

  // ---- state ----

  // nullptr while closed.
  TVLMDiskPageManager* DiskPageManager() const { return PageManager_.get(); }
  TVLMDatabaseTableLockManager* TableLockManager() const { return TableLockManager_.get(); }
  TVLMActiveSessionsFile* SessionsFile() const { return SessionsFile_.get(); }
  // A single-user connection holds every byte of the sessions file.
  bool IsExclusiveLocked() const { return ExclusiveLocked_; }

protected:
  void CommitPages(int32_t sessionID) override;
  void RollbackPages(int32_t sessionID) override;

private:
  void FreeStructures();
  TVLMTableListFile& TableList(int32_t errorCode);
  bool IsConnected(const TVLMBaseSession* session) const;

  std::unique_ptr<TVLMDiskPageManager> PageManager_;
  std::unique_ptr<TVLMSystemDirectory> SystemDirectory_;
  std::unique_ptr<TVLMActiveSessionsFile> SessionsFile_;
  std::unique_ptr<TVLMTableListFile> TableListFile_;
  std::unique_ptr<TVLMDatabaseTableLockManager> TableLockManager_;
  bool ExclusiveLocked_ = false;
  int32_t TablesLockCount_ = 0;
};
