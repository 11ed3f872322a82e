// TVLMDataSet is the dataset of the components over one engine cursor
// (TVLMLocalCursor): it fills in the generic dataset's record-buffer
// protocol, attaches itself to a database component through its session, and
// keeps bookmarks, filters, Locate and Lookup. TVLMTable (and the query of
// the SQL engine) derive from it and make the cursor (CreateHandle).
//
// Record buffer (AllocRecordBuffer; D = the cursor's RecordDataSize):
//
//   0        D bytes of engine record: null bitmap, then the fields
//   D        6-byte bookmark {u32 page, u16 row}
//   D + 6    bookmark flag: 0 current, 1 first, 2 last, 3 inserted
//            (the dataset layer's TBookmarkFlag values)
//   D + 7    calculated-field area, CalcFieldsSize bytes: per calculated or
//            lookup field one has-value byte, then its value (DataSize bytes;
//            a wide string keeps a 32-bit holder index there, see below)
//
// GetRecordSize is D. Key buffers are D + 6 bytes: the engine record image,
// then {u8 modified, u8 exclusive, i32 field count}.
//
// Field values move between a field and the record through the cursor's
// field list (engine field = FieldNo - 1). Dates, times and date-times are
// converted between the engine's forms (day number; milliseconds since
// midnight; time stamp {day, ms}) and the dataset layer's (the same day
// number; the same milliseconds; a double of milliseconds since day 0).
// Narrower engine integers (BYTE into a word field, a 1- or 2-byte
// autoincrement into a 4-byte one) are zero- or sign-extended.
//
// A wide-string calculated field keeps its value in a holder of the
// components' runtime (TVLMComponentRuntime::HoldWideString), which lives
// until the runtime shuts down; the slot holds the holder's index (0 = none
// yet) and later writes to the same slot reuse it.
//
// Attached to the database: SetDBFlag records why the dataset uses its
// database (flags 0-15: 0 cursor open, 3 table create/delete/empty/rename,
// 4 reading the field definitions of a closed table, 5 index work, 11
// repair). The first flag set opens the database through the session
// (TVLMSession::OpenDatabase); the last one cleared closes it again.
//
// Lifecycle:
//   closed --Open--> OpenCursor: DatabaseName checked, SetDBFlag(0, true),
//            CreateHandle, InternalOpen --> open
//   open --Close--> CloseCursor: InternalClose, DestroyHandle,
//            SetDBFlag(0, false) --> closed
//
// 32-bit counts: RecordCount saturates at 2^31 - 1; a record whose number
// is beyond that has RecNo -1 ("no number").
//
// Error codes: the design's "Nil pointer occured" codes of each operation
// (listed at the operations), 10007 field write outside the edit states,
// 10026 record not read, 10029-10032, 10068-10071, 10075-10078 writes,
// 10106/10107 BLOB write on a read-only dataset, 10111 BLOB write outside
// edit and insert, 10271 Locate on a closed dataset, 10325 unknown index,
// 20001 no cursor made, 20019 key field; and 10800 a BLOB stream on a field
// of another kind of dataset, 10801 calculated-field write without a record,
// 10804 insert without a cursor, 20590 attaching while the runtime is down,
// 10840 a column of a type no field shows (VLMMainDefinitions), 10841 a
// value written into a column narrower than its field that the column
// cannot hold.

#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 3
#error "engine/components lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/components/VLMMainDefinitions.h"
#include "engine/core/VLMStreams.h"
#include "engine/core/VLMTypesDefs.h"
#include "engine/core/VLMVariant.h"
#include "platform/dataset/DataSet.h"

class TVLMCursor;
class TVLMCursorBLOBStream;
class TVLMDatabase;
class TVLMExpression;
class TVLMLocalCursor;
class TVLMQueryOperator;
class TVLMSession;

namespace qv {
class StringList;
}  // namespace qv

class TVLMDataSet : public qv::DataSet {
public:
  // Reasons for being attached to the database (SetDBFlag).
  static constexpr int32_t kDBFlagCursor = 0;
  static constexpr int32_t kDBFlagTable = 3;
  static constexpr int32_t kDBFlagFieldDefs = 4;
  static constexpr int32_t kDBFlagIndexes = 5;
  // A restructure keeps the database connected from its first step to its
  // last (VLMMainRestructure.cpp).
  static constexpr int32_t kDBFlagRestructure = 6;
  // A table copy or import keeps its destination's database connected from
  // its first step to its last (VLMMainCopy.cpp).
  static constexpr int32_t kDBFlagCopy = 7;
  static constexpr int32_t kDBFlagRepair = 11;
  // Six bookmark bytes and one spare, as the dataset layer keeps them.
  static constexpr int32_t kBookmarkSize = 7;

  explicit TVLMDataSet(qv::Component* owner = nullptr);
  ~TVLMDataSet() override;

  // ---- published properties
  const std::string& DatabaseName() const { return DatabaseName_; }
  // Closed only; "Cannot perform this operation on an open database" while
  // attached to a database. InMemory follows: true for "MEMORY" in any case.
  void SetDatabaseName(std::string_view value);
  // Empty = the default session.
  const std::string& SessionName() const { return SessionName_; }
  void SetSessionName(std::string_view value);
  bool InMemory() const { return InMemory_; }
  // Closed only; true also sets DatabaseName to "MEMORY".
  void SetInMemory(bool value);
  // "6.20 ".
  std::string CurrentVersion() const;
  bool ReadOnly = false;
  // Field and index definitions are kept with the component (TVLMTable).
  bool StoreDefs = false;
  // The cursor does not take VLMDesignMode.
  bool KeepDesignMode = false;

  // ---- state
  TVLMLocalCursor* Handle() const { return Handle_.get(); }
  TVLMDatabase* Database() const { return Database_; }
  bool DBFlag(int32_t flag) const;
  // Attaches to (first flag) or detaches from (last flag) the database.
  // Flags above 15 are never recorded. Virtual: a query unprepares when its
  // last flag goes.
  virtual void SetDBFlag(int32_t flag, bool value);
  // Closes the dataset (the query also unprepares).
  virtual void Disconnect();

  // ---- the SQL engine's hooks
  // The component whose database components this dataset finds first when
  // it attaches to its database: its owner unless set. A statement's table
  // components belong to the statement alone (no owner frees them behind
  // its back) and find the database components their query finds. The
  // component is only compared, never reached through.
  void SetDatabaseOwner(qv::Component* component) { DatabaseOwner_ = component; }
  qv::Component* DatabaseOwner() const { return DatabaseOwner_ != nullptr ? DatabaseOwner_ : Owner(); }
  // A ready expression as the cursor's filter (not owned); no cursor 10300.
  void SetFilterExpression(TVLMExpression* expression, TVLMQueryOperator* operand = nullptr,
                           TVLMCursor* outerCursor = nullptr);
  // The cursor's fields become the named table fields under the aliases;
  // the dataset reopens on the same cursor, unless the cursor shows that
  // projection already. No cursor 10320.
  void SetProjection(const qv::StringList& fieldNames, const qv::StringList& aliasNames);
  // The cursor shows all the table's fields again, under their names; the
  // dataset reopens on the same cursor. No cursor 10320.
  void ClearProjection();
  // The cursor with its record buffer on the record the dataset's state
  // names (nullptr when it shows none): for a caller that copies values at
  // cursor level rather than through the dataset's fields. No cursor 10500.
  TVLMLocalCursor* CursorAtActiveRecord();
  // No cursor 10326.
  bool HasIndexFields();
  // Switches the cursor to index name (range reset first).
  void SetIndexNameInternal(std::string_view name);
  // Field fieldNo of the record the state names, through the cursor (a BLOB
  // read whole through a BLOB stream). No cursor 10315 / 10316.
  void GetFieldVariant(TVLMVariant& value, int32_t fieldNo, bool tableFieldNo);
  void SetFieldVariant(const TVLMVariant& value, int32_t fieldNo, bool tableFieldNo);
  // Field fieldNo of this dataset's record (of the table's list when
  // tableFieldNo) into field otherFieldNo of other's record, straight through
  // the cursors. No cursor 10500, nil other 10503, other without cursor
  // 10504.
  void CopyFieldValue(int32_t fieldNo, bool tableFieldNo, TVLMDataSet* other, int32_t otherFieldNo);

  // ---- record copy (VLMMainCopy.cpp)
  using CopyProgressEvent = std::function<void(qv::DataSet& sender, int32_t percent, bool& cont)>;
  // Copies every record of source (from its first) into dest, appended and
  // posted one by one, field by field: a source field goes to the dest field
  // of its name or, with matchByRestructure between two tables, to the field
  // the source's restructure definitions give its identity. source keeps its
  // position. A value that cannot be written becomes null and a record that
  // cannot be posted is cancelled, each with a line in log ("Record #n"
  // counts from 1); without ignoreErrors that exception then passes on. A
  // source field without a field object is 10499. onProgress is called
  // after the first record and then every Min(step, 30) records, step being
  // RecordCount / (maxPercent - minPercent) + 1 (1 for an empty range),
  // with minPercent plus the share of the range done; when it leaves cont
  // false the copy ends with "Terminated by User." in log. True when every
  // record and field was copied and the copy was not stopped. batched, for a
  // disk table dest outside a transaction: the posts are committed together
  // in batches of TVLMRetrySettings::CopyBatchBytes of changed pages and at
  // the end, each under dest's commit lock (20224 "Table is locked" when it
  // cannot be had); an exception rolls back those since the last commit.
  // With ignoreErrors a batched copy leaves out only the records dest's
  // constraints refuse (engine error -8); any other failed post raises.
  static bool CopyRecords(qv::DataSet& source, qv::DataSet& dest, std::string& log, bool& cont, bool ignoreErrors,
                          bool matchByRestructure, const CopyProgressEvent& onProgress, int32_t minPercent,
                          int32_t maxPercent, bool batched = false);

  // ---- BLOBs
  // The cursor's stream over field's value in the record the state names
  // (nullptr when there is no record or the cursor gives none). No cursor
  // 10108; a writing mode outside edit and insert 10111.
  TVLMCursorBLOBStream* OpenBlob(qv::Field* field, qv::TBlobStreamMode mode);
  void CloseBlob(qv::Field* field) override;
  // A TVLMBLOBStream; a writing mode on a read-only dataset 10107.
  std::unique_ptr<qv::Stream> CreateBlobStream(qv::Field* field, qv::TBlobStreamMode mode) override;

  // ---- the overridden dataset operations
  using qv::DataSet::BookmarkValid;
  using qv::DataSet::GetFieldData;
  using qv::DataSet::SetFieldData;
  bool GetFieldData(qv::Field* field, void* buffer) override;
  void SetFieldData(qv::Field* field, void* buffer) override;
  void SetActive(bool value) override;
  void SetRecNo(int32_t value) override;
  bool BookmarkValid(const uint8_t* bookmark) override;
  int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) override;
  bool GetCurrentRecord(qv::RecordBuffer buffer) override;
  bool GetIsIndexField(qv::Field* field) override;
  bool Locate(std::string_view keyFields, const qv::HostVariant& keyValues, qv::TLocateOptions options) override;
  // Moves to the first record, in the current index's order, whose field
  // fieldName is value or above (a search down the index when it is the
  // index's first column); false, and the dataset where it was, when there
  // is none.
  bool LocateNotBelow(const std::string& fieldName, const TVLMVariant& value);
  qv::HostVariant Lookup(std::string_view keyFields, const qv::HostVariant& keyValues,
                         std::string_view resultFields) override;
  bool FindRecord(bool restart, bool goForward) override;
  void SetFilterText(std::string_view value) override;
  void SetFiltered(bool value) override;
  void SetFilterOptions(qv::TFilterOptions value) override;
  void SetOnFilterRecord(FilterRecordEvent value) override;

  // ---- definitions of the open table
  // Engine definitions read from the cursor, the extended ones built from
  // them, and a second extended pair that restructuring fills.
  TVLMFieldDefs EngineFieldDefs;
  TVLMIndexDefs EngineIndexDefs;
  TVLMConstraintDefs ConstraintDefs;
  TVLMAdvFieldDefs AdvFieldDefs;
  TVLMAdvIndexDefs AdvIndexDefs{this};
  TVLMAdvFieldDefs RestructureFieldDefs;
  TVLMAdvIndexDefs RestructureIndexDefs{this};

protected:
  // Key buffers, by use.
  enum KeyIndex : int32_t { kiLookup = 0, kiRangeStart, kiRangeEnd, kiCurRangeStart, kiCurRangeEnd, kiSave };
  static constexpr int32_t kKeyBufferCount = 6;

  // ---- new virtual operations
  // The cursor of the open dataset; none here (the table and the query make
  // one).
  virtual std::unique_ptr<TVLMLocalCursor> CreateHandle();
  // Frees the cursor, unless a projection keeps it (StaticCursor_).
  virtual void DestroyHandle();
  // Called at the end of InternalOpen.
  virtual void PrepareCursor() {}
  // The database closes queries before the other datasets.
  virtual bool IsQuery() const { return false; }
  // The dataset's session component (see AttachDatabase).
  TVLMSession* SessionOf() const;

  // ---- the record-buffer protocol
  qv::RecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(qv::RecordBuffer& buffer) override;
  qv::TGetResult GetRecord(qv::RecordBuffer buffer, qv::TGetMode getMode, bool doCheck) override;
  int32_t GetRecordSize() override;
  void GetBookmarkData(qv::RecordBuffer buffer, void* data) override;
  qv::TBookmarkFlag GetBookmarkFlag(qv::RecordBuffer buffer) override;
  void SetBookmarkData(qv::RecordBuffer buffer, const void* data) override;
  void SetBookmarkFlag(qv::RecordBuffer buffer, qv::TBookmarkFlag value) override;
  void InitRecord(qv::RecordBuffer buffer) override;
  void InternalInitRecord(qv::RecordBuffer buffer) override;
  void ClearCalcFields(qv::RecordBuffer buffer) override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(qv::RecordBuffer buffer) override;
  void InternalFirst() override;
  void InternalLast() override;
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  bool IsCursorOpen() override { return Handle_ != nullptr; }
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalAddRecord(qv::RecordBuffer buffer, bool append) override;
  void InternalRefresh() override;
  void InternalHandleException() override;
  bool GetCanModify() override;
  int32_t GetRecordCount() override;
  int32_t GetRecNo() override;

  // ---- shared by the table
  // The buffer field reads and writes use in the current state.
  qv::RecordBuffer GetActiveRecBuf() const;
  // Finds the record; the cursor stays on it (the caller resynchronises).
  bool LocateRecord(std::string_view keyFields, const qv::HostVariant& keyValues, qv::TLocateOptions options);
  void ActivateFilters();
  void DeactivateFilters();
  // Both current-range buffers reinitialised and the cursor's range
  // cancelled; true when a range was set. No cursor 10287.
  bool ResetRange();
  void UpdateIndexFieldMap();
  uint8_t* KeyBuffer(KeyIndex index) const { return KeyBuffers_[index]; }
  // The key buffer being edited in the set-key state.
  uint8_t* EditKeyBuffer_ = nullptr;
  int32_t IndexFieldCount_ = 0;
  // 1-based field numbers of the current index's columns.
  std::vector<uint16_t> IndexFieldMap_;
  int32_t KeySize_ = 0;
  // Set while a projection rebuilds the dataset: the cursor survives the
  // close and CreateHandle gives it back.
  TVLMLocalCursor* StaticCursor_ = nullptr;
  // The names and aliases of the projection SetProjection last set.
  std::vector<std::string> ProjectionNames_;
  std::vector<std::string> ProjectionAliases_;
  std::unique_ptr<TVLMLocalCursor> Handle_;

  // The cursor, or code "Nil pointer occured".
  TVLMLocalCursor& RequireHandle(int32_t code) const;

private:
  friend class TVLMBLOBStream;

  // Closes the dataset and opens it again on cursor (its own, kept open):
  // the fields follow the cursor's new list.
  void ReopenOnCursor(TVLMLocalCursor& cursor);

  // The record's bookmark as the cursor's position (BOF and EOF cleared).
  void PositionAt(const uint8_t* bookmark);
  // The engine's sizes of the open cursor: record data size D, and the
  // record buffer grown by the calculated fields.
  int32_t RecordDataSize() const;
  void SizeCursorBuffers();
  bool RecordFilter(uint8_t* buffer);
  // The filter text and options stored; an open filtered dataset applies
  // them and goes to its first record.
  void SetFilterData(std::string_view text, qv::TFilterOptions options);
  // The session named SessionName (20002 when none; 20590 while the
  // runtime is down), its database opened for this dataset, and back.
  void CheckSharedDatabase();
  void AttachDatabase();
  void DetachDatabase();
  void FreeKeyBuffers();
  void FreeOldBuffer();
  // Calculated-field slot of field in buffer (has-value byte first).
  uint8_t* CalcSlot(qv::RecordBuffer buffer, const qv::Field* field) const;
  bool GetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer) const;
  void SetCalcFieldData(const qv::Field* field, qv::RecordBuffer recBuf, const void* buffer);
  bool GetDataFieldData(const qv::Field* field, qv::RecordBuffer recBuf, void* buffer);
  void SetDataFieldData(qv::Field* field, qv::RecordBuffer recBuf, void* buffer);
  // The fields whose dataset form is the engine record's bytes as they are
  // (GetDataFieldData would copy them unchanged), by FieldNo - 1: the null
  // bit (table field number), the offset in the record buffer and the size;
  // Size 0 for a field read the general way. Made when the dataset opens on
  // its cursor, dropped when the cursor's field list is made again.
  struct DirectRead {
    int32_t TableNo = 0;
    int32_t Offset = 0;
    int32_t Size = 0;
  };
  void BuildDirectReads();
  std::vector<DirectRead> DirectReads_;

  std::string DatabaseName_;
  std::string SessionName_;
  bool InMemory_ = false;
  uint16_t DBFlags_ = 0;
  TVLMDatabase* Database_ = nullptr;
  qv::Component* DatabaseOwner_ = nullptr;
  uint8_t* OldBuffer_ = nullptr;
  std::array<uint8_t*, kKeyBufferCount> KeyBuffers_{};
  bool InBlobRefresh_ = false;
};

// A dataset's stream over one BLOB field of the record its state names: the
// dataset opens the cursor's stream (TVLMDataSet::OpenBlob) and closes it
// again when this stream is destroyed; a write of at least one byte then
// marks the dataset modified and sends the field-change event. A stream the
// dataset could not open reads and writes nothing. When the cursor ends the
// BLOB first (a post, a cancel, a close), this stream is cut off from it and
// goes on reading and writing nothing.
class TVLMBLOBStream : public TVLMStream {
public:
  // A writing mode on a read-only dataset raises 10106; a field that does
  // not belong to a TVLMDataSet 10800. bmWrite empties the value.
  TVLMBLOBStream(qv::Field* field, qv::TBlobStreamMode mode);
  ~TVLMBLOBStream() override;

  void SetSize(int64_t newSize) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, qv::SeekOrigin origin) override;
  int64_t GetSize() override;
  // The dataset gave a cursor stream.
  bool IsOpen() const { return Stream_ != nullptr; }

private:
  class Link;
  friend class Link;

  qv::Field* Field_ = nullptr;
  TVLMDataSet* DataSet_ = nullptr;
  TVLMCursorBLOBStream* Stream_ = nullptr;
  // What the cursor's stream records as its owner. The cursor frees it when
  // it ends the BLOB first (this stream then lets go of the cursor's); else
  // this stream frees it.
  Link* Link_ = nullptr;
  int64_t Position_ = 0;
};
