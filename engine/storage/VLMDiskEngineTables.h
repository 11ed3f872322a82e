// VLMDiskEngine, database and table part: TVLMDiskDatabaseData, the open
// database file of the disk engine shared by every session and table of that
// file, and TVLMDiskTableData, one open table of it.
//
// Parts and their source files:
//   VLMDiskEngineDatabase.cpp   TVLMDiskDatabaseData
//   VLMDiskEngineTables.cpp     TVLMDiskTableData: lifecycle, table files,
//                               table and record locks
//   VLMDiskEngineTableRecords.cpp TVLMDiskTableData: records, record numbers,
//                               BLOB calls, the multi-user read wrappers
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
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/VLMBLOBStream.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTableData.h"
#include "engine/storage/VLMDiskEngine.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineLocks.h"

class TVLMBaseSession;
class TVLMCursor;
class TVLMDiskFileCheck;

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

  // The first connection opens the file and sets the session's NeedsRepair,
  // RolledBackOnOpen and MultiUser from it. A session whose MultiUser differs from the
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
  // Other connections may commit to the file while this one reads it:
  // multi-user, or single-user let in read-only because another connection
  // holds the file. Such a connection reads as a sharing reader does (every
  // read checks the file's commit mark); a single-user one, whose holder
  // may take no table locks, makes its locked reads under the database
  // lock, which every commit holds.
  bool ReadsShared() const { return MultiUser || LetInReadOnly_; }
  bool IsLetInReadOnly() const { return LetInReadOnly_; }

  // A table's definitions as a session last read them from its metadata
  // file (decompressed), with the file's commit mark and this process's
  // view version then: a table opened again while neither moved (no commit
  // reached the file, this process wrote, committed and rolled back nothing)
  // takes them from here instead of reading and decompressing the file.
  // Keyed by the metadata file's first page and the session.
  struct TMetaDataCopy {
    std::vector<uint8_t> Bytes;
    uint32_t Mark = 0;
    uint64_t View = 0;
  };
  std::map<std::pair<int32_t, int32_t>, TMetaDataCopy> MetaDataCopies;

protected:
  void CommitPages(int32_t sessionID) override;
  void RollbackPages(int32_t sessionID) override;

private:
  // The whole-file check (VLMDiskEngineCheck.cpp) opens the page manager
  // read-only itself, without sessions, and loads tables without cursors.
  friend class TVLMDiskFileCheck;
  // One open of the file (OpenDatabase tries again after a 10974).
  void OpenDatabaseFile(TVLMBaseSession* session, bool exclusive, bool& needsRepair);
  void FreeStructures();
  TVLMTableListFile& TableList(int32_t errorCode);
  bool IsConnected(const TVLMBaseSession* session) const;

  std::unique_ptr<TVLMDiskPageManager> PageManager_;
  std::unique_ptr<TVLMSystemDirectory> SystemDirectory_;
  std::unique_ptr<TVLMActiveSessionsFile> SessionsFile_;
  std::unique_ptr<TVLMTableListFile> TableListFile_;
  std::unique_ptr<TVLMDatabaseTableLockManager> TableLockManager_;
  bool ExclusiveLocked_ = false;
  bool LetInReadOnly_ = false;
  int32_t TablesLockCount_ = 0;
};

// ---------------------------------------------------------- TVLMDiskBlobStream

// The stream OpenBlob hands out: one BLOB value (a TVLMCompressedBLOBStream
// with the field's block size and compression) over a temporary stream that
// holds its stored bytes. SaveBlobStream takes the stored bytes and the
// value's descriptor back from it.
class TVLMDiskBlobStream : public TVLMStream {
public:
  // truncate: an empty value, to be written anew; otherwise the value inner
  // holds (rewound), as descriptor describes it.
  TVLMDiskBlobStream(std::unique_ptr<TVLMTemporaryStream> inner, const TVLMBLOBDescriptor& descriptor, bool truncate);
  ~TVLMDiskBlobStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  int64_t GetSize() override;

  TVLMTemporaryStream& Stored() const { return *Inner_; }
  const TVLMBLOBDescriptor& Descriptor() const;

private:
  std::unique_ptr<TVLMTemporaryStream> Inner_;
  std::unique_ptr<TVLMCompressedBLOBStream> Value_;
};

// ---------------------------------------------------------- TVLMDiskTableData

class TVLMDiskBlobManager;
class TVLMDiskRecordManager;
class TVLMTemporaryPageManager;

// One open table of a disk database, shared by every cursor that has it open.
// Its stored parts:
//
//   table-list entry   ID, first pages of the three files below
//   TableLocks         direct file (page type 7) of the table's lock bytes
//   TableMetaData      transacted file (type 8), written whole, compressed
//                      (ZLIB, mode 1): field definitions, index definitions,
//                      constraint definitions (each its stream form), u32 root
//                      of the record-page index, u32 root of the BLOB page
//                      index
//   TableMostUpdated   transacted file (type 9), written whole, plain, after
//                      every change of records or counters:
//                        0        i32 n, the autoincrement counters
//                        4        n x i64 counters, field order
//                        4 + 8n   u32 change stamp of the record manager
//                        8 + 8n   u32 record count (low 32 bits)
//   pages              record pages (10), BLOB pages (11) and index pages
//                      (12), each carrying the table's ID
//
// Invariants:
//   1. Table-list changes (create, delete, empty, rename) and table opens run
//      under the database's tables lock; CreateTable and DeleteTable write
//      all their pages in one commit of session -2, so the table exists
//      whole or not at all.
//   2. Every change of records commits TableMostUpdated with the records it
//      counts (the same commit), unless the cursor or its transaction holds
//      the commit back.
//   3. In multi-user mode every read of records runs under a table lock of
//      type 1 and starts from counters read again from TableMostUpdated, and
//      every write reads them again first.
//   4. The table lock a cursor takes when it opens the table (type 0, or 6
//      exclusively) is held until it closes it.
//   5. The managers exist exactly while cursors have the table open (or
//      during CreateTable); the last cursor's CloseTable frees them.
//   6. The first cursor takes its table lock before the definitions are
//      read, so they are the file's for as long as any cursor of this
//      process has the table open: every change of them (an index made or
//      dropped, ALTER TABLE, TRUNCATE, DROP) needs the table alone. Each
//      such load begins a new epoch of the pages cache, so no cached page
//      is trusted on a stamp of an earlier open period.
//   7. A record write (InsertRecord, UpdateRecord, DeleteRecord, with the
//      commit that ends it) stands whole or leaves nothing behind: one that
//      raises or fails takes back every page it changed (the session's
//      write mark, VLMPage.h invariant 9, on the table's pages and on those
//      of its temporary indexes), reads the counters again and gives the
//      cursor its record buffer and position back, so that nothing of it
//      reaches a later commit and the same record may be posted again.
//   8. A multi-user read of the table (the read wrappers, the counters
//      loaded, the first open, BLOB values) reads what the last finished
//      commit left: over another connection's cut commit it is refused
//      with 10741 (VLMDiskEngine.h invariant 11), checked before the read
//      trusts the file and again when a read met an unexpected commit mark
//      or failed.
//   9. A repair-mode open (RepairMode) reads through damage that holds no
//      data of the table and writes what it mends before the table is
//      used: a lock file that cannot be opened is made anew (it holds only
//      the lock bytes of sessions that are gone), a counters file that
//      cannot be read too (the rebuild of the page index counts the rows
//      again), and a definitions page whose header alone is damaged is
//      written back with its header set right. The old pages of a file made
//      anew are left as they are: the table list that named them may be
//      what is damaged, and they may belong to another structure. Where the
//      definitions themselves cannot be read the open raises 10920, which
//      names the table and the page; it never goes on without them.
//
// States:
//
//   closed --OpenTable (first cursor)--> open --CloseTable (last)--> closed
//   closed --CreateTable--> closed (the stored table exists)
//   closed --DeleteTable | EmptyTable | RenameTable--> closed (each opens and
//            closes the table exclusively for the cursor it is given)
//   closed --FreeIfUnused--> destroyed
//
// Locks: every slot and every table or record lock call takes the database
// critical section (the table's Lock) itself, so a caller may hold it or
// not. Requires, for the table-file operations (CreateFiles .. CheckAndRepair,
// FreeIfUnused), the record-number conversions and the state accessors: the
// database critical section, checked in debug builds.
//
// Error codes: 20128 no fields, 20135-20139 records without a record manager
// or buffer, 20149 BLOB block size 0, 20164 TableMostUpdated too large, 20176
// TableMostUpdated missing, 20208/20209 table locks at open, 20214-20220
// read wrappers whose type-1 lock failed, 20242 exclusive open of an open
// table, 20248 negative BLOB size, 10512 repair of a page index for records
// larger than a page, 10920 definitions a repair-mode open cannot read
// (invariant 9), 10720 TableMostUpdated contents that cannot be, 10721
// TableMetaData contents that cannot be, 10722 BLOB stream that OpenBlob did
// not make, 10723 BLOB call for a field that is not a BLOB field; "Pointer
// is nil" for a call while the table is not open: 20523-20527 LockTable,
// UnlockTable, LockRecord, UnlockRecord, IsRecordLocked, 20528-20530
// GetRecordNoLimit, RecordIDToRecordNo, RecordNoToRecordID, 20531-20533
// InternalSetRecNo, InternalGetRecNo, InternalGetRecordCount, 20534
// GetLastAutoincValue, 20535-20538 SaveBlobStream, GetBlobData,
// SetBlobData, OpenBlob.
class TVLMDiskTableData final : public TVLMTableData {
public:
  explicit TVLMDiskTableData(TVLMDiskDatabaseData* databaseData);
  // Frees what a table left open still holds; the database data has taken
  // the object out of its list.
  ~TVLMDiskTableData() override;

  // ---- slots of TVLMTableData: lifecycle ----

  // A new TVLMDiskRecordManager over the field definitions.
  void CreateRecordManager() override;
  // Each makes its manager anew, then runs the base operation; constraints
  // of kind 0, 2, 3 and 4 (CHECK) are accepted.
  void SetFieldDefs(TVLMFieldDefs& fieldDefs) override;
  void SetIndexDefs(TVLMIndexDefs& indexDefs) override;
  void SetConstraintDefs(TVLMConstraintDefs& constraintDefs) override;
  // The base's commit or rollback (unless skip), then the temporary indexes'
  // pages of the session.
  void Commit(int32_t sessionID, bool skip) override;
  void Rollback(int32_t sessionID, bool skip) override;
  // A session's pages reach the file only at its commit.
  bool KeepsRollback() const override { return true; }
  // No fields: 20128. The whole stored table in one commit of session -2.
  void CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                   TVLMConstraintDefs& constraintDefs) override;
  // Each opens the table exclusively for the cursor (which must not have it
  // open) and closes it again.
  void DeleteTable(TVLMCursor* cursor, bool force) override;
  void EmptyTable(TVLMCursor* cursor) override;
  // The table-list entry is renamed; TableName stays (the cursor closes).
  void RenameTable(const std::string& newName, TVLMCursor* cursor) override;
  // The first cursor loads the table; every cursor takes its table lock
  // (type 6 exclusive, else 0). 20242 / 20208 / 20209.
  void OpenTable(TVLMCursor* cursor) override;
  void CloseTable(TVLMCursor* cursor) override;
  void RenameField(const std::string& oldName, const std::string& newName) override;
  void CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor) override;
  void DropIndex(int32_t indexID, TVLMCursor* cursor) override;
  void RefreshSessionCursors(int32_t sessionID) override;

  // ---- slots of TVLMTableData: records (VLMDiskEngineRecords.cpp) ----

  // GetRecordNoLimit: the bit count of record bitmaps.
  int64_t GetRecordCount(int32_t sessionID) override;
  // page x records per page + slot, and the reverse.
  int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) override;
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) override;
  void ReleaseRecordBlobs(uint8_t* record) override;
  // The read wrappers (invariant 3): a type-1 lock that cannot be had gives
  // 3 from GetRecord and raises the code named in the class comment from the
  // others.
  uint8_t GetRecord(TVLMCursor* cursor, uint8_t mode) override;
  bool Locate(TVLMCursor* cursor, TVLMExpression* condition) override;
  bool GotoKey(TVLMCursor* cursor, uint8_t mode) override;
  // The keyed probe's reads go through the read wrapper (Read).
  bool RunRead(TVLMCursor* cursor, const std::function<void()>& body) override;
  void SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) override;
  void FreeBlob(uint8_t* record, int32_t fieldNo) override;
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) override;
  void GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                   std::vector<uint8_t>& data) override;
  void SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                   const TVLMBLOBDescriptor& descriptor) override;
  void DiscardBlob(uint8_t* record, int32_t fieldNo) override;
  // Auto-commit unless the cursor's NoAutoCommit; the cursor is positioned
  // on the new record / kept / moved to the deleted record's neighbour.
  bool InsertRecord(TVLMCursor* cursor) override;
  bool UpdateRecord(TVLMCursor* cursor) override;
  bool DeleteRecord(TVLMCursor* cursor) override;
  void SetRecNo(TVLMCursor* cursor, int64_t recNo) override;
  int64_t GetRecNo(TVLMCursor* cursor) override;
  void InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) override;
  int64_t InternalGetRecNo(TVLMCursor* cursor) override;
  int64_t InternalGetRecordCount(TVLMCursor* cursor) override;
  int64_t GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) override;
  // The counters as the file holds them, raised, saved and committed.
  void RaiseAutoincValue(TVLMCursor* cursor, int32_t fieldNo, int64_t value) override;
  // The page manager's page data size: the search compares ranges with
  // scans in pages of the file.
  uint16_t GetPageDataSize() override;

  // ---- table files ----

  void CreateFiles();
  void OpenFiles(int32_t metaDataFirstPage, int32_t mostUpdatedFirstPage, int32_t locksFirstPage);
  void FreeFiles();
  // The three files' pages are freed at session -2's commit.
  void DeleteFiles();
  void CreateBlobManager();
  // The definitions from the metadata file of first page metaDataPage (or
  // the database data's copy of them, MetaDataCopies).
  void LoadMetaData(int32_t sessionID, int32_t metaDataPage);
  void SaveMetaData(int32_t sessionID);
  // Reads the counters again unless the session has seen the table's
  // current version in its present lock period.
  void LoadMostUpdated(int32_t sessionID);
  void SaveMostUpdated(int32_t sessionID);
  // The counters in memory may no longer be what the last load or save left
  // (a write that failed half way): the next LoadMostUpdated reads them.
  void ForgetCounters() { CountersSession_ = kVLMInvalidSessionID; }
  // Repair mode: the record-page index is checked and rebuilt when it does
  // not agree with the counters or lists a page that is not one of this
  // table's record pages (or one that cannot be read). The cursor's
  // RepairLog names each page whose rows the rebuild left out. What the
  // open mended (invariant 9) is committed here.
  void CheckAndRepair(TVLMCursor* cursor);
  // Frees the table data when no cursor has it open.
  void FreeIfUnused();

  // ---- records and locks ----

  // (Last page of the record-page index + 1) x records per page; 1 without
  // record pages.
  int64_t GetRecordNoLimit(int32_t sessionID);
  // All answer true at once when the database is not multi-user. Types 1
  // and 4 are told to the pages cache.
  bool LockTable(int32_t sessionID, uint8_t lockType, int32_t tries, uint32_t delayMs, bool flag);
  bool UnlockTable(int32_t sessionID, uint8_t lockType, bool flag);
  bool LockRecord(int32_t sessionID, const TVLMRecordID& recordID, int32_t tries, uint32_t delayMs);
  bool UnlockRecord(int32_t sessionID, const TVLMRecordID& recordID);
  // True for every record in single-user mode.
  bool IsRecordLocked(int32_t sessionID, const TVLMRecordID& recordID);
  // The cached value of every BLOB field of record is freed, also modified
  // ones.
  void FreeRecordBlobs(uint8_t* record);

  // ---- configuration, from the first cursor ----
  // Temporary streams and temporary index pages stay in memory.
  bool DisableTempFiles = false;
  // The first open checks the record-page index and rebuilds it when needed.
  bool RepairMode = false;

  // ---- state ----
  TVLMDiskDatabaseData* DiskDatabase() const { return DiskDatabase_; }
  int32_t TableID() const { return TableID_; }
  bool IsOpenedExclusive() const { return OpenedExclusive_; }
  TVLMDiskRecordManager* DiskRecordManager() const;
  TVLMDiskBlobManager* BlobManager() const { return BlobManager_.get(); }
  TVLMTableLocksFile* LocksFile() const { return LocksFile_.get(); }
  TVLMInternalDBTransactedAccessFile* MetaDataFile() const { return MetaDataFile_.get(); }
  TVLMInternalDBTransactedAccessFile* MostUpdatedFile() const { return MostUpdatedFile_.get(); }
  TVLMTemporaryPageManager* TemporaryPageManager() const { return TemporaryPageManager_.get(); }
  // Multi-user reads made under the type-1 lock with the counters loaded
  // (the others ran on what the session had: ReadWrapped).
  uint64_t LockedReads() const { return LockedReads_; }

protected:
  void CommitPages(int32_t sessionID) override;
  void RollbackPages(int32_t sessionID) override;

private:
  friend class TVLMDiskFileCheck;
  // The read wrapper (VLMDiskEngineTableRecords.cpp): body alone in
  // single-user mode; in multi-user mode body as of the file's last commit
  // (ReadWrapped). False when the type-1 lock was not had.
  template <class Body>
  bool Read(TVLMCursor* cursor, bool refreshIndexes, Body&& body) {
    if (!DiskDatabase_->ReadsShared()) {
      auto guard = LockGuard();
      body();
      return true;
    }
    return ReadWrapped(cursor, refreshIndexes, body);
  }
  bool ReadWrapped(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body);
  // body under the type-1 lock with counters loaded from the file (a
  // single-user connection let in read-only: under the database lock).
  bool LockedRead(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body);
  // LockedRead's part under the lock.
  void LockedBody(TVLMCursor* cursor, bool refreshIndexes, const std::function<void()>& body);
  // The next or prior record of a cursor without restrictions in natural
  // order when it lies on the page the cursor stands on (for a multi-user
  // cursor a step of one page's batch), or, single-user, in index order when
  // the index read it ahead (TVLMIndex::StepAhead); false when the step
  // needs the general navigation (and, multi-user, a check of the file).
  bool StepInBatch(TVLMCursor* cursor, uint8_t mode, uint8_t& result);
  // The managers of an open table, made for a stored table being loaded.
  void CreateManagers();
  void FreeManagers();
  // The index manager with the page manager of the temporary indexes.
  void NewIndexManager();
  // Opens and closes the table exclusively for cursor, running body while it
  // is open (EmptyTable, DeleteTable, RenameTable).
  void WithExclusiveOpen(TVLMCursor* cursor, const std::function<void()>& body);
  // What an insert, update and delete do first, inside their write scope:
  // multi-user, the counters loaded and the temporary indexes refreshed.
  void PrepareWrite(TVLMCursor* cursor);
  void MaintainBitmapAfterWrite(TVLMCursor* cursor);
  void CommitWrite(TVLMCursor* cursor);
  // Invariant 7 around one record write (VLMDiskEngineTableRecords.cpp).
  class WriteScope;
  bool IsMultiUser() const;
  // Invariant 8: multi-user, 10741 while another connection's cut commit
  // stands beside the file; nothing in single-user mode.
  void CheckFinishedCommit();
  // A read of BLOB values under invariant 8: checked before and after (a
  // commit cut while the values were read may have changed their pages).
  void ReadValues(const std::function<void()>& body);
  // The next refresh builds every temporary index again (its pages may no
  // longer be what its stamp says).
  void MarkTemporaryIndexesStale();
  // Multi-user: the serial of the session's lock that keeps others from
  // committing to the table (0: none); 0 in single-user mode.
  uint64_t CommitExclusionSerial(int32_t sessionID) const;
  // The counters in memory are the session's view of TableMostUpdated and,
  // in multi-user mode, no other session can have committed to the table
  // since they were loaded: nothing to read again.
  bool CountersCurrent(int32_t sessionID) const;
  // What the session stamps the cached pages it reads with: this open
  // period's epoch and the change stamp in memory.
  TVLMPageStamp PageStamp() const { return {Epoch_, RecordManager->ChangeStamp}; }
  // The listed record pages that are not record pages of this table.
  bool PageIndexListsForeignPages(int32_t sessionID);
  // Repair mode (invariant 9): OpenFiles, with a lock file made anew when
  // its pages cannot be opened.
  void OpenFilesForRepair(int32_t metaDataFirstPage, int32_t mostUpdatedFirstPage, int32_t locksFirstPage);
  // Repair mode: LoadMetaData past a damaged page header (any page type;
  // TVLMDiskPageManager::MendHeaderReads for the stored CRC and cipher
  // byte); 10920 when the definitions cannot be read.
  void LoadMetaDataForRepair(int32_t sessionID, int32_t metaDataFirstPage);
  // Repair mode: the table list names the table's files as they are now,
  // committed for session -2.
  void ListTableFiles();
  // The field, when it is a BLOB field (else 10723).
  const TVLMFieldDef& BlobField(int32_t fieldNo) const;
  // What an open table has: object, or "Pointer is nil" with code.
  template <class T>
  static T& Required(T* object, int32_t code) {
    if (object == nullptr) throw EVLMException(code, "Pointer is nil");
    return *object;
  }

  TVLMDiskDatabaseData* DiskDatabase_;
  int32_t TableID_ = -1;
  std::unique_ptr<TVLMTableLocksFile> LocksFile_;
  std::unique_ptr<TVLMInternalDBTransactedAccessFile> MetaDataFile_;
  std::unique_ptr<TVLMInternalDBTransactedAccessFile> MostUpdatedFile_;
  std::unique_ptr<TVLMDiskBlobManager> BlobManager_;
  std::unique_ptr<TVLMTemporaryPageManager> TemporaryPageManager_;
  bool OpenedExclusive_ = false;
  // The open period's epoch (TVLMDiskTablePagesCacheManager::NewEpoch).
  uint64_t Epoch_ = 0;
  // Set while delete or rename open the table under the tables lock they
  // already hold.
  bool ChangingTableList_ = false;
  // A repair-mode open set page headers of the definitions right in the
  // cursor's session; CheckAndRepair commits them.
  bool MendedOnOpen_ = false;
  // The record manager's change stamp as last written or read; -1 before.
  int64_t LastChangeStamp_ = -1;
  // The file's commit mark under which the counters were last loaded for
  // session CheckedSession_ (kVLMInvalidSessionID: none, or written since),
  // and the page manager's view version then (a write, commit or rollback
  // of this process since changes it).
  uint32_t CheckedMark_ = 0;
  int32_t CheckedSession_ = kVLMInvalidSessionID;
  uint64_t CheckedView_ = 0;
  uint64_t LockedReads_ = 0;
  // Reads under way and the session of the innermost: a read inside
  // another of that session runs on the outer one's check.
  int32_t ReadDepth_ = 0;
  int32_t ReadSession_ = kVLMInvalidSessionID;
  // The session whose view of TableMostUpdated the counters in memory are,
  // as of the page manager's view version CountersView_, loaded or saved
  // while the session held the lock of serial CountersSerial_ that keeps
  // others from committing to the table (multi-user; 0: none). While all
  // three still hold, no load can find anything else (CountersCurrent).
  int32_t CountersSession_ = kVLMInvalidSessionID;
  uint64_t CountersView_ = 0;
  uint64_t CountersSerial_ = 0;
  // Scratch of SaveMostUpdated and LoadMostUpdated, kept so that a write,
  // which saves and loads the counters, allocates nothing for them.
  std::vector<uint8_t> MostUpdatedBytes_;
  std::vector<int64_t> SavedAutoincValues_;
  // The cursor's record buffer and the index roots as the write under way
  // found them (WriteScope), kept so that a write allocates nothing for them.
  std::vector<uint8_t> WriteRecordCopy_;
  std::vector<int32_t> WriteIndexRoots_;
};
