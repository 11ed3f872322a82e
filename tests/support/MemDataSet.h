// Test support: an in-memory table and a dataset over it, for the tests of
// the dataset layer, of the engine's components (a second dataset to copy
// from and to) and of the application, and for the export benchmark. The
// program itself always runs on the engine's table component.
//
// MemTable holds a structure (FieldDefs, IndexDefs) and rows. Several
// MemDataSets may show one MemTable at once, as several table components show
// one stored table: what one posts, the others see at their next move or
// Refresh. A MemTable must outlive the datasets that show it.
//
// MemDataSet behaves as the engine's table component does where the
// application can tell:
//   - records come in the order of IndexName (an index of the table) or
//     IndexFieldNames (";"-separated fields), else in the order they were
//     added; equal keys keep that order;
//   - an empty text stored into a string field makes it null;
//   - autoincrement fields get the table's next number when a record is
//     inserted;
//   - a unique or primary index refuses a second record with the same key
//     ("Key violation"), leaving the dataset in edit or insert state;
//   - ReadOnly refuses edits in the base class and deletes in InternalDelete
//     ("Dataset is in read only mode");
//   - Filtered with OnFilterRecord hides the records the event refuses.
// Bookmarks are 8 bytes: a row number that never changes while the row exists.
//
// Record buffer: [record data][bookmark 8][flag 1][calculated fields]. Record
// data holds, per field of the table, a null byte (1 = null) and then the
// field's record-buffer form (DataSize bytes; BLOB fields have only the byte).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/Defs.h"

namespace qv {

class MemTable {
public:
  MemTable();
  ~MemTable();
  MemTable(const MemTable&) = delete;
  MemTable& operator=(const MemTable&) = delete;

  // The structure; change it only while the table holds no records.
  FieldDefs& GetFieldDefs() { return FieldDefs_; }
  IndexDefs& GetIndexDefs() { return IndexDefs_; }
  int32_t RecordCount() const { return static_cast<int32_t>(Rows_.size()); }
  // Deletes every record (the autoincrement counter goes on).
  void EmptyTable();

private:
  friend class MemDataSet;

  struct Column {
    TFieldType Type;
    int32_t Size;
    int32_t Offset;    // of the null byte in the record data
    int32_t DataSize;  // bytes after the null byte
    int32_t BlobIndex;  // -1 for a field that is no BLOB
  };
  struct Row {
    int64_t Id;
    std::vector<uint8_t> Data;
    std::vector<std::string> Blobs;
  };

  // Lays the records out by the field definitions.
  void Prepare();

  FieldDefs FieldDefs_;
  IndexDefs IndexDefs_;
  std::vector<Column> Columns_;
  int32_t RecordSize_ = 0;
  int32_t BlobCount_ = 0;
  std::vector<std::unique_ptr<Row>> Rows_;
  int64_t NextId_ = 1;
  int64_t NextAutoInc_ = 1;
  uint64_t ChangeStamp_ = 1;
};

class MemDataSet : public DataSet {
public:
  explicit MemDataSet(Component* owner = nullptr);
  ~MemDataSet() override;

  // The table shown; nullptr until set or created. Only while closed.
  MemTable* Table() const { return Table_; }
  void SetTable(MemTable* table);
  // Creates a table of this dataset's own from FieldDefs and IndexDefs.
  // Opening without a table does this when FieldDefs is not empty.
  void CreateTable();
  // Deletes every record of the table.
  void EmptyTable();

  bool ReadOnly() const { return ReadOnly_; }
  void SetReadOnly(bool value) { ReadOnly_ = value; }
  const std::string& IndexName() const { return IndexName_; }
  // "Index '%s' not found" (when open, or at the next open) for a name the
  // table has no index of.
  void SetIndexName(std::string_view name);
  const std::string& IndexFieldNames() const { return IndexFieldNames_; }
  void SetIndexFieldNames(std::string_view names);

  bool GetFieldData(Field* field, void* buffer) override;
  void SetFieldData(Field* field, void* buffer) override;
  using DataSet::GetFieldData;
  using DataSet::SetFieldData;
  std::unique_ptr<Stream> CreateBlobStream(Field* field, TBlobStreamMode mode) override;
  bool BookmarkValid(const uint8_t* bookmark) override;
  using DataSet::BookmarkValid;
  int32_t CompareBookmarks(const uint8_t* bookmark1, const uint8_t* bookmark2) override;
  bool GetCurrentRecord(RecordBuffer buffer) override;
  void SetFiltered(bool value) override;
  void SetOnFilterRecord(FilterRecordEvent value) override;
  void SetRecNo(int32_t value) override;
  void UpdateIndexDefs() override;

protected:
  RecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(RecordBuffer& buffer) override;
  TGetResult GetRecord(RecordBuffer buffer, TGetMode getMode, bool doCheck) override;
  int32_t GetRecordSize() override;
  void GetBookmarkData(RecordBuffer buffer, void* data) override;
  TBookmarkFlag GetBookmarkFlag(RecordBuffer buffer) override;
  void SetBookmarkData(RecordBuffer buffer, const void* data) override;
  void SetBookmarkFlag(RecordBuffer buffer, TBookmarkFlag value) override;
  void InternalInitRecord(RecordBuffer buffer) override;
  void ClearCalcFields(RecordBuffer buffer) override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(RecordBuffer buffer) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  bool IsCursorOpen() override { return CursorOpen_; }
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  bool GetCanModify() override { return !ReadOnly_; }
  int32_t GetRecordCount() override;
  int32_t GetRecNo() override;
  bool FindRecordStep(bool goForward) override;

private:
  friend class MemBlobStream;
  enum class CursorAt : uint8_t { Bof, Row, Eof };
  struct KeyColumn {
    int32_t Column;
    bool Descending;
    bool CaseInsensitive;
  };
  // A record buffer of its own for scanning, freed with it.
  class ScratchBuffer;

  void EnsureView();
  // SetIndexName / SetIndexFieldNames: one of name and fields is empty. On an
  // open dataset the old order comes back when the new one cannot be built.
  void ChangeIndex(std::string name, std::string fields);
  void ResolveIndex();
  int64_t PositionOf(int64_t id);
  MemTable::Row* FindRow(int64_t id);
  int64_t BookmarkOf(RecordBuffer buffer) const;
  void LoadRow(const MemTable::Row& row, RecordBuffer buffer);
  bool FilterActive() const;
  bool Accepts(RecordBuffer buffer);
  int32_t CompareColumn(const MemTable::Column& column, const uint8_t* a, const uint8_t* b,
                        bool caseInsensitive) const;
  int32_t CompareRows(const MemTable::Row& a, const MemTable::Row& b) const;
  void CheckUnique(const std::vector<uint8_t>& data, int64_t exceptId);
  void BlobWritten(Field* field, int32_t blobIndex, std::string data);
  const MemTable::Column& ColumnOf(const Field* field) const;

  MemTable* Table_ = nullptr;
  std::unique_ptr<MemTable> OwnTable_;
  bool ReadOnly_ = false;
  bool CursorOpen_ = false;
  bool ForceFilter_ = false;
  std::string IndexName_;
  std::string IndexFieldNames_;
  std::vector<KeyColumn> KeyColumns_;

  int32_t RecordSize_ = 0;
  int32_t BookmarkOffset_ = 0;
  int32_t FlagOffset_ = 0;
  int32_t CalcOffset_ = 0;
  int32_t BufferSize_ = 0;

  // The rows in the current order, rebuilt when the table or the order
  // changed (ViewStamp_ != the table's ChangeStamp_).
  std::vector<MemTable::Row*> View_;
  std::unordered_map<int64_t, int64_t> PositionById_;
  uint64_t ViewStamp_ = 0;
  // The cursor: a crack or a row (CursorRowId_ at CursorIndex_ in View_).
  CursorAt Cursor_ = CursorAt::Bof;
  int64_t CursorIndex_ = -1;
  int64_t CursorRowId_ = 0;
  // BLOB values written while editing or inserting, by BLOB index.
  std::map<int32_t, std::string> PendingBlobs_;
};

}  // namespace qv
