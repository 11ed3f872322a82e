// The shared state of one open database and the record-buffer routines.
//
// TVLMDatabaseData is the in-memory state of one open database: its
// connected sessions, the table data of each open table, its page manager and
// the one re-entrant lock that serialises every table operation of the
// database. The disk, temporary and memory engines derive from it. Every
// database data of the process is listed in VLMOpenDatabaseList(), which the
// local engine fills and searches; a database data leaves that list when it is
// destroyed.
//
// Locks (taken in this order, never the other way round):
//   1. VLMOpenDatabaseList()'s lock: find, add, remove, connect, disconnect
//   2. a database data's Lock, the database critical section: every session,
//      table and page operation (the page manager requires it of its callers)
// Both are re-entrant on one thread. Each public method below says which lock
// its caller must hold ("Requires:"); "takes the database critical section"
// means the method enters it itself, so a caller may hold it or not.
//
// Ownership: the database data owns its table datas (TableDatas) and frees
// them when it is destroyed; an engine frees one earlier with FreeTableData.
// Sessions are not owned. FreeIfUnused frees the database data itself, so a
// database data is always made with new.
//
// Record buffer: a null bitmap of ceil(FieldCount / 8) bytes, bit
// (FieldNo mod 8) of byte (FieldNo div 8), least significant first, set =
// null; then each field's DataSize bytes at its BufferOffset. The dataset side
// exchanges field values byte for byte except for four SQL types:
//   5 SIGNEDINT8     stored i8,        exchanged i16 (sign-extended / low byte)
//   11 UNSIGNEDINT32 stored u32,       exchanged i64 (zero-extended / low 32 bits)
//   20 SINGLE        stored float,     exchanged double
//   22 EXTENDED      stored 10 bytes,  exchanged double
// An empty text written into a record buffer makes the field null.
//
// Error codes: 10000/10004 field number, 10003/10002 nil record buffer,
// 10122/10123 nil buffers of VLMCompareBuffers.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/LockContract.h"

namespace qv {
class Stream;
class StringList;
}  // namespace qv

class TVLMBaseSession;
class TVLMCursor;
class TVLMDatabaseData;
class TVLMFieldDefs;
class TVLMPageManager;

// The part of a table data that its database data reaches. TVLMTableData,
// the abstract table data of one open table, derives from it.
class TVLMTableDataBase {
public:
  explicit TVLMTableDataBase(TVLMDatabaseData* databaseData) : DatabaseData(databaseData) {}
  virtual ~TVLMTableDataBase() = default;
  TVLMTableDataBase(const TVLMTableDataBase&) = delete;
  TVLMTableDataBase& operator=(const TVLMTableDataBase&) = delete;

  // Rebuilds the outdated temporary indexes of the session's cursors on the
  // table (called for every table after a rollback of the session).
  virtual void RefreshSessionCursors(int32_t sessionID) = 0;
  // A stream over BLOB field fieldNo (table numbering) of the cursor's
  // current record buffer; openMode 0 write, 1 read, 2 read and write. The
  // caller frees the stream. Base: none (nullptr).
  virtual std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo);
  // Lets go of what reading the BLOBs of record took (an engine may keep the
  // BLOB data of the record it read last). Base: nothing.
  virtual void ReleaseRecordBlobs(uint8_t* record);
  // Whether the table keeps what a session wrote until it commits, so that
  // a rollback takes it back. Base: false (the memory and temporary
  // engines, whose writes count at once).
  virtual bool KeepsRollback() const { return false; }

  // The owning database data; its lock is the table's lock.
  TVLMDatabaseData* DatabaseData;
  std::string TableName;
};

class TVLMDatabaseData {
public:
  // No page manager, empty lists, settings 20 and 50, single-user.
  TVLMDatabaseData();
  // Frees every table data, then leaves VLMOpenDatabaseList() (taking its
  // lock). Requires: no other thread can reach the object any more.
  virtual ~TVLMDatabaseData();
  TVLMDatabaseData(const TVLMDatabaseData&) = delete;
  TVLMDatabaseData& operator=(const TVLMDatabaseData&) = delete;

  // Enter / leave the database critical section (re-entrant on one thread).
  void Lock() { Lock_.lock(); }
  void Unlock() { Lock_.unlock(); }
  // For std::lock_guard, and for the page manager the database shares it
  // with (TVLMPageManager::UseCriticalSection).
  qv::RecursiveMutex& CriticalSection() { return Lock_; }

  // Takes the database critical section. tableName is among GetTableNames
  // (string-list comparison, ignoring ASCII case).
  bool TableExists(std::string_view tableName);

  // Takes the database critical section; appends a table data and returns it.
  TVLMTableDataBase* AddTableData(std::unique_ptr<TVLMTableDataBase> tableData);
  // Takes the database critical section; removes the table data from
  // TableDatas and frees it; nothing when it is not listed.
  void FreeTableData(TVLMTableDataBase* tableData);

  // ---- virtual operations, in slot order ----
  // An engine's override keeps the lock contract of its slot; a slot that
  // reaches the page manager takes the database critical section for it.

  // Base: takes the database critical section, adds the session (once) and
  // gives it session ID 0.
  virtual void ConnectSession(TVLMBaseSession* session);
  // Base: takes the database critical section and removes the session.
  virtual void DisconnectSession(TVLMBaseSession* session);
  // Requires: the open-database list's lock (VLMOpenDatabaseList().Mutex()),
  // checked in debug builds: the object may delete itself, and no other
  // thread may find it in the list and connect between the test and the
  // delete. Base: takes the database critical section to test that no session
  // is connected, leaves it, then deletes this. The caller must not use the
  // object afterwards unless a session is still connected.
  virtual void FreeIfUnused();
  // Base: takes the database critical section and appends the TableName of
  // every table data.
  virtual void GetTableNames(qv::StringList& list);
  // Base: nothing. An engine takes the database critical section itself.
  virtual void CreateDatabase();
  // A new table data of the engine, named as the cursor's table, added to
  // TableDatas under the database critical section, which it takes.
  virtual TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) = 0;
  // Base: takes the database critical section; the first table data whose
  // name equals the cursor's table name after upper-casing both (1252 rules);
  // nullptr when none.
  virtual TVLMTableDataBase* FindTableData(TVLMCursor* cursor);
  // Base: takes the database critical section; FindTableData, else
  // CreateTableData.
  virtual TVLMTableDataBase* GetTableData(TVLMCursor* cursor);
  // A new object ID, unique in the database. An engine takes the database
  // critical section itself.
  virtual int32_t NextObjectID() = 0;
  // Base: takes the database critical section; the page manager commits the
  // session's pages (when there is a page manager). flushBuffers is the
  // engine's.
  virtual void Commit(int32_t sessionID, bool flushBuffers);
  // Base: takes the database critical section; the page manager discards the
  // session's uncommitted pages (when there is one), then every table data
  // refreshes the session's cursors.
  virtual void Rollback(int32_t sessionID);
  // Base: nothing. An engine takes the database critical section itself.
  virtual void FlushBuffers();

  // ---- state ----
  // Requires, for reads and writes of the fields: the database critical
  // section.

  std::vector<TVLMBaseSession*> Sessions;
  std::vector<std::unique_ptr<TVLMTableDataBase>> TableDatas;
  // The database file; "MEMORY" and "TEMP" for the two built-in databases.
  std::string DatabaseFileName;
  // Set by an engine; not owned by the base.
  TVLMPageManager* PageManager = nullptr;
  bool ReadOnly = false;
  // Two engine settings; their use lies with the engines.
  int32_t EngineSetting1 = 20;
  int32_t EngineSetting2 = 50;
  // Set by the disk engine from the first session that opens the database.
  bool MultiUser = false;

protected:
  // The page manager's commit and rollback of one session, called under the
  // database critical section when PageManager is set. An engine that sets
  // PageManager implements them; the base does nothing.
  virtual void CommitPages(int32_t sessionID);
  virtual void RollbackPages(int32_t sessionID);

private:
  qv::RecursiveMutex Lock_;
};

// The process-wide list of open databases. Every search, add and remove runs
// under its lock; a std::lock_guard on Mutex() holds it across several steps
// (find, then create).
class TVLMOpenDatabaseList {
public:
  qv::RecursiveMutex& Mutex() { return Lock_; }
  // Each takes the list's lock. Add ignores a database already listed.
  void Add(TVLMDatabaseData* databaseData);
  void Remove(TVLMDatabaseData* databaseData);
  bool Contains(const TVLMDatabaseData* databaseData);
  int32_t Count();
  // The entries; hold Mutex() while reading them.
  const std::vector<TVLMDatabaseData*>& Items() const { return Items_; }

private:
  qv::RecursiveMutex Lock_;
  std::vector<TVLMDatabaseData*> Items_;
};

// The one list of the process. It lives until the process ends, so database
// data destroyed late still find it.
TVLMOpenDatabaseList& VLMOpenDatabaseList();

// Field fieldNo of fieldDefs from recordBuffer into dest, converted as the
// table above says. False when the field is null; with dest nullptr only the
// null test is made; a BLOB-type field (SQL types 31-35) copies nothing.
// fieldNo outside 0 .. count-1 raises 10000 "Invalid field number - FieldNo =
// %d, FieldCount = %d"; a nil recordBuffer raises 10003 "Nil pointer occured".
bool VLMReadFieldData(int32_t fieldNo, const TVLMFieldDefs& fieldDefs, void* dest,
                      const uint8_t* recordBuffer);
// source into field fieldNo of recordBuffer. nullptr, an empty text (first
// byte 0, or first 16-bit unit 0 for a wide text) sets the null bit; anything
// else clears it and is written as the table above says. fieldNo out of range:
// 10004; nil recordBuffer: 10002.
void VLMWriteFieldData(int32_t fieldNo, const TVLMFieldDefs& fieldDefs, const void* source,
                       uint8_t* recordBuffer);
// True when the first count bytes are equal (count < 1: true). A nil buffer
// raises 10122 / 10123 "Nil pointer occured".
bool VLMCompareBuffers(const void* buffer1, const void* buffer2, int64_t count);
