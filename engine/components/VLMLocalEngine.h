// VLMLocalEngine: the local engine, through which the components reach the
// storage engines.
//
//   registry          VLMFindDatabaseData / VLMCreateDiskDatabaseData /
//                     VLMGetDatabaseData over VLMOpenDatabaseList(): every
//                     session of the process that names the same file (with
//                     the same multi-user session name) shares one database
//                     data; "MEMORY" and "TEMP" name the runtime's two
//   TVLMLocalSession  one connection of a database component: connection
//                     parameters, connect and password check, transactions
//   TVLMLocalCursor   the one concrete engine cursor: one open table seen by
//                     one dataset, query operator or index fill
//   TVLMCursorBLOBStream  a BLOB field of the cursor's record, opened for
//                     the dataset
//
// Parts and their source files:
//   VLMLocalEngine.cpp        registry, local session
//   VLMLocalEngineCursor.cpp  cursor: tables, opening, buffers, navigation,
//                             indexes, filters, locates
//   VLMLocalEngineWrite.cpp   cursor: edit, post, delete, locks, BLOB streams,
//                             implicit transactions
//
// Record buffer (D = RecordDataSize; VLMBase.h has the field layout):
//
//   0            (FieldCount + 7) div 8 null-bitmap bytes, bit set = null
//   FirstField   the fields at their definitions' offsets
//   D            6-byte bookmark {u32 page, u16 row}, written by the dataset
//   D + 6        flag byte (kVLMRecordInserted after an insert)
//
// Locks, outermost first: the list lock of VLMOpenDatabaseList() (registry,
// connect, disconnect), then the database critical section (every table
// operation of a cursor; LockTableData), then the table and record locks of
// the disk engine between processes. A wait for a table lock of another
// process releases the database critical section while it sleeps.
//
// Write results (ResultCode, never raised by the cursor; the dataset raises
// EVLMEngineError through VLMCheckEngineError): 0 done; -1/-2/-3 insert,
// update, delete refused by the table data; -4/-5 the record was changed and
// -6/-7 deleted by another process since it was read (update/delete); -8 the
// autoincrement fill or the constraint check raised (ResultText: its
// message); -9/-10 update/delete in a temporary table; -12 record locked; -13
// table locked. A write that ends with a code wrote nothing.
//
// States of a cursor:
//
//   closed --OpenTable--> open --CloseTable--> closed
//   closed --AttachTableData--> attached (reads only; not in the table's
//            cursor list) --CloseTable--> closed
//   CreateTable, DeleteTable, EmptyTable and RenameTable close the cursor
//   first and leave it closed.
//
// Error codes: the design's, and 10770 table operation of a cursor whose
// session has no database data, 20550 "MEMORY" or "TEMP" while the runtime is
// down.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/VLMMainDatabase.h"
#include "engine/core/VLMBase.h"
#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMSecurity.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTableData.h"

class TVLMDiskDatabaseData;
class TVLMDiskTableData;
class TVLMTableData;
class TVLMLocalSession;

// ---------------------------------------------------------------- registry

// Whether data is the database session names: "MEMORY" and "TEMP" by that
// file name (upper-cased); a file by its exact file name (no path
// normalisation: two spellings of one path are two databases) and the
// multi-user session name compared upper-cased.
bool VLMIsSameDatabase(const TVLMLocalSession& session, TVLMDatabaseData& data);
// Under the list's lock: the first listed database data of the session,
// nullptr when none.
TVLMDatabaseData* VLMFindDatabaseData(const TVLMLocalSession& session);
// Under the list's lock: a new disk database data set up from the session
// (file name, read-only, maximum connections, a copy of its password record,
// page and extent size, multi-user session name; opened per operation while
// VLMDesignMode is set), listed.
TVLMDiskDatabaseData* VLMCreateDiskDatabaseData(const TVLMLocalSession& session);
// Under the list's lock: VLMFindDatabaseData, else (for a file) a new disk
// database data set up from the session and listed. "MEMORY" or "TEMP" not
// listed: 20550 "Database Engine is not initialized".
TVLMDatabaseData* VLMGetDatabaseData(const TVLMLocalSession& session);

// ------------------------------------------------------ commit changes

// TVLMFileChanges (what the last commit changed in the file) is declared
// with the database component (VLMMainDatabase.h), which hands it out.
// Closes the table of every cursor of session that has a table of data open
// (each cursor can open it again later), under the database critical
// section. A close that raises is passed on after the others were closed.
void VLMCloseSessionTables(TVLMDatabaseData& data, const TVLMBaseSession* session);

// ---------------------------------------------------------- local session

class TVLMLocalSession : public TVLMBaseSession {
public:
  TVLMLocalSession() = default;
  // Disconnects a session still connected (one whose connect failed on the
  // password check, say), so that no database data keeps it listed; the
  // tables its cursors still have open are closed first (CloseTables).
  ~TVLMLocalSession() override;

  // ---- virtual operations, in slot order ----

  // DatabaseData is set.
  bool GetConnected() override { return DatabaseData != nullptr; }
  // Under the list's lock. True: the database data (found or made) connects
  // the session; a failed connect leaves no unused disk database data behind
  // and the session disconnected. Then ReadOnly from the database; for an
  // encrypted file whose database data holds a password the session's must
  // equal it: 20298 "Database password is invalid." (the session stays
  // connected: the caller disconnects it); then the password record, page
  // size, extent size and maximum connections are the database's. False:
  // refused with 20610 while a cursor of this session has a table of the
  // database open (the last session's disconnect would free the page manager
  // that table reads through); else the database data disconnects the
  // session and, when no session is left on a disk database data, it is
  // freed ("MEMORY" and "TEMP" never are).
  void SetConnected(bool value) override;
  // The free-space flag of a connected disk database; false otherwise.
  bool GetSessionOption() override;
  void SetSessionOption(bool value) override;
  // Writes a new database file: 20092 "Cannot create database. Database is
  // already open" when the registry has it.
  void CreateDatabase() override;
  void ReservedOperation1() override {}
  void ReservedOperation2(const std::string&) override {}
  // Of the connected database; a session that is not connected asks the
  // database data the registry has or makes for it without keeping it (a
  // disk one made only for this is freed again).
  void GetTableNames(qv::StringList& list) override;
  bool TableExists(const std::string& tableName) override;
  void StartTransaction() override { InTransaction = true; }
  // 20229 outside a transaction; else the database data commits / rolls back
  // the session's changes and the transaction ends.
  void Commit(bool flushBuffers) override;
  void Rollback() override;
  void FlushBuffers() override;

  // ---- non-virtual ----
  TVLMPasswordRecord* GetPasswordRecord() { return &PasswordRecord; }
  // Cuts a connected disk database's file after its last used page.
  void ShrinkFile();
  // What the last commit of the connected disk database changed in its
  // file; false (changes untouched) for another database, or before any
  // commit of its open wrote the file.
  bool LastCommitChanges(TVLMFileChanges& changes);
  // Starts the chain of changes of the connected disk database at its file
  // as it stands (TVLMDiskPageManager::StartChangeChain): the next commit's
  // changes are then Complete. False for another database, or a file this
  // connection does not write alone.
  bool StartChangeChain();
  // Closes the table of every cursor of this session that has one of the
  // connected database open (each cursor can open it again later). A close
  // that raises is passed on after the others were closed.
  void CloseTables();
  // The name of a table a cursor of this session has open; "" when none.
  std::string OpenTableName();

  // ---- state ----
  // The database data in use; nullptr while disconnected.
  TVLMDatabaseData* DatabaseData = nullptr;
  TVLMPasswordRecord PasswordRecord;
  // Geometry of a file the session creates.
  int32_t PageSize = 4096;
  int32_t ExtentSize = 8;

private:
  // Runs operation on the database data of the session: the connected one,
  // or one the registry has or makes (freed again when made only for this).
  template <class Operation>
  auto WithDatabaseData(Operation operation);
};

// -------------------------------------------------------- BLOB stream

// What OpenBlob hands out: the stream the table data opened on one BLOB field
// of the cursor's record (owned), with the open mode and table field it was
// opened for. A read-only stream (mode 1) refuses SetSize (10116) and Write
// (10115) "Cannot write to read only stream". Modified is set by a write of
// at least one byte and by SetSize.
class TVLMCursorBLOBStream : public TVLMStream {
public:
  static constexpr uint8_t kOpenWrite = 0;
  static constexpr uint8_t kOpenRead = 1;
  static constexpr uint8_t kOpenReadWrite = 2;

  TVLMCursorBLOBStream(std::unique_ptr<qv::Stream> inner, uint8_t openMode, int32_t fieldNo);
  ~TVLMCursorBLOBStream() override;

  void SetSize(int64_t newSize) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  int64_t GetSize() override;

  // The table data's stream, which it takes back to store the value.
  qv::Stream& Inner() const { return *Inner_; }
  bool IsWritable() const { return OpenMode != kOpenRead; }

  bool Modified = false;
  const uint8_t OpenMode;
  // The table field.
  const int32_t FieldNo;
  // The dataset's stream over this one, which owns it: freed with it by
  // CloseBlob and FreeBlobStreams. Its destructor clears this reference
  // before it closes the BLOB through the cursor. Not owned here otherwise.
  qv::Stream* Owner = nullptr;

private:
  std::unique_ptr<qv::Stream> Inner_;
};

// ------------------------------------------------------------ local cursor

class TVLMLocalCursor : public TVLMCursor {
public:
  TVLMLocalCursor() = default;
  // Closes the table.
  ~TVLMLocalCursor() override;

  // ---- the 48 virtual operations, in slot order ----

  // The table (dropped first when it exists) with the definitions; the
  // cursor stays closed. No table data: 20151 "Pointer is nil".
  void CreateTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs, TVLMConstraintDefs* constraintDefs) override;
  // Missing table: 20132 "Table '%s' not found" (a table data that cannot be
  // had: 10027). The session's named objects of its fields go.
  void DeleteTable() override;
  // Missing table: 20133 / 10073.
  void EmptyTable() override;
  // Missing table 20134; newName naming another table 30451 "Table %s
  // already exists"; the same name exactly 30452 "Cannot rename table '%s'
  // into itself" (another letter case renames); 10151 without a table data.
  void RenameTable(const std::string& newName) override;
  // The table's field definitions and the layout numbers (record buffer D + 7
  // bytes, key buffer D + 6); the cursor's list too unless a projection is
  // set; the constraint copy.
  void InitFieldDefs() override;
  // Opens the table (nothing when open). A missing table of a disk database
  // is opened from the file; of "MEMORY" or "TEMP" it is 10028 "Table not
  // found, table name = %s", except in DesignMode, where it is made with the
  // definitions given (and dropped again by CloseTable).
  void OpenTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs, TVLMConstraintDefs* constraintDefs) override;
  void CloseTable() override;
  // The database critical section; no table data: 10260 / 10261 "Nil pointer
  // occured".
  void LockTableData() override;
  void UnlockTableData() override;
  // Table locks of a disk table in multi-user mode; true at once otherwise.
  // No table data: 20221 / 20222 "Pointer is nil".
  bool LockTable(uint8_t lockType, int32_t tries, int32_t delay, bool flag) override;
  bool UnlockTable(uint8_t lockType, bool flag) override;
  void RenameField(const std::string& oldName, const std::string& newName) override;
  // The index copy, refreshed from the table.
  TVLMIndexDefs* GetIndexDefs() override;
  // A name in the copy: 20022 "Cannot create index '%s'. Index already
  // exists".
  void CreateIndex(TVLMIndexDef& indexDef) override;
  // A name not in the copy: 20021 "Cannot delete index '%s'. Index not
  // found".
  void DeleteIndex(const std::string& name) override;
  void DeleteAllIndexes() override;
  // A projected field name stands for the table field behind it.
  void GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                         const qv::StringList& caseOptions, std::string& indexName, bool& created) override;
  bool FindIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                          const qv::StringList& caseOptions) override;
  // Field fieldNo of this cursor's current record into field destFieldNo
  // (dest's own list) of dest's: 10501 / 10502 "Invalid field number". Bytes
  // when both have the same base type and size, BLOB values through the two
  // table data, anything else through a value cast to the destination type.
  void CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMCursor* dest, int32_t destFieldNo) override;
  // Every field null, the field area zero; with applyDefaults (not in a
  // temporary table) the table's default values.
  void InitRecordBuffer(uint8_t* buffer, bool applyDefaults) override;
  // What the table data keeps for the buffer's record goes, then the buffer.
  void FreeRecordBuffer(uint8_t*& buffer) override;
  int64_t GetRecordCount() override;
  // kVLMNavOK, kVLMNavBOF, kVLMNavEOF or kVLMNavError; the record is in
  // RecordBuffer (its bookmark is the dataset's to write).
  uint8_t GetRecord(uint8_t mode) override;
  void SetRecNo(int64_t recNo) override;
  int64_t GetRecNo() override;
  // -1, 0 or 1: under an index the two records' keys (a bookmark whose
  // record cannot be read comes first), then page and row.
  int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) override;
  void SetToBegin() override;
  void SetToEnd() override;
  void PrepareInsert() override {}
  void Edit() override;
  void Cancel(bool inserting) override;
  void Post(bool inserting) override;
  void DeleteRecord() override;
  bool IsRecordLocked() override;
  void SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                        const qv::StringList& caseOptions) override;
  void SetFilter(const std::string& text, bool caseInsensitive, bool partialCompare) override;
  void ClearFilter() override;
  bool Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
              bool partialKey) override;
  bool GotoKey(uint8_t mode) override;
  bool LocateByCondition(const std::string& fieldName, uint8_t comparison, const TVLMVariant& value) override;
  // A stream over BLOB field fieldNo (the cursor's list) of the current
  // record, kept in BlobStreams; nullptr when a multi-user table lock or the
  // re-read of a browsed record fails. A browsed record is read again in
  // place without moving the cursor (its next step goes on from the record
  // as its step read it); one another connection deleted (SameRow) gives
  // an empty value and leaves the buffer as it was. 10110 field number,
  // 10115 "BLOB field already opened. FieldNo = %d, FieldName = %s" for a
  // second writable stream of one field.
  qv::Stream* OpenBlob(bool isInsert, bool isEdit, int32_t fieldNo, uint8_t openMode, bool isBrowse) override;
  // Every stream of the field: written into the record buffer when writable,
  // then freed with its owner. 10118 field number.
  void CloseBlob(int32_t fieldNo) override;
  // Every stream (onlyWritable: the writable ones) closed as CloseBlob does,
  // through its owner when it has one.
  void FreeBlobStreams(bool onlyWritable) override;
  int64_t GetLastAutoincValue(int32_t fieldNo) override;
  void RaiseAutoincValue(int32_t fieldNo, int64_t value) override;
  void BeginImplicitTransaction() override;
  void CommitImplicitTransaction() override;
  void RollbackImplicitTransaction() override;
  // The record buffer against the table's constraints (old record: the
  // OldRecordBuffer); false for a violation, nothing raised.
  bool CheckConstraints(bool isInsert) override;

  // ---- non-virtual ----

  // Reads the records of a table data the caller holds (an index fill):
  // field definitions and layout as InitFieldDefs makes them, natural order,
  // at the beginning; the table's cursor list is not joined.
  void AttachTableData(TVLMTableDataBase* tableData);
  // The open table data (nullptr while closed).
  TVLMTableData* Table() const;

  // ---- state ----
  // The session's database data, taken again by every table-level operation.
  TVLMDatabaseData* DatabaseData = nullptr;
  std::vector<std::unique_ptr<TVLMCursorBLOBStream>> BlobStreams;

private:
  // Closes the cursors of table that are open only because a statement
  // keeps them between its runs (their ReleaseIdle is set): this cursor
  // wants the table alone (exclusive open or lock, delete, empty, rename,
  // index changes). The table data may go with the last of them.
  static void ReleaseIdleCursors(TVLMTableDataBase* table);
  // The session's database data (10770 when it has none).
  TVLMDatabaseData* SessionDatabase();
  int32_t SessionIDOf() const;
  bool SessionInTransaction() const;
  bool SessionMultiUser() const;
  bool IsTemporaryTable() const;
  // The table as a disk table (nullptr for the other engines).
  TVLMDiskTableData* DiskTable() const;
  // A disk table of a multi-user session: the one case of table and record
  // locks.
  TVLMDiskTableData* LockingTable() const;
  // Calls attempt up to tries times; between two calls the database critical
  // section is left while the cursor sleeps delayMs.
  bool RetryReleasingTableData(int32_t tries, uint32_t delayMs, const std::function<bool()>& attempt);
  // The table lock of type (tries and delays of edits) and the record lock
  // of the buffer's bookmark: 0, -13 (nothing held) or -12 (the table lock
  // given back).
  int32_t LockTableAndRecord(TVLMDiskTableData& disk, uint8_t type);
  // After a disk table data was changed without the cursor: freed when no
  // cursor has it open, so the next open reads it from the file.
  void FreeUnusedDiskTable(TVLMTableData* table);
  // The table of the cursor: nil raises code.
  TVLMTableData& RequireTable(int32_t code, const char* text) const;
  // The index and constraint copies from the table.
  void RefreshIndexDefs();
  void RefreshConstraintDefs();
  // Projected field names replaced by the table fields behind them.
  qv::StringList TableFieldNames(const qv::StringList& fieldNames) const;
  // Whether the record at bookmark can be read into buffer (position saved
  // and restored by the caller).
  bool ReadAt(const TVLMRecordID& recordID, uint8_t* buffer);
  // The stored record at the buffer's bookmark read into a copy of the
  // current buffer: 0 found, 3 gone; the copy (to free) in reread.
  uint8_t Reread(uint8_t*& reread);
  void PostBody(bool inserting);
  // Step 3 of OpenBlob: the checks, the table data's stream, kept.
  qv::Stream* OpenBlobStream(int32_t fieldNo, uint8_t openMode);
  // A read-only stream over an empty value of field fieldNo, kept in
  // BlobStreams (a browsed record that is gone).
  qv::Stream* EmptyBlobStream(int32_t fieldNo);
  // Whether stored (read at the address of the record buffer's bookmark)
  // is the row the buffer holds: the same primary key when the table has a
  // primary index (the slot of a deleted row may hold another now), else
  // the same address.
  bool SameRow(const uint8_t* stored);
  void DeleteBody();
  // Closes the stream at index: written back when writable, its owner freed,
  // removed from BlobStreams.
  void CloseBlobAt(size_t index);

  // Set by AttachTableData: the table data is the caller's, never opened.
  bool Attached_ = false;

  // The condition of the last Locate, kept for the next one over the same
  // fields with the same options and kinds of key value: only the key
  // values change (VLMLocalEngineCursor.cpp). Dropped with the fields.
  struct LocateCondition;
  struct LocateConditionDeleter {
    void operator()(LocateCondition* condition) const;
  };
  std::unique_ptr<LocateCondition, LocateConditionDeleter> LocateCondition_;
  // The kept condition with the key values of keyValues, or a new one built
  // and kept.
  TVLMExpression& LocateConditionFor(const std::string& fieldNames, const qv::HostVariant& keyValues,
                                     bool caseInsensitive, bool partialKey);
};

// The database critical section of a cursor's table for a scope. The
// section taken is the one left, also when the cursor lets go of its table
// inside the scope, so the destructor never raises.
class TVLMTableDataScope {
public:
  explicit TVLMTableDataScope(TVLMLocalCursor& cursor) {
    cursor.LockTableData();
    Section_ = &cursor.Table()->DatabaseData->CriticalSection();
  }
  ~TVLMTableDataScope() { Section_->unlock(); }
  TVLMTableDataScope(const TVLMTableDataScope&) = delete;
  TVLMTableDataScope& operator=(const TVLMTableDataScope&) = delete;

private:
  qv::RecursiveMutex* Section_;
};
