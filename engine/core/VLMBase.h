// The two abstract classes through which the database components reach the
// engine:
//   TVLMCursor       one open table seen by one dataset: current record,
//                    index order, key range, filters, field projection
//   TVLMBaseSession  one connection of a database component to a database:
//                    connection state, transactions, table names, and the
//                    session's named objects (the last sequence values)
// The base classes hold the shared state and the operations that need no
// storage engine; every other operation is pure virtual and implemented by
// the local engine (local cursor and local session). Declaration order of the
// virtual operations is the slot order the implementations follow.
//
// Record buffer (engine side; layout of TVLMFieldDefs::CalculateOffsets):
//   0                  null bitmap, bit n set = table field n is null
//   FirstFieldOffset   the fields, each DataSize bytes at its BufferOffset
//   BookmarkOffset     (= RecordDataSize) 6-byte record ID {u32 page, u16 row}
//   +6                 1 flag byte (3 = record inserted)
// RecordBufferSize is RecordDataSize + 7. A projected cursor reads the same
// table records: its field list holds copies of table fields whose FieldNo is
// the table field's number, and every access goes through that number.
//
// Saved position (SavePosition): one 8-byte block of the engine memory
// manager {u8 BOF, u8 EOF, u32 page, u16 row}, little-endian.
//
// Error codes: 10005/10006 GetFieldData/SetFieldData field number, 10003/10002
// nil record buffer (record-buffer routines), 10008/10001 nil record buffer of
// GetFieldValue/SetFieldValue, 10317/20191 GetFieldValue field number (cursor /
// table list), 20193/20192 SetFieldValue field number (cursor / table list),
// 10321-10323 projection, 30345/30346 RenameField, 20229 transaction state.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 1
#error "engine/core lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/VLMExpressionLink.h"
#include "engine/core/VLMRecordID.h"
#include "engine/core/VLMTypes.h"
#include "engine/core/VLMTypesDefs.h"

namespace qv {
class HostVariant;
class Stream;
class StringList;
}  // namespace qv

class TVLMBaseSession;
class TVLMDataSet;
class TVLMTableDataBase;

// Current record address and end flags of a cursor.
struct TVLMCursorPosition {
  uint8_t Bof = 1;  // before the first record
  uint8_t Eof = 0;  // after the last record
  TVLMRecordID RecordID;
};

inline constexpr int32_t kVLMSavedPositionSize = 8;
// Bytes after the field data of a cursor's record buffer: bookmark and flag.
inline constexpr int32_t kVLMBookmarkAreaSize = 7;
// Flag byte value of a record buffer that was just inserted.
inline constexpr uint8_t kVLMRecordInserted = 3;

// Navigation results of GetRecord.
inline constexpr uint8_t kVLMNavOK = 0;
inline constexpr uint8_t kVLMNavBOF = 1;
inline constexpr uint8_t kVLMNavEOF = 2;
inline constexpr uint8_t kVLMNavError = 3;

// The table-lock types a cursor's LockTable and UnlockTable take; their
// compatibility and their bytes in the table locks file are the disk
// engine's (engine/storage/VLMDiskEngineLocks.h).
inline constexpr uint8_t kVLMLockTableOpen = 0;       // opening a table shared
inline constexpr uint8_t kVLMLockTableOperation = 1;  // each record operation
inline constexpr uint8_t kVLMLockTableEdit = 2;       // an edit, a transaction end
inline constexpr uint8_t kVLMLockTableChanged = 3;    // changed in the transaction
inline constexpr uint8_t kVLMLockTableCommit = 4;     // commit; posts outside one
inline constexpr uint8_t kVLMLockTableRecord = 5;     // a record lock is held
inline constexpr uint8_t kVLMLockTableExclusive = 6;  // opening a table exclusively

// ---------------------------------------------------------------- cursor

class TVLMCursor {
public:
  // The dataset's record filter: true keeps the record. recordBuffer is a
  // record buffer of cursor with the record's bookmark written.
  using TVLMRecordFilter = std::function<bool(TVLMCursor& cursor, uint8_t* recordBuffer)>;

  TVLMCursor();
  virtual ~TVLMCursor();
  TVLMCursor(const TVLMCursor&) = delete;
  TVLMCursor& operator=(const TVLMCursor&) = delete;

  // ---- non-virtual operations ----

  // IndexName := name; IndexID := ObjectID of the index definition of that
  // name (case-insensitive), -1 when none.
  void SetIndexName(std::string_view name);
  // Field fieldNo of the cursor's field list from an engine record buffer
  // into a dataset buffer (VLMReadFieldData); false when null. fieldNo
  // outside the list raises 10005 "Invalid field number - FieldNo = %d,
  // FieldCount = %d".
  bool GetFieldData(int32_t fieldNo, const uint8_t* recordBuffer, void* dest) const;
  // A dataset value (nullptr = null) into field fieldNo (VLMWriteFieldData);
  // out of range: 10006.
  void SetFieldData(int32_t fieldNo, uint8_t* recordBuffer, const void* source) const;
  // For every table field of a text type: a null field is zero-filled whole;
  // a present one is zeroed after its terminator (and terminated when it
  // fills its field), so equal values give equal bytes.
  void ClearUnusedStringBytes(uint8_t* recordBuffer) const;
  // Field fieldNo of the current record buffer, from the table's list or the
  // cursor's. The value borrows the buffer's bytes, typed with the field's
  // base type, or is null. Out of range: 20191 (table) / 10317 (cursor).
  void GetFieldValue(TVLMVariant& value, int32_t fieldNo, bool tableFieldNo) const;
  // value into field fieldNo of recordBuffer (nullptr = the current record
  // buffer): null sets the null bit; otherwise the bit is cleared and the
  // value, converted to the field's base type, is copied: at most DataSize
  // bytes, the rest of the field zero-filled, text cut and terminated. Out of
  // range: 20192 (table) / 20193 (cursor).
  void SetFieldValue(const TVLMVariant& value, int32_t fieldNo, bool tableFieldNo,
                     uint8_t* recordBuffer = nullptr) const;
  // A zero-filled block of RecordBufferSize / KeyBufferSize bytes.
  uint8_t* AllocRecordBuffer() const;
  uint8_t* AllocKeyBuffer() const;
  // Zero-fills KeyBufferSize bytes, then InitRecordBuffer(buffer, false).
  void InitKeyBuffer(uint8_t* buffer);
  uint8_t* SavePosition() const;
  void RestorePosition(const uint8_t* position);
  void FreePosition(uint8_t*& position) const;
  // Empties and deactivates the record bitmap when there is one.
  void ClearRecordBitmap();
  // The cursor's field list becomes copies of the named table fields
  // (FieldNo = table position), renamed by a non-empty alias; an alias in
  // use becomes alias_1, alias_2, ... Different counts: 10321; empty: 10322;
  // unknown name: 10323 "Cannot find field %s".
  void SetProjection(const qv::StringList& fieldNames, const qv::StringList& aliasNames);
  bool HasIndex() const { return IndexID != -1; }
  bool HasIndexFields() const { return IndexFieldCount > 0; }
  bool IsFiltered() const;
  bool IsRangeSet() const { return RangeLowKey != nullptr || RangeHighKey != nullptr; }
  bool HasRecordRestrictions() const { return IsFiltered() || IsRangeSet() || HasIndexFields(); }
  void CancelRange();
  void SetRange(uint8_t* lowKey, uint8_t* highKey, int32_t lowFieldCount, int32_t highFieldCount,
                bool lowExclusive, bool highExclusive);
  // Stores expression (not owned) and binds it to this cursor; the record
  // bitmap is cleared.
  void SetFilterExpression(TVLMExpression* expression, TVLMQueryOperator* operand = nullptr,
                           TVLMCursor* outerCursor = nullptr);
  // Field count of the cursor's list (0 when there is none).
  int32_t CursorFieldCount() const;
  int32_t TableFieldCount() const;

  // ---- virtual operations, in slot order ----

  virtual void CreateTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs,
                           TVLMConstraintDefs* constraintDefs) = 0;
  virtual void DeleteTable() = 0;
  virtual void EmptyTable() = 0;
  virtual void RenameTable(const std::string& newName) = 0;
  virtual void InitFieldDefs() = 0;
  virtual void OpenTable(TVLMFieldDefs* fieldDefs, TVLMIndexDefs* indexDefs,
                         TVLMConstraintDefs* constraintDefs) = 0;
  virtual void CloseTable() = 0;
  virtual void LockTableData() = 0;
  virtual void UnlockTableData() = 0;
  virtual bool LockTable(uint8_t lockType, int32_t tries, int32_t delay, bool flag) = 0;
  virtual bool UnlockTable(uint8_t lockType, bool flag) = 0;
  // Base: renames a table field definition; oldName unknown raises 30345
  // "Field '%s' not found", newName taken raises 30346 "Cannot rename field
  // '%s'. Field '%s' already exists". The new name is cut to 255 characters.
  virtual void RenameField(const std::string& oldName, const std::string& newName);
  // Base: the cursor's index definitions.
  virtual TVLMIndexDefs* GetIndexDefs();
  virtual void CreateIndex(TVLMIndexDef& indexDef) = 0;
  virtual void DeleteIndex(const std::string& name) = 0;
  virtual void DeleteAllIndexes() = 0;
  virtual void GetIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                 const qv::StringList& caseOptions, std::string& indexName,
                                 bool& created) = 0;
  virtual bool FindIndexForFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                  const qv::StringList& caseOptions) = 0;
  virtual void CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMCursor* dest, int32_t destFieldNo) = 0;
  virtual void InitRecordBuffer(uint8_t* buffer, bool applyDefaults) = 0;
  // Base: returns the block to the memory manager; buffer becomes nullptr.
  virtual void FreeRecordBuffer(uint8_t*& buffer);
  virtual int64_t GetRecordCount() = 0;
  virtual uint8_t GetRecord(uint8_t mode) = 0;
  virtual void SetRecNo(int64_t recNo) = 0;
  virtual int64_t GetRecNo() = 0;
  virtual int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) = 0;
  virtual void SetToBegin() = 0;
  virtual void SetToEnd() = 0;
  virtual void PrepareInsert() = 0;
  virtual void Edit() = 0;
  virtual void Cancel(bool inserting) = 0;
  virtual void Post(bool inserting) = 0;
  virtual void DeleteRecord() = 0;
  virtual bool IsRecordLocked() = 0;
  virtual void SetIndexByFields(const qv::StringList& fieldNames, const qv::StringList& directions,
                                const qv::StringList& caseOptions) = 0;
  virtual void SetFilter(const std::string& text, bool caseInsensitive, bool partialCompare) = 0;
  virtual void ClearFilter() = 0;
  virtual bool Locate(const std::string& fieldNames, const qv::HostVariant& keyValues, bool caseInsensitive,
                      bool partialKey) = 0;
  virtual bool GotoKey(uint8_t mode) = 0;
  virtual bool LocateByCondition(const std::string& fieldName, uint8_t comparison, const TVLMVariant& value) = 0;
  virtual qv::Stream* OpenBlob(bool isInsert, bool isEdit, int32_t fieldNo, uint8_t openMode, bool isBrowse) = 0;
  virtual void CloseBlob(int32_t fieldNo) = 0;
  virtual void FreeBlobStreams(bool onlyWritable) = 0;
  virtual int64_t GetLastAutoincValue(int32_t fieldNo) = 0;
  virtual void RaiseAutoincValue(int32_t fieldNo, int64_t value) = 0;
  virtual void BeginImplicitTransaction() = 0;
  virtual void CommitImplicitTransaction() = 0;
  virtual void RollbackImplicitTransaction() = 0;
  virtual bool CheckConstraints(bool isInsert) = 0;

  // ---- state ----

  std::string TableName;
  // Current index; empty / -1 = natural order.
  std::string IndexName;
  int32_t IndexID = -1;
  // Number of index fields when the index was chosen from a field list.
  int32_t IndexFieldCount = 0;
  TVLMBaseSession* Session = nullptr;
  // The owning dataset (nullptr for the engine's own cursors).
  TVLMDataSet* DataSet = nullptr;
  // The open table's shared state, set when the table is opened (not owned).
  TVLMTableDataBase* TableData = nullptr;

  // Current record buffer and the record as it was read (not owned).
  uint8_t* RecordBuffer = nullptr;
  uint8_t* OldRecordBuffer = nullptr;
  TVLMCursorPosition Position;

  // The table's fields, the cursor's (projected) fields, copies of the
  // table's indexes and constraints.
  std::unique_ptr<TVLMFieldDefs> FieldDefs;
  std::unique_ptr<TVLMFieldDefs> CursorFieldDefs;
  // Set by SetProjection: the cursor's list is not rebuilt from the table.
  bool ProjectionSet = false;
  std::unique_ptr<TVLMIndexDefs> IndexDefs;
  std::unique_ptr<TVLMConstraintDefs> ConstraintDefs;
  // Records that pass the current filter and range.
  std::unique_ptr<TVLMRecordBitmap> RecordBitmap;

  // Record layout numbers.
  int32_t FirstFieldOffset = 0;
  int32_t RecordDataSize = 0;
  int32_t BookmarkOffset = 0;
  int32_t CalcFieldsOffset = 0;
  int32_t RecordBufferSize = 0;
  int32_t KeyBufferSize = 0;
  // Key size when a whole record buffer serves as the key of a search.
  int32_t RecordKeySize = 0;

  // The key GotoKey searches for and the number of its leading fields.
  uint8_t* SearchKeyBuffer = nullptr;
  int32_t SearchKeyFieldCount = 0;
  // Range ends (nullptr = open end), not owned.
  uint8_t* RangeLowKey = nullptr;
  uint8_t* RangeHighKey = nullptr;
  bool LowExclusive = false;
  bool HighExclusive = false;
  int32_t LowFieldCount = 0;
  int32_t HighFieldCount = 0;

  // Filter parsed from the dataset's filter text (owned), filter given by
  // SetFilterExpression (not owned), and the dataset's record filter.
  TVLMExpressionPtr FilterTextExpression;
  TVLMExpression* FilterExpression = nullptr;
  TVLMRecordFilter FilterCallback;

  // Copy of the current record the table data takes while it steps in index
  // order: the key from which a search continues.
  uint8_t* ScratchRecordBuffer = nullptr;
  // Where the storage engine left off in an index between two calls.
  TVLMIndexPositionCache PositionCache;
  // While set, creating or dropping an index leaves its constraint alone.
  bool SuppressIndexConstraints = false;

  // Flags set by the owner before OpenTable, and the cursor's own.
  bool ReadOnly = false;
  bool Exclusive = false;
  bool InMemory = false;
  bool Temporary = false;
  bool DisableTempFiles = false;
  bool DesignMode = false;
  bool RepairMode = false;
  // What the repair-mode open of a disk table left out of the table, a line
  // ending in CR LF for each page.
  std::string RepairLog;
  bool TableLocked = false;
  bool NoAutoCommit = false;
  bool Opened = false;
  bool ImplicitTransaction = false;

  // Result of the last write: 0, or -1 .. -13 with a text for -8.
  int32_t ResultCode = 0;
  std::string ResultText;
  // Set while the table is open only because a statement keeps it between
  // its runs: closes it (the cursor goes with it) when another cursor of the
  // process wants the table alone (TVLMLocalCursor::ReleaseIdleCursors).
  std::function<void()> ReleaseIdle;

protected:
  // The table field behind field fieldNo of the chosen list, or the codes
  // given when the number is out of range.
  const TVLMFieldDef& TableField(int32_t fieldNo, bool tableFieldNo, int32_t tableCode, int32_t cursorCode,
                                 int32_t& tableNo) const;
};

// Where a cursor stands and what its next step goes on from (its position,
// record buffer and the records its position cache keeps: the index's state
// and the table data's last records), taken when made and put back when it
// ends. Reads at other places in between, or reads of the cursor's record
// that are no step (a probe of a bookmark, a comparison of two), leave the
// cursor as it was: its next step still goes on from the record its own
// step or placement read, whatever another connection committed since.
class TVLMKeptPlace {
public:
  explicit TVLMKeptPlace(TVLMCursor& cursor);
  ~TVLMKeptPlace();
  TVLMKeptPlace(const TVLMKeptPlace&) = delete;
  TVLMKeptPlace& operator=(const TVLMKeptPlace&) = delete;

private:
  TVLMCursor& Cursor_;
  TVLMCursorPosition Position_;
  uint8_t* RecordBuffer_;
  TVLMIndexPositionCache Cache_;
};

// Checks, in debug builds, that what happens while it lives leaves the
// cursor where it stood (engine/components/VLMMain.h invariant 5: only
// moves place a dataset's cursor): its position, record buffer, and the
// record and reader states its next step goes on from. Made around reads
// that are no move.
class TVLMUnmovedCheck {
public:
  explicit TVLMUnmovedCheck(const TVLMCursor& cursor);
  ~TVLMUnmovedCheck();
  TVLMUnmovedCheck(const TVLMUnmovedCheck&) = delete;
  TVLMUnmovedCheck& operator=(const TVLMUnmovedCheck&) = delete;

private:
  bool Unmoved() const;

  const TVLMCursor& Cursor_;
  TVLMCursorPosition Position_;
  const uint8_t* RecordBuffer_;
  int32_t IndexID_;
  TVLMRecordID CacheRecordID_;
  const void* IndexState_;
  const void* RecordState_;
};

// value into the field's place of recordBuffer, as TVLMCursor::SetFieldValue
// writes it: null (or an empty text) sets bit nullBit; otherwise the bit is
// cleared and the value, cast to the field's base type, fills at most
// DataSize bytes (the rest zero, text cut and terminated).
void VLMPutFieldValue(const TVLMVariant& value, const TVLMFieldDef& field, int32_t nullBit, uint8_t* recordBuffer);

// ------------------------------------------------------- named objects

class TVLMSessionNamedObject {
public:
  explicit TVLMSessionNamedObject(int32_t objectID = -1) : ObjectID(objectID) {}
  virtual ~TVLMSessionNamedObject() = default;

  int32_t ObjectID;
  std::string Name;
};

// The last value a sequence (an autoincrement field) gave in the session.
class TVLMSessionNamedObjectSequenceValue : public TVLMSessionNamedObject {
public:
  TVLMSessionNamedObjectSequenceValue(int32_t objectID, int64_t value)
      : TVLMSessionNamedObject(objectID), Value(value) {}

  int64_t Value;
};

// --------------------------------------------------------------- session

class TVLMBaseSession {
public:
  TVLMBaseSession() = default;
  virtual ~TVLMBaseSession();
  TVLMBaseSession(const TVLMBaseSession&) = delete;
  TVLMBaseSession& operator=(const TVLMBaseSession&) = delete;

  // ---- virtual operations, in slot order ----

  virtual bool GetConnected() = 0;
  virtual void SetConnected(bool value) = 0;
  virtual bool GetSessionOption() = 0;
  virtual void SetSessionOption(bool value) = 0;
  virtual void CreateDatabase() = 0;
  // Two operations kept for further session kinds; the local session leaves
  // both empty.
  virtual void ReservedOperation1() = 0;
  virtual void ReservedOperation2(const std::string& text) = 0;
  virtual void GetTableNames(qv::StringList& list) = 0;
  virtual bool TableExists(const std::string& tableName) = 0;
  // Base: replaces the object with the same ID (or, for ObjectID -1, the
  // same name), freeing it, then appends object.
  virtual void AddNamedObject(std::unique_ptr<TVLMSessionNamedObject> object);
  // Base: first object whose name equals name after upper-casing both.
  virtual TVLMSessionNamedObject* FindNamedObjectByName(std::string_view name);
  virtual TVLMSessionNamedObject* FindNamedObjectByID(int32_t objectID);
  // Base: frees and removes the object with that ID; nothing when none.
  virtual void RemoveNamedObject(int32_t objectID);
  virtual void StartTransaction() = 0;
  // Outside a transaction: 20229 (CheckInTransaction).
  virtual void Commit(bool flushBuffers) = 0;
  virtual void Rollback() = 0;
  virtual void FlushBuffers() = 0;

  // ---- state ----

  // "MEMORY" and "TEMP" name the two built-in databases.
  std::string DatabaseName;
  std::string DatabaseFileName;
  // -1 until a database data connects the session.
  int32_t SessionID = -1;
  bool InTransaction = false;
  bool ReadOnly = false;
  bool Exclusive = false;
  int32_t MaxConnections = 0;
  // Set by the disk engine when the file was not closed correctly or has an
  // older format.
  bool NeedsRepair = false;
  // Set by the disk engine when the open that connected the session rolled
  // back a commit cut short (its writer stopped inside it): the file is as
  // its last finished commit left it, though pages the cut commit took and
  // the file's length may differ in bytes from a copy taken then.
  bool RolledBackOnOpen = false;
  bool MultiUser = false;
  // Other connections may commit to the file while this session reads it:
  // a multi-user session, or a single-user one let in read-only beside the
  // connection that holds the file. Set by the disk engine at connection.
  bool SharesFile = false;
  std::string MultiUserSessionName;
  std::vector<std::unique_ptr<TVLMSessionNamedObject>> NamedObjects;

protected:
  // Raises 20229 "Database is not within a transaction. Cannot perform
  // operation" unless InTransaction; Commit and Rollback start with it.
  void CheckInTransaction() const;
};
