// VLMMemEngine: the memory engine. Tables of the built-in database "MEMORY"
// live in process memory and are gone when the process ends; the temporary
// engine (VLMTempEngine) keeps its first pages in the same page store.
//
//   TVLMMemoryPageManager    pages in memory blocks, an allocation bit each
//   TVLMMemoryRecordManager  fixed-size slots with a deleted bit each
//   TVLMVolatileTableData    what the memory and temporary table data share:
//                            managers made in the process, their own page
//                            manager, commits, record bitmaps, record writes
//   TVLMMemoryTableData      a memory table: records, indexes, BLOB values
//   TVLMMemoryDatabaseData   the database "MEMORY"
//
// Record slots (record manager, Capacity slots of RecordSize bytes):
//
//   Records      slot i at i x RecordSize: a record buffer without bookmark
//   DeletedBits  bit i (bit i mod 8 of byte i div 8, least significant
//                first) set = slot i holds no record
//
// Record ID {slot, 0}; the slot is also the record number of record bitmaps.
//
// Invariants of the record manager:
//   1. Every slot at or above Capacity, and every slot that never held a
//      record, has its deleted bit set: slots beyond LastSlot are all
//      deleted, so counting zero bits counts live records.
//   2. RecordCount is the number of live slots; while it is above 0 they all
//      lie in FirstSlot..LastSlot and both ends are live. An empty table has
//      FirstSlot = LastSlot = 0.
//   3. While NoDeletions is set no slot below LastSlot has been deleted: the
//      1-based record number of slot s is s + 1.
//
// BLOB values of a memory table are memory blocks of the table data, named in
// the record by a 32-bit handle (the first 4 of the field's 10 bytes):
//
//   offset  size  block
//   0       4     u32 BlockCount
//   4       8     i64 UncompressedSize
//   12      n     the stored (compressed) bytes
//
// A block is pending while only a cursor's record buffer names it (written
// by SaveBlobStream or SetBlobData) and stored once a record holding its
// handle was inserted or updated. A stored block goes when its record is
// deleted or updated to another value; a pending one when the buffer's field
// is written again or freed (FreeBlob). Handles are never given twice, so a
// stale buffer finds no value (10701) instead of another record's.
//
// Error codes: 10392/10393 read/write of a page not allocated, 20037
// allocation of an allocated page, 10704 free of a page not allocated, 10011
// record size 0, 10700 table full, 10025 no fields, 10010/10013/10018 and
// 10708-10713 nil managers or buffers, 10420 BLOB block size 0, 10117 short
// BLOB read, 10715 short BLOB copy, 10701 BLOB handle that names no value,
// 10712 field that is not a BLOB field, 10714 stream that is not a BLOB
// stream of a table, 10707 table data without a cursor.
#pragma once
#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2
#error "engine/storage lies above the library being compiled: a library includes only its own layer and those below it"
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/core/VLMBaseEngine.h"
#include "engine/core/VLMTableData.h"
#include "engine/core/VLMTypes.h"
#include "engine/storage/VLMPage.h"

// Page size of the memory and temporary page stores; their pages have no
// header.
inline constexpr uint16_t kVLMMemoryPageSize = 4096;
// Records added to a table's storage at a time.
inline constexpr int32_t kVLMMemoryGrowBy = 1000;

// ----------------------------------------------------- TVLMMemoryPageManager

// Pages in memory. A page number is allocated when its bit is set; freeing
// clears the bit and returns the page's memory; the lowest free number is
// given out again first. The page store's state (hooks 4 and 5 of the page
// manager) is its allocation bit array in TVLMBitsArray's stream form.
class TVLMMemoryPageManager : public TVLMPageManager {
public:
  // 4096-byte pages without header. Other sizes, and a page header, serve
  // the tests of the page structures.
  explicit TVLMMemoryPageManager(uint16_t pageSize = kVLMMemoryPageSize, uint16_t headerSize = 0);
  ~TVLMMemoryPageManager() override;

  // The allocation bits. A load replaces them: the page count becomes the
  // bit count, pages no longer allocated lose their memory, and an
  // allocated page that holds no bytes yet reads as zeros.
  void SaveToStream(qv::Stream& stream) override;
  void LoadFromStream(qv::Stream& stream) override;
  void AllocatePage(TVLMPage* page) override;
  // 10704 "Page %d is not allocated" for a page that is not.
  void FreePage(int32_t pageNo) override;
  bool ReadPage(TVLMPage* page) override;
  void WritePage(TVLMPage* page) override;

  bool IsAllocated(int32_t pageNo) const;
  int32_t GetAllocatedCount() const { return AllocationBits_.SetCount(); }

private:
  // The stored bytes of an allocated page, made (zero-filled) when missing.
  uint8_t* PageBytes(int32_t pageNo);
  void FreePageBytes(int32_t pageNo);

  TVLMBitsArray AllocationBits_;
  // One memory-manager block per page number; nullptr when it holds none.
  std::vector<uint8_t*> Pages_;
};

// --------------------------------------------------- TVLMMemoryRecordManager

class TVLMMemoryRecordManager : public TVLMBaseRecordManager {
public:
  // recordSize: the field definitions' record buffer size; 0 raises 10011
  // "Invalid record size = 0".
  TVLMMemoryRecordManager(int32_t recordSize, int32_t growBy);
  ~TVLMMemoryRecordManager() override;

  void EmptyTable(int32_t sessionID) override;
  // Always into slot LastSlot + 1 (0 in an empty table).
  bool InsertRecord(int32_t sessionID, const uint8_t* buffer, TVLMRecordID& recordID) override;
  // False for a slot outside FirstSlot..LastSlot or a deleted one.
  bool UpdateRecord(int32_t sessionID, const uint8_t* buffer, const TVLMRecordID& recordID) override;
  // False for an empty table, a slot outside FirstSlot..LastSlot or a
  // deleted one.
  bool DeleteRecord(int32_t sessionID, const TVLMRecordID& recordID) override;
  void GetRecord(int32_t sessionID, TVLMNavigationRequest& request) override;
  int32_t CompareRecordIDs(const TVLMRecordID& id1, const TVLMRecordID& id2) override;
  // An estimate in 1..RecordCount from the slot's place between FirstSlot
  // and LastSlot; -1 for an empty table or a slot outside them.
  int64_t GetRecordNo(int32_t sessionID, const TVLMRecordID& recordID) override;

  // The slot of the index-th live record (0-based); -1 below 0 or at or
  // beyond RecordCount.
  int64_t SlotOfRecordIndex(int64_t index) const;
  // The live slots up to and including slot (its 1-based record number
  // when it is live); -1 at or beyond Capacity.
  int64_t RecordNoOfSlot(int64_t slot) const;
  bool IsLive(int64_t slot) const;
  // The stored bytes of a live slot; nullptr otherwise.
  const uint8_t* RecordAt(int64_t slot) const;

  int32_t GetRecordSize() const { return RecordSize_; }
  int32_t GetCapacity() const { return Capacity_; }
  int32_t GetFirstSlot() const { return FirstSlot_; }
  int32_t GetLastSlot() const { return LastSlot_; }
  bool GetNoDeletions() const { return NoDeletions_; }

  static int64_t SlotOf(const TVLMRecordID& recordID) { return recordID.Page; }
  static TVLMRecordID RecordIDOf(int64_t slot) { return TVLMRecordID{static_cast<uint32_t>(slot), 0}; }

private:
  void Grow();
  void Found(TVLMNavigationRequest& request, int64_t slot);

  int32_t RecordSize_;
  uint8_t* Records_ = nullptr;
  uint8_t* DeletedBits_ = nullptr;
  int32_t Capacity_ = 0;
  int32_t GrowBy_;
  int32_t FirstSlot_ = 0;
  int32_t LastSlot_ = 0;
  bool NoDeletions_ = true;
};

// ----------------------------------------------------- TVLMVolatileTableData

// The part the memory and temporary table data share. Each table has a page
// manager of its own (for its indexes, temporary ones included); the field
// and constraint managers are made with the object, the record manager and
// the index manager with the definitions.
class TVLMVolatileTableData : public TVLMTableData {
public:
  explicit TVLMVolatileTableData(TVLMDatabaseData* databaseData);
  ~TVLMVolatileTableData() override;

  // A new index manager (indexes opened for the old definitions must not
  // stay), then the inherited assignment. The inherited field and
  // constraint assignments reset their managers whole.
  void SetIndexDefs(TVLMIndexDefs& indexDefs) override;
  // The inherited check, then the table data frees itself (nothing when
  // force is set and cursors remain). The caller must not use it afterwards.
  void DeleteTable(TVLMCursor* cursor, bool force) override;
  // Under the lock, inherited, then the page manager commits the cursor's
  // session (-2 without a cursor) unless it is in a transaction.
  void CreateIndex(TVLMIndexDef& indexDef, TVLMCursor* cursor) override;
  void DropIndex(int32_t indexID, TVLMCursor* cursor) override;
  int64_t GetRecordCount(int32_t sessionID) override;
  bool InsertRecord(TVLMCursor* cursor) override;
  int64_t InternalGetRecordCount(TVLMCursor* cursor) override;
  int64_t GetLastAutoincValue(int32_t fieldNo, TVLMBaseSession* session) override;
  // The own page manager's page data size (the search's cost figure).
  uint16_t GetPageDataSize() override;

  // Temporary streams and temporary index pages stay in memory.
  bool DisableTempFiles = false;
  int32_t GrowBy = kVLMMemoryGrowBy;

protected:
  void CommitPages(int32_t sessionID) override;
  void RollbackPages(int32_t sessionID) override;
  // Takes the page manager (PageManager points at it).
  void UsePageManager(std::unique_ptr<TVLMPageManager> pageManager);
  // The definitions, record manager and cursor record size of a new table
  // (the caller builds the indexes); noFieldsCode for a table without fields.
  void BuildTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                  TVLMConstraintDefs& constraintDefs, int32_t noFieldsCode);
  // Commits the cursor's session unless it is in a transaction.
  void CommitWrite(TVLMCursor* cursor);
  // The cursor's complete record bitmap follows a written record: included
  // when it passes the cursor's range and filter, else excluded.
  void KeepBitmapAfterWrite(TVLMCursor* cursor);
  // A deleted record leaves the cursor's complete record bitmap, which stays
  // current when it was before the delete and the cursor chose no index
  // fields.
  void KeepBitmapAfterDelete(TVLMCursor* cursor, uint32_t stampBefore);
  // Nil-pointer codes of InsertRecord: no record manager, no record buffer.
  int32_t InsertNilManagerCode = 10134;
  int32_t InsertNilBufferCode = 10135;
  int32_t RecordCountNilCode = 10133;
  // Makes the index objects of the table's index managers: B-tree record
  // indexes.
  TVLMIndexFactory IndexFactory;

private:
  std::unique_ptr<TVLMPageManager> OwnedPageManager_;
};

// ------------------------------------------------------- TVLMMemoryTableData

class TVLMMemoryTableData : public TVLMVolatileTableData {
public:
  // A new memory page manager; DisableTempFiles set.
  explicit TVLMMemoryTableData(TVLMDatabaseData* databaseData);
  ~TVLMMemoryTableData() override;

  void CreateRecordManager() override;
  // No fields: 10025 "Error creating table - no fields were specified".
  void CreateTable(TVLMCursor* cursor, TVLMFieldDefs& fieldDefs, TVLMIndexDefs& indexDefs,
                   TVLMConstraintDefs& constraintDefs) override;
  // Records, indexes and every BLOB value go; counters reset.
  void EmptyTable(TVLMCursor* cursor) override;
  int64_t RecordIDToRecordNo(const TVLMRecordID& recordID) override;
  void RecordNoToRecordID(int64_t recordNo, TVLMRecordID& recordID) override;
  void SaveBlobStream(TVLMCursor* cursor, int32_t fieldNo, qv::Stream& stream) override;
  // A pending value of the field goes and the field becomes null.
  void FreeBlob(uint8_t* record, int32_t fieldNo) override;
  std::unique_ptr<qv::Stream> OpenBlob(TVLMCursor* cursor, uint8_t openMode, int32_t fieldNo) override;
  void GetBlobData(TVLMCursor* cursor, int32_t fieldNo, TVLMBLOBDescriptor& descriptor,
                   std::vector<uint8_t>& data) override;
  void SetBlobData(TVLMCursor* cursor, int32_t fieldNo, const std::vector<uint8_t>& data,
                   const TVLMBLOBDescriptor& descriptor) override;
  // Values stay with the table: nothing.
  void DiscardBlob(uint8_t* record, int32_t fieldNo) override;
  bool InsertRecord(TVLMCursor* cursor) override;
  bool UpdateRecord(TVLMCursor* cursor) override;
  bool DeleteRecord(TVLMCursor* cursor) override;
  void InternalSetRecNo(TVLMCursor* cursor, int64_t recNo) override;
  int64_t InternalGetRecNo(TVLMCursor* cursor) override;

  TVLMMemoryRecordManager& Records() const;
  // BLOB values held, pending ones included.
  int32_t BlobValueCount() const { return static_cast<int32_t>(Blobs_.size()); }

private:
  struct BlobValue {
    uint8_t* Block = nullptr;  // memory-manager block, layout above
    bool Stored = false;
  };
  // Field fieldNo, which must be a BLOB field (10712).
  const TVLMFieldDef& BlobField(int32_t fieldNo) const;
  // 0 for a null field.
  uint32_t HandleOf(const uint8_t* record, int32_t fieldNo) const;
  // Handle 0 makes the field null.
  void SetHandle(uint8_t* record, int32_t fieldNo, uint32_t handle);
  const BlobValue& ValueOf(uint32_t handle) const;
  // A new pending value; fill writes its storedSize stored bytes.
  uint32_t NewValue(uint32_t blockCount, int64_t uncompressedSize, int64_t storedSize,
                    const std::function<void(uint8_t*)>& fill);
  // A new pending value in the buffer's field (none and the field null when
  // it is empty); the field's previous pending value goes.
  void PutValue(uint8_t* record, int32_t fieldNo, uint32_t blockCount, int64_t uncompressedSize, int64_t storedSize,
                const std::function<void(uint8_t*)>& fill);
  void FreeValue(uint32_t handle);
  void FreeAllValues();
  // The handles of the BLOB fields of a record (none for nullptr).
  std::vector<uint32_t> Handles(const uint8_t* record) const;
  // The handles of the stored record at the cursor's position.
  std::vector<uint32_t> StoredHandles(TVLMCursor* cursor) const;
  // Before a record is written: a field naming a value stored by another
  // record (not among before, the record's own) gets a copy of it.
  void PrepareValues(uint8_t* record, const std::vector<uint32_t>& before);
  // After it was written: its values become stored; those of before that it
  // no longer names go.
  void SettleValues(const uint8_t* record, const std::vector<uint32_t>& before);

  std::unordered_map<uint32_t, BlobValue> Blobs_;
  uint32_t NextHandle_ = 1;
};

// ---------------------------------------------------- TVLMMemoryDatabaseData

class TVLMMemoryDatabaseData : public TVLMDatabaseData {
public:
  // DatabaseFileName "MEMORY".
  TVLMMemoryDatabaseData();
  ~TVLMMemoryDatabaseData() override;

  // A TVLMMemoryTableData (GrowBy 1000) named as the cursor's table.
  TVLMTableDataBase* CreateTableData(TVLMCursor* cursor) override;
  int32_t NextObjectID() override;

private:
  int32_t LastObjectID_ = 0;
};
