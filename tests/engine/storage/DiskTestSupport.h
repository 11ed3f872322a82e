// Shared pieces of the disk database and disk table tests and of their
// helper programs (nothing here links GoogleTest): an engine session that
// carries its transactions to its database data, and a cursor that drives a
// disk table data as the local cursor does (a table operation on a closed
// cursor, posts under the multi-user table locks).
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/VLMBase.h"
#include "engine/core/VLMExcept.h"
#include "engine/core/VLMExpressions.h"
#include "engine/core/VLMVariant.h"
#include "engine/storage/VLMDiskEngineCheck.h"
#include "engine/storage/VLMDiskEngineFiles.h"
#include "engine/storage/VLMDiskEngineRecords.h"
#include "engine/storage/VLMDiskEngineTables.h"
#include "platform/host/ScopeExit.h"
#include "platform/host/StringList.h"
#include "tests/engine/storage/FreeSpaceChecker.h"
#include "tests/support/engine/TableDescriptions.h"

namespace disk_test {

class DiskSession : public TVLMBaseSession {
public:
  explicit DiskSession(TVLMDatabaseData* database = nullptr, bool multiUser = false) : Database(database) {
    MultiUser = multiUser;
  }
  ~DiskSession() override {
    try {
      Disconnect();
    } catch (...) {
    }
  }

  bool GetConnected() override { return Connected_; }
  void SetConnected(bool value) override {
    if (value == Connected_) return;
    if (value) {
      Database->ConnectSession(this);
      Connected_ = true;
    } else {
      Disconnect();
    }
  }
  bool GetSessionOption() override { return false; }
  void SetSessionOption(bool) override {}
  void CreateDatabase() override { Database->CreateDatabase(); }
  void ReservedOperation1() override {}
  void ReservedOperation2(const std::string&) override {}
  void GetTableNames(qv::StringList& list) override { Database->GetTableNames(list); }
  bool TableExists(const std::string& tableName) override { return Database->TableExists(tableName); }
  void StartTransaction() override { InTransaction = true; }
  void Commit(bool flushBuffers) override {
    CheckInTransaction();
    Database->Commit(SessionID, flushBuffers);
    InTransaction = false;
  }
  void Rollback() override {
    CheckInTransaction();
    Database->Rollback(SessionID);
    InTransaction = false;
  }
  void FlushBuffers() override { Database->FlushBuffers(); }

  void Connect() { SetConnected(true); }
  // Leaves the database; an error is the caller's to see, the session is
  // disconnected either way.
  void Disconnect() {
    if (!Connected_) return;
    Connected_ = false;
    Database->DisconnectSession(this);
  }

  TVLMDatabaseData* Database;

private:
  bool Connected_ = false;
};

class DiskCursor : public schema_test::TestCursor {
public:
  DiskCursor(TVLMDiskDatabaseData& database, TVLMBaseSession& session, std::string tableName)
      : Database(database) {
    Session = &session;
    TableName = std::move(tableName);
  }
  ~DiskCursor() override {
    try {
      Close();
    } catch (...) {
    }
  }

  TVLMDiskTableData& Table() const { return *static_cast<TVLMDiskTableData*>(TableData); }
  int32_t SessionID() const { return Session->SessionID; }

  // ---- table operations: the cursor is closed first ----

  void Create(std::initializer_list<tabledata_test::FieldSpec> fields,
              std::initializer_list<tabledata_test::IndexSpec> indexes = {},
              TVLMConstraintDefs* constraints = nullptr) {
    TVLMFieldDefs fieldDefs;
    TVLMIndexDefs indexDefs;
    tabledata_test::FillDefinitions(fields, indexes, fieldDefs, indexDefs);
    TVLMConstraintDefs none;
    OnClosedTable([&](TVLMDiskTableData& table) {
      table.CreateTable(this, fieldDefs, indexDefs, constraints != nullptr ? *constraints : none);
    });
  }
  void EmptyTable() override {
    OnClosedTable([&](TVLMDiskTableData& table) { table.EmptyTable(this); });
  }
  void DeleteTable() override {
    OnClosedTable([&](TVLMDiskTableData& table) { table.DeleteTable(this, false); });
  }
  void RenameTable(const std::string& newName) override {
    OnClosedTable([&](TVLMDiskTableData& table) { table.RenameTable(newName, this); });
    TableName = newName;
  }

  void Open() {
    std::lock_guard guard(Database.CriticalSection());
    if (Opened) return;
    TableData = Database.GetTableData(this);
    try {
      Table().OpenTable(this);
    } catch (...) {
      Table().CloseTable(this);
      Release();
      throw;
    }
    TVLMDiskTableData& table = Table();
    auto fields = std::make_unique<TVLMFieldDefs>();
    fields->Assign(*table.FieldManager->FieldDefs);
    UseFields(std::move(fields));
    table.SetCursorRecordSize(this);
    KeyBufferSize = RecordDataSize + kVLMRecordIDSize;
    RecordKeySize = RecordDataSize;
    IndexDefs = std::make_unique<TVLMIndexDefs>();
    IndexDefs->Assign(*table.IndexManager->IndexDefs);
    RecordBitmap = std::make_unique<TVLMRecordBitmap>(&table);
    RecordBuffer = AllocRecordBuffer();
    OldRecordBuffer = AllocRecordBuffer();
    InitRecordBuffer(RecordBuffer, false);
    Position = TVLMCursorPosition{};
    Opened = true;
  }
  void Close() {
    if (TableData == nullptr) return;
    std::lock_guard guard(Database.CriticalSection());
    if (RecordBuffer != nullptr) Table().FreeRecordBlobs(RecordBuffer);
    Table().CloseTable(this);
    Release();
    FreeRecordBuffer(RecordBuffer);
    FreeRecordBuffer(OldRecordBuffer);
    RecordBitmap.reset();
    Opened = false;
  }
  // The current index by name ("" = natural order).
  void UseIndex(const std::string& name) {
    std::lock_guard guard(Database.CriticalSection());
    IndexDefs->Assign(*Table().IndexManager->IndexDefs);
    SetIndexName(name);
    IndexFieldCount = 0;
    ClearRecordBitmap();
  }

  // ---- records ----

  // The record of the key values, as the local cursor looks for it.
  bool Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
              bool partialKey) override {
    TVLMExpression condition;
    condition.NullSemantics = false;
    condition.BuildKeyValuesCondition(this, fieldNames, keyValues, caseInsensitive, partialKey);
    return Table().Locate(this, &condition);
  }
  uint8_t GetRecord(uint8_t mode) override {
    std::lock_guard guard(Database.CriticalSection());
    if (RecordBuffer != nullptr) Table().FreeRecordBlobs(RecordBuffer);
    const uint8_t result = Table().GetRecord(this, mode);
    if (result == kVLMNavOK) {
      VLMPutRecordID(RecordBuffer + BookmarkOffset, Position.RecordID);
      std::memcpy(OldRecordBuffer, RecordBuffer, static_cast<size_t>(RecordBufferSize));
    }
    return result;
  }
  void SetToBegin() override { Position = TVLMCursorPosition{1, 0, {}}; }
  int64_t GetRecordCount() override { return Table().GetCursorRecordCount(this); }
  void InitRecordBuffer(uint8_t* buffer, bool applyDefaults) override {
    schema_test::TestCursor::InitRecordBuffer(buffer, applyDefaults);
    if (applyDefaults) Table().FieldManager->ApplyDefaultValues(nullptr, buffer);
  }
  void PrepareInsert() override {
    Table().FreeRecordBlobs(RecordBuffer);
    InitRecordBuffer(RecordBuffer, true);
  }
  // Counters, constraints, then the table data's insert or update.
  void Post(bool inserting) override {
    UnderWriteLock([&] {
      if (inserting) {
        Table().LoadMostUpdated(SessionID());
        Table().FieldManager->ApplyAutoincValues(Session, RecordBuffer);
      }
      Table().ConstraintManager->CheckConstraints(SessionID(), RecordBuffer, true, true, Position.RecordID,
                                                  inserting, OldRecordBuffer);
      const bool done = inserting ? Table().InsertRecord(this) : Table().UpdateRecord(this);
      if (!done) ResultCode = inserting ? -1 : -2;
      VLMPutRecordID(RecordBuffer + BookmarkOffset, Position.RecordID);
      std::memcpy(OldRecordBuffer, RecordBuffer, static_cast<size_t>(RecordBufferSize));
    });
  }
  void DeleteRecord() override {
    UnderWriteLock([&] { ResultCode = Table().DeleteRecord(this) ? 0 : -3; });
  }
  // ---- fields (table field numbers; nullopt = null) ----

  void SetText(int32_t fieldNo, const std::optional<std::string>& value) {
    TVLMVariant v(bdtString);
    if (value) v.SetAsString(*value);
    SetFieldValue(v, fieldNo, true);
  }
  std::optional<std::string> Text(int32_t fieldNo) const {
    TVLMVariant v;
    GetFieldValue(v, fieldNo, true);
    if (v.IsNull()) return std::nullopt;
    return v.GetAsString();
  }
  std::optional<int64_t> Int(int32_t fieldNo) const {
    TVLMVariant v;
    GetFieldValue(v, fieldNo, true);
    if (v.IsNull()) return std::nullopt;
    return v.GetAsLargeInt();
  }
  // The value of a BLOB field of the current record buffer, written through
  // the table data's BLOB stream (kept in the buffer until it is posted).
  void WriteBlob(int32_t fieldNo, const std::vector<uint8_t>& value) {
    std::lock_guard guard(Database.CriticalSection());
    std::unique_ptr<qv::Stream> stream = Table().OpenBlob(this, 0, fieldNo);
    if (!value.empty()) stream->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
    Table().SaveBlobStream(this, fieldNo, *stream);
  }
  std::vector<uint8_t> ReadBlob(int32_t fieldNo) {
    std::lock_guard guard(Database.CriticalSection());
    std::unique_ptr<qv::Stream> stream = Table().OpenBlob(this, 1, fieldNo);
    std::vector<uint8_t> value(static_cast<size_t>(stream->Size()));
    if (!value.empty()) stream->ReadBuffer(value.data(), static_cast<int64_t>(value.size()));
    Table().FreeBlob(RecordBuffer, fieldNo);
    return value;
  }
  // Field fieldNo of every record in the cursor's order, from the start.
  std::vector<std::string> Column(int32_t fieldNo) {
    std::vector<std::string> out;
    SetToBegin();
    while (GetRecord(1) == kVLMNavOK) out.push_back(Text(fieldNo).value_or("null"));
    return out;
  }

  TVLMDiskDatabaseData& Database;

private:
  // Lets go of the table data, which goes when no cursor has it open.
  void Release() {
    TVLMDiskTableData* table = &Table();
    TableData = nullptr;
    table->FreeIfUnused();
  }
  // A write in multi-user mode holds the table lock of a write: type 3
  // inside a transaction (kept until it ends), else 4. ResultCode -13 when
  // that lock is not had.
  template <class F>
  void UnderWriteLock(F write) {
    std::lock_guard guard(Database.CriticalSection());
    ResultCode = 0;
    const uint8_t type = Session->InTransaction ? kVLMLockTableChanged : kVLMLockTableCommit;
    const TVLMRetrySettings& settings = VLMRetrySettings();
    if (!Table().LockTable(SessionID(), type, settings.TableOperationTries, settings.TableOperationDelayMs, true)) {
      ResultCode = -13;
      return;
    }
    auto unlock = qv::ScopeExit([&] {
      if (type == kVLMLockTableCommit) Table().UnlockTable(SessionID(), type, false);
    });
    write();
  }
  // The local cursor's way with a table operation: closed, the table data's
  // call with this cursor, then the table data let go of.
  template <class F>
  void OnClosedTable(F operation) {
    std::lock_guard guard(Database.CriticalSection());
    Close();
    TableData = Database.GetTableData(this);
    auto release = qv::ScopeExit([&] {
      Table().CloseTable(this);
      Release();
    });
    operation(Table());
  }
};

// The table the disk table tests and their helper programs share: Log (ID
// autoincrement, Call VARCHAR(20), Notes BLOB), indexed by ID (primary) and
// by Call.
inline constexpr int32_t kLogID = 0, kLogCall = 1, kLogNotes = 2;
inline void CreateLogTable(DiskCursor& cursor, int32_t callSize = 20) {
  cursor.Create({{"ID", dtAutoinc}, {"Call", dtString, callSize}, {"Notes", dtBLOB}},
                {{"ByID", "ID", true}, {"ByCall", "Call"}});
}
// (callSize: the length of Call.)
// Inserts a Log record; false when the post did not store it.
inline bool InsertLog(DiskCursor& cursor, const std::string& call, const std::vector<uint8_t>& notes = {}) {
  cursor.PrepareInsert();
  cursor.SetText(kLogCall, call);
  if (!notes.empty()) cursor.WriteBlob(kLogNotes, notes);
  cursor.Post(true);
  return cursor.ResultCode == 0;
}

// A Notes value of size bytes made from seed.
inline std::vector<uint8_t> LogNotes(int32_t size, int32_t seed) {
  std::vector<uint8_t> notes(static_cast<size_t>(size));
  for (int32_t i = 0; i < size; ++i) notes[static_cast<size_t>(i)] = static_cast<uint8_t>(seed + i * 13);
  return notes;
}
// Makes the Log record called call current (a walk in the cursor's order);
// false when there is none.
inline bool FindLog(DiskCursor& cursor, const std::string& call) {
  cursor.SetToBegin();
  while (cursor.GetRecord(1) == kVLMNavOK)
    if (cursor.Text(kLogCall) == call) return true;
  return false;
}
// The Log record called call gets newCall and notes (each when given);
// false when it is not there or the post did not store it.
inline bool UpdateLog(DiskCursor& cursor, const std::string& call, const std::string* newCall,
                      const std::vector<uint8_t>* notes) {
  if (!FindLog(cursor, call)) return false;
  if (newCall != nullptr) cursor.SetText(kLogCall, *newCall);
  if (notes != nullptr) cursor.WriteBlob(kLogNotes, *notes);
  cursor.Post(false);
  return cursor.ResultCode == 0;
}
inline bool DeleteLog(DiskCursor& cursor, const std::string& call) {
  if (!FindLog(cursor, call)) return false;
  cursor.DeleteRecord();
  return cursor.ResultCode == 0;
}
// One command on Log through session and cursor; false when it failed:
//   insert CALL SIZE SEED          a record with LogNotes(SIZE, SEED)
//   update CALL NEWCALL SIZE SEED  NEWCALL "-" keeps the Call, SIZE -1 the
//                                  value
//   delete CALL
//   begin | commit | rollback      the session's transaction
inline bool LogCommand(DiskSession& session, DiskCursor& cursor, const std::string& line) {
  std::istringstream in(line);
  std::string command, call, newCall;
  int32_t size = -1, seed = 0;
  in >> command >> call;
  if (command == "insert") return in >> size >> seed, InsertLog(cursor, call, LogNotes(size, seed));
  if (command == "update") {
    in >> newCall >> size >> seed;
    const std::vector<uint8_t> notes = LogNotes(std::max(size, 0), seed);
    return UpdateLog(cursor, call, newCall == "-" ? nullptr : &newCall, size < 0 ? nullptr : &notes);
  }
  if (command == "delete") return DeleteLog(cursor, call);
  if (command == "begin") session.StartTransaction();
  else if (command == "commit") session.Commit(false);
  else if (command == "rollback") session.Rollback();
  else return false;
  return true;
}

// The whole-file check of the engine (VLMDiskEngineCheck.h) over the
// database's file as its last commit left it: its own structures and every
// table (those open in the cursors among them) against the maps; "" when
// they agree, else one line per problem. Run it on committed state: pages
// removed in a session are freed by its commit.
inline std::string CheckDiskFreeSpace(TVLMDiskDatabaseData& database, std::initializer_list<DiskCursor*>) {
  std::string faults;
  for (const std::string& problem : VLMCheckDatabaseFile(database.DatabaseFileName, database.PasswordRecord, false))
    faults += problem + "\n";
  return faults;
}

// The file checker of the crash and sharing tests: "" when the structures
// of Log (and of Second when given) agree: the record count is the number
// of records, ByID holds each record once in
// ascending IDs, ByCall each Call once in order, every index passes its
// check, and the free-space maps mark exactly the pages the structures
// reach (record pages and their index, BLOB pages and theirs, large
// values, index pages), LastUsedPage the highest.
inline std::string CheckLogFile(TVLMDiskDatabaseData& database, DiskCursor& log, DiskCursor* second = nullptr) {
  log.UseIndex("");
  std::vector<std::string> calls = log.Column(kLogCall);
  if (log.GetRecordCount() != static_cast<int64_t>(calls.size()))
    return "the record count is " + std::to_string(log.GetRecordCount()) + " for " + std::to_string(calls.size()) +
           " records";
  std::sort(calls.begin(), calls.end());
  log.UseIndex("ByCall");
  if (log.Column(kLogCall) != calls) return "ByCall differs from the records";
  log.UseIndex("ByID");
  std::vector<std::string> byID;
  int64_t lastID = 0;
  for (log.SetToBegin(); log.GetRecord(1) == kVLMNavOK; lastID = log.Int(kLogID).value_or(0)) {
    if (log.Int(kLogID).value_or(0) <= lastID) return "ByID holds an ID twice or out of order";
    byID.push_back(log.Text(kLogCall).value_or("null"));
  }
  std::sort(byID.begin(), byID.end());
  if (byID != calls) return "ByID differs from the records";
  std::lock_guard guard(database.CriticalSection());
  std::vector<DiskCursor*> tables{&log};
  if (second != nullptr) tables.push_back(second);
  for (DiskCursor* table : tables) {
    TVLMBaseIndexManager& indexes = *table->Table().IndexManager;
    for (int32_t i = 0; i < indexes.IndexDefs->GetCount(); ++i) {
      auto& index = static_cast<TVLMBTreeRecordIndex&>(*indexes.GetIndex(indexes.IndexDefs->GetIndexDef(i)->ObjectID));
      try {
        index.CheckIntegrity(table->SessionID());
      } catch (const EVLMException&) {
        return "index " + indexes.IndexDefs->GetIndexDef(i)->Name + " fails its check";
      }
    }
  }
  storage_test::FreeSpaceChecker maps(*database.DiskPageManager());
  return maps.CheckLastUsedPage() +
         (second != nullptr ? CheckDiskFreeSpace(database, {&log, second})
                            : CheckDiskFreeSpace(database, {&log}));
}

// A disk database data over path with the registry's settings.
inline std::unique_ptr<TVLMDiskDatabaseData> NewDiskDatabase(const std::string& path,
                                                             const std::string& sessionName = "") {
  auto database = std::make_unique<TVLMDiskDatabaseData>();
  database->DatabaseFileName = path;
  database->MultiUserSessionName = sessionName;
  return database;
}


}  // namespace disk_test
