// The generic dataset: a scrollable window of records over some storage, with
// fields, editing, bookmarks, calculated fields, data sources and events.
// Storage engines derive from DataSet and supply the record-buffer protocol
// (the pure virtual and "Internal..." operations below); everything else is
// built here on top of it.
//
// Record buffers. The dataset keeps a ring of BufferCount + 1 buffers, each
// AllocRecordBuffer() bytes, laid out by the subclass (record data, bookmark,
// bookmark flag, calculated-field area). Buffers [0, RecordCount) hold the
// records on show, in order; ActiveRecord is the current one; the buffer after
// the last one on show is the spare ("temp buffer") that fetches land in.
// BufferCount is the largest BufferCount of the attached data links (a grid
// shows ten records, an edit shows one), at least 1.
//
// Cursor. The subclass has its own cursor, which need not stand on the active
// record: CurrentRecord says which buffer it matches (-1: unknown). Before any
// cursor move relative to the records on show, UpdateCursorPos puts the cursor
// back on the active record (InternalSetToRecord); after a move that leaves the
// buffers, CursorPosChanged forgets the match.
//
// States (State()):
//   dsInactive --Open--> dsBrowse --Edit--> dsEdit   --Post/Cancel--> dsBrowse
//                                 --Insert/Append--> dsInsert --Post/Cancel--> dsBrowse
//   dsBrowse --Close--> dsInactive
// Temporary states (dsCalcFields, dsFilter, dsNewValue, dsOldValue,
// dsInternalCalc, dsSetKey for a subclass) are entered with SetTempState and
// left with RestoreState; while one is set, field reads and writes go to the
// buffer that state names (ActiveRecordBuffer), not to the active record.
//
// Rules the application relies on:
//   - Next/Prior/First/Last/MoveBy/Locate post a modified pending edit or
//     insert, and cancel an unmodified one (CheckBrowseMode).
//   - Eof is true after Next past the last record, and at once on an empty
//     dataset; Bof likewise at the start.
//   - Edit on an empty dataset appends.
//   - Edit, Insert and Append refuse when the dataset cannot be modified
//     (GetCanModify); Delete does not check that, the subclass does.
//   - Post: data links write their pending changes, required fields are
//     checked, InternalPost, state browse, Resync. When InternalPost raises, the
//     dataset stays in edit or insert state with the record as typed.
//   - Cancel restores the record that was current before the edit or insert.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dataset/Defs.h"
#include "platform/dataset/FieldTypes.h"
#include "platform/dataset/Fields.h"
#include "platform/host/Component.h"
#include "platform/host/ScopeExit.h"

namespace qv {

class DataLink;
class DataSource;
class Stream;

using RecordBuffer = uint8_t*;
// A bookmark's bytes; empty = no bookmark.
using Bookmark = std::vector<uint8_t>;

// How Resync rebuilds the records on show: rmExact requires the cursor's
// record to exist (else "Record not found"); rmCenter puts it in the middle
// of the window instead of where the active record was.
using TResyncMode = uint8_t;
constexpr TResyncMode rmExact = 1;
constexpr TResyncMode rmCenter = 2;

class DataSet : public Component {
public:
  using NotifyEvent = std::function<void(DataSet&)>;
  using FilterRecordEvent = std::function<void(DataSet&, bool& accept)>;

  explicit DataSet(Component* owner = nullptr);
  ~DataSet() override;

  // ---- opening and state
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return State_ != dsInactive; }
  virtual void SetActive(bool value);
  TDataSetState State() const { return State_; }
  bool Modified() const { return Modified_; }
  bool CanModify() { return GetCanModify(); }
  // "Cannot perform this operation on a closed/open dataset".
  void CheckActive() const;
  void CheckInactive() const;

  // ---- navigation
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to distance records; returns how many it moved (negative back).
  int32_t MoveBy(int32_t distance);
  bool Bof() const { return BOF_; }
  bool Eof() const { return EOF_; }
  bool IsEmpty() const { return ActiveRecord_ >= BufferRecordCount_; }
  void Refresh();
  void Resync(TResyncMode mode);
  int32_t RecordCount() { return GetRecordCount(); }
  // 1-based position of the current record; -1 when the storage has none.
  int32_t RecNo() { return GetRecNo(); }
  virtual void SetRecNo(int32_t value);

  // ---- editing
  void Edit();
  void Insert();
  void Append();
  // Virtual so that a storage with more states (set-key) can finish them.
  virtual void Post();
  virtual void Cancel();
  void Delete();
  // Posts a modified edit or insert, cancels an unmodified one.
  void CheckBrowseMode();
  // Lets the data links write their pending changes into the fields.
  void UpdateRecord();

  // ---- bookmarks
  bool BookmarkAvailable();
  // Empty when no bookmark is available.
  Bookmark GetBookmark();
  // An empty bookmark does nothing.
  void GotoBookmark(const Bookmark& bookmark);
  virtual bool BookmarkValid(const uint8_t* bookmark);
  bool BookmarkValid(const Bookmark& bookmark) { return BookmarkValid(bookmark.empty() ? nullptr : bookmark.data()); }
  // < 0, 0, > 0 by position; nullptr sorts after any bookmark, two nullptrs
  // are equal. The base orders by nothing but that and returns 0 otherwise.
  virtual int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2);

  // ---- data-aware controls
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return DisableCount_ != 0; }
  // Sends event to the data sources (unless controls are disabled); see
  // TDataEvent. info: a Field* for deFieldChange, a distance for
  // deDataSetScroll, else 0.
  virtual void DataEvent(TDataEvent event, intptr_t info);

  // ---- fields and definitions
  Fields& GetFields() { return Fields_; }
  FieldDefs& GetFieldDefs() { return FieldDefs_; }
  IndexDefs& GetIndexDefs() { return IndexDefs_; }
  int32_t FieldCount() const { return Fields_.Count(); }
  // Ignores case; FieldByName raises "<Name>: Field '%s' not found".
  Field* FindField(std::string_view name) const { return Fields_.FindField(name); }
  Field* FieldByName(std::string_view name) const { return Fields_.FieldByName(name); }
  Field* FieldByNumber(int32_t fieldNo) const { return Fields_.FieldByNumber(fieldNo); }
  // The fields named in a ";"-separated list (FieldByName for each).
  void GetFieldList(std::vector<Field*>& list, std::string_view fieldNames) const;
  // One field's value, or a variant array (0-based) of several fields' values.
  HostVariant FieldValues(std::string_view fieldNames) const;
  void SetFieldValues(std::string_view fieldNames, const HostVariant& values);
  // Fills FieldDefs from the storage (opening it for the purpose when closed).
  virtual void InitFieldDefs();
  virtual void UpdateIndexDefs() {}
  // A definition list of this dataset was changed by its user.
  virtual void DefChanged(void* sender) {}
  // True when the fields were created from the definitions at open.
  bool DefaultFields() const { return DefaultFields_; }
  int32_t CalcFieldsSize() const { return CalcFieldsSize_; }

  // ---- field data (called by the fields)
  // (A subclass that overrides the two-argument forms keeps the others
  // visible with `using DataSet::GetFieldData; using DataSet::SetFieldData;`.)
  // Reads field's value from the record the state names into buffer (the
  // record-buffer form); false when null. buffer nullptr asks for null-ness.
  virtual bool GetFieldData(Field* field, void* buffer) = 0;
  // Stores buffer (nullptr = null) into the record the state names.
  virtual void SetFieldData(Field* field, void* buffer) = 0;
  // The same in the field's own form when not nativeFormat (DataConvert).
  bool GetFieldData(Field* field, void* buffer, bool nativeFormat);
  void SetFieldData(Field* field, void* buffer, bool nativeFormat);
  // A stream over a BLOB field of the record the state names; nullptr when the
  // storage has none. Writes reach the record when the stream is destroyed.
  virtual std::unique_ptr<Stream> CreateBlobStream(Field* field, TBlobStreamMode mode);
  // Ends the use of a BLOB field's value (the storage may release it).
  virtual void CloseBlob(Field* field) {}
  virtual bool GetIsIndexField(Field* field) { return false; }
  // Reads the current record into buffer; false when there is none.
  virtual bool GetCurrentRecord(RecordBuffer buffer) { return false; }

  // ---- searching
  // Makes the first record (in the current order) whose keyFields equal
  // keyValues current and returns true; false and nothing moved when none.
  // keyValues: one value, or a variant array with one value per field.
  // loCaseInsensitive compares text without case, loPartialKey lets a text
  // key match the start of the field.
  virtual bool Locate(std::string_view keyFields, const HostVariant& keyValues, TLocateOptions options);
  // The resultFields of the first record that matches, without moving; Null
  // when none matches.
  virtual HostVariant Lookup(std::string_view keyFields, const HostVariant& keyValues,
                             std::string_view resultFields);
  // Moves to the next (or prior) record that passes the filter, from the
  // start (end) when restart; true when one was found.
  virtual bool FindRecord(bool restart, bool goForward);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindPrior() { return FindRecord(false, false); }

  // ---- filters (the storage applies them; the base only keeps them)
  const std::string& Filter() const { return Filter_; }
  virtual void SetFilterText(std::string_view value);
  bool Filtered() const { return Filtered_; }
  virtual void SetFiltered(bool value);
  TFilterOptions FilterOptions() const { return FilterOptions_; }
  virtual void SetFilterOptions(TFilterOptions value);
  const FilterRecordEvent& OnFilterRecord() const { return OnFilterRecord_; }
  virtual void SetOnFilterRecord(FilterRecordEvent value);

  // ---- links
  // The data source this dataset follows (a detail's master); none here.
  virtual DataSource* GetDataSource() { return nullptr; }
  // The master's fields and this dataset's fields that link a detail to its
  // master; none here.
  virtual void GetDetailLinkFields(std::vector<Field*>& masterFields, std::vector<Field*>& detailFields) {}
  // True when following dataSource's chain of masters leads back here.
  bool IsLinkedTo(DataSource* dataSource);
  int32_t BufferCount() const { return BufferCount_; }
  int32_t ActiveRecord() const { return ActiveRecord_; }

  // ---- events
  NotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  NotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  NotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  NotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  NotifyEvent BeforeRefresh, AfterRefresh;
  NotifyEvent OnNewRecord, OnCalcFields;

  void Notification(Component* component, Operation operation) override;

protected:
  // For a subclass's destructor: closes without Before/AfterClose events and
  // without raising (buffers and cursor belong to the subclass, so the base
  // destructor cannot close).
  void CloseForDestruction();

  // ---- the record-buffer protocol
  virtual RecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(RecordBuffer& buffer) = 0;
  // Fetches the record at (gmCurrent), after (gmNext) or before (gmPrior) the
  // cursor into buffer and moves the cursor onto it; grBOF/grEOF at the ends
  // (the cursor then stands on that crack); grError when the record is gone
  // (raising instead when doCheck). Fills the buffer's bookmark, sets its
  // flag to bfCurrent and computes its calculated fields (GetCalcFields).
  virtual TGetResult GetRecord(RecordBuffer buffer, TGetMode getMode, bool doCheck) = 0;
  // Bytes of record data (without bookmark and calculated fields).
  virtual int32_t GetRecordSize() = 0;
  virtual void GetBookmarkData(RecordBuffer buffer, void* data) {}
  virtual TBookmarkFlag GetBookmarkFlag(RecordBuffer buffer) { return bfCurrent; }
  virtual void SetBookmarkData(RecordBuffer buffer, const void* data) {}
  virtual void SetBookmarkFlag(RecordBuffer buffer, TBookmarkFlag value) {}
  // A new record: InternalInitRecord, calculated fields cleared, flag
  // bfInserted.
  virtual void InitRecord(RecordBuffer buffer);
  virtual void InternalInitRecord(RecordBuffer buffer) {}
  virtual void ClearCalcFields(RecordBuffer buffer) {}
  virtual void InternalGotoBookmark(const void* bookmark) {}
  virtual void InternalSetToRecord(RecordBuffer buffer) {}
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void OpenCursor(bool infoQuery);
  virtual void CloseCursor();
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual void InternalInitFieldDefs() = 0;
  virtual bool IsCursorOpen() = 0;
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  virtual void InternalPost() {}
  virtual void InternalCancel() {}
  virtual void InternalDelete() {}
  virtual void InternalAddRecord(RecordBuffer buffer, bool append) {}
  virtual void InternalRefresh() {}
  // Reports an exception that the dataset does not pass on (called from
  // within a catch block; the base itself catches none).
  virtual void InternalHandleException() {}
  virtual bool GetCanModify() { return true; }
  virtual int32_t GetRecordCount() { return -1; }
  virtual int32_t GetRecNo() { return -1; }
  // Converts a field value between the field's own form and the record-buffer
  // form. Own forms: a double date-time for ftDate, ftTime and ftDateTime; a
  // std::u16string for ftWideString (cut to Size characters on the way in).
  virtual void DataConvert(Field* field, const void* source, void* dest, bool toNative);

  // One step of FindRecord: the next (or prior) record into the temporary
  // buffer; true when there is one.
  virtual bool FindRecordStep(bool goForward);

  // ---- events and hooks
  virtual void DoOnNewRecord();
  virtual void DoBeforeScroll();
  virtual void DoAfterScroll();
  virtual void DoOnCalcFields();
  void CallEvent(const NotifyEvent& event) {
    if (event) event(*this);
  }

  // ---- calculated fields
  // Computes the calculated and lookup fields of buffer in the calc-fields
  // state (nothing when there are none).
  void GetCalcFields(RecordBuffer buffer);
  virtual void CalculateFields(RecordBuffer buffer);

  // ---- fields
  void CreateFields();
  void DestroyFields();
  // Binding: data fields get their FieldNo from FieldDefs ("Field '%s' not
  // found" when missing, "Type mismatch ..." when the types differ),
  // calculated and lookup fields their Offset in the calculated-field area;
  // CalcFieldsSize is set. Unbinding clears the numbers.
  virtual void BindFields(bool binding);
  void CheckRequiredFields();

  // ---- the buffer ring
  RecordBuffer ActiveBuffer() const { return Buffers_.empty() ? nullptr : Buffers_[static_cast<size_t>(ActiveRecord_)]; }
  RecordBuffer CalcBuffer() const { return CalcBuffer_; }
  RecordBuffer TempBuffer() const {
    return Buffers_.empty() ? nullptr : Buffers_[static_cast<size_t>(BufferRecordCount_)];
  }
  RecordBuffer Buffers(int32_t index) const { return Buffers_[static_cast<size_t>(index)]; }
  int32_t BufferRecordCount() const { return BufferRecordCount_; }
  int32_t CurrentRecord() const { return CurrentRecord_; }
  // The buffer that field reads and writes use in the current state: the
  // active record (browse: nullptr when empty; edit, insert), the calculation
  // buffer (calc-fields), FilterBuffer_ (filter); nullptr otherwise.
  RecordBuffer ActiveRecordBuffer() const;
  void UpdateCursorPos();
  void CursorPosChanged() { CurrentRecord_ = -1; }
  void ClearBuffers();
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  // MoveBy's steps: result counts them, scrollCount the buffer shifts.
  void MoveRecords(int32_t distance, int32_t& result, int32_t& scrollCount);
  int32_t GetNextRecords();
  int32_t GetPriorRecords();
  void SetCurrentRecord(int32_t index);
  void MoveBuffer(int32_t curIndex, int32_t newIndex);
  virtual void SetBufferCount(int32_t value);
  void UpdateBufferCount();

  // ---- state
  void SetState(TDataSetState value);
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);
  // Enters dsFilter with buffer as the record the filter reads; the state
  // and the filter record before come back when the returned guard ends.
  [[nodiscard]] auto EnterFilterState(RecordBuffer buffer) {
    const RecordBuffer savedBuffer = std::exchange(FilterBuffer_, buffer);
    const TDataSetState savedState = SetTempState(dsFilter);
    return ScopeExit([this, savedBuffer, savedState] {
      FilterBuffer_ = savedBuffer;
      RestoreState(savedState);
    });
  }
  void SetModified(bool value) { Modified_ = value; }

  // The generic search behind Locate and Lookup: walks the records from the
  // first in the filter state, reading each into the temp buffer; true with
  // the cursor on the match. The caller resynchronises.
  bool LocateRecord(std::string_view keyFields, const HostVariant& keyValues, TLocateOptions options);
  bool RecordMatches(const std::vector<Field*>& fields, const HostVariant& keyValues, TLocateOptions options) const;

  int32_t BookmarkSize_ = 0;
  RecordBuffer FilterBuffer_ = nullptr;

private:
  friend class DataSource;
  friend class DataLink;
  friend class Field;

  void DoInternalOpen();
  void OpenCursorComplete();
  void BeginInsertAppend();
  void EndInsertAppend();
  void CheckOperation(void (DataSet::*operation)());
  void SetBufListSize(int32_t value);
  void FreeFieldBuffers() {}
  void AddDataSource(DataSource* dataSource);
  void RemoveDataSource(DataSource* dataSource);
  void CalcLookupValue(Field* field);

  TDataSetState State_ = dsInactive;
  bool Modified_ = false;
  bool BOF_ = true;
  bool EOF_ = true;
  bool DefaultFields_ = false;
  bool InternalOpenComplete_ = false;
  bool SuppressCloseEvents_ = false;
  int32_t DisableCount_ = 0;
  TDataSetState DisableState_ = dsInactive;
  TDataEvent EnableEvent_ = deDataSetChange;
  int32_t CalcFieldsSize_ = 0;
  int32_t BufferCount_ = 0;
  int32_t BufferRecordCount_ = 0;
  int32_t ActiveRecord_ = 0;
  int32_t CurrentRecord_ = -1;
  std::vector<RecordBuffer> Buffers_;
  RecordBuffer CalcBuffer_ = nullptr;
  std::string Filter_;
  bool Filtered_ = false;
  TFilterOptions FilterOptions_ = 0;
  FilterRecordEvent OnFilterRecord_;
  std::vector<DataSource*> DataSources_;
  Fields Fields_;
  FieldDefs FieldDefs_;
  IndexDefs IndexDefs_;
};

}  // namespace qv
